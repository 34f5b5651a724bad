#!/bin/sh
# Builds everything and runs the whole test suite (unit and integration tests).
# Integration tests start their own Xvfb and run inside private network namespaces.
set -e
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
BUILD=${BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD" -j "$(nproc)"
cd "$BUILD"
ctest --output-on-failure -j "$(nproc)" --timeout 300
