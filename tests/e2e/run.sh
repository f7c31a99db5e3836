#!/bin/sh
# End-to-end run on a real CUPS scheduler: starts a private cupsd (its own
# configuration, spool, logs and server-bin tree, a loopback port and a
# local socket, never the machine's own scheduler), adds queues for every
# generated PPD with file: devices, prints real PDFs (CUPS' test page and the
# GPL set by CUPS' text filter) with lp and checks each printer stream with
# the decoder: well formed, page count, paper code, duplex sheet order,
# copies, toner coverage against a Poppler rendering, "PAGE:" lines, the
# toner marker among the printer's attributes. Then a job cancelled while
# it prints, and the filter's pending-job test against the scheduler's job
# states.
#
# Usage: run.sh FILTER PPD_DIR GDIDECODE IS_JOB_PENDING PLUGIN
#   FILTER          the built rastertopwg2 program
#   PPD_DIR         directory of the generated PPDs
#   GDIDECODE       the printer-stream decoder
#   IS_JOB_PENDING  tests/e2e/is_job_pending
#   PLUGIN          the built colour plug-in, installed beside the filter
# Environment: E2E_TIMEOUT (seconds a job may take, default 180),
#   E2E_KEEP=1 keeps the private tree for inspection.
# Exit 0 pass, 1 fail, 77 skipped (cupsd, lp or ipptool missing).
#
# Needs (Debian): cups, cups-client, cups-ipp-utils, cups-filters,
# poppler-utils, ghostscript, netpbm.
set -eu

filter=$(readlink -f "$1") ppd_dir=$(readlink -f "$2") gdidecode=$(readlink -f "$3") pending_tool=$4
plugin=$(readlink -f "$5")
timeout=${E2E_TIMEOUT:-180}
pdf=/usr/share/cups/data/default-testpage.pdf

skip() { echo "SKIP: $*" && exit 77; }
for tool in cupsd lpadmin lp lpstat ipptool python3 pdftoppm pdfinfo pamsumm pamfile; do
  command -v "$tool" >/dev/null 2>&1 || [ -x "/usr/sbin/$tool" ] || skip "$tool not installed"
done
[ -r "$pdf" ] || skip "$pdf missing (Debian package cups-filters)"
[ -x "$gdidecode" ] && [ -x "$pending_tool" ] || { echo "FAIL: no decoder at \"$3\" or no pending tool"; exit 1; }
# cupsd runs the filter as lp, as on a real system, only when it runs as root.
[ "$(id -u)" = 0 ] || skip "needs root"
id lp >/dev/null 2>&1 || skip "no user lp"
sysbin=$(pkg-config --variable=cups_serverbin cups 2>/dev/null || echo /usr/lib/cups)
[ -x "$sysbin/daemon/cups-exec" ] || skip "no $sysbin/daemon/cups-exec"

# ---------------------------------------------------------------------------
# The private tree. Every directory on the way must be traversable by lp,
# and the filter and its directory root-owned and writable by nobody else.
base=$(mktemp -d /tmp/rastertopwg2-e2e.XXXXXX)
chmod 755 "$base"
cupsd_pid= fail=0

