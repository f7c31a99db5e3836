#!/bin/sh
# Installs the build into a staging directory and checks that it holds
# exactly the filter (in CUPS' server-bin filter directory, executable, not
# group- or world-writable, as cupsd demands) and the non-empty PPDs (under
# CUPS' model directory), and nothing else.
#
# Usage: install_check.sh BUILD_DIR CUPS_SERVERBIN CUPS_DATADIR PPD_NAME...
set -eu

build=$1 serverbin=$2 datadir=$3
shift 3
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" >/dev/null

expected=$({
  echo "$serverbin/filter/rastertopwg2"
  for n in "$@"; do echo "$datadir/model/rastertopwg2/$n.ppd"; done
} | sort)
actual=$(cd "$stage" && find . -type f -o -type l | sed 's|^\.||' | sort)
fail=0
[ "$expected" = "$actual" ] || { printf 'FAIL: installed\n%s\nexpected\n%s\n' "$actual" "$expected"; fail=1; }

f="$stage$serverbin/filter/rastertopwg2"
[ -x "$f" ] || { echo "FAIL: the filter is not executable"; fail=1; }
case $(stat -c %A "$f" 2>/dev/null) in ?????w???? | ????????w?) echo "FAIL: the filter is group- or world-writable"; fail=1 ;; esac
for n in "$@"; do
  p="$stage$datadir/model/rastertopwg2/$n.ppd"
  [ ! -f "$p" ] || [ -s "$p" ] || { echo "FAIL: $n.ppd is empty"; fail=1; }
done
[ "$fail" = 0 ] && echo "install holds exactly: $(echo "$expected" | tr '\n' ' ')"
exit "$fail"
