#!/bin/sh
# The soak: varno and glimt for SECONDS (default 600) on private Xvfb displays in a private
# network namespace while a client keeps drawing; prints the resident memory, descriptors and
# threads of both after the first minute and at the end, and fails when memory grew by more
# than 10 % or descriptors or threads grew. Usage: scripts/soak.sh [SECONDS] (build: BUILD_DIR)
set -e
cd "$(dirname "$0")/.."
BUILD=${BUILD_DIR:-build}
SECS=${1:-600}
cmake --build "$BUILD" --target hardening_soak_tests varno glimt hooks >/dev/null
ORVANE_SOAK_SECONDS=$SECS ORVANE_BIN_DIR="$(pwd)/$BUILD/bin" ORVANE_SOURCE_DIR="$(pwd)" \
  sh tests/netns-run "$BUILD/bin/hardening_soak_tests"
