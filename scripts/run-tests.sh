#!/bin/sh
# Builds the project and runs every test. Extra arguments go to cmake's
# configure step (for example -DRASTERTOPWG2_SANITIZE=ON); BUILD_DIR picks
# the build directory; CTEST_ARGS adds ctest arguments (for example -LE e2e).
set -e
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$BUILD_DIR" -j"$(nproc)"
cd "$BUILD_DIR"
ctest --output-on-failure -j"$(nproc)" ${CTEST_ARGS:-}
