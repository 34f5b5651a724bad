#!/bin/sh
# Tests the Debian package the way a user meets it: builds it (ninja deb), checks it with
# lintian, installs it on THIS machine with apt (which fetches what it depends on), checks the
# installed programs, menu entries, manual pages and logs, runs the live demo with the installed
# programs, then purges it and checks that every file it installed is gone. The Debian packages
# that apt pulled in for it are purged as well, so the machine's package set ends as it began.
#
# It changes the machine's installed packages, so it runs only when asked: with CI=true (CI
# runs on a throwaway machine) or ORVANE_PACKAGE_TEST=1. It needs root (or sudo) and refuses
# to run when orvane-varno is already installed. Everything that multicasts or opens a port
# runs in a private network namespace.
set -u
cd "$(dirname "$0")/.."
BUILD=${BUILD_DIR:-build}
START=$(date +%s)

if [ "${CI:-}" != true ] && [ "${ORVANE_PACKAGE_TEST:-0}" != 1 ]; then
  echo "test-package: skipped (it installs and purges a package on this machine; set"
  echo "ORVANE_PACKAGE_TEST=1 to run it)"
  exit 0
fi
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
if dpkg-query -W -f='${Status}' orvane-varno 2>/dev/null | grep -q "installed"; then
  echo "test-package: orvane-varno is installed on this machine; not touching it" >&2
  exit 1
fi

FAILURES=0
fail() { echo "FAIL: $*"; FAILURES=$((FAILURES + 1)); }
pass() { echo "ok: $*"; }
lap() { echo "== $1 after $(($(date +%s) - START)) s"; }

sh scripts/install-deps.sh package || exit 1
[ -f "$BUILD/build.ninja" ] || cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
rm -f "$BUILD"/orvane-varno_*.deb
cmake --build "$BUILD" --target deb >"$BUILD/deb-build.log" 2>&1 || {
  tail -30 "$BUILD/deb-build.log"
  echo "test-package: ninja deb failed" >&2
  exit 1
}
DEB=$(ls "$BUILD"/orvane-varno_*.deb)
DEB=$(cd "$(dirname "$DEB")" && pwd)/$(basename "$DEB")
VERSION=$(dpkg-deb -f "$DEB" Version)
lap "package $DEB built"

# --- lintian: no errors; every warning must be one that docs/packaging.md names with its reason
# (lintian leaves files in TMPDIR behind)
LINT_TMP=$(mktemp -d)
LINT=$(TMPDIR=$LINT_TMP lintian --info "$DEB" 2>&1 | grep -E '^[EW]: ')
rm -rf "$LINT_TMP"
echo "$LINT" | grep -q '^E: ' && fail "lintian errors:
$(echo "$LINT" | grep '^E: ')"
ACCEPTED=$(sed -n '/^### Lintian warnings left/,/^#/p' docs/packaging.md | sed -n 's/^| `\([a-z0-9-]*\)` |.*/\1/p')
for tag in $(echo "$LINT" | sed -n 's/^W: [^ ]* \([a-z0-9-]*\).*/\1/p' | sort -u); do
  echo "$ACCEPTED" | grep -qx "$tag" || fail "lintian warning $tag is not named in docs/packaging.md"
done
[ -z "$LINT" ] && pass "lintian: no errors, no warnings"
lap lintian

