#!/bin/sh
# Times the filter on one colour page against the same page in gray: CPU
# (user + sys over all threads) and peak RSS, median of 5 runs each, output
# to /dev/null, in a private RASTERTOPWG2_ROOT.
#
# Usage: bench/colour.sh BUILD_DIR
#   The test pages are CUPS' own test page rendered by cupsfilter for the
#   monochrome, four-colour and black-and-red PPDs, and testpage's photo-like
#   page in gray and in RGB.
set -eu
build=$(readlink -f "$1")
ppd=$build/ppd/generated
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/root"
for m in gdimled gdicolor gdibkred; do
  cupsfilter -p "$ppd/$m.ppd" -m application/vnd.cups-raster /usr/share/cups/data/testprint >"$work/$m.ras" 2>/dev/null
done
"$build/tools/testpage" -o "$work/photo-gray.ras" --content photo
"$build/tools/testpage" -o "$work/photo-rgb.ras" --colorspace srgb --content photo --int 4=3

run() { # label ppd raster
  runs=$(for i in 1 2 3 4 5; do
    RASTERTOPWG2_ROOT=$work/root RASTERTOPWG2_PLUGIN_DIR=$build/plugins/iccp PPD=$2 /usr/bin/time -f "%U %S %M" \
      "$build/filter/rastertopwg2" 1 u t 1 "" "$3" 2>&1 >/dev/null | tail -n 1
  done)
  cpu=$(echo "$runs" | awk '{ printf "%.2f\n", $1 + $2 }' | sort -n | sed -n 3p)
  rss=$(echo "$runs" | awk '{ print int($3 / 1024) }' | sort -n | sed -n 3p)
  printf "| %s | %s | %s |\n" "$1" "$cpu" "$rss"
}
echo "| page | median CPU s | median peak RSS MiB |"
echo "|---|---|---|"
run "test page, monochrome" "$ppd/gdimled.ppd" "$work/gdimled.ras"
run "test page, four colours" "$ppd/gdicolor.ppd" "$work/gdicolor.ras"
sed 's|^\*cupsiccCMYK:.*|*cupsiccCMYK: ""|' "$ppd/gdicolor.ppd" >"$work/rule.ppd"
run "test page, four colours, built-in rule" "$work/rule.ppd" "$work/gdicolor.ras"
run "test page, black and red" "$ppd/gdibkred.ppd" "$work/gdibkred.ras"
run "photo, monochrome" "$ppd/gdimled.ppd" "$work/photo-gray.ras"
run "photo, four colours" "$ppd/gdicolor.ppd" "$work/photo-rgb.ras"
