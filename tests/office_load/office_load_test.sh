#!/usr/bin/env bash
# office_load_test.sh SCENARIO LOAD MOSQUITTO: vr-office-load against its own
# broker on a free loopback port.
set -euo pipefail
SCENARIO=$1 LOAD=$2 MOSQUITTO=$3
WORK=$(mktemp -d /tmp/vr-office-load-XXXXXX)
BROKER_PID=""
trap 'kill -9 $BROKER_PID 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$WORK"' EXIT
fail() { echo "FAIL ($SCENARIO): $*" >&2; exit 1; }
. "$(dirname "$0")/../support/loopback.sh"
for _ in 1 2 3; do  # another port when something took this one first
  PORT=$(vr_port)
  printf 'listener %s 127.0.0.1\npersistence false\nallow_anonymous true\n' "$PORT" > "$WORK/broker.conf"
  "$MOSQUITTO" -c "$WORK/broker.conf" >> "$WORK/broker.log" 2>&1 &
  BROKER_PID=$!
  vr_await_listen "$PORT" "$BROKER_PID" && break
  kill -9 "$BROKER_PID" 2>/dev/null || true
  BROKER_PID=""
done
[ -n "$BROKER_PID" ] || fail "the broker does not listen: $(tail -n 3 "$WORK/broker.log")"
LOAD=("$LOAD" --broker "mqtt://127.0.0.1:$PORT" --sites 3 --tanks 2 --site-prefix t-)
retained() { mosquitto_sub -h 127.0.0.1 -p "$PORT" -W "$1" -t 'vrsilo/#' -v > "$WORK/retained" || true; }

case "$SCENARIO" in
  state)  # every topic of 3 sites x 2 tanks, retained, with its keys and agreeing values
    "${LOAD[@]}" --changes 0 2> "$WORK/load.log" || fail "exit status $?: $(cat "$WORK/load.log")"
    retained 5
    python3 - "$WORK/retained" <<'PY' || fail "retained state"
import collections, json, re, sys
TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$")
KEYS = {"agent": "version started_at gauges published queued dropped last_error at",
        "tank": "tank level volume tc_volume ullage water water_volume temperature density mass product status console_time link_state read_at",
        "alarms": "low_product high_product overfill high_water sudden_loss stale at",
        "forecast": "sales_per_day days_to_empty empty_at order_by ullage_90 ullage_95 at",
        "delivery": "event source start end start_volume end_volume gross net15 temperature at",
        "console_alarms": "alarms codes at", "history": "tank step from volumes at"}
count, msgs = collections.Counter(), {}
for line in open(sys.argv[1]):
    topic, payload = line.rstrip("\n").split(" ", 1)
    m = re.fullmatch(r"vrsilo/(t-000[123])/(?:(status|agent)|COM1/tank/([12])(?:/(\w+))?)", topic)
    assert m, topic
    kind = m[2] or m[4] or "tank"
    count[kind] += 1
    if kind == "status":
        assert payload == "online", payload; continue
    d = json.loads(payload)
    missing = set(KEYS[kind].split()) - set(d)
    assert not missing, (topic, missing)
    for k in ("at", "read_at", "from", "order_by", "start"):
        assert k not in d or TIME.match(d[k]), (topic, k, d[k])
    msgs[(m[1], m[3], kind)] = d
assert count == dict(status=3, agent=3, **{k: 6 for k in KEYS if k != "agent"}), count
for (site, tank, kind), d in msgs.items():
    if kind != "tank": continue
    f, h = msgs[(site, tank, "forecast")], msgs[(site, tank, "history")]
    assert abs(d["ullage"] + d["volume"] - 30000) < 0.02, d
    assert abs(f["ullage_95"] - (28500 - d["volume"])) < 0.02, (f, d)
    assert len(h["volumes"]) == 96 and abs(h["volumes"][-1] - d["volume"]) < 0.1, h
    assert d["tank"] == int(tank) == h["tank"]
PY
    ;;
  changes)  # 5 a second for 2 s: about 10 logged, the last of each tank retained; then a signal
    start=$(date +%s%N)
    "${LOAD[@]}" --changes 5 --seconds 2 --log "$WORK/changes" 2> "$WORK/load.log" || fail "exit status $?"
    ms=$((($(date +%s%N) - start) / 1000000))
    n=$(wc -l < "$WORK/changes")
    [ "$n" -ge 9 ] && [ "$n" -le 11 ] || fail "$n changes logged, not about 10"
    [ "$ms" -ge 1900 ] && [ "$ms" -le 5000 ] || fail "2 s of changes took $ms ms"
    retained 2
    python3 - "$WORK/changes" "$WORK/retained" <<'PY' || fail "retained volumes are not the logged ones"
import json, sys
last, times = {}, []
for line in open(sys.argv[1]):
    ms, site, gauge, tank, volume = line.split()
    last[f"vrsilo/{site}/{gauge}/tank/{tank}"] = float(volume); times.append(int(ms))
gaps = [b - a for a, b in zip(times, times[1:])]
assert min(gaps) >= 100 and max(gaps) <= 400, f"not spread over the second: {gaps}"  # 200 ms apart, a late one allowed
got = {t: json.loads(p)["volume"] for t, p in (l.rstrip("\n").split(" ", 1) for l in open(sys.argv[2])) if t in last}
assert got == last, (got, last)
PY
    "${LOAD[@]}" --changes 5 2> "$WORK/load.log" &
    pid=$!
    sleep 1.5
    start=$(date +%s%N)
    kill -INT "$pid"
    rc=0; wait "$pid" || rc=$?
    ms=$((($(date +%s%N) - start) / 1000000))
    [ "$rc" -eq 0 ] && [ "$ms" -le 1000 ] || fail "after SIGINT: status $rc in $ms ms"
    grep -q "changes: [0-9]* in" "$WORK/load.log" || fail "no summary: $(cat "$WORK/load.log")"
    ;;
  *) fail "no scenario $SCENARIO" ;;
esac