# Stops our cupsd (by its pid only) and removes the tree, on every exit path.
cleanup() {
  rc=$?
  stop_pid "$cupsd_pid"
  if [ "${E2E_KEEP:-0}" = 1 ]; then echo "private tree kept in $base"; else rm -rf "$base"; fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
. "$(dirname "$0")/cupsd.sh"

mkdir -p "$base/etc/ppd" "$base/etc/ssl" "$base/spool/tmp" "$base/log" "$base/cache" "$base/state/certs" "$base/run" "$base/out" \
  "$base/root/tmp/cups" "$base/data/model/rastertopwg2" "$base/dec" "$base/ref" "$base/docs"
chmod 755 "$base/docs"
sysdata=$(pkg-config --variable=cups_datadir cups 2>/dev/null || echo /usr/share/cups)
cups_tree "$sysbin" "$sysdata" "$filter" "$plugin" "$ppd_dir"/*.ppd
cp "$(dirname "$0")/lsan.supp" "$base/lsan.supp"  # read by sanitizer builds only
chmod a+r "$base/lsan.supp"
# The file devices and the filter's fixed paths belong to the filter's user.
chown -R lp:lp "$base/out" "$base/root"

# cupsd listens on a free port the kernel picked and on a local socket.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
start_cupsd "$base/serverbin" "$base/data" "FileDevice Yes
SetEnv RASTERTOPWG2_ROOT $base/root
SetEnv RASTERTOPWG2_PLUGIN_DIR $base/serverbin/filter
SetEnv ASAN_OPTIONS fast_unwind_on_malloc=0
SetEnv LSAN_OPTIONS suppressions=$base/lsan.supp" || exit 1
echo "private cupsd $cupsd_pid on 127.0.0.1:$port and $CUPS_SERVER"

note() { echo "FAIL: $*" && fail=1; }

# Reads one attribute with one of ipptool's own tests; prints its value.
ipp_attr() { # uri test attribute
  ipptool -tv -T 10 "$1" "$2.test" 2>/dev/null | sed -n "s/^ *$3 ([^)]*) = //p" | head -n 1
}
job_state() { ipp_attr "ipp://127.0.0.1:$port/jobs/$1" get-job-attributes job-state; }

# Waits for a job to end (completed, canceled, aborted; or
# processing-stopped, which a stopped queue never leaves), into $state.
wait_job() { # job-id
  deadline=$(($(date +%s) + timeout))
  while state=$(job_state "$1"); do
    case $state in completed | canceled | aborted | processing-stopped) return 0 ;; esac
    [ "$(date +%s)" -lt "$deadline" ] || { state="timeout (last state: ${state:-unknown})" && return 0; }
    sleep 0.25
  done
}

# The scheduler's log lines of a job (its messages as the filter wrote them).
job_log() { grep "\[Job $1\] " "$base/log/error_log" || true; }
clean_exit() { grep -Eq "\[Job $1\] PID [0-9]+ \(.*/rastertopwg2\) exited with no errors" "$base/log/error_log"; }

# Submits a job with lp into $job (empty after a note when lp fails).
submit() { # label queue lp-arguments...
  label=$1 queue_=$2
  shift 2
  job=
  reply=$(lp -d "$queue_" -t "e2e $label" "$@" 2>&1) || { note "$label: lp failed: $reply" && return 0; }
  job=$(echo "$reply" | sed -n 's/^request id is [^ ]*-\([0-9][0-9]*\) .*/\1/p')
  [ -n "$job" ] || note "$label: no job id in \"$reply\""
}

# Decodes a printer stream into $listing and checks that the decoder takes it.
decode() { # label file
  listing="$base/dec/$(echo "$1" | tr ' ' -).txt"
  [ -s "$2" ] || { note "$1: output file $2 missing or empty" && return 1; }
  if ! "$gdidecode" "$2" >"$listing" 2>&1 || ! grep -qx "result: ok" "$listing"; then
    note "$1: the decoder rejects the stream: $(grep -E 'FAIL|error|result' "$listing" | head -5)"
    return 1
  fi
}

# One line per page of a decoded stream: "paper_type blackDots".
page_rows() {
  awk '/^page [0-9]+:/ { if (n) print p, d; n++ } /^  paper_type +=/ { p = $3 } /^  blackDots +=/ { d = $3 }
       END { if (n) print p, d }' "$1"
}
page_dots() { page_rows "$1" | cut -d' ' -f2 | tr '\n' ' ' | sed 's/ $//'; }

