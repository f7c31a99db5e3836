#!/bin/bash
# Before/after crops of small text through the border and text-enhancement
# path: Ghostscript renders a few lines of 4- and 5-point text (anti-aliased,
# 600 dpi, 8-bit gray CUPS raster) in Quality modes 0, 1 and 2; the filter
# prints them for a "Border filter" printer; the decoder turns the printer
# stream back into PNG, of which the text area is cut out and shown at 2x.
#
#   bench/border_crop.sh FILTER GDIDECODE PPD OUTDIR
# PPD is any PPD of the project: its DriverFeature is replaced by 8.
set -eu
[ $# -eq 4 ] || { echo "usage: $0 FILTER GDIDECODE PPD OUTDIR" >&2; exit 2; }
filter=$(realpath "$1") gdidecode=$(realpath "$2") ppd=$(realpath "$3") out=$(realpath "$4")
work=$(mktemp -d "${TMPDIR:-/tmp}/border.XXXXXX")
trap 'rm -rf "$work"' EXIT

cat >"$work/text.ps" <<'PS'
%!PS
<< /PageSize [298 420] >> setpagedevice
/Times-Roman findfont 5 scalefont setfont
40 380 moveto (Times 5 pt: The quick brown fox) show
/Helvetica findfont 4 scalefont setfont
40 372 moveto (Helvetica 4 pt: jumps over the lazy dog 0123) show
0.55 setgray 40 364 moveto (55 % gray: thin lines 1l|il) show
showpage
PS
sed 's/^\*DriverFeature:.*/*DriverFeature: "8"/' "$ppd" >"$work/border.ppd"
mkdir -p "$work/root/tmp" "$out"
for mode in 0 1 2; do
  gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=cups -r600 -dcupsColorSpace=18 -dcupsBitsPerColor=8 \
    -dcupsInteger10=$mode -dTextAlphaBits=4 -dGraphicsAlphaBits=4 -sOutputFile="$work/m$mode.ras" "$work/text.ps"
  env RASTERTOPWG2_ROOT="$work/root" TMPDIR="$work/root" PPD="$work/border.ppd" HOME="$work" \
    CUPS_SERVERROOT="$work" CUPS_SERVER="$work/no-scheduler" \
    "$filter" 1 bench border 1 "" "$work/m$mode.ras" >"$work/m$mode.prn" 2>"$work/m$mode.err"
  "$gdidecode" -o "$work/m$mode" "$work/m$mode.prn" >/dev/null
  # The text lines: about 30 pt from the left and 24 pt from the top of the
  # printed bitmap (the filter drops the unprintable margins), 156 x 24 pt.
  pngtopnm "$work/m$mode-001.png" | pamcut -left 230 -top 200 -width 1300 -height 200 |
    pamscale 2 | pnmtopng -compression 9 >"$out/border-mode$mode.png"
  echo "$out/border-mode$mode.png"
done
