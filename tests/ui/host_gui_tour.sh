#!/usr/bin/env bash
# vr-host --gui against the gauge simulator on a pseudo-terminal: the driver's
# menu item, settings dialog and calibration window are opened in turn and
# pictured. Usage: host_gui_tour.sh SIMULATOR HOST PICTURE_DIR
set -euo pipefail
SIM="$1" HOST="$2" OUT="$3"
WORK="$(mktemp -d /tmp/vr-host-tour-XXXXXX)"
SIM_PID=""
cleanup() {
  [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
mkdir -p "$OUT"
rm -f "$OUT"/host_*.png

mkfifo "$WORK/sim.out"
"$SIM" --quiet > "$WORK/sim.out" < /dev/null &
SIM_PID=$!
exec 3< "$WORK/sim.out"
read -r -t 10 PTY <&3

# Tank 1 has a stored comparison table, so the calibration window shows both.
printf '[VeederRoot]\r\nConnectionType=3\r\nCriticalUpdateTime=30\r\n[Ports]\r\nCOM1=%s\r\n' "$PTY" > "$WORK/cnf.INI"
printf '[SiloItem0]\r\nCount=3\r\nItem0=0.0=0.000\r\nItem1=1000.0=5.000\r\nItem2=2000.0=12.000\r\n' >> "$WORK/cnf.INI"
export WINDIR="$WORK"
"$HOST" --gui --tanks 1-4 --screenshots "$OUT"
for f in host_window host_menu host_settings host_calibration; do
  [ -s "$OUT/$f.png" ] || { echo "missing $OUT/$f.png" >&2; exit 1; }
done
# Nothing the tour did may have changed the settings (it only read).
grep -q "ConnectionType=3" "$WORK/cnf.INI"
