#!/bin/sh
# A live broadcast: builds varno and glimt, then shows one desktop in the viewer.
#
# Without $DISPLAY: two virtual displays, A (the server's, with a clock, eyes and a moving
# window on it, a tray and varno) and B (glimt). Every DEMO_SHOT_SECONDS (default 3) a
# screenshot of each goes to DEMO_OUT (default ./demo-output): viewer-NNNN.png shows what
# glimt shows, server-NNNN.png what varno sent.
# With $DISPLAY: varno and glimt run on that display (a tray must be running there).
#
# Runs until Ctrl-C, or for DEMO_SECONDS when that is set. Everything runs inside a private
# network namespace whose only interface is lo, so no datagram leaves this machine; settings
# live in a registry folder of the demo's own (DEMO_OUT/registry), never in ~/.config/orvane.
#
# DEMO_PROGRAMS=/usr/bin runs the programs of that folder (an installed package) instead of
# building them.
set -e
cd "$(dirname "$0")/.."
ROOT=$(pwd)
OUT=${DEMO_OUT:-$ROOT/demo-output}
BUILD=${BUILD_DIR:-build}

if [ -z "$ORVANE_DEMO_INSIDE" ]; then
  sh scripts/install-deps.sh
  if [ -n "$DEMO_PROGRAMS" ]; then
    for p in varno glimt; do
      [ -x "$DEMO_PROGRAMS/$p" ] || { echo "run-demo: no program $DEMO_PROGRAMS/$p" >&2; exit 1; }
    done
    DEMO_PROGRAMS=$(cd "$DEMO_PROGRAMS" && pwd)
  else
    cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$BUILD" --target varno glimt hooks -j "$(nproc)"
    DEMO_PROGRAMS=$(cd "$BUILD/bin" && pwd)
  fi
  mkdir -p "$OUT/registry"
  OUT=$(cd "$OUT" && pwd)
  export ORVANE_DEMO_INSIDE=1 DEMO_OUT="$OUT" DEMO_PROGRAMS
  # A private network namespace: as root directly, otherwise in a user namespace of our own.
  if unshare -n true 2>/dev/null; then
    exec unshare -n sh "$ROOT/scripts/run-demo.sh"
  elif unshare -rn true 2>/dev/null; then
    exec unshare -rn sh "$ROOT/scripts/run-demo.sh"
  fi
  echo "run-demo: cannot make a private network namespace (unshare -n); not starting, so" >&2
  echo "that nothing is multicast on this machine's network. Run as root, or enable user" >&2
  echo "namespaces (sysctl kernel.unprivileged_userns_clone=1)." >&2
  exit 1
fi

# --- inside the namespace ---
ip link set lo up
ip link set lo multicast on
ip route add 224.0.0.0/4 dev lo
export ORVANE_REGISTRY="$OUT/registry"
BIN="$DEMO_PROGRAMS"
PIDS=""
start() {  # start NAME COMMAND...: runs in the background, output to OUT/NAME.log
  name=$1
  shift
  "$@" >"$OUT/$name.log" 2>&1 &
  PIDS="$PIDS $!"
}
stop_all() {
  trap - INT TERM EXIT
  for p in $PIDS; do kill "$p" 2>/dev/null || true; done
  sleep 0.5
  for p in $PIDS; do kill -9 "$p" 2>/dev/null || true; done
}
trap 'stop_all; exit 0' INT TERM
trap stop_all EXIT

wait_port() {  # the server's rendezvous service is up
  i=0
  while [ $i -lt 100 ]; do
    ss -ltnH 'sport = :10510' 2>/dev/null | grep -q . && return 0
    sleep 0.2
    i=$((i + 1))
  done
  echo "run-demo: varno did not start; see $OUT/varno.log" >&2
  return 1
}

