#!/bin/sh
# Measures the CPU time of an idle varno: nothing changes on the screen, the pointer rests.
# Runs in a private network namespace with its own Xvfb and trayer; nothing leaves the machine.
#   tests/server/measure-idle-cpu.sh BUILD_DIR [SECONDS] [RATE_SCREEN_MS]
# RATE_SCREEN_MS, when given, is stored as RateScreen first (0 tests the 10 ms floor).
# Prints the share of one core used over the measured span and the datagrams sent.
set -e
if [ -z "$ORVANE_IN_NETNS" ]; then
  exec "$(dirname "$0")/../netns-run" sh "$0" "$@"
fi
bin=$(cd "${1:?build folder}/bin" && pwd)
span=${2:-30}
rate=$3
work=$(mktemp -d)
trap 'kill $varno $trayer $xvfb 2>/dev/null; rm -rf "$work"' EXIT
export ORVANE_REGISTRY="$work/registry" DBUS_SESSION_BUS_ADDRESS=disabled: XDG_RUNTIME_DIR="$work"
mkdir -p "$ORVANE_REGISTRY"
if [ -n "$rate" ]; then
  "$bin/orvane-reg" add 'HKLM\SOFTWARE\Orvane\VARNO\Parameters' /v RateScreen /t REG_DWORD \
    /d "$rate" /f >/dev/null
fi

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset +extension DAMAGE -ac >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -1 "$work/display")"
trayer --edge top --align right --widthtype pixel --width 64 --heighttype pixel \
  --height 24 >/dev/null 2>&1 &
trayer=$!
sleep 1
cp "$bin/varno" "$bin/libhooks.so" "$work/"
"$work/varno" >/dev/null 2>&1 &
varno=$!
sleep 3  # start-up and the first full refresh

# Datagrams on the default group while measuring (tcpdump is not needed: count on lo).
rx_before=$(cat /sys/class/net/lo/statistics/tx_packets)
ticks() { awk '{print $14 + $15}' "/proc/$varno/stat"; }
t0=$(ticks)
sleep "$span"
t1=$(ticks)
rx_after=$(cat /sys/class/net/lo/statistics/tx_packets)
hz=$(getconf CLK_TCK)
awk -v a="$t0" -v b="$t1" -v hz="$hz" -v s="$span" -v p=$((rx_after - rx_before)) \
  'BEGIN { printf "varno CPU over %d s: %.3f s = %.2f%% of one core; %d packets on lo\n",
           s, (b - a) / hz, 100 * (b - a) / hz / s, p }'
