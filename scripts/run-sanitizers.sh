#!/bin/sh
# The whole test suite under AddressSanitizer + UndefinedBehaviorSanitizer (build-asan), then
# the tests that share the block queue, the dirty region and the flags between threads under
# ThreadSanitizer (build-tsan). Usage: scripts/run-sanitizers.sh [asan|tsan]... (default both)
# JOBS sets the build and test parallelism (default: the number of cores).
set -e
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=${JOBS:-$(nproc)}
WHAT=${*:-"asan tsan"}
# Leaks inside the toolkit and the X libraries (fonts, the platform plugin, caches kept for the
# process) are not ours; everything else is reported.
export LSAN_OPTIONS="suppressions=$ROOT/scripts/sanitizers.supp:print_suppressions=0"
# (No strict_string_checks: libxkbcommon-x11 strndup()s bounded, unterminated xcb replies.)
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
# Threads, queues, region and flags: the viewer's block queue and refresh requester, the
# server's sampler, sender, control lane, compression pool and the three together, stream
# key, tracker, region, thread queues and rendezvous service (target, connection table and
# refresh flag), and the race tests.
TSAN_TESTS=${TSAN_TESTS:-"BlockQueueTest|RefreshRequesterTest|SamplerTest|SendQueue|Sender\.|CompressPoolTest|PipelineTest|ServerStreamKey|TrackerTest|RegionTest|ThreadQueueTest|RendezvousTest|RendezvousRequest|RendezvousTable|SharedState"}
# CI passes "--repeat until-pass:2": a sanitized build runs several times slower, and a
# timing bound of an integration test may be missed once under load; a sanitizer report fails
# every repetition alike.
CTEST_REPEAT=${CTEST_REPEAT:-}
# Line tables only (-g1): file:line in every report, a fifth less compile time than -g.
LINES_CXX="-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
LINES_C="-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
status=0
for what in $WHAT; do
  case $what in
    asan)
      cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_SANITIZE=ON \
        -DORVANE_BENCH=OFF "$LINES_CXX" "$LINES_C" >/dev/null
      cmake --build build-asan -j "$JOBS" >build-asan/build.log 2>&1 ||
        { tail -40 build-asan/build.log; exit 1; }
      (cd build-asan && ctest --output-on-failure -j "$JOBS" --timeout 300 $CTEST_REPEAT) || status=1
      ;;
    tsan)
      cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_TSAN=ON \
        -DORVANE_BENCH=OFF "$LINES_CXX" "$LINES_C" >/dev/null
      cmake --build build-tsan -j "$JOBS" --target glimt_unit_tests engine_unit_tests engine_rendezvous_tests \
        engine_compress_tests hardening_race_tests >build-tsan/build.log 2>&1 || { tail -40 build-tsan/build.log; exit 1; }
      (cd build-tsan && ctest --output-on-failure -j "$JOBS" --timeout 300 $CTEST_REPEAT -R "$TSAN_TESTS") ||
        status=1
      ;;
    *) echo "unknown: $what (asan or tsan)" >&2; exit 2 ;;
  esac
done
exit $status