xvfb() {  # xvfb GEOMETRY FILE: starts an Xvfb on a free display, writes ":N" to FILE
  rm -f "$2"
  Xvfb -displayfd 3 -screen 0 "$1" -nolisten tcp -noreset 3>"$2.fd" >/dev/null 2>&1 &
  PIDS="$PIDS $!"
  i=0
  while [ ! -s "$2.fd" ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
  [ -s "$2.fd" ] || { echo "run-demo: Xvfb did not start" >&2; return 1; }
  echo ":$(cat "$2.fd")" >"$2"
  rm -f "$2.fd"
}

elapsed_ok() {  # true while DEMO_SECONDS (if set) has not passed
  [ -z "$DEMO_SECONDS" ] && return 0
  [ $(($(date +%s) - START)) -lt "$DEMO_SECONDS" ]
}
START=$(date +%s)

if [ -n "$DISPLAY" ]; then
  if ! xdpyinfo >/dev/null 2>&1; then
    echo "run-demo: display $DISPLAY cannot be reached from the private namespace" >&2
    echo "(a display over TCP is not); unset DISPLAY to use virtual displays instead." >&2
    exit 1
  fi
  start varno "$BIN/varno"
  wait_port
  start glimt "$BIN/glimt" 127.0.0.1
  echo "run-demo: varno and glimt run on $DISPLAY; logs in $OUT. Ctrl-C ends the demo."
  while elapsed_ok; do sleep 1; done
  exit 0
fi

xvfb 1024x768x24 "$OUT/.display-a"
xvfb 1024x768x24 "$OUT/.display-b"
A=$(cat "$OUT/.display-a")
B=$(cat "$OUT/.display-b")

# Something that moves on the server's screen.
start xclock env DISPLAY="$A" xclock -update 1 -geometry 220x220+60+60
start xeyes env DISPLAY="$A" xeyes -geometry 200x140+360+80
start xlogo env DISPLAY="$A" xlogo -geometry 160x160+100+400
start tray env DISPLAY="$A" trayer --edge bottom --align right --widthtype pixel --width 48 \
  --heighttype pixel --height 28
sleep 1
start varno env DISPLAY="$A" "$BIN/varno"
wait_port
start glimt env DISPLAY="$B" "$BIN/glimt" 127.0.0.1

echo "run-demo: server on display $A, viewer on display $B (both virtual)."
echo "run-demo: screenshots every ${DEMO_SHOT_SECONDS:-3} s in $OUT (viewer-NNNN.png, server-NNNN.png)."
if [ -n "$DEMO_SECONDS" ]; then
  echo "run-demo: running for $DEMO_SECONDS s."
else
  echo "run-demo: Ctrl-C ends the demo."
fi

n=0
t=0
last_shot=0
while elapsed_ok; do
  # Move the pointer in a circle (the eyes follow it, the viewer's pointer too) and the logo
  # window along the bottom.
  x=$((512 + 300 * ((t % 40) - 20) / 20))
  y=$((384 + 200 * (((t + 10) % 40) - 20) / 20))
  DISPLAY=$A xdotool mousemove "$x" "$y" 2>/dev/null || true
  logo=$(DISPLAY=$A xdotool search --name '^xlogo$' 2>/dev/null | head -1)
  [ -n "$logo" ] && DISPLAY=$A xdotool windowmove "$logo" $((100 + (t * 20) % 700)) 400 2>/dev/null || true
  now=$(date +%s)
  if [ $((now - last_shot)) -ge "${DEMO_SHOT_SECONDS:-3}" ]; then
    last_shot=$now
    n=$((n + 1))
    num=$(printf '%04d' "$n")
    xwd -root -silent -display "$B" | convert xwd:- "$OUT/viewer-$num.png" 2>/dev/null || true
    xwd -root -silent -display "$A" | convert xwd:- "$OUT/server-$num.png" 2>/dev/null || true
    echo "run-demo: $OUT/viewer-$num.png"
  fi
  t=$((t + 1))
  sleep 0.25
done
exit 0
