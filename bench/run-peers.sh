#!/bin/bash
# Peer benchmark: renders the same documents through CUPS' own filters for
# our PPD and for the peers' PPDs, then times each driver's filter on its own
# raster in one run, beside the floor (libjbig alone coding our output
# bitmaps with the stream's parameters).
#
#   bench/run-peers.sh BUILD_DIR [RUNS]          (RUNS: default 5)
#
# Needs: cups-filters, ghostscript, poppler-utils, python3, and the peers as
# installed packages: printer-driver-splix (rastertoqpdl, CLP-315 in gray),
# printer-driver-foo2zjs (foo2zjs on ghostscript's PBM pages). A peer that
# is not installed is left out of the table.
set -eu
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [RUNS]" >&2; exit 2; }
build=$(realpath "$1") runs=${2:-5}
here=$(dirname "$(realpath "$0")")
filter=$build/filter/rastertopwg2 ppd=${PEER_PPD:-$build/ppd/generated/gdimled.ppd}
decode=$build/tools/gdidecode testpage=$build/tools/testpage floor=$build/bench/jbig_floor
work=$(mktemp -d "${TMPDIR:-/tmp}/peers.XXXXXX")
trap 'rm -rf "$work"' EXIT
measure() { python3 "$here/measure.py" --runs "$runs" "$@"; }

# The documents: ten pages of a real text, CUPS' test page, a photo page.
cupsfilter -m application/pdf /usr/share/common-licenses/GPL-3 >"$work/gpl.pdf" 2>/dev/null
pdfseparate -f 1 -l 10 "$work/gpl.pdf" "$work/gpl-%02d.pdf"
pdfunite "$work"/gpl-??.pdf "$work/text10.pdf"
cp /usr/share/cups/data/default-testpage.pdf "$work/testpage.pdf"
"$testpage" -o "$work/photo-src.ras" --colorspace srgb --content photo --res 150
env -u PPD /usr/lib/cups/filter/rastertopdf 1 bench photo 1 "" "$work/photo-src.ras" \
  >"$work/photo.pdf" 2>/dev/null

splix_ppd=""
if [ -x /usr/lib/cups/filter/rastertoqpdl ] && [ -f /usr/share/cups/drv/splix-samsung.drv ]; then
  mkdir -p "$work/splix" && ppdc -d "$work/splix" /usr/share/cups/drv/splix-samsung.drv 2>/dev/null
  splix_ppd=$work/splix/clp315.ppd
fi

printf '%-9s %-8s %5s %8s %8s %6s %8s %9s %8s %8s %7s\n' doc driver pages "wall/p" "CPU/p" ppm \
  "RSS MiB" "bytes/p" "first s" "floor/p" CPU/flr
for doc in text10 testpage photo; do
  pdf=$work/$doc.pdf
  pages=$(pdfinfo "$pdf" | awk '/^Pages:/ { print $2 }')

  # Ours, on the raster CUPS makes for our PPD.
  cupsfilter -p "$ppd" -m application/vnd.cups-raster "$pdf" >"$work/$doc.ras" 2>/dev/null
  mkdir -p "$work/root/tmp"
  env RASTERTOPWG2_ROOT="$work/root" TMPDIR="$work/root/tmp" PPD="$ppd" CUPS_SERVER="$work/none" \
    "$filter" 1 bench "$doc" 1 "" <"$work/$doc.ras" >"$work/$doc.prn" 2>/dev/null
  rm -f "$work"/page-*.pbm
  "$decode" --pbm -o "$work/page" "$work/$doc.prn" >/dev/null
  # The coding options the job header announces ("@PJL COMMENT JBIG,00,%2d").
  opts=$(grep -a -o 'COMMENT JBIG,00,[ 0-9]*' "$work/$doc.prn" | head -1 | awk -F, '{ print $3 + 0 }')
  flr=$("$floor" --options "${opts:-8}" --rounds 3 "$work"/page-*.pbm | awk '{ print $1 }')
  read -r wall cpu rss bytes first < <(measure --marker 1b4547444900 --stdin "$work/$doc.ras" \
    --env RASTERTOPWG2_ROOT="$work/root" --env TMPDIR="$work/root/tmp" --env PPD="$ppd" \
    --env CUPS_SERVER="$work/none" -- "$filter" 1 bench "$doc" 1 "")
  row() {  # driver wall cpu rss bytes first floor
    awk -v d="$doc" -v n="$pages" -v drv="$1" -v w="$2" -v c="$3" -v r="$4" -v b="$5" -v f="$6" -v fl="$7" 'BEGIN {
      ratio = (fl == "-") ? "-" : sprintf("%.2f", c / n / fl)
      printf "%-9s %-8s %5d %8.3f %8.3f %6.0f %8.0f %9.0f %8s %8s %7s\n", d, drv, n, w / n, c / n, 60 * n / w,
             r / 1024, b / n, f, fl, ratio }'
  }
  row ours "$wall" "$cpu" "$rss" "$bytes" "$first" "$flr"

  if [ -n "$splix_ppd" ]; then
    cupsfilter -p "$splix_ppd" -m application/vnd.cups-raster -o ColorModel=Gray -o Resolution=600dpi \
      "$pdf" >"$work/$doc.splix.ras" 2>/dev/null
    read -r wall cpu rss bytes first < <(measure --stdin "$work/$doc.splix.ras" --env PPD="$splix_ppd" \
      -- /usr/lib/cups/filter/rastertoqpdl 1 bench "$doc" 1 "")
    row splix "$wall" "$cpu" "$rss" "$bytes" - -
  fi
  if command -v foo2zjs >/dev/null; then
    gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pbmraw -r600 -sPAPERSIZE=a4 -dFIXEDMEDIA \
      -sOutputFile="$work/$doc.pbm" "$pdf"
    read -r wall cpu rss bytes first < <(measure --stdin "$work/$doc.pbm" \
      -- foo2zjs -r600x600 -g4960x7016 -p9 -z0)
    row foo2zjs "$wall" "$cpu" "$rss" "$bytes" - -
  fi
done
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
