#!/bin/sh
# Time from submit to completion of one PDF, through the printer
# application and through a CUPS queue with the model's PPD and the filter,
# RUNS times each (median, seconds). Both print to file devices in a
# private tree, with private servers (a private cupsd, never the machine's
# own); every stream is decoded to check it holds the document's pages.
#
# Usage: bench/app.sh BUILD [RUNS] [PDF] [MODEL]
#   BUILD  a build directory (the filter, plug-in, app, PPDs, gdidecode)
#   PDF    default: the first ten pages of the GPL-3 set by CUPS' text filter
#   MODEL  default gdimled
# Needs root (cupsd runs its filters as lp), cups, cups-filters, poppler-utils.
set -eu
build=$(readlink -f "$1") runs=${2:-3} model=${4:-gdimled}
here=$(cd "$(dirname "$0")" && pwd)
app=$build/app/rastertopwg2-app filter=$build/filter/rastertopwg2
plugin=$build/plugins/iccp/rastertopwg2-iccp.so ppd_dir=$build/ppd/generated gdidecode=$build/tools/gdidecode
for f in "$app" "$filter" "$plugin" "$gdidecode" "$ppd_dir/$model.ppd"; do
  [ -e "$f" ] || { echo "missing $f" >&2; exit 2; }
done
[ "$(id -u)" = 0 ] || { echo "needs root (cupsd runs its filters as lp)" >&2; exit 2; }

base=$(mktemp -d /tmp/rastertopwg2-bench-app.XXXXXX)
chmod 755 "$base"
app_pid='' cupsd_pid='' port=''
. "$here/../tests/e2e/cupsd.sh"
cleanup() {
  stop_pid "$cupsd_pid"
  stop_pid "$app_pid"
  rm -rf "$base"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

pdf=${3:-}
if [ -z "$pdf" ]; then
  cupsfilter -m application/pdf /usr/share/common-licenses/GPL-3 >"$base/gpl.pdf" 2>/dev/null
  pdfseparate -f 1 -l 10 "$base/gpl.pdf" "$base/gpl-%02d.pdf"
  pdfunite "$base"/gpl-??.pdf "$base/doc.pdf"
else
  cp "$pdf" "$base/doc.pdf"
fi
chmod 644 "$base/doc.pdf"
pages=$(pdfinfo "$base/doc.pdf" | awk '/^Pages:/ { print $2 }')
now() { date +%s.%N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# Checks that a device file's last stream has the document's pages.
check() {
  n=$("$gdidecode" "$1" 2>/dev/null | grep -c "^page [0-9]*:" || true)
  [ "$n" = "$pages" ] || { echo "$2: the stream has $n pages, not $pages" >&2; exit 1; }
}

# The application: a private server, one printer on a file device.
mkdir -p "$base/app" "$base/root"
export SNAP_COMMON="$base/app" TMPDIR="$base/app" HOME="$base/app" RASTERTOPWG2_PPD_DIR="$ppd_dir"
export RASTERTOPWG2_ROOT="$base/root"
"$app" server -o private-server=true -o spool-directory="$base/app/spool" -o log-file="$base/app.log" \
  -o log-level=warn >"$base/app.out" 2>&1 &
app_pid=$!
i=0
# A client that finds no server starts one of its own: ask only once the
# server has made its socket.
until [ -S "$base/app/rastertopwg2-app.sock" ] || [ -S "$base/app/rastertopwg2-app$(id -u).sock" ] &&
  "$app" status >/dev/null 2>&1; do
  [ $((i += 1)) -le 600 ] && kill -0 "$app_pid" 2>/dev/null || { echo "no app server" >&2; exit 1; }
  sleep 0.1
done
: >"$base/app.prn"
"$app" add -d bench -m "$model" -v "file://$base/app.prn" >/dev/null
: >"$base/times.app"
r=0
while [ $((r += 1)) -le "$runs" ]; do
  : >"$base/app.prn"
  t0=$(now)
  "$app" submit -d bench "$base/doc.pdf" >/dev/null
  while "$app" jobs -d bench | grep -q -e processing -e pending; do sleep 0.05; done
  awk -v a="$(now)" -v b="$t0" 'BEGIN { printf "%.2f\n", a - b }' >>"$base/times.app"
  check "$base/app.prn" app
done

# The CUPS queue: CUPS' own filters and backends, ours copied in.
mkdir -p "$base/out"
sysbin=$(pkg-config --variable=cups_serverbin cups 2>/dev/null || echo /usr/lib/cups)
sysdata=$(pkg-config --variable=cups_datadir cups 2>/dev/null || echo /usr/share/cups)
cups_tree "$sysbin" "$sysdata" "$filter" "$plugin" "$ppd_dir/$model.ppd"
chown -R lp:lp "$base/out" "$base/root"
start_cupsd "$base/serverbin" "$base/data" "FileDevice Yes
SetEnv RASTERTOPWG2_ROOT $base/root
SetEnv RASTERTOPWG2_PLUGIN_DIR $base/serverbin/filter" || exit 1
lpadmin -p bench -E -v "file://$base/out/cups.prn" -m "rastertopwg2/$model.ppd"
: >"$base/times.cups"
r=0
while [ $((r += 1)) -le "$runs" ]; do
  t0=$(now)
  lp -d bench "$base/doc.pdf" >/dev/null
  while [ -n "$(lpstat -o bench 2>/dev/null)" ]; do sleep 0.05; done
  awk -v a="$(now)" -v b="$t0" 'BEGIN { printf "%.2f\n", a - b }' >>"$base/times.cups"
  check "$base/out/cups.prn" cups
done

printf '%s, %s pages, %s runs: application %s s, CUPS queue %s s (median, submit to completion)\n' \
  "$model" "$pages" "$runs" "$(median <"$base/times.app")" "$(median <"$base/times.cups")"
