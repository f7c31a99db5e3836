#!/bin/bash
# Peak memory and time of whole jobs of real documents: ten pages of the
# GPL-3 text set by texttopdf on the monochrome LED PPD, and six colour
# pages (CUPS' test page and the test-page writer's photo, three times each)
# on the four-colour PPD, as CUPS' own filters render them. Prints a table
# row per job and filter: median wall and CPU seconds per page (user + sys
# of all threads), the largest peak RSS of RUNS runs, output bytes.
#
#   bench/memory.sh BUILD_DIR [RUNS] [OTHER_FILTER]
#
# OTHER_FILTER: a second filter binary (another build of this tree) measured
# on the same rasters in the same run, for before-and-after figures.
set -eu
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [RUNS] [OTHER_FILTER]" >&2; exit 2; }
build=$(realpath "$1") runs=${2:-5} other=${3:-}
here=$(dirname "$(realpath "$0")")
ppd=$build/ppd/generated testpage=$build/tools/testpage
work=$(mktemp -d "${TMPDIR:-/tmp}/memory.XXXXXX")
trap 'rm -rf "$work"' EXIT

cupsfilter -m application/pdf /usr/share/common-licenses/GPL-3 >"$work/gpl.pdf" 2>/dev/null
pdfseparate -f 1 -l 10 "$work/gpl.pdf" "$work/gpl-%02d.pdf"
pdfunite "$work"/gpl-??.pdf "$work/text10.pdf"
"$testpage" -o "$work/photo-src.ras" --colorspace srgb --content photo --res 150
env -u PPD /usr/lib/cups/filter/rastertopdf 1 bench photo 1 "" "$work/photo-src.ras" >"$work/photo.pdf" 2>/dev/null
t=/usr/share/cups/data/default-testpage.pdf
pdfunite "$t" "$work/photo.pdf" "$t" "$work/photo.pdf" "$t" "$work/photo.pdf" "$work/colour6.pdf"
cupsfilter -p "$ppd/gdimled.ppd" -m application/vnd.cups-raster "$work/text10.pdf" >"$work/text10.ras" 2>/dev/null
cupsfilter -p "$ppd/gdicolor.ppd" -m application/vnd.cups-raster "$work/colour6.pdf" >"$work/colour6.ras" 2>/dev/null

mkdir -p "$work/root/tmp"
printf '| job | filter | pages | wall/p s | CPU/p s | peak RSS MiB | bytes |\n|---|---|---|---|---|---|---|\n'
measure() {  # label filter ppd raster pages
  read -r wall cpu rss bytes _ < <(python3 "$here/measure.py" --runs "$runs" --stdin "$4" \
    --env RASTERTOPWG2_ROOT="$work/root" --env TMPDIR="$work/root/tmp" --env PPD="$3" \
    --env RASTERTOPWG2_PLUGIN_DIR="$build/plugins/iccp" --env CUPS_SERVER="$work/none" -- "$2" 1 bench "$1" 1 "")
  awk -v j="$1" -v f="$2" -v n="$5" -v w="$wall" -v c="$cpu" -v r="$rss" -v b="$bytes" \
    'BEGIN { printf "| %s | %s | %d | %.3f | %.3f | %.0f | %d |\n", j, f, n, w / n, c / n, r / 1024, b }'
}
for f in "$build/filter/rastertopwg2" ${other:+"$other"}; do
  measure text10 "$f" "$ppd/gdimled.ppd" "$work/text10.ras" 10
  measure colour6 "$f" "$ppd/gdicolor.ppd" "$work/colour6.ras" 6
done
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
