#!/bin/sh
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each for SECONDS seconds (default
# 30) on one core at low priority, from the seeds in fuzz/corpus into a working corpus in the
# build folder. Usage: scripts/run-fuzz.sh [SECONDS] [TARGET...]
# Ends with status 1 when a target found a crash (its reproducer is left in the build folder).
set -e
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-30}
[ $# -gt 0 ] && shift
TARGETS=${*:-"viewer_datagram rendezvous uninstall_log target_parsers"}
BUILD=${FUZZ_BUILD_DIR:-build-fuzz}
if [ ! -f "$BUILD/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DORVANE_FUZZ=ON -DBUILD_TESTING=OFF \
    -DORVANE_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" \
    >/dev/null
fi
set --
for t in $TARGETS; do set -- "$@" "fuzz_$t"; done
cmake --build "$BUILD" -j 2 --target "$@" >/dev/null
status=0
for t in $TARGETS; do
  work="$BUILD/fuzz-work/$t"
  mkdir -p "$work/corpus" "$work/crashes"
  echo "== $t: ${SECONDS_EACH}s"
  if ! nice -n 19 "$BUILD/bin/fuzz_$t" -max_total_time="$SECONDS_EACH" -max_len=65600 \
      -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$work/crashes/" "$work/corpus" "fuzz/corpus/$t" \
      >"$work/last.log" 2>&1; then
    echo "   FINDING: see $work/last.log and $work/crashes/"
    status=1
  fi
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$work/last.log" | sed 's/^/   /'
  grep -E "^#[0-9]+.*DONE" "$work/last.log" | tail -1 | sed 's/^/   /'
done
exit $status
