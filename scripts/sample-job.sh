#!/bin/sh
# Builds the filter and runs its main job on the shipped sample: a two-page
# raster document from the test-page writer through the filter with the
# sample PPD. Results land in out/: the raster input, the printer stream,
# and the filter's messages.
set -e
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD_DIR" -j"$(nproc)" --target rastertopwg2 testpage
mkdir -p out
"$BUILD_DIR"/tools/testpage -o out/sample.ras --pages 2 --media 595x842 --res 600 --content text,ramp
PPD=tests/data/sample.ppd "$BUILD_DIR"/filter/rastertopwg2 1 "$(id -un)" sample.ras 1 "" out/sample.ras \
  > out/sample.prn 2> out/sample.log
echo "printer stream: out/sample.prn ($(wc -c < out/sample.prn) bytes)"
echo "filter messages: out/sample.log"
grep -E '^(ATTR|ERROR|WARNING|INFO|PAGE):' out/sample.log || true
