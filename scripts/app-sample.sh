#!/bin/sh
# Runs the printer application on the shipped sample: builds it (when
# something changed), starts a private server whose socket, state and
# spool live in out/app/, adds a printer of the monochrome LED model on a
# file device, prints the two-page sample raster over IPP, waits for the
# job, stops the server and decodes the printer stream into one PNG per
# page. Results land in out/: the printer stream app-sample.prn, the
# server's log app-sample.log, the decoder's listing and the page images.
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" --target rastertopwg2-app ppds testpage gdidecode ||
  { echo "build failed (the application needs PAPPL: Debian's libpappl-dev)" >&2 && exit 1; }
app=$BUILD_DIR/app/rastertopwg2-app
out=$PWD/out
rm -rf "$out/app" "$out"/app-sample*
mkdir -p "$out/app"

# A server of its own: socket and state under out/app whether run by root
# or not, the PPDs of the build tree, no network listener.
export SNAP_COMMON="$out/app" TMPDIR="$out/app" HOME="$out/app" RASTERTOPWG2_PPD_DIR="$BUILD_DIR/ppd/generated"
"$app" server -o private-server=true -o spool-directory="$out/app/spool" -o log-file="$out/app-sample.log" \
  -o log-level=info &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
i=0
# A client that finds no server starts one of its own: ask only once the
# server has made its socket.
until [ -S "$out/app/rastertopwg2-app.sock" ] || [ -S "$out/app/rastertopwg2-app$(id -u).sock" ] &&
  "$app" status >/dev/null 2>&1; do
  [ $((i += 1)) -le 600 ] || { echo "the server did not start within a minute, see out/app-sample.log" >&2 && exit 1; }
  sleep 0.1
done

# PAPPL writes to a file device that exists.
: >"$out/app-sample.prn"
"$app" add -d sample -m gdimled -v "file://$out/app-sample.prn"
"$BUILD_DIR"/tools/testpage -o "$out/app-sample.ras" --pages 2 --content text,ramp
"$app" submit -d sample -o document-format=image/pwg-raster "$out/app-sample.ras"
i=0
while "$app" jobs -d sample | grep -Eq "pending|processing"; do
  [ $((i += 1)) -le 600 ] || { echo "the job did not end within 60 s" >&2 && exit 1; }
  sleep 0.1
done
"$app" jobs -d sample
kill "$server" && wait "$server" || true
trap - EXIT

echo "printer stream: out/app-sample.prn ($(wc -c <"$out/app-sample.prn") bytes), server log: out/app-sample.log"
"$BUILD_DIR"/tools/gdidecode -o "$out/app-sample-page" "$out/app-sample.prn" >"$out/app-sample-listing.txt"
echo "stream listing: out/app-sample-listing.txt ($(tail -n 1 "$out/app-sample-listing.txt"))"
ls "$out"/app-sample-page-*.png
