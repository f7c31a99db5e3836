#!/bin/sh
# Builds the Debian package and tries it as a user would, as root on a
# Debian 12 machine, then restores the machine:
#  - a build for another prefix installs every file under that prefix;
#  - the package builds without GoogleTest and Google Benchmark;
#  - dpkg -i installs it; a private scheduler (its own configuration, spool
#    and socket, CUPS' own filters and data, never the machine's cupsd)
#    lists the five PPDs with lpinfo -m; a monochrome and a colour queue
#    with file devices print the shipped sample raster through the
#    installed filter and plug-in, and each stream decodes with the
#    installed gdidecode to the same pages as the build's own filter makes;
#  - dpkg --purge leaves none of the package's files behind.
# BUILD_DIR picks the package's build directory (build-deb).
set -eu
cd "$(dirname "$0")/.."
src=$PWD
BUILD_DIR=${BUILD_DIR:-build-deb}
pkg=printer-driver-rastertopwg2
[ "$(id -u)" = 0 ] || { echo "package-test: needs root (dpkg -i)"; exit 1; }
if dpkg-query -W -f '${Status}' "$pkg" 2>/dev/null | grep -q installed; then
  echo "package-test: $pkg is installed already; purge it first"
  exit 1
fi

base=$(mktemp -d /tmp/rastertopwg2-pkg.XXXXXX)
chmod 755 "$base"
cupsd_pid= installed=0 fail=0
note() { echo "FAIL: $*"; fail=1; }
# Stops our cupsd (by its pid), purges the package, removes the scratch tree.
cleanup() {
  rc=$?
  stop_pid "$cupsd_pid"
  [ "$installed" = 0 ] || dpkg --purge "$pkg" >/dev/null 2>&1 || true
  rm -rf "$base"
  exit "$rc"
}
trap cleanup EXIT
. tests/e2e/cupsd.sh
trap 'exit 1' INT TERM HUP

# ---------------------------------------------------------------------------
# Another prefix, given when configuring: every installed file below it.
cmake -S . -B "$BUILD_DIR" -DCMAKE_INSTALL_PREFIX=/usr/local -DBUILD_TESTING=OFF >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" >/dev/null
DESTDIR="$base/stage" cmake --install "$BUILD_DIR" >/dev/null
outside=$(cd "$base/stage" && find . ! -type d | sed 's|^\.||' | grep -v '^/usr/local/' || true)
[ -z "$outside" ] || note "an install for /usr/local wrote outside it: $outside"
[ -f "$base/stage/usr/local/share/cups/model/rastertopwg2/gdimled.ppd" ] ||
  note "an install for /usr/local has no PPDs under /usr/local/share/cups/model"
rm -rf "$base/stage"

# The package, with the test packages out of reach.
deb=$(BUILD_DIR=$BUILD_DIR scripts/build-deb.sh -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON | tail -n 1)
echo "package: $deb"
dpkg-deb -f "$deb" Package Version Depends
cmake --build "$BUILD_DIR" --target testpage >/dev/null
files=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|; s|/$||' | grep -v '^$')
# What exists already (shared directories such as /usr/bin) may stay.
existed=$(for f in $files; do [ ! -e "$f" ] || echo "$f"; done)

dpkg -i "$deb" >/dev/null
installed=1
for f in copyright NOTICE NEWS; do [ -s "/usr/share/doc/$pkg/$f" ] || note "no /usr/share/doc/$pkg/$f"; done
for m in man1/gdidecode.1.gz man8/rastertopwg2.8.gz; do [ -s "/usr/share/man/$m" ] || note "no manual page $m"; done

# ---------------------------------------------------------------------------
# A private scheduler with CUPS' own server-bin and data directories, where
# the package put the filter and the PPDs.
mkdir -p "$base/etc/ppd" "$base/etc/ssl" "$base/spool/tmp" "$base/log" "$base/cache" "$base/state/certs" \
  "$base/run" "$base/out" "$base/root/tmp" "$base/ref" "$base/dec"
chmod 710 "$base/spool"
chmod 1770 "$base/spool/tmp"
chgrp lp "$base/spool" "$base/spool/tmp"
chown -R lp:lp "$base/out" "$base/root"
port=''  # the local socket only
start_cupsd "$(pkg-config --variable=cups_serverbin cups 2>/dev/null || echo /usr/lib/cups)" \
  "$(pkg-config --variable=cups_datadir cups 2>/dev/null || echo /usr/share/cups)" "FileDevice Yes
