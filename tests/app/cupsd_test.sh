#!/bin/sh
# Printing from CUPS through the printer application, as a desktop does:
# a private application server on a loopback port with a printer on a
# file device, a private cupsd with an IPP Everywhere queue on it
# (lpadmin -m everywhere asks the printer for its capabilities), a PDF
# printed with lp. The device file must get one printer stream with the
# PDF's pages, each with toner on it. Whether cupsd sends the PDF or
# converts it to PWG raster itself depends on the formats the printer
# lists; either must print.
#
# Usage: cupsd_test.sh APP GDIDECODE PPD_DIR
# Exit 0 pass, 1 fail, 77 skipped (not root, or no cupsd, lp or gs).
set -eu

app=$(readlink -f "$1") gdidecode=$(readlink -f "$2") ppd_dir=$(readlink -f "$3")
skip() { echo "SKIP: $*" && exit 77; }
[ "$(id -u)" = 0 ] || skip "needs root (cupsd runs its filters as lp)"
for tool in lpadmin lp lpstat gs python3; do command -v "$tool" >/dev/null 2>&1 || skip "$tool not installed"; done
{ command -v cupsd || [ -x /usr/sbin/cupsd ]; } >/dev/null && id lp >/dev/null 2>&1 || skip "no cupsd or no user lp"
sysbin=$(pkg-config --variable=cups_serverbin cups 2>/dev/null || echo /usr/lib/cups)
sysdata=$(pkg-config --variable=cups_datadir cups 2>/dev/null || echo /usr/share/cups)

base=$(mktemp -d /tmp/rastertopwg2-cupsd.XXXXXX)
chmod 755 "$base"
app_pid='' cupsd_pid='' port=''  # port: cupsd on the local socket only
. "$(dirname "$0")/../e2e/cupsd.sh"
cleanup() {
  rc=$?
  stop_pid "$cupsd_pid"
  stop_pid "$app_pid"
  [ "$rc" = 0 ] && rm -rf "$base" || echo "private tree kept in $base"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
fail() { echo "FAIL: $*" && tail -n 20 "$base"/*.log "$base/log/error_log" 2>/dev/null; exit 1; }

# The application server on a TCP port, its socket, state and spool in
# the private tree.
app_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$base/app" "$base/root"
export SNAP_COMMON="$base/app" TMPDIR="$base/app" HOME="$base/app" RASTERTOPWG2_PPD_DIR="$ppd_dir"
export RASTERTOPWG2_ROOT="$base/root"
"$app" server -o server-port="$app_port" -o listen-hostname=localhost -o spool-directory="$base/app/spool" \
  -o log-file="$base/app.log" -o log-level=debug >"$base/app.out" 2>&1 &
app_pid=$!
# A client that finds no server starts one of its own: ask only once the
# server takes connections on its socket and its port. A loaded machine
# may take most of a minute.
listening() {
  python3 - "$1" "$app_port" <<'PY' 2>/dev/null
import socket, sys
unix = socket.socket(socket.AF_UNIX)
unix.connect(sys.argv[1])
socket.create_connection(("localhost", int(sys.argv[2])), 1)
PY
}
sock="$base/app/rastertopwg2-app.sock"
[ "$(id -u)" = 0 ] || sock="$base/app/rastertopwg2-app$(id -u).sock"
i=0
until listening "$sock"; do
  [ $((i += 1)) -le 600 ] && kill -0 "$app_pid" 2>/dev/null ||
    fail "the application server did not start (in its directory: $(ls "$base/app" 2>&1 | xargs))"
  sleep 0.1
done
: >"$base/out.prn"
"$app" add -d gdi -m gdimled -v "file://$base/out.prn" >"$base/add.log" 2>&1 || fail "the printer was not added"

# The scheduler: CUPS' own filters and backends, everything else private.
start_cupsd "$sysbin" "$sysdata" || exit 1

# The queue on the application's printer, and a two-page PDF.
lpadmin -p q -E -v "ipp://localhost:$app_port/ipp/print/gdi" -m everywhere >"$base/lpadmin.log" 2>&1 ||
  fail "lpadmin -m everywhere: $(cat "$base/lpadmin.log")"
gs -q -dNOPAUSE -dBATCH -sDEVICE=pdfwrite -sOutputFile="$base/doc.pdf" -c \
  "/Helvetica findfont 144 scalefont setfont 72 400 moveto (One) show showpage 72 400 moveto (Two) show showpage"
chmod 644 "$base/doc.pdf"
lp -d q "$base/doc.pdf" >"$base/lp.log" 2>&1 || fail "lp: $(cat "$base/lp.log")"

# Done when the scheduler has no job left and the device has a whole stream.
i=0
while [ -n "$(lpstat -o q 2>/dev/null)" ] || ! "$gdidecode" "$base/out.prn" >"$base/decoded.txt" 2>&1; do
  [ $((i += 1)) -le 600 ] || fail "no printer stream within 120 s: $(lpstat -l -o q 2>&1 | head -5)"
  sleep 0.2
done
pages=$(grep -c "^page [0-9]*:" "$base/decoded.txt" || true)
dots=$(sed -n 's/^  blackDots *= *//p' "$base/decoded.txt" | xargs)
[ "$pages" = 2 ] || fail "the device got $pages pages, expected 2"
case " $dots " in *" 0 "*) fail "a page without toner: $dots" ;; esac
echo "the IPP Everywhere queue printed 2 pages through the application (black dots: $dots)"