# The reference for page P of a PDF: rendered by Poppler at 600 dpi in gray,
# "coverage dots" where coverage is the mean darkness (0 white .. 1 black)
# and dots the page's area in dots. Cached per page.
ref_cov() { # pdf page
  key="$base/ref/$(basename "$1" .pdf)-$2"
  if ! [ -s "$key.cov" ]; then
    pdftoppm -r 600 -gray -f "$2" -l "$2" -singlefile "$1" "$key" &&
      mean=$(pamsumm -mean -brief "$key.pgm") &&
      dims=$(pamfile "$key.pgm" | sed -n 's/.* \([0-9][0-9]*\) by \([0-9][0-9]*\) .*/\1 \2/p') &&
      echo "$mean $dims" | awk '{ printf "%.6f %d\n", 1 - $1 / 255, $2 * $3 }' >"$key.cov"
    rm -f "$key.pgm"
  fi
  cat "$key.cov" 2>/dev/null || true
}

# Waits for a job and checks that it completed with a clean filter exit,
# that the decoder takes its stream, a job header line ("COPIES=1"),
# the "PAGE:" lines as the scheduler logged them ("page copies" pairs) and
# the pages against the PDF pages they should show, in stream order ("0" a
# blank filler page): paper code and toner coverage. Coverage is black dots
# over the whole reference page's area (both sides measured on the same page
# area, so the printer's unprintable border does not change the figure); it
# must lie within an absolute 0.01 or a relative 15 % of the reference,
# whichever is wider: the halftone screens gray and anti-aliased edges
# differently from a plain average, Ghostscript and Poppler rasterize glyphs
# a little differently, and the border cut removes what lies near the edges.
# Measured differences are below 0.005 (13 % on the A3 model's test page); a
# page missing, blank, inverted or scaled wrongly is far outside. The
# listing stays in $listing; returns 1 when there is none.
check_job() { # label queue job-id pjl-line page-lines pdf page...
  label=$1 id=$3 pjl=$4 lines=$5 pdf_=$6
  [ -n "$id" ] || return 1
  wait_job "$id"
  echo "$label: job $id $state"
  if [ "$state" != completed ]; then
    note "$label: job $id ended $state"
    # cupsd stops a job silently when a filter or its directory is writable
    # by others than root.
    grep -i "insecure\|\[Job $id\] .*\(crashed\|exited with status\)" "$base/log/error_log" | tail -5 || true
    return 1
  fi
  clean_exit "$id" || note "$label: no clean exit of rastertopwg2 for job $id in the scheduler log"
  decode "$label" "$base/out/$2.prn" || return 1
  shift 6
  grep -qx "  @PJL SET $pjl" "$listing" || note "$label: no \"@PJL SET $pjl\" in the job header"
  got=$(job_log "$id" | sed -n 's/.*\] PAGE: \([0-9][0-9]*\) \([0-9][0-9]*\)$/\1 \2/p' | tr '\n' ' ' | sed 's/ $//')
  [ "$got" = "$lines" ] || note "$label: PAGE lines \"$got\", expected \"$lines\""
  page_rows "$listing" >"$base/rows.txt"
  [ "$(wc -l <"$base/rows.txt")" = $# ] || { note "$label: $(wc -l <"$base/rows.txt") pages, expected $#" && return 0; }
  n=0
  for want in "$@"; do
    n=$((n + 1))
    # shellcheck disable=SC2046 # the row is split into its two fields
    set -- $(sed -n "${n}p" "$base/rows.txt")
    [ "$1" = "$paper" ] || note "$label: page $n has paper code $1, expected $paper"
    [ "$want" != 0 ] || [ "$2" = 0 ] || note "$label: filler page $n has $2 black dots"
    [ "$want" != 0 ] || continue
    # Four colour planes, and the black-and-red model's solid red on the
    # test page, are not one gray: the unit tests check their separation.
    if [ "$model" = gdicolor ] || { [ "$model" = gdibkred ] && [ "$pdf_" = "$pdf" ]; }; then
      echo "  $label page $n: colour planes, coverage not compared" && continue
    fi
    ref=$(ref_cov "$pdf_" "$want")
    [ -n "$ref" ] || { note "$label: no reference rendering of page $want" && continue; }
    verdict=$(echo "$ref $2" | awk '{
      ref = $1; cov = $3 / $2; d = cov - ref; if (d < 0) d = -d
      tol = 0.15 * ref; if (tol < 0.01) tol = 0.01
      printf "%s coverage %.4f, reference %.4f (page %d of the PDF), difference %.4f, tolerance %.4f\n",
        d <= tol ? "ok" : "BAD", cov, ref, '"$want"', d, tol }')
    echo "  $label page $n: $verdict"
    case $verdict in ok*) ;; *) note "$label: page $n $verdict" ;; esac
  done
}