# --- install with apt, which resolves and fetches the dependencies --------------------------
BEFORE=$(mktemp)
dpkg-query -W -f='${Package}:${Architecture}\n' | sort >"$BEFORE"
# In /tmp, which the unprivileged user below can reach whatever TMPDIR says.
WORK=$(mktemp -d /tmp/orvane-package-test.XXXXXX)
chmod 755 "$WORK"
# What runs as the unprivileged user writes only below USER_DIR (its home, the demo's output)
# and reads the demo's scripts from a copy there: the work tree may lie in a folder it cannot
# enter.
USER_DIR=$WORK/user
mkdir -p "$USER_DIR/home" "$USER_DIR/src/scripts"
cp scripts/run-demo.sh scripts/install-deps.sh "$USER_DIR/src/scripts/"
chown -R nobody: "$USER_DIR/home"
mkdir -p "$USER_DIR/demo" && chown nobody: "$USER_DIR/demo"
cleanup() {
  trap - EXIT INT TERM
  if dpkg-query -W -f='${Status}' orvane-varno 2>/dev/null | grep -q "installed"; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get purge -o DPkg::Lock::Timeout=300 -y -q orvane-varno >/dev/null 2>&1
  fi
  if [ -s "$WORK/pulled" ]; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get purge -o DPkg::Lock::Timeout=300 -y -q $(cat "$WORK/pulled") >/dev/null 2>&1
  fi
  rm -rf "$WORK" "$BEFORE"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
apt_install() {
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -o DPkg::Lock::Timeout=300 -y -q \
    --no-install-recommends "$DEB" >"$WORK/apt-install.log" 2>&1
}
# A dependency that is not installed yet may need fresh package lists first.
if ! apt_install && ! { $SUDO apt-get update -q >/dev/null 2>&1 && apt_install; }; then
  cat "$WORK/apt-install.log"
  fail "apt-get install $DEB"
  exit 1
fi
dpkg-query -W -f='${Package}:${Architecture}\n' | sort | comm -13 "$BEFORE" - | grep -v '^orvane-varno:' >"$WORK/pulled"
pass "apt-get install: orvane-varno $VERSION installed; apt pulled in: $(tr '\n' ' ' <"$WORK/pulled")"
# What the package depends on is really there, the Qt platform plugins included.
for dep in $(dpkg-query -W -f='${Depends}' orvane-varno | tr ',' '\n' | sed 's/(.*//; s/|.*//; s/ //g'); do
  dpkg-query -W -f='${Status}' "$dep" 2>/dev/null | grep -q "install ok installed" ||
    fail "dependency $dep is not installed"
done
MA=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for plugin in libqxcb.so libqwayland-generic.so; do
  f=/usr/lib/$MA/qt6/plugins/platforms/$plugin
  if [ ! -f "$f" ]; then
    fail "the Qt platform plugin $f is missing"
  elif ldd "$f" | grep -q "not found"; then
    fail "the Qt platform plugin $f lacks libraries: $(ldd "$f" | grep 'not found' | tr '\n' ' ')"
  fi
done
lap install

# --- the programs -----------------------------------------------------------------------------
for prog in varno glimt; do
  out=$(/usr/bin/$prog --version 2>&1)
  case "$out" in
    "$prog "*" $VERSION") pass "/usr/bin/$prog --version: $out" ;;
    *) fail "/usr/bin/$prog --version said: $out" ;;
  esac
done
/usr/bin/orvane-reg --help | grep -q "orvane-reg query KEY" && pass "/usr/bin/orvane-reg --help" ||
  fail "/usr/bin/orvane-reg --help"
for f in /usr/bin/varno /usr/bin/glimt /usr/bin/orvane-reg; do
  ldd "$f" | grep -q "not found" && fail "$f lacks libraries: $(ldd "$f" | grep 'not found')"
done
HOOKS=$(ldd /usr/bin/varno | sed -n 's/^[[:space:]]*libhooks\.so => \([^ ]*\).*/\1/p')
[ -n "$HOOKS" ] && HOOKS=$(readlink -f "$HOOKS")
[ "$HOOKS" = "/usr/lib/$MA/orvane-varno/libhooks.so" ] && pass "varno loads $HOOKS" ||
  fail "varno loads libhooks.so from '$HOOKS', not from its private folder"
[ -e /usr/bin/libhooks.so ] && fail "libhooks.so lies in /usr/bin"