SetEnv RASTERTOPWG2_ROOT $base/root" || exit 1

models=$(lpinfo -m 2>/dev/null | awk '$1 ~ /^rastertopwg2\// { print $1 }' | sort | tr '\n' ' ')
[ "$models" = "rastertopwg2/gdibkred.ppd rastertopwg2/gdicolor.ppd rastertopwg2/gdima3.ppd rastertopwg2/gdimled.ppd rastertopwg2/gdimlsu.ppd " ] ||
  note "lpinfo -m lists [$models]"

# The shipped sample (scripts/sample-job.sh) on the LED model, and a colour
# photo page on the colour model.
"$BUILD_DIR"/tools/testpage -o "$base/mono.ras" --pages 2 --media 595x842 --res 600 --content text,ramp
"$BUILD_DIR"/tools/testpage -o "$base/colour.ras" --pages 1 --media 595x842 --res 600 --colorspace rgb \
  --content photo --int 4=3
chmod a+r "$base"/*.ras

# Prints RASTER on a new queue for MODEL; checks that the job completes, the
# stream decodes, and its pages are those of the build's filter run by hand.
print_and_check() { # queue model raster pages
  queue=$1 model=$2 raster=$3 pages=$4
  lpadmin -p "$queue" -E -v "file://$base/out/$queue.prn" -m "rastertopwg2/$model.ppd" 2>"$base/lpadmin.err" ||
    { note "lpadmin $queue: $(cat "$base/lpadmin.err")"; return; }
  lp -d "$queue" -o document-format=application/vnd.cups-raster "$raster" >/dev/null || { note "lp $queue"; return; }
  i=0
  while [ -n "$(lpstat -o "$queue" 2>/dev/null)" ] && [ $((i += 1)) -le 600 ]; do sleep 0.2; done
  lpstat -W completed -o "$queue" | grep -q "^$queue-" || { note "$queue: the job did not complete"; return; }
  ! grep -E "\[Job [0-9]+\] (ERROR|WARNING):" "$base/log/error_log" || note "$queue: the filter warned"
  /usr/bin/gdidecode --pbm -o "$base/dec/$queue" "$base/out/$queue.prn" >"$base/dec/$queue.txt" 2>&1 &&
    grep -qx "result: ok" "$base/dec/$queue.txt" || { note "$queue: gdidecode rejects the stream" && return; }
  ls "$base/dec/$queue"-*.pbm | wc -l | grep -qx "$pages" || note "$queue: not $pages pages"
  # The same raster through the build's filter and plug-in, by hand.
  RASTERTOPWG2_ROOT="$base/root" RASTERTOPWG2_PLUGIN_DIR="$src/$BUILD_DIR/plugins/iccp" CUPS_SERVER="$base/none" \
    PPD="/usr/share/cups/model/rastertopwg2/$model.ppd" "$BUILD_DIR"/filter/rastertopwg2 1 root t 1 "" "$raster" \
    >"$base/ref/$queue.prn" 2>/dev/null
  "$BUILD_DIR"/tools/gdidecode --pbm -o "$base/ref/$queue" "$base/ref/$queue.prn" >/dev/null 2>&1 ||
    note "$queue: the build's own stream does not decode"
  for p in "$base/ref/$queue"-*.pbm; do
    cmp -s "$p" "$base/dec/$queue-${p##*-}" || note "$queue: page ${p##*-} differs from the build's filter"
  done
  lpadmin -x "$queue"
}
print_and_check pkgtest-mono gdimled "$base/mono.ras" 2
print_and_check pkgtest-colour gdicolor "$base/colour.ras" 1

kill -TERM "$cupsd_pid" && wait "$cupsd_pid" 2>/dev/null || true
cupsd_pid=

# ---------------------------------------------------------------------------
dpkg --purge "$pkg" >/dev/null
installed=0
for f in $files; do
  if [ -e "$f" ] && ! echo "$existed" | grep -qx "$f"; then note "left after purge: $f"; fi
done
! dpkg-query -W "$pkg" 2>/dev/null | grep -q . || note "dpkg still knows $pkg"

[ "$fail" = 0 ] && echo "package test passed: installs, lists its PPDs, prints, purges clean"
exit "$fail"