# ---------------------------------------------------------------------------
# The documents: Debian's CUPS test page, and a text document set by CUPS'
# own text filter (the GPL from base-files; ten pages on A4).
textdoc=$base/docs/gpl.pdf
first_ppd=$(find "$ppd_dir" -name '*.ppd' | sort | head -n 1)
if ! PPD="$first_ppd" CHARSET=utf-8 "$sysbin/filter/texttopdf" 1 root gpl 1 "" /usr/share/common-licenses/GPL-3 \
  >"$textdoc" 2>"$base/texttopdf.err" || ! pdfinfo "$textdoc" >/dev/null 2>&1; then
  note "texttopdf failed: $(tail -3 "$base/texttopdf.err")"
  exit 1
fi
chmod 644 "$textdoc"

# ---------------------------------------------------------------------------
# Adds queue NAME for a model with a file: device of its own.
add_queue() { # name model
  lpadmin -p "$1" -E -v "file://$base/out/$1.prn" -m "rastertopwg2/$2.ppd" 2>"$base/lpadmin.err" ||
    { note "$1: lpadmin failed: $(cat "$base/lpadmin.err")" && return 1; }
}

# Per model three queues (so that the model's three jobs run side by side):
# a duplex job, collated and uncollated copies.
for ppd in "$ppd_dir"/*.ppd; do
  model=$(basename "$ppd" .ppd)
  echo "=== $model"
  paper=2
  [ "$model" = gdima3 ] && paper=130
  q=e2e_$model
  for kind in _duplex _collated _uncollated; do add_queue "$q$kind" "$model" || continue 2; done
  submit "$model duplex" "${q}_duplex" -o sides=two-sided-long-edge -o page-ranges=1-3 "$textdoc"
  job_duplex=$job
  submit "$model collated" "${q}_collated" -n 2 -o collate=true -o page-ranges=1-3 "$textdoc"
  job_coll=$job
  submit "$model uncollated" "${q}_uncollated" -n 2 -o collate=false "$pdf"
  job_uncoll=$job

  # Collated copies are made by the filter (the PPD's Collate option keeps
  # the pre-filter from repeating the pages): one copy announced, the three
  # pages sent twice in order, each time the same page data.
  dots=
  check_job "$model collated" "${q}_collated" "$job_coll" "COPIES=1" "1 1 2 1 3 1 1 1 2 1 3 1" "$textdoc" \
    1 2 3 1 2 3 && dots=$(page_dots "$listing")
  # shellcheck disable=SC2086 # one field per page
  set -- $dots
  if [ $# = 6 ] && ! { [ "$4 $5 $6" = "$1 $2 $3" ] && [ "$1" != "$2" ] && [ "$2" != "$3" ] && [ "$1" != "$3" ]; }; then
    note "$model collated: the copies differ or pages are alike ($dots)"
  fi
  # Duplex: three text pages go as two sheets, back side first, the last
  # sheet's back a blank filler: pages 2, 1, filler, 3, told apart by the
  # dots of the collated job's pages.
  if check_job "$model duplex" "${q}_duplex" "$job_duplex" "DUPLEX=ON" "2 1 1 1 3 1" "$textdoc" 2 1 0 3 &&
    [ $# = 6 ] && [ "$(page_dots "$listing")" != "$2 $1 0 $3" ]; then
    note "$model duplex: sheet order $(page_dots "$listing"), expected $2 $1 0 $3"
  fi
  # Uncollated copies are made by the printer: two copies announced, the
  # page sent once. The toner marker the filter describes reaches the
  # printer's attributes, without a level: no status library measured one.
  if check_job "$model uncollated" "${q}_uncollated" "$job_uncoll" "COPIES=2" "1 2" "$pdf" 1; then
    uri="ipp://127.0.0.1:$port/printers/${q}_uncollated"
    [ "$(ipp_attr "$uri" get-printer-attributes marker-names)" = toner ] ||
      note "$model: no marker-names=toner among the printer's attributes"
    [ -z "$(ipp_attr "$uri" get-printer-attributes marker-levels)" ] ||
      note "$model: a marker level nobody measured among the printer's attributes"
  fi
done

# ---------------------------------------------------------------------------
# A job cancelled while it prints: the whole text ten times, collated (so
# that the spool file is in use), cancelled once its first page has gone
# out. The job ends cancelled, the filter still ends cleanly, the stream
# (cut short) ends with the cancel trailer, and no spool file is left in
# the scheduler's TempDir, which is the filter's TMPDIR.
echo "=== cancel"
cq=e2e_cancel
if add_queue "$cq" gdimled && submit cancel "$cq" -n 10 -o collate=true "$textdoc" && [ -n "$job" ]; then
  deadline=$(($(date +%s) + timeout))
  while ! job_log "$job" | grep -q "\] PAGE: " && [ "$(date +%s)" -lt "$deadline" ]; do sleep 0.1; done
  cancel "$cq-$job" || note "cancel: cancel $cq-$job failed"
  wait_job "$job"
  echo "cancel: job $job $state after $(job_log "$job" | grep -c "\] PAGE: ") pages"
  [ "$state" = canceled ] || note "cancel: job $job ended $state, expected canceled"
  # The filter finishes its teardown after the job has been marked cancelled.
  while ! grep -Eq "\[Job $job\] PID [0-9]+ \(.*/rastertopwg2\) (exited|crashed|stopped)" "$base/log/error_log" &&
    [ "$(date +%s)" -lt "$deadline" ]; do sleep 0.2; done
  clean_exit "$job" || note "cancel: no clean exit of rastertopwg2 for job $job"
  if [ -s "$base/out/$cq.prn" ] && decode cancel "$base/out/$cq.prn"; then
    grep -q "^  @PJL HOST_CANCEL" "$listing" || note "cancel: the stream does not end with the cancel trailer"
    grep -qx "  (job cancelled)" "$listing" || note "cancel: the decoder does not see a cancelled job"
  fi
