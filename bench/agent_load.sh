#!/usr/bin/env bash
# vr-agent under load: one agent, GAUGES simulated gauges on TCP (COM1..COMn
# in [Ports], each read with one all-tank request a period) of 16 tanks each, a 1 s period and a 1 s heartbeat (every tank published every
# round), against a local broker for SECONDS seconds.
# Prints messages per second received, the agent's CPU and peak memory, and
# the latency from a tank's read_at (taken right after its read) to the
# subscriber's receive time. Not part of CTest.
#   bench/agent_load.sh [BUILD_DIR]     GAUGES=16 SECONDS_=60 by default
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${1:-${VR_BUILD_DIR:-$ROOT/build}}"
GAUGES="${GAUGES:-16}" DURATION="${SECONDS_:-60}" TANKS=16
AGENT="$BUILD/tools/vr-agent/vr-agent" SIM="$BUILD/tools/gauge-sim/vr-gauge-sim"
WORK=$(mktemp -d /tmp/vr-agent-load-XXXXXX)
chmod 755 "$WORK"
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

. "$(dirname "$0")/../tests/support/loopback.sh"
PORT=$(vr_port)
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nmax_queued_messages 100000\n' \
  "$PORT" > "$WORK/broker.conf"
/usr/sbin/mosquitto -c "$WORK/broker.conf" > "$WORK/broker.log" 2>&1 &
PIDS+=($!)
vr_await_listen "$PORT" "$!" || { echo "the broker does not listen" >&2; exit 1; }

tank_options=()
for t in $(seq "$TANKS"); do
  tank_options+=(--tank "$t:level=$((500 + t * 37)).5,volume=$((10000 + t * 211)).25,water=$t,temperature=1$t.5,density=7$t.5")
done
printf '[VeederRoot]\r\nCriticalUpdateTime=1\r\n[Ports]\r\n' > "$WORK/cnf.INI"
gauge_options=()
for g in $(seq "$GAUGES"); do
  mkfifo "$WORK/sim$g.out"
  "$SIM" --tcp 0 --quiet "${tank_options[@]}" < /dev/null > "$WORK/sim$g.out" 2>/dev/null &
  PIDS+=($!)
  read -r addr < "$WORK/sim$g.out"
  printf 'COM%d=%s\r\n' "$g" "$addr" >> "$WORK/cnf.INI"
  gauge_options+=(--gauge "COM$g")
done

# %U: the receive time, Unix seconds with nanoseconds.
mosquitto_sub -h 127.0.0.1 -p "$PORT" -t 'vrsilo/+/+/tank/+' -F '%U %p' > "$WORK/received" &
PIDS+=($!)
WINDIR="$WORK" "$AGENT" --broker "mqtt://127.0.0.1:$PORT" --data "$WORK/data" --site load "${gauge_options[@]}" \
  --tanks "1-$TANKS" --period 1 --heartbeat 1 2> "$WORK/agent.log" &
AGENT_PID=$!
PIDS+=($AGENT_PID)
sleep 5  # objects made, first rounds done
start_lines=$(wc -l < "$WORK/received")
read -r u0 s0 < <(awk '{print $14, $15}' "/proc/$AGENT_PID/stat")
sleep "$DURATION"
end_lines=$(wc -l < "$WORK/received")
read -r u1 s1 < <(awk '{print $14, $15}' "/proc/$AGENT_PID/stat")
hwm=$(awk '/VmHWM/ {print $2}' "/proc/$AGENT_PID/status")
rss=$(awk '/VmRSS/ {print $2}' "/proc/$AGENT_PID/status")
kill -TERM "$AGENT_PID"; wait "$AGENT_PID" || true
tck=$(getconf CLK_TCK)

echo "gauges $GAUGES x tanks $TANKS, period 1 s, heartbeat 1 s, ${DURATION} s measured"
awk -v n=$((end_lines - start_lines)) -v d="$DURATION" \
  'BEGIN { printf "messages received: %d, %.1f per second\n", n, n / d }'
awk -v u=$((u1 - u0)) -v s=$((s1 - s0)) -v t="$tck" -v d="$DURATION" 'BEGIN {
  printf "agent CPU: user %.2f s + sys %.2f s = %.2f s, %.2f %% of one core\n",
         u / t, s / t, (u + s) / t, 100 * (u + s) / t / d }'
echo "agent memory: VmHWM ${hwm} kB, VmRSS ${rss} kB"
# read_at is local time: mktime reads it in the same zone.
sed -n "$((start_lines + 1)),${end_lines}p" "$WORK/received" | awk '{
  match($0, /"read_at":"[^"]*"/); ts = substr($0, RSTART + 11, 19); ms = substr($0, RSTART + 31, 3)
  gsub(/[-T:]/, " ", ts)
  printf "%.3f\n", ($1 - (mktime(ts) + ms / 1000)) * 1000 }' | sort -n > "$WORK/latency"
awk '{ v[NR] = $1 } END {
  printf "latency read_at -> received: median %.1f ms, p99 %.1f ms, max %.1f ms (%d messages)\n",
         v[int(NR * 0.5) + 1], v[int(NR * 0.99) + 1], v[NR], NR }' "$WORK/latency"
