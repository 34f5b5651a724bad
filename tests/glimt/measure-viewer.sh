#!/bin/sh
# Viewer figures with the real varno and glimt, on two virtual displays inside a private
# network namespace: drawing-to-picture latency at screen periods of 200 ms and 20 ms, and the
# viewer's CPU while a 640x480 screen changes all the time.
#   sh tests/glimt/measure-viewer.sh BUILD_DIR [CHANGES] [CPU_SECONDS]
set -e
BUILD=$(cd "${1:?build folder}" && pwd)
CHANGES=${2:-100}
SECONDS_CPU=${3:-10}
if [ -z "$ORVANE_IN_NETNS" ]; then
  exec unshare -n env ORVANE_IN_NETNS=1 sh "$0" "$BUILD" "$CHANGES" "$SECONDS_CPU"
fi
ip link set lo up; ip link set lo multicast on; ip route add 224.0.0.0/4 dev lo
WORK=$(mktemp -d)
export ORVANE_REGISTRY="$WORK/registry"
mkdir -p "$ORVANE_REGISTRY"
PIDS=""
cleanup() { for p in $PIDS; do kill "$p" 2>/dev/null || true; done; sleep 0.3; [ -n "$KEEP" ] && cp "$WORK"/*.log "$KEEP"/ ; rm -rf "$WORK"; }
trap cleanup EXIT
xvfb() {
  Xvfb -displayfd 3 -screen 0 "$1" -nolisten tcp 3>"$WORK/fd" >/dev/null 2>&1 &
  PIDS="$PIDS $!"
  while [ ! -s "$WORK/fd" ]; do sleep 0.1; done
  echo ":$(cat "$WORK/fd")"; rm -f "$WORK/fd"
}
run_pair() {  # run_pair RATE_MS: server on A, viewer on B; sets GLIMT
  "$BUILD/bin/orvane-reg" add 'HKLM\SOFTWARE\Orvane\VARNO\Parameters' /v RateScreen \
    /t REG_DWORD /d "$1" /f >/dev/null
  DISPLAY=$A trayer --widthtype pixel --width 40 --heighttype pixel --height 24 >/dev/null 2>&1 &
  TRAY=$!
  DISPLAY=$A "$BUILD/bin/varno" >"$WORK/varno.log" 2>&1 &
  VARNO=$!
  while ! ss -ltnH 'sport = :10510' | grep -q .; do sleep 0.1; done
  DISPLAY=$B "$BUILD/bin/glimt" 127.0.0.1 >"$WORK/glimt.log" 2>&1 &
  GLIMT=$!
  PIDS="$PIDS $TRAY $VARNO $GLIMT"
  sleep 2
}
stop_pair() { kill $GLIMT $VARNO $TRAY; wait $GLIMT $VARNO $TRAY 2>/dev/null || true; sleep 0.5; }

A=$(xvfb 1024x768x24)
B=$(xvfb 1280x1024x24)
for rate in ${RATES:-200 20}; do
  run_pair $rate
  printf 'latency, RateScreen %s ms: ' $rate
  "$BUILD/bin/glimt_probe" latency "$A" "$B" "$CHANGES"
  stop_pair
done

A=$(xvfb 640x480x24)
run_pair 200
ticks=$(getconf CLK_TCK)
"$BUILD/bin/glimt_probe" animate "$A" $((SECONDS_CPU + 2)) &
PROBE=$!
sleep 1
t0=$(awk '{print $14 + $15}' /proc/$GLIMT/stat)
sleep "$SECONDS_CPU"
t1=$(awk '{print $14 + $15}' /proc/$GLIMT/stat)
wait $PROBE
echo "viewer CPU, 640x480 changing every 20 ms, RateScreen 200: $(( (t1 - t0) * 1000 / ticks / SECONDS_CPU / 10 )).$(( (t1 - t0) * 1000 / ticks / SECONDS_CPU % 10 )) % of one core"
stop_pair
run_pair 20
"$BUILD/bin/glimt_probe" animate "$A" $((SECONDS_CPU + 2)) &
PROBE=$!
sleep 1
t0=$(awk '{print $14 + $15}' /proc/$GLIMT/stat)
sleep "$SECONDS_CPU"
t1=$(awk '{print $14 + $15}' /proc/$GLIMT/stat)
wait $PROBE
echo "viewer CPU, 640x480 changing every 20 ms, RateScreen 20: $(( (t1 - t0) * 1000 / ticks / SECONDS_CPU / 10 )).$(( (t1 - t0) * 1000 / ticks / SECONDS_CPU % 10 )) % of one core"
stop_pair