fi

# No job left a spool file behind.
left=$(find "$base/spool/tmp" "$base/root" -name 'swspool*.dat' 2>/dev/null)
[ -z "$left" ] || note "spool files left behind: $left"

# ---------------------------------------------------------------------------
# The filter's pending-job test against the scheduler: a job queued on a
# stopped queue is pending (state 3) and counts; a held job (state 4), the
# other queue's job and an unknown job do not.
echo "=== pending"
if add_queue e2e_pending gdimled && cupsdisable e2e_pending; then
  submit pending e2e_pending "$pdf"
  job_pending=$job
  submit held e2e_pending -H hold "$pdf"
  states="$(job_state "$job_pending") $(job_state "$job")"
  [ "$states" = "pending pending-held" ] || note "pending: job states $states"
  for probe in "e2e_pending $job_pending 1" "e2e_pending $job 0" "$cq $job_pending 0" "e2e_pending 99999 0"; do
    set -- $probe
    got=$("$pending_tool" "$1" "$2" 2>&1) || note "pending: is_job_pending $1 $2 failed: $got"
    [ "$got" = "$3" ] || note "pending: is_job_pending $1 $2 says \"$got\", expected $3"
  done
  cancel -a e2e_pending || true
fi

if [ "$fail" != 0 ]; then
  echo "--- scheduler log (tail)"
  tail -n 60 "$base/log/error_log" 2>/dev/null || true
  exit 1
fi
echo "e2e: all queues passed"
