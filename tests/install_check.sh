#!/bin/sh
# Installs the build with another prefix into a staging directory and
# checks that it holds exactly the runtime files, every one under
# DESTDIR/prefix: the filter and the colour plug-in (executable, not group-
# or world-writable, as cupsd demands), the non-empty PPDs, gdidecode, the
# manual pages and the documentation. Then the staged filter, run as CUPS
# would, must find the plug-in installed beside it (as root: only root's
# files are loaded), the manual pages must render as man(1) does with
# groff's warnings on and none given, and the uninstall target must leave
# no file behind.
# The printer application is expected too when it is built
# (RASTERTOPWG2_APP_INSTALLED set: installed into the binary directory,
# with its manual page and its systemd unit, which starts the installed
# program and is not enabled; the staged program lists a driver per PPD).
#
# Usage: install_check.sh BUILD_DIR SERVERBIN DATADIR PLUGIN_DIR BINDIR MANDIR DOCDIR PPD_NAME...
#   the directories as the build configured them, relative to the prefix
#   unless absolute
set -eu

build=$1
shift
prefix=/opt/rastertopwg2-test
under() { case $1 in /*) echo "$1" ;; *) echo "$prefix/$1" ;; esac; }
serverbin=$(under "$1") datadir=$(under "$2") plugindir=$(under "$3") bindir=$(under "$4") mandir=$(under "$5")
docdir=$(under "$6")
unit=$prefix/lib/systemd/system/rastertopwg2-app.service
shift 6
stage=$(mktemp -d)
# The build's own install manifest, if any, survives this install's.
manifest="$build/install_manifest.txt"
[ ! -f "$manifest" ] || cp -p "$manifest" "$stage.manifest"
trap 'rm -rf "$stage"; if [ -f "$stage.manifest" ]; then mv "$stage.manifest" "$manifest"; else rm -f "$manifest"; fi' EXIT
DESTDIR="$stage" cmake --install "$build" --prefix "$prefix" >/dev/null
fail=0
note() { echo "FAIL: $*"; fail=1; }

expected=$({
  echo "$serverbin/filter/rastertopwg2"
  echo "$plugindir/rastertopwg2-iccp.so"
  if [ -n "${RASTERTOPWG2_APP_INSTALLED:-}" ]; then
    echo "$bindir/rastertopwg2-app"
    echo "$mandir/man1/rastertopwg2-app.1.gz"
    echo "$unit"
  fi
  for n in "$@"; do echo "$datadir/model/rastertopwg2/$n.ppd"; done
  echo "$bindir/gdidecode"
  echo "$mandir/man1/gdidecode.1.gz"
  echo "$mandir/man8/rastertopwg2.8.gz"
  for f in LICENSE NEWS NOTICE copyright; do echo "$docdir/$f"; done
} | sort)
actual=$(cd "$stage" && find . -type f -o -type l | sed 's|^\.||' | sort)
[ "$expected" = "$actual" ] || note "installed
$actual
expected
$expected"
outside=$(echo "$actual" | grep -v "^$prefix/" || true)
[ -z "$outside" ] || note "installed outside the prefix $prefix: $outside"

for f in "$stage$serverbin/filter/rastertopwg2" "$stage$plugindir/rastertopwg2-iccp.so" "$stage$bindir/gdidecode"; do
  [ -x "$f" ] || note "$f is not executable"
  case $(stat -c %A "$f" 2>/dev/null) in ?????w???? | ????????w?) note "$f is group- or world-writable" ;; esac
done
for n in "$@"; do
  p="$stage$datadir/model/rastertopwg2/$n.ppd"
  [ ! -f "$p" ] || [ -s "$p" ] || note "$n.ppd is empty"
done

# The service starts the program installed with it, as a server logging
# to the journal.
if [ -n "${RASTERTOPWG2_APP_INSTALLED:-}" ]; then
  grep -qx "ExecStart=$bindir/rastertopwg2-app server -o log-file=- .*" "$stage$unit" ||
    note "the service does not start $bindir/rastertopwg2-app server: $(grep ExecStart "$stage$unit")"
  grep -qx "Type=simple" "$stage$unit" || note "the service is not Type=simple"
  [ ! -e "$stage/etc/systemd" ] || note "the install enables the service"
  # The staged program finds the PPDs of its own install, under whatever
  # prefix the install was given.
  drivers=$(env -u RASTERTOPWG2_PPD_DIR "$stage$bindir/rastertopwg2-app" drivers 2>&1 | cut -d' ' -f1 | sort | xargs)
  [ "$drivers" = "$(printf '%s\n' "$@" | sort | xargs)" ] || note "the staged program's drivers: $drivers"
fi

# The filter as the scheduler starts it, with no plug-in directory given:
# an empty job on the colour model loads the plug-in or says it cannot.
colour_ppd="$stage$datadir/model/rastertopwg2/gdicolor.ppd"
if [ "$(id -u)" = 0 ] && [ -f "$colour_ppd" ]; then
  mkdir -p "$stage/root/tmp"
  messages=$(env -u RASTERTOPWG2_PLUGIN_DIR RASTERTOPWG2_ROOT="$stage/root" CUPS_SERVER="$stage/no-scheduler" \
    PPD="$colour_ppd" "$stage$serverbin/filter/rastertopwg2" 1 user title 1 "" </dev/null 2>&1 >/dev/null) ||
    note "the staged filter fails on an empty job"
  ! echo "$messages" | grep 'Colour plug-in' || note "the staged filter does not load the plug-in beside it"
else
  echo "not root or no colour PPD: the staged filter's plug-in lookup is not checked"
fi
rm -rf "$stage/root"

if command -v man >/dev/null 2>&1; then
  for page in "$stage$mandir"/man*/*.gz; do
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) &&
      [ -z "$warnings" ] || note "$(basename "$page") does not render cleanly: $warnings"
    ! zgrep -q '@PROJECT_VERSION@' "$page" || note "$(basename "$page") has no version"
  done
else
  echo "man not found (Debian package man-db): the manual pages are not checked"
fi

DESTDIR="$stage" cmake --build "$build" --target uninstall >/dev/null
left=$(cd "$stage" && find . -type f -o -type l)
[ -z "$left" ] || note "uninstall left $left"
for d in "$datadir/model/rastertopwg2" "$docdir"; do
  [ ! -d "$stage$d" ] || note "uninstall left the directory $d"
done
[ "$fail" = 0 ] && echo "install under $prefix holds exactly: $(echo "$expected" | tr '\n' ' '); uninstall removes it"
exit "$fail"
