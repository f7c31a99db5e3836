#!/bin/sh
# Checks the generated PPDs: exactly the expected models exist, each passes
# cupstestppd with the filter present in a private server-bin directory, the
# only warnings are the paper names the filter's paper table needs, and each
# names the filter and announces the project's version.
#
# Usage: ppd_check.sh PPD_DIR FILTER VERSION NAME...
# Exit 77 (skipped) when cupstestppd is not installed (Debian: cups-client).
set -eu

ppd_dir=$1 filter=$(readlink -f "$2") version=$3
shift 3
command -v cupstestppd >/dev/null 2>&1 || { echo "cupstestppd not found (Debian package cups-client): skipped"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/serverbin/filter"
ln -s "$filter" "$work/serverbin/filter/rastertopwg2"
fail=0
note() { echo "FAIL: $*"; fail=1; }

expected=$(for n in "$@"; do echo "$n.ppd"; done | sort)
actual=$(find "$ppd_dir" -mindepth 1 -maxdepth 1 -printf "%f\n" | sort)
[ "$expected" = "$actual" ] || note "PPDs in $ppd_dir are [$actual], expected [$expected]"

# Paper names the filter matches by name; cupstestppd would rather see the
# PWG names for them, which the filter does not know.
allowed='^ *WARN +Size "(Legal13|16K|DL|32K|8K)" should be the Adobe standard name'
for n in "$@"; do
  ppd="$ppd_dir/$n.ppd"
  CUPS_SERVERBIN="$work/serverbin" cupstestppd -W all "$ppd" >"$work/out" 2>&1 || note "cupstestppd rejects $n.ppd"
  cat "$work/out"
  ! grep -E '^ *WARN' "$work/out" | grep -Ev "$allowed" || note "$n.ppd has unexpected warnings"
  grep -qx "\*DriverVersion: \"$version\"" "$ppd" || note "$n.ppd does not carry DriverVersion $version"
  grep -qx '\*cupsFilter2: "application/vnd.cups-raster application/vnd.printer-gdi 100 rastertopwg2"' "$ppd" ||
    note "$n.ppd does not name the filter"
done
[ "$fail" = 0 ] && echo "all PPDs pass"
exit "$fail"
