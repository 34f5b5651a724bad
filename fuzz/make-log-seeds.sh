#!/bin/sh
# Makes the uninstall-log seeds: installs with the real Setup of a build into a temporary
# folder (its own registry, menu folder and home; nothing outside the temporary folder is
# written), on a private Xvfb, clicking through the pages with xdotool, and copies the
# Uninstall.log it wrote into fuzz/corpus/uninstall_log/.
# Usage: fuzz/make-log-seeds.sh BUILD_DIR   (Setup, varno, glimt, libhooks.so, orvane-reg built)
set -e
BIN=$(cd "$1/bin" && pwd)
SRC=$(cd "$(dirname "$0")/.." && pwd)
T=$(mktemp -d)
XPID=
trap '[ -n "$XPID" ] && kill $XPID 2>/dev/null; rm -rf "$T"' EXIT
mkdir -p "$T/pkg" "$T/opt" "$T/menu" "$T/home/menu" "$T/run"
cp "$BIN/Setup" "$BIN/varno" "$BIN/glimt" "$BIN/libhooks.so" "$T/pkg/"
cp "$SRC/setup/package/License.txt" "$SRC/setup/package/Readme.txt" "$T/pkg/"
export ORVANE_REGISTRY="$T/reg" HOME="$T/home" XDG_RUNTIME_DIR="$T/run" QT_QPA_PLATFORM=xcb
CV='SOFTWARE\Microsoft\Windows\CurrentVersion'
SF='Software\Microsoft\Windows\CurrentVersion\explorer\Shell Folders'
"$BIN/orvane-reg" add "HKLM\\$CV" /v ProgramFilesDir /d "$T/opt" >/dev/null
"$BIN/orvane-reg" add "HKLM\\$SF" /v "Common Programs" /d "$T/menu" >/dev/null
"$BIN/orvane-reg" add "HKCU\\$SF" /v Programs /d "$T/home/menu" >/dev/null

exec 3>"$T/displayfd"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset >/dev/null 2>&1 &
XPID=$!
for i in $(seq 50); do [ -s "$T/displayfd" ] && break; sleep 0.1; done
export DISPLAY=":$(head -1 "$T/displayfd")"

"$T/pkg/Setup" >"$T/setup.out" 2>&1 &
SETUP=$!
# Each page is a new window captioned "Orvane VARNO Setup"; OK sits at (220, 182) of 312 x 197
# dialog units.
seen=
next_page() {
  for i in $(seq 100); do
    for id in $(xdotool search --onlyvisible --name '^Orvane VARNO Setup$' 2>/dev/null); do
      case " $seen " in *" $id "*) ;; *) seen="$seen $id"; sleep 0.3; echo "$id"; return 0;; esac
    done
    sleep 0.2
  done
  echo "no page" >&2; return 1
}
click_ok() {
  eval "$(xdotool getwindowgeometry --shell "$1")"
  xdotool mousemove --window "$1" $((220 * WIDTH / 312)) $((182 * HEIGHT / 197)) click 1
  sleep 0.2
}
for page in licence folder components multicast finish; do
  id=$(next_page) || { cat "$T/setup.out" >&2; kill $SETUP; exit 1; }
  click_ok "$id"
done
wait $SETUP
LOG="$T/opt/Orvane VARNO/Uninstall.log"
test -s "$LOG"
mkdir -p "$SRC/fuzz/corpus/uninstall_log"
cp "$LOG" "$SRC/fuzz/corpus/uninstall_log/installation.log"
# The same log cut short, as a failed installation leaves it.
head -c $(( $(stat -c %s "$LOG") / 2 )) "$LOG" > "$SRC/fuzz/corpus/uninstall_log/installation-cut.log"
echo "uninstall log seeds: $(stat -c %s "$LOG") bytes"
# Records for the replay's scratch tree in the fuzz target: paths relative to the tree, some
# through its links, some with "." and "..".
record() { printf '%s' "$1"; printf "\\$(printf '%03o' ${#2})"; printf '%s' "$2"; printf '\000'; }
{
  record F a/f; record F b/sentinel; record F a/link/sub/sentinel; record D a/empty
  record D b; record F a/filelink; record F a/../b/sentinel; record D a/link/sub
  record R 'SOFTWARE\Orvane\VARNO'; record R 'SOFTWARE\Microsoft\Windows\CurrentVersion'
} > "$SRC/fuzz/corpus/uninstall_log/replay-tree.log"