# --- menu entries, autostart, icons -----------------------------------------------------------
for entry in /usr/share/applications/varno.desktop /usr/share/applications/glimt.desktop \
    /etc/xdg/autostart/varno.desktop; do
  if msg=$(desktop-file-validate "$entry" 2>&1) && [ -z "$msg" ]; then
    pass "desktop-file-validate $entry"
  else
    fail "desktop-file-validate $entry: $msg"
  fi
  exe=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
  command -v "$exe" >/dev/null || fail "$entry starts '$exe', which is not on PATH"
  icon=$(sed -n 's/^Icon=//p' "$entry")
  ls /usr/share/icons/hicolor/*/apps/"$icon".png >/dev/null 2>&1 ||
    fail "$entry names icon '$icon', which is not in /usr/share/icons/hicolor"
done
grep -qx 'Hidden=true' /etc/xdg/autostart/varno.desktop && pass "the autostart entry ships disabled" ||
  fail "/etc/xdg/autostart/varno.desktop is not disabled (Hidden=true)"
dpkg-query -W -f='${Conffiles}' orvane-varno | grep -q /etc/xdg/autostart/varno.desktop ||
  fail "/etc/xdg/autostart/varno.desktop is not a conffile (an administrator's change would be lost)"

# --- manual pages -----------------------------------------------------------------------------
for page in varno glimt orvane-reg; do
  text=$(MANWIDTH=80 man -P cat "$page" 2>"$WORK/man.err")
  if echo "$text" | grep -q "^NAME" && echo "$text" | grep -q "^FILES\|^EXIT STATUS" &&
      echo "$text" | grep -Eq "^ *$page +- "; then
    pass "man $page ($(man -w "$page"))"
  else
    fail "man $page did not show the page: $(cat "$WORK/man.err")$(grep -h man /etc/dpkg/dpkg.cfg.d/* 2>/dev/null | head -3)"
  fi
done
[ -f /usr/share/doc/orvane-varno/copyright ] && [ -f /usr/share/doc/orvane-varno/changelog.gz ] &&
  pass "copyright and changelog in /usr/share/doc/orvane-varno" ||
  fail "copyright or changelog missing from /usr/share/doc/orvane-varno"

# --- a system-wide install logs where the user can read it ------------------------------------
# A user who is not root cannot write /usr/bin: the log line goes to ~/.local/state/orvane.
STATE=$USER_DIR/home/.local/state/orvane
MONTH=$(date +%Y%m)
env -i PATH=/usr/bin:/bin HOME="$USER_DIR/home" unshare -n \
  setpriv --reuid=nobody --regid=nogroup --clear-groups /usr/bin/varno >/dev/null 2>&1
# (a month may begin between the run and the look)
if grep -qs 'ASSERT(desktop) failed' "$STATE/varno-$MONTH.log" "$STATE/varno-$(date +%Y%m).log"; then
  pass "a system-wide varno without a display logged to ~/.local/state/orvane/varno-$MONTH.log"
else
  fail "a system-wide varno without a display left no line in ~/.local/state/orvane/varno-$MONTH.log"
fi
lap "installed files"

# --- the live demo with the installed programs ------------------------------------------------
# Run as a user who is not root, as a user of the package would. The viewer shows the server's
# screen 1:1 on a display of the same size, so the two screenshots of one moment must agree but
# for what moved in between (clock, eyes, the moving logo): a viewer that shows nothing differs
# by every window on the server's screen, several times more.
DEMO=$USER_DIR/demo
if env -i PATH=/usr/bin:/bin HOME="$USER_DIR/home" DEMO_PROGRAMS=/usr/bin DEMO_OUT="$DEMO" \
    DEMO_SECONDS=10 DEMO_SHOT_SECONDS=2 setpriv --reuid=nobody --regid=nogroup --clear-groups \
    sh "$USER_DIR/src/scripts/run-demo.sh" >"$WORK/demo.log" 2>&1; then
  best=""
  for v in "$DEMO"/viewer-*.png; do
    s=$(echo "$v" | sed 's,viewer-\([0-9]*\)\.png$,server-\1.png,')
    [ -f "$s" ] || continue
    n=$(compare -metric AE -fuzz 10% "$v" "$s" null: 2>&1 | sed 's/[^0-9].*//')
    [ -n "$n" ] || continue
    [ -z "$best" ] || [ "$n" -lt "$best" ] && best=$n
  done
  # Measured: about 15000 pixels differ while the viewer follows (the logo moves 20 pixels
  # every 0.25 s), about 79000 against a viewer that shows nothing.
  if [ -n "$best" ] && [ "$best" -lt 40000 ]; then
    pass "demo with /usr/bin/varno and /usr/bin/glimt: the viewer shows the server's screen ($best pixels differ)"
  else
    fail "demo with the installed programs: the viewer's screenshots differ from the server's by ${best:-?} pixels"
    tail -20 "$WORK/demo.log"
  fi
else
  fail "run-demo.sh with DEMO_PROGRAMS=/usr/bin"
  tail -20 "$WORK/demo.log"
fi
lap demo

# --- purge removes every file the package installed --------------------------------------------
dpkg-query -L orvane-varno | sort >"$WORK/files"
DEBIAN_FRONTEND=noninteractive $SUDO apt-get purge -o DPkg::Lock::Timeout=300 -y -q orvane-varno >"$WORK/apt-purge.log" 2>&1 ||
  { cat "$WORK/apt-purge.log"; fail "apt-get purge orvane-varno"; }
left=""
while read -r f; do
  # Shared folders (/usr/bin, /etc/xdg, ...) stay; files and the package's own folders go.
  if [ -d "$f" ] && [ ! -L "$f" ]; then
    case "$f" in
      */orvane-varno) left="$left $f" ;;
    esac
  elif [ -e "$f" ] || [ -L "$f" ]; then
    left="$left $f"
  fi
done <"$WORK/files"
[ -z "$left" ] && pass "purge removed all $(wc -l <"$WORK/files") paths the package installed" ||
  fail "left after purge:$left"
case "$(dpkg-query -W -f='${Status}' orvane-varno 2>/dev/null)" in
  "" | *not-installed) ;;
  *) fail "dpkg still holds orvane-varno after purge: $(dpkg-query -W -f='${Status}' orvane-varno)" ;;
esac
lap purge

if [ "$FAILURES" -gt 0 ]; then
  echo "test-package: $FAILURES check(s) failed"
  exit 1
fi
echo "test-package: all checks passed"
