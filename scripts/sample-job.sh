#!/bin/sh
# Builds the filter and runs its main job on the shipped sample: a two-page
# raster document from the test-page writer through the filter with the
# sample PPD, then the stream decoder checks the printer stream and writes
# each page as PNG. Results land in out/: the raster input, the printer
# stream, the filter's messages, the decoder's listing and the page images.
set -e
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD_DIR" -j"$(nproc)" --target rastertopwg2 testpage gdidecode
mkdir -p out
"$BUILD_DIR"/tools/testpage -o out/sample.ras --pages 2 --media 595x842 --res 600 --content text,ramp
PPD=tests/data/sample.ppd "$BUILD_DIR"/filter/rastertopwg2 1 "$(id -un)" sample.ras 1 "" out/sample.ras \
  > out/sample.prn 2> out/sample.log
echo "printer stream: out/sample.prn ($(wc -c < out/sample.prn) bytes)"
echo "filter messages: out/sample.log"
grep -E '^(ATTR|ERROR|WARNING|INFO|PAGE):' out/sample.log || true
rm -f out/sample-page-*.png
"$BUILD_DIR"/tools/gdidecode -o out/sample-page out/sample.prn > out/sample-listing.txt
echo "stream listing: out/sample-listing.txt ($(tail -n 1 out/sample-listing.txt))"
ls out/sample-page-*.png 2>/dev/null || echo "no page images"
