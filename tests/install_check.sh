#!/bin/sh
# Installs the build into a staging directory and checks that it holds
# exactly the filter (in CUPS' server-bin filter directory, executable, not
# group- or world-writable, as cupsd demands), the colour plug-in in its
# directory (the same demands), the non-empty PPDs (under CUPS' model
# directory), the printer application when it is built
# (RASTERTOPWG2_APP_INSTALLED names its installed path), and nothing else.
#
# Usage: install_check.sh BUILD_DIR CUPS_SERVERBIN CUPS_DATADIR PLUGIN_DIR PPD_NAME...
set -eu

build=$1 serverbin=$2 datadir=$3 plugindir=$4
shift 4
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" >/dev/null

expected=$({
  echo "$serverbin/filter/rastertopwg2"
  echo "$plugindir/rastertopwg2-iccp.so"
  [ -z "${RASTERTOPWG2_APP_INSTALLED:-}" ] || echo "$RASTERTOPWG2_APP_INSTALLED"
  for n in "$@"; do echo "$datadir/model/rastertopwg2/$n.ppd"; done
} | sort)
actual=$(cd "$stage" && find . -type f -o -type l | sed 's|^\.||' | sort)
fail=0
[ "$expected" = "$actual" ] || { printf 'FAIL: installed\n%s\nexpected\n%s\n' "$actual" "$expected"; fail=1; }

for f in "$stage$serverbin/filter/rastertopwg2" "$stage$plugindir/rastertopwg2-iccp.so"; do
  [ -x "$f" ] || { echo "FAIL: $f is not executable"; fail=1; }
  case $(stat -c %A "$f" 2>/dev/null) in ?????w???? | ????????w?) echo "FAIL: $f is group- or world-writable"; fail=1 ;; esac
done
for n in "$@"; do
  p="$stage$datadir/model/rastertopwg2/$n.ppd"
  [ ! -f "$p" ] || [ -s "$p" ] || { echo "FAIL: $n.ppd is empty"; fail=1; }
done
[ "$fail" = 0 ] && echo "install holds exactly: $(echo "$expected" | tr '\n' ' ')"
exit "$fail"
