#!/usr/bin/env bash
# shellcheck disable=SC2046  # the brokers' options are words
# brokers_test.sh SCENARIO MOSQUITTO: the shipped brokers (packaging/mosquitto)
# on free loopback ports with a throwaway CA, their files the shipped ones with
# only ports, paths, the site and its password replaced; users by vr-office-user.
set -euo pipefail
SCENARIO=$1 MOSQUITTO=$2 SHIPPED=$(cd "$(dirname "$0")/../../packaging/mosquitto" && pwd)
W=$(mktemp -d /tmp/vr-brokers-test-XXXXXX) PIDS=""
trap 'exec 2>/dev/null; kill -9 $PIDS; wait; rm -rf "$W"' EXIT
fail() { echo "FAIL ($SCENARIO): $*" >&2; tail -n 8 "$W"/*.log >&2; exit 1; }
. "$(dirname "$0")/../support/loopback.sh"
port() { vr_port $TAKEN; }
TAKEN=""  # ports picked already, not listening yet
users() { "$SHIPPED/vr-office-user" -f "$W/passwd" -a "$W/acl" "$@" 2>>"$W/users.log"; }
seen() { for _ in $(seq "$3"); do grep -q "$1" "$W/$2" 2>/dev/null && return; sleep 0.1; done; return 1; }
# sub FILE TEXT BY, failing when the shipped file no longer has TEXT.
sub() { local t; t=$(<"$1"); [[ $t == *"$2"* ]] || fail "no '$2' in $1"; printf '%s\n' "${t//"$2"/"$3"}" >"$1"; }
start() {  # NAME PORT: as Debian's mosquitto.conf (persistence on) runs the file in its conf.d
  printf 'persistence true\npersistence_location %s/\nuser %s\ninclude_dir %s.d\n' "$W/$1" "$(id -un)" "$W/$1" >"$W/$1.conf"
  "$MOSQUITTO" -c "$W/$1.conf" >>"$W/$1.log" 2>&1 &
  PIDS="$PIDS $!" && eval "${1^^}=$!"
  vr_await_listen "$2" "$!" && return
  fail "$1 does not listen"
}
stop() { kill "${!1}" && wait "${!1}" || true; }  # SIGTERM: the database is saved
OPORT=$(port) && TAKEN=$OPORT && SPORT=$(port) && TAKEN+=" $SPORT" && WPORT=$(port)
office() { echo -h 127.0.0.1 -p "$OPORT" --cafile "$W/ca.crt" -u "$1" -P "${2:-pw-$1}"; }  # USER [PASSWORD without blanks]
station="-h 127.0.0.1 -p $SPORT"

mkdir -p "$W"/{office,office.d,station,station.d,web}  # mosquitto needs http_dir to start
(cd "$W" && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 1 -subj /CN=test-ca &&
  openssl req -newkey rsa:2048 -nodes -keyout office.key -out office.csr -subj /CN=127.0.0.1 &&
  openssl x509 -req -in office.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out office.crt -days 1 \
    -extfile <(echo subjectAltName=IP:127.0.0.1)) >"$W/openssl.out" 2>&1 || fail "openssl"
O=$W/office.d/office.conf S=$W/station.d/station.conf
cp "$SHIPPED/office.conf" "$O" && cp "$SHIPPED/station.conf" "$S" && cp "$SHIPPED/office.acl" "$W/acl"
sub "$O" "listener 8883" "listener $OPORT 127.0.0.1" && sub "$O" "listener 9001 lo" "listener $WPORT lo"
for f in ca_certificates/vrsilo-office-ca.crt:ca.crt certs/office.crt:office.crt certs/office.key:office.key \
  vrsilo.passwd:passwd vrsilo.acl:acl; do sub "$O" "/etc/mosquitto/${f%%:*}" "$W/${f#*:}"; done
sub "$O" /usr/share/vrsilo/web "$W/web"
sub "$S" "listener 1883 127.0.0.1" "listener $SPORT 127.0.0.1" && sub "$S" office.example:8883 "127.0.0.1:$OPORT"
sub "$S" /etc/mosquitto/ca_certificates/vrsilo-office-ca.crt "$W/ca.crt" && sub "$S" PASSWORD pw-a && sub "$S" SITE a
[ "$SCENARIO" = user ] || { for u in a b; do echo "pw-$u" | users add $u; done; echo pw-office | users add-reader office; }

case "$SCENARIO" in
  acl)  # WHO publishes TOPIC: the office reads it as READ, or not (-), or WHO is refused
    start office "$OPORT" && start station "$SPORT"
    for u in office b; do  # b, a station, reads nothing
      mosquitto_sub $(office $u) -t 'vrsilo/#' -t 'homeassistant/#' -t '$SYS/broker/connection/#' -v >"$W/$u.out" & PIDS="$PIDS $!"
    done
    seen '^\$SYS/broker/connection/a/state 1$' office.out 100 || fail "no bridge"
    n=0
    while read -r who topic read; do  # WHO: a user, "-" for none, "station" a through its bridge
      n=$((n + 1)) rc=0
      case $who in station) o=$station ;; -) o="-h 127.0.0.1 -p $OPORT --cafile $W/ca.crt" ;; *) o=$(office $who) ;; esac
      mosquitto_pub $o -q 1 -t "$topic" -m $n 2>/dev/null || rc=$?
      [[ $read == refused && $rc -ne 0 || $read != refused && $rc -eq 0 ]] || fail "$who $topic: exit status $rc"
      [[ $read == [-r]* ]] || echo "$read $n" >>"$W/expected"
    done <<'CASES'
a vrsilo/a/COM1/tank/1 vrsilo/a/COM1/tank/1
a vrsilo/b/COM1/tank/1 -
a homeassistant/device/a/vrsilo_a_COM1/config homeassistant/device/a/vrsilo_a_COM1/config
a homeassistant/device/vrsilo_a_COM1/config -
office vrsilo/a/COM1/tank/1 -
office vrsilo/office/COM1/tank/1 -
- vrsilo/a/COM1/tank/1 refused
station vrsilo/a/COM1/tank/2 vrsilo/a/COM1/tank/2
station homeassistant/device/vrsilo_a_COM1/config homeassistant/device/a/vrsilo_a_COM1/config
CASES
    mosquitto_pub $(office a) -q 1 -t vrsilo/a/end -m end  # delivered after all the others
    seen ^vrsilo/a/end office.out 50 && sleep 0.5 || fail "the office reads nothing"
    got=$(grep -v -e ^vrsilo/a/end -e '^\$SYS' "$W/office.out" | sort)
    [ "$got" = "$(sort "$W/expected")" ] || fail "the office read"$'\n'"$got"$'\n'"not"$'\n'"$(sort "$W/expected")"
    [ ! -s "$W/b.out" ] || fail "station b read $(head -1 "$W/b.out")"
    echo "$n cases"
    ;;
  outage)  # the office away for 20 s, the station restarted meanwhile
    start office "$OPORT" && start station "$SPORT"
    # A persistent session; -R: not the retained copies each subscription brings.
    mosquitto_sub $(office office) -c -i office-sub -q 1 -R -t 'vrsilo/a/#' -v >"$W/sub.out" & PIDS="$PIDS $!"
    for _ in $(seq 50); do mosquitto_pub $station -q 1 -t vrsilo/a/ready -m 1 && seen ^vrsilo/a/ready sub.out 3 && break; done
    (
      for ((n = 1; ; n++)); do  # the numbers the station acknowledged go to accepted
        [ ! -f "$W/stop" ] && echo $n >"$W/n" && m="{\"n\":$n,\"read_at\":\"$(date +%FT%T.%3N%:z)\"}" || exit 0
        mosquitto_pub $station -q 1 -r -t vrsilo/a/COM1/tank/1 -m "$m" 2>/dev/null && echo "tank/1 $n" >>"$W/accepted"
        mosquitto_pub $station -q 1 -t vrsilo/a/COM1/tank/1/events -m "$m" 2>/dev/null && echo "tank/1/events $n" >>"$W/accepted"
        sleep 0.1
      done
    ) & PUBLISHER=$! && PIDS="$PIDS $!"
    sleep 6 && stop OFFICE && t1=$(<"$W/n")
    sleep 6 && stop STATION && t2=$(<"$W/n") && start station "$SPORT"
    sleep 14 && start office "$OPORT" && t3=$(<"$W/n")
    sleep 8 && touch "$W/stop" && wait $PUBLISHER
    # Taken while the office was away, before and after the station's restart.
    q=$(awk -v a=$t1 -v b=$t2 -v c=$t3 '$2 > a+1 && $2 < b-1 { x++ } $2 > b+1 && $2 < c-1 { y++ } END { print x+0, y+0 }' "$W/accepted")
    [ "${q% *}" -ge 20 ] && [ "${q#* }" -ge 20 ] || fail "only $q messages taken during the outage"
    check() {  # every accepted number of each topic; first arrivals in order
      awk 'FNR == NR { want[$0]; next }
        /^vrsilo\/a\/COM1\/tank\/1(\/events)? \{"n":/ {
          t = substr($1, 15); n = substr($2, 6) + 0; got++
          if ((t " " n) in seen) { repeats++; next }
          seen[t " " n]; if (n < last[t]) { print t " " n " after " last[t]; bad++ }; last[t] = n }
        END { for (k in want) if (!(k in seen)) lost++
          printf "lost %d, repeats %d, messages %d\n", lost, repeats, got; exit lost || bad }' "$W/accepted" "$W/sub.out"
    }
    for _ in $(seq 30); do check >"$W/check.out" && break; sleep 1; done
    check || fail "$(wc -l <"$W/accepted") accepted: $(head -3 "$W/check.out")"
    last=$(grep '^tank/1 ' "$W/accepted" | tail -1 | cut -d' ' -f2)
    [[ $(mosquitto_sub $(office office) -t vrsilo/a/COM1/tank/1 -C 1 -W 5) == "{\"n\":$last,"* ]] || fail "$last not retained"
    ;;
  agent)  # the real agent: the office away a minute, the agent killed and the station restarted
    AGENT=$3 SIM=$4
    start office "$OPORT" && start station "$SPORT"
    mosquitto_sub $(office office) -c -i office-sub -q 1 -R -t 'vrsilo/a/#' -v >"$W/office.out" & PIDS="$PIDS $!"
    # What the station accepted, from a session of its own there.
    mosquitto_sub $station -c -i station-rec -q 1 -R -t 'vrsilo/a/#' -v >"$W/station.out" & PIDS="$PIDS $!"
    mkfifo "$W/sim.in"
    "$SIM" --tcp 0 --quiet --tank "1:volume=20000,temperature=15,status=0000" \
      --tank "2:volume=9000,temperature=15" <"$W/sim.in" >"$W/sim.out" 2>"$W/sim.log" & PIDS="$PIDS $!"
    exec 4>"$W/sim.in" && for _ in $(seq 50); do [ -s "$W/sim.out" ] && break; sleep 0.1; done
    agent() {
      "$AGENT" --broker "mqtt://127.0.0.1:$SPORT" --site a --gauge "COM1=$(head -1 "$W/sim.out")" \
        --period 1 --heartbeat 1 --data "$W/data" --config "$W/station.ini" >>"$W/agent.log" 2>&1 &
      AGENT_PID=$! && PIDS="$PIDS $!"
    }
    printf '[defaults]\nsettle = 10\n' >"$W/station.ini"
    agent && sleep 4 && stop OFFICE && sleep 3
    kill -9 $AGENT_PID && sleep 1 && agent && sleep 3
    echo "delivery 1 3000 0.3" >&4 && sleep 34
    stop STATION && start station "$SPORT" && sleep 10
    start office "$OPORT" && sleep 4
    kill $AGENT_PID && sleep 8
    grep -q '"event":"delivery"' "$W/station.out" || fail "no delivery during the outage"
    # Every message the station accepted reached the office, in order per topic.
    awk 'FNR == NR { if ($1 ~ /tank/) { want[$0]; order[$1] = order[$1] " " $0 }; next }
      { if ($0 in seen) { repeats++; next }; seen[$0]; got++ }
      END { for (k in want) if (!(k in seen)) { lost++; if (lost < 3) print "lost: " k }
        printf "lost %d, repeats %d, messages %d\n", lost, repeats, got; exit lost > 0 }' \
      "$W/station.out" "$W/office.out" >"$W/check.out" || fail "$(cat "$W/check.out")"
    for t in $(cut -d' ' -f1 "$W/station.out" | grep tank | sort -u); do
      [ "$(grep "^$t " "$W/station.out" | awk '!s[$0]++')" = "$(grep "^$t " "$W/office.out" | awk '!s[$0]++')" ] ||
        fail "$t: not in the station's order"
    done
    cat "$W/check.out"
    ;;
  user)  # vr-office-user on the office's files, then the office with them
    for name in "" a/b a+b 'a#' a:b "a b"; do echo pw | users add "$name" && fail "added '$name'" || [ $? -eq 2 ] || fail "'$name'"; done
    ! users add s1 </dev/null && [ ! -e "$W/passwd" ] || fail "added without a password"
    echo old | users add s1 && [ "$(stat -c %a "$W/passwd")" = 640 ] || fail "password file mode $(stat -c %a "$W/passwd")"
    echo 'se:cr et' | users add s1  # a new password, not a second user
    echo pw-s2 | users add s2 && users del s2 && ! users del s2 || fail "s2 removed twice"
    echo pw-r1 | users add-reader r1 && echo pw-r1 | users add-reader r1 && users del office
    ! echo x | users add-reader s1 && ! echo x | users add r1 || fail "a station became a reader or the reverse"
    [ "$(cut -d: -f1 "$W/passwd" | xargs)" = "s1 r1" ] || fail "users $(cut -d: -f1 "$W/passwd" | xargs)"
    [ "$(grep '^user ' "$W/acl")" = "user r1" ] && [ "$(grep -c ^topic "$W/acl")" = 6 ] || fail "ACL $(grep -v '^#' "$W/acl")"
    grep -q "systemctl reload mosquitto" "$W/users.log" || fail "no hint to reload"
    start office "$OPORT"
    mosquitto_sub $(office r1) -t 'vrsilo/#' -v >"$W/r1.out" & PIDS="$PIDS $!"
    echo pw-s3 | users add s3 && sleep 0.5 && kill -HUP $OFFICE && sleep 0.5  # systemctl reload mosquitto
    while IFS='|' read -r user password ok; do  # may USER log in with PASSWORD and write its topic?
      rc=0 && mosquitto_pub $(office "$user") -P "$password" -q 1 -t "vrsilo/$user/x" -m "$password" 2>/dev/null || rc=$?
      [[ $ok == yes && $rc -eq 0 ]] && seen "^vrsilo/$user/x $password\$" r1.out 30 ||
        [[ $ok == no && $rc -ne 0 || $ok == login && $rc -eq 0 ]] || fail "$user, '$password': exit status $rc"
    done <<'CASES'
s1|se:cr et|yes
s1|old|no
s2|pw-s2|no
s3|pw-s3|yes
r1|pw-r1|login
CASES
    sleep 0.5 && ! grep -q ^vrsilo/r1/ "$W/r1.out" || fail "reader r1 could write"
    ;;
  page)  # the page and MQTT over WebSockets on the loopback interface alone (stunnel adds TLS)
    echo '<!doctype html><title>vrsilo</title>' >"$W/web/index.html" && start office "$WPORT"
    bound=$(ss -ltnH "sport = :$WPORT" | awk '{print $4}' | sort -u | xargs)
    [[ $bound =~ ^(127\.0\.0\.1|\[::ffff:127\.0\.0\.1\]):$WPORT$ ]] || fail "the page's listener is bound to '$bound'"
    http() { curl -s --path-as-is --max-time 2 "$@" "http://127.0.0.1:$WPORT/${url:-}" || true; }
    [ "$(url=index.html http -f)" = "$(<"$W/web/index.html")" ] || fail "the page is not served"
    [ -z "$(url=../passwd http -f)" ] || fail "a file outside http_dir is served"
    reply=$(url=mqtt http -i -H 'Connection: Upgrade' -H 'Upgrade: websocket' -H 'Sec-WebSocket-Version: 13' \
      -H 'Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==' -H 'Sec-WebSocket-Protocol: mqtt')
    [[ $reply == "HTTP/1.1 101 "*"Sec-WebSocket-Protocol: mqtt"* ]] || fail "no MQTT websocket: ${reply%%$'\r'*}"
    ;;
  *) fail "no scenario '$SCENARIO'" ;;
esac
