#!/bin/sh
# End-to-end run on a real CUPS scheduler: starts a private cupsd (its own
# configuration, spool, logs and server-bin tree, a loopback port and a
# local socket, never the machine's own scheduler), adds queues for every
# generated PPD with file: devices, prints real PDFs (CUPS' test page and the
# GPL set by CUPS' text filter) with lp and checks each printer stream with
# the decoder: well formed, page count, paper code, duplex sheet order,
# copies, toner coverage against a Poppler rendering, "PAGE:" lines. Then
# a job cancelled while it prints, and the filter's pending-job test against
# the scheduler's job states.
#
# Usage: run.sh FILTER PPD_DIR GDIDECODE [IS_JOB_PENDING]
#   FILTER          the built rastertopwg2 program
#   PPD_DIR         directory of the generated PPDs
#   GDIDECODE       the printer-stream decoder
#   IS_JOB_PENDING  tests/e2e/is_job_pending (the pending check is skipped
#                   without it)
# Environment: E2E_TIMEOUT (seconds a job may take, default 180),
#   E2E_KEEP=1 keeps the private tree for inspection.
# Exit 0 pass, 1 fail, 77 skipped (cupsd, lp or ipptool missing).
#
# Needs (Debian): cups, cups-client, cups-ipp-utils, cups-filters,
# poppler-utils, ghostscript, netpbm.
set -eu

filter=$(readlink -f "$1")
ppd_dir=$(readlink -f "$2")
gdidecode=$(readlink -f "$3")
pending_tool=${4:-}
timeout=${E2E_TIMEOUT:-180}
pdf=/usr/share/cups/data/default-testpage.pdf

for tool in cupsd lpadmin lpinfo lp lpstat ipptool; do
  if ! command -v "$tool" >/dev/null 2>&1 && ! [ -x "/usr/sbin/$tool" ]; then
    echo "SKIP: $tool not installed"
    exit 77
  fi
done
[ -r "$pdf" ] || { echo "SKIP: $pdf missing (Debian package cups-filters)"; exit 77; }
[ -x "$gdidecode" ] || { echo "FAIL: no printer-stream decoder at \"$3\""; exit 1; }
if [ "$(id -u)" != 0 ]; then
  echo "SKIP: needs root (cupsd runs the filter as lp, as on a real system)"
  exit 77
fi
id lp >/dev/null 2>&1 || { echo "SKIP: no user lp"; exit 77; }
cupsd_bin=$(command -v cupsd || echo /usr/sbin/cupsd)
sysbin=$(pkg-config --variable=cups_serverbin cups 2>/dev/null || echo /usr/lib/cups)
[ -x "$sysbin/daemon/cups-exec" ] || { echo "SKIP: no $sysbin/daemon/cups-exec"; exit 77; }

# ---------------------------------------------------------------------------
# The private tree. Filters run as user lp when cupsd runs as root: every
# directory on the way must be traversable by lp, and the filter and its
# directory root-owned and writable by nobody else.
base=$(mktemp -d /tmp/rastertopwg2-e2e.XXXXXX)
chmod 755 "$base"
cupsd_pid=
fail=0

# Stops our cupsd (by its pid only) and removes the tree, on every exit path.
cleanup() {
  rc=$?
  if [ -n "$cupsd_pid" ] && kill -0 "$cupsd_pid" 2>/dev/null; then
    kill -TERM "$cupsd_pid" 2>/dev/null || true
    i=0
    while kill -0 "$cupsd_pid" 2>/dev/null && [ $i -lt 100 ]; do
      sleep 0.1
      i=$((i + 1))
    done
    kill -KILL "$cupsd_pid" 2>/dev/null || true
  fi
  if [ "${E2E_KEEP:-0}" = 1 ]; then
    echo "private tree kept in $base"
  else
    rm -rf "$base"
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# Filters then run as lp, as on a real system.
run_user="lp"
run_group="lp"

mkdir -p "$base/etc/ppd" "$base/etc/ssl" "$base/spool/tmp" "$base/log" "$base/cache" "$base/state/certs" \
  "$base/run" "$base/out" "$base/root/tmp/cups"
mkdir -p "$base/serverbin/filter" "$base/serverbin/backend" "$base/serverbin/daemon"
for d in filter backend daemon; do
  for f in "$sysbin/$d"/*; do
    [ -e "$f" ] && ln -s "$f" "$base/serverbin/$d/"
  done
done
# Our filter is copied, not linked: cupsd checks the owner and mode of the
# file it runs and of the directory holding it.
cp "$filter" "$base/serverbin/filter/rastertopwg2"
chmod 755 "$base/serverbin/filter/rastertopwg2" "$base/serverbin" "$base/serverbin"/*
chmod 710 "$base/spool"
chmod 1770 "$base/spool/tmp"
chgrp "$run_group" "$base/spool" "$base/spool/tmp"
# A private data directory: CUPS' own data, plus the PPDs under model/ laid
# out as the install puts them, so that the scheduler's driver list has to
# find them there.
mkdir -p "$base/data/model/rastertopwg2"
sysdata=$(pkg-config --variable=cups_datadir cups 2>/dev/null || echo /usr/share/cups)
for f in "$sysdata"/*; do
  [ "$(basename "$f")" = model ] || ln -s "$f" "$base/data/"
done
cp "$ppd_dir"/*.ppd "$base/data/model/rastertopwg2/"
chmod -R a+rX "$base/data"
# Only read by sanitizer builds of the filter.
cp "$(dirname "$0")/lsan.supp" "$base/lsan.supp"
chmod 644 "$base/lsan.supp"
# The file device and the filter's own fixed paths (trace, capability file)
# must be writable by the filter's user.
chown -R "$run_user:$run_group" "$base/out" "$base/root"

# A free loopback port: the kernel picks one when a helper binds port 0;
# without python3 a random high port is tried.
pick_port() {
  if command -v python3 >/dev/null 2>&1; then
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
  else
    echo $((20000 + $(od -An -N2 -tu2 /dev/urandom) % 40000))
  fi
}

write_config() {
  cat >"$base/etc/cups-files.conf" <<EOF
User $run_user
Group $run_group
SystemGroup root
FileDevice Yes
ServerRoot $base/etc
ServerBin $base/serverbin
DataDir $base/data
RequestRoot $base/spool
TempDir $base/spool/tmp
CacheDir $base/cache
StateDir $base/state
ErrorLog $base/log/error_log
AccessLog $base/log/access_log
PageLog $base/log/page_log
Printcap $base/printcap
PrintcapFormat bsd
SetEnv RASTERTOPWG2_ROOT $base/root
SetEnv ASAN_OPTIONS fast_unwind_on_malloc=0
SetEnv LSAN_OPTIONS suppressions=$base/lsan.supp
EOF
  cat >"$base/etc/cupsd.conf" <<EOF
LogLevel debug
MaxLogSize 0
Listen 127.0.0.1:$port
Listen $base/run/cups.sock
Browsing No
WebInterface No
DefaultAuthType None
PreserveJobHistory Yes
MaxJobs 100
<Location />
  Order allow,deny
  Allow localhost
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
EOF
}

# Starts cupsd in the foreground (as our child) and waits until it answers.
start_cupsd() {
  (cd "$base" && exec "$cupsd_bin" -f -c "$base/etc/cupsd.conf" -s "$base/etc/cups-files.conf") \
    >"$base/log/cupsd.out" 2>&1 &
  cupsd_pid=$!
  deadline=$(($(date +%s) + 30))
  while [ "$(date +%s)" -lt "$deadline" ]; do
    kill -0 "$cupsd_pid" 2>/dev/null || return 1
    lpstat -r >/dev/null 2>&1 && lpstat -r 2>/dev/null | grep -q "is running" && return 0
    sleep 0.2
  done
  return 1
}

export CUPS_SERVER="$base/run/cups.sock"
export CUPS_USER=root
unset CUPS_ENCRYPTION || true
started=0
for _ in 1 2 3 4 5; do
  port=$(pick_port)
  write_config
  if start_cupsd; then
    started=1
    break
  fi
  kill -TERM "$cupsd_pid" 2>/dev/null || true
  wait "$cupsd_pid" 2>/dev/null || true
  cupsd_pid=
done
if [ "$started" != 1 ]; then
  echo "FAIL: private cupsd did not start"
  cat "$base/log/cupsd.out" "$base/log/error_log" 2>/dev/null | tail -40
  exit 1
fi
echo "private cupsd $cupsd_pid on 127.0.0.1:$port and $CUPS_SERVER"

note() {
  echo "FAIL: $*"
  fail=1
}

# Reads one attribute with ipptool; prints "name (type) = value".
ipp_attr() { # uri operation attribute [job-id]
  cat >"$base/query.test" <<EOF
{
  OPERATION $2
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri \$uri
  $([ -n "${4:-}" ] && echo "ATTR integer job-id $4")
  ATTR name requesting-user-name root
  ATTR keyword requested-attributes $3
  STATUS successful-ok
  DISPLAY $3
}
EOF
  ipptool -t -T 10 "$1" "$base/query.test" 2>/dev/null | grep -E "^ *$3 \(" | sed 's/^ *//' || true
}

# Waits for a terminal job state (completed, canceled, aborted; or
# processing-stopped, which a stopped queue never leaves) by polling
# job-state, into $state; runs in this shell so that a signal ends it at once.
wait_job() { # uri job-id
  deadline=$(($(date +%s) + timeout))
  while :; do
    state=$(ipp_attr "$1" Get-Job-Attributes job-state "$2" | sed 's/.*= //')
    case $state in
      completed | canceled | aborted | processing-stopped) return 0 ;;
    esac
    if [ "$(date +%s)" -ge "$deadline" ]; then
      state="timeout (last state: ${state:-unknown})"
      return 0
    fi
    sleep 0.25
  done
}

# Prints a job's scheduler log lines (its messages as the filter wrote them).
job_log() { # job-id
  grep "\[Job $1\] " "$base/log/error_log" || true
}

# Submits a job with lp into $job (empty after a note when lp fails).
submit() { # label queue lp-arguments...
  label=$1 queue_=$2
  shift 2
  job=
  if ! reply=$(lp -d "$queue_" -t "e2e $label" "$@" 2>&1); then
    note "$label: lp failed: $reply"
    return 0
  fi
  job=$(echo "$reply" | sed -n 's/^request id is [^ ]*-\([0-9][0-9]*\) .*/\1/p')
  [ -n "$job" ] || note "$label: no job id in \"$reply\""
}

# Waits for a job and checks that it completed and that the filter exited
# cleanly; returns 1 when the job did not complete.
finish_job() { # label queue job-id
  wait_job "ipp://127.0.0.1:$port/printers/$2" "$3"
  echo "$1: job $3 $state"
  if [ "$state" != completed ]; then
    note "$1: job $3 ended $state"
    # cupsd stops a job silently when a filter or its directory is writable
    # by others than root.
    grep -i "insecure\|\[Job $3\] .*\(crashed\|exited with status\)" "$base/log/error_log" | tail -5 || true
    return 1
  fi
  # cupsd logs every filter's end; ours must end with status 0.
  grep -E "\[Job $3\] PID [0-9]+ \(.*/rastertopwg2\) exited with no errors" "$base/log/error_log" >/dev/null ||
    note "$1: no clean exit of rastertopwg2 for job $3 in the scheduler log"
  return 0
}

# Decodes a printer stream into $base/dec/LABEL.txt (listing) and checks
# that it is well formed; returns 1 when it is not.
decode() { # label file
  listing="$base/dec/$1.txt"
  if ! [ -s "$2" ]; then
    note "$1: output file $2 missing or empty"
    return 1
  fi
  if ! "$gdidecode" "$2" >"$listing" 2>&1 || ! grep -qx "result: ok" "$listing"; then
    note "$1: the decoder rejects the stream: $(grep -E 'FAIL|error|result' "$listing" | head -5)"
    return 1
  fi
  return 0
}

# One line per page of a decoded stream: "paper_type blackDots".
page_rows() { # listing
  awk '/^page [0-9]+:/ { if (n) print p, d; n++ }
       /^  paper_type +=/ { p = $3 }
       /^  blackDots +=/ { d = $3 }
       END { if (n) print p, d }' "$1"
}

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

# Checks the pages of a decoded stream against the PDF pages they should
# show, in stream order ("0" stands for a blank filler page): page count,
# paper code and toner coverage. Coverage is black dots over the whole
# reference page's area (both sides measured on the same page area, so the
# printer's unprintable border does not change the figure); it must lie
# within an absolute 0.01 or a relative 15 % of the reference, whichever is
# wider: the halftone screens gray and anti-aliased edges differently from
# a plain average, Ghostscript and Poppler rasterize glyphs a little
# differently, and the border cut removes what lies near the edges.
# Measured differences are below 0.005 (13 % on the A3 model's test page);
# a page missing, blank, inverted or scaled wrongly is far outside.
check_pages() { # label listing pdf paper-code page...
  label=$1 listing=$2 pdf_=$3 paper=$4
  shift 4
  page_rows "$listing" >"$base/rows.txt"
  got=$(wc -l <"$base/rows.txt")
  if [ "$got" != $# ]; then
    note "$label: $got pages in the stream, expected $#"
    return 0
  fi
  n=0
  for want in "$@"; do
    n=$((n + 1))
    # shellcheck disable=SC2046 # the row is split into its two fields
    set -- $(sed -n "${n}p" "$base/rows.txt")
    [ "$1" = "$paper" ] || note "$label: page $n has paper code $1, expected $paper"
    if [ "$want" = 0 ]; then
      [ "$2" = 0 ] || note "$label: filler page $n has $2 black dots"
      echo "  $label page $n: filler, $2 black dots"
      continue
    fi
    [ "$have_pamsumm" = 1 ] || continue
    ref=$(ref_cov "$pdf_" "$want")
    [ -n "$ref" ] || {
      note "$label: no reference rendering of page $want"
      continue
    }
    verdict=$(echo "$ref $2" | awk '{
      ref = $1; cov = $3 / $2; d = cov - ref; if (d < 0) d = -d
      tol = 0.15 * ref; if (tol < 0.01) tol = 0.01
      printf "%s coverage %.4f, reference %.4f (page %d of the PDF), difference %.4f, tolerance %.4f\n",
        d <= tol ? "ok" : "BAD", cov, ref, '"$want"', d, tol }')
    echo "  $label page $n: $verdict"
    case $verdict in ok*) ;; *) note "$label: page $n $verdict" ;; esac
  done
}

# The black dots of each page of a decoded stream, space-separated: a
# page's fingerprint, the same whenever the same raster page is sent.
page_dots() { # listing
  page_rows "$1" | cut -d' ' -f2 | tr '\n' ' ' | sed 's/ $//'
}

# Checks a PJL header line of a decoded stream.
check_pjl() { # label listing line
  grep -qx "  $3" "$2" || note "$1: the job header lacks \"$3\" ($(grep -E "^  @PJL SET (COPIES|DUPLEX)=" "$2" | tr -d '\r' | tr '\n' ' '))"
}

# The job's "PAGE:" lines as the scheduler logged them, as "n copies" pairs.
page_lines() { # job-id
  job_log "$1" | sed -n 's/.*\] PAGE: \([0-9][0-9]*\) \([0-9][0-9]*\)$/\1 \2/p' | tr '\n' ' ' | sed 's/ $//'
}

check_page_lines() { # label job-id expected
  got=$(page_lines "$2")
  [ "$got" = "$3" ] || note "$1: PAGE lines \"$got\", expected \"$3\""
}

# ---------------------------------------------------------------------------
# The documents: Debian's CUPS test page, and a text document set by CUPS'
# own text filter (the GPL from base-files; ten pages on A4).
mkdir -p "$base/dec" "$base/ref" "$base/docs"
chmod 755 "$base/docs"
testpage=$pdf
textdoc=$base/docs/gpl.pdf
gpl=/usr/share/common-licenses/GPL-3
texttopdf="$sysbin/filter/texttopdf"
have_pamsumm=0
command -v pamsumm >/dev/null 2>&1 && command -v pamfile >/dev/null 2>&1 && have_pamsumm=1
[ "$have_pamsumm" = 1 ] || echo "(netpbm missing: toner coverage checks skipped)"
if ! [ -x "$texttopdf" ] || ! [ -r "$gpl" ]; then
  note "no $texttopdf or $gpl to make the text document"
  exit 1
fi
first_ppd=$(find "$ppd_dir" -name '*.ppd' | sort | head -n 1)
if ! PPD="$first_ppd" CHARSET=utf-8 "$texttopdf" 1 root gpl 1 "" "$gpl" >"$textdoc" 2>"$base/texttopdf.err" ||
  ! pdfinfo "$textdoc" >/dev/null 2>&1; then
  note "texttopdf failed: $(tail -3 "$base/texttopdf.err")"
  exit 1
fi
chmod 644 "$textdoc"
echo "text document: $(pdfinfo "$textdoc" | sed -n 's/^Pages: *//p') pages"

# ---------------------------------------------------------------------------
# The scheduler's driver list offers every model from the model directory.
lpinfo -m >"$base/models.txt" 2>&1 || note "lpinfo -m failed: $(cat "$base/models.txt")"
for ppd in "$ppd_dir"/*.ppd; do
  grep -q "^rastertopwg2/$(basename "$ppd") " "$base/models.txt" ||
    note "lpinfo -m does not list rastertopwg2/$(basename "$ppd")"
done
grep "^rastertopwg2/" "$base/models.txt" || true

# Adds queue NAME for a model with a file: device of its own.
add_queue() { # name model
  lpadmin -p "$1" -E -v "file://$base/out/$1.prn" -m "rastertopwg2/$2.ppd" 2>"$base/lpadmin.err" ||
    {
      note "$1: lpadmin failed: $(cat "$base/lpadmin.err")"
      return 1
    }
}

# Per model four queues (a file device each, so that the model's four jobs
# run side by side): the options job, a duplex job, collated and uncollated
# copies. Each job's stream is checked when all four have ended.
trace="$base/root/tmp/cups/printer.log"
for ppd in "$ppd_dir"/*.ppd; do
  model=$(basename "$ppd" .ppd)
  echo "=== $model"
  paper=2
  [ "$model" = gdima3 ] && paper=130
  q=e2e_$model
  add_queue "$q" "$model" || continue
  for kind in duplex collated uncollated; do add_queue "${q}_$kind" "$model" || continue 2; done
  uri="ipp://127.0.0.1:$port/printers/$q"
  # A new queue has no marker until a filter announces one.
  levels=$(ipp_attr "$uri" Get-Printer-Attributes marker-levels)
  [ -z "$levels" ] || note "$model: marker-levels \"$levels\" before any job"

  submit "$model" "$q" -o TonerSave=On -o Density=7 -o FitToPaper=A4 "$testpage"
  job_opts=$job
  submit "$model duplex" "${q}_duplex" -o sides=two-sided-long-edge -o page-ranges=1-3 "$textdoc"
  job_duplex=$job
  submit "$model collated" "${q}_collated" -n 2 -o collate=true -o page-ranges=1-3 "$textdoc"
  job_coll=$job
  submit "$model uncollated" "${q}_uncollated" -n 2 -o collate=false "$testpage"
  job_uncoll=$job

  # The options job: the test page with TonerSave, Density and FitToPaper.
  if [ -n "$job_opts" ] && finish_job "$model" "$q" "$job_opts"; then
    # The toner marker the filter announces reaches the printer's attributes.
    levels=$(ipp_attr "$uri" Get-Printer-Attributes marker-levels)
    echo "$levels"
    echo "$levels" | grep -q "= 75$" || note "$model: marker-levels is \"$levels\", expected 75"
    types=$(ipp_attr "$uri" Get-Printer-Attributes marker-types)
    echo "$types" | grep -q "= toner$" || note "$model: marker-types is \"$types\""

    # The filter read this queue's PPD: its feature mask is in the trace.
    feature=$(sed -n 's/^\*DriverFeature: "\([0-9]*\)"/\1/p' "$ppd")
    grep -q "\[Job $job_opts\] \[---filter---\]\[--main--\] DriverFeature = $(printf %08x "$feature")$" "$trace" ||
      note "$model: trace lacks DriverFeature = $(printf %08x "$feature")"
    # The job's options reach the page header's slots.
    for want in "cupsInteger\[0\] = 1 (TonerSave)" "cupsInteger\[11\] = 6 (Density)" \
      "cupsInteger\[13\] = 5 (Fit to paper)"; do
      grep "\[Job $job_opts\] " "$trace" | grep -q "$want" || note "$model: page header lacks \"$want\""
    done
    # The scheduler logs the filter's "INFO:" lines without the prefix (the
    # raster renderer's own end in "...").
    job_log "$job_opts" | grep -q "\] Processing page 1$" || note "$model: no \"INFO: Processing page 1\""
    if decode "$model" "$base/out/$q.prn"; then
      check_pjl "$model" "$listing" "@PJL SET ECONOMODE=ON"
      check_pjl "$model" "$listing" "@PJL SET COPIES=1"
      # Toner save thins the page out: only the count and paper are checked.
      [ "$(page_rows "$listing" | wc -l)" = 1 ] || note "$model: the options job does not have one page"
      [ "$(page_rows "$listing" | cut -d' ' -f1)" = "$paper" ] || note "$model: paper code is not $paper"
      check_page_lines "$model" "$job_opts" "1 1"
    fi
  fi

  # Collated copies are made by the filter (the PPD's Collate option keeps
  # the pre-filter from repeating the pages): one copy announced, the three
  # pages sent twice in order, each time the same page data.
  p1='' p2='' p3=''
  if [ -n "$job_coll" ] && finish_job "$model collated" "${q}_collated" "$job_coll" &&
    decode "$model-collated" "$base/out/${q}_collated.prn"; then
    check_pjl "$model collated" "$listing" "@PJL SET COPIES=1"
    check_pages "$model collated" "$listing" "$textdoc" "$paper" 1 2 3 1 2 3
    check_page_lines "$model collated" "$job_coll" "1 1 2 1 3 1 1 1 2 1 3 1"
    dots=$(page_dots "$listing")
    set -- $dots
    if [ $# = 6 ]; then
      p1=$1 p2=$2 p3=$3
      [ "$4 $5 $6" = "$p1 $p2 $p3" ] || note "$model collated: the second copy differs from the first ($dots)"
      [ "$p1" != "$p2" ] && [ "$p2" != "$p3" ] && [ "$p1" != "$p3" ] ||
        note "$model collated: pages not told apart by their dots ($dots)"
    fi
  fi

  # Duplex: three text pages go as two sheets, back side first, the last
  # sheet's back a blank filler: pages 2, 1, filler, 3, told apart by the
  # dots of the collated job's pages.
  if [ -n "$job_duplex" ] && finish_job "$model duplex" "${q}_duplex" "$job_duplex" &&
    decode "$model-duplex" "$base/out/${q}_duplex.prn"; then
    check_pjl "$model duplex" "$listing" "@PJL SET DUPLEX=ON"
    check_pages "$model duplex" "$listing" "$textdoc" "$paper" 2 1 0 3
    check_page_lines "$model duplex" "$job_duplex" "2 1 1 1 3 1"
    if [ -n "$p1" ]; then
      dots=$(page_dots "$listing")
      [ "$dots" = "$p2 $p1 0 $p3" ] || note "$model duplex: sheet order $dots, expected $p2 $p1 0 $p3"
    fi
  fi

  # Uncollated copies are made by the printer: two copies announced, the
  # page sent once.
  if [ -n "$job_uncoll" ] && finish_job "$model uncollated" "${q}_uncollated" "$job_uncoll" &&
    decode "$model-uncollated" "$base/out/${q}_uncollated.prn"; then
    check_pjl "$model uncollated" "$listing" "@PJL SET COPIES=2"
    check_pages "$model uncollated" "$listing" "$testpage" "$paper" 1
    check_page_lines "$model uncollated" "$job_uncoll" "1 2"
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
if add_queue "$cq" gdimled; then
  submit cancel "$cq" -n 10 -o collate=true "$textdoc"
  if [ -n "$job" ]; then
    deadline=$(($(date +%s) + timeout))
    while ! job_log "$job" | grep -q "\] PAGE: " && [ "$(date +%s)" -lt "$deadline" ]; do sleep 0.1; done
    cancel "$cq-$job" || note "cancel: cancel $cq-$job failed"
    wait_job "ipp://127.0.0.1:$port/printers/$cq" "$job"
    echo "cancel: job $job $state after $(job_log "$job" | grep -c "\] PAGE: ") pages"
    [ "$state" = canceled ] || note "cancel: job $job ended $state, expected canceled"
    # The filter finishes its teardown after the job has been marked
    # cancelled: wait for its end in the scheduler log.
    while ! grep -Eq "\[Job $job\] PID [0-9]+ \(.*/rastertopwg2\) (exited|crashed|stopped)" "$base/log/error_log" &&
      [ "$(date +%s)" -lt "$deadline" ]; do sleep 0.2; done
    grep -E "\[Job $job\] PID [0-9]+ \(.*/rastertopwg2\) exited with no errors" "$base/log/error_log" >/dev/null ||
      note "cancel: no clean exit of rastertopwg2 for job $job: $(grep -E "\[Job $job\] PID [0-9]+ \(.*/rastertopwg2\)" "$base/log/error_log")"
    out="$base/out/$cq.prn"
    if [ -s "$out" ]; then
      if decode cancel "$out"; then
        grep -q "^  @PJL HOST_CANCEL" "$listing" || note "cancel: the stream does not end with the cancel trailer"
        grep -qx "  (job cancelled)" "$listing" || note "cancel: the decoder does not see a cancelled job"
        echo "cancel: $(page_rows "$listing" | wc -l) pages in the stream (of 100)"
      fi
    else
      echo "cancel: no output (cancelled before the job header)"
    fi
    left=$(find "$base/spool/tmp" -name 'swspool*.dat' 2>/dev/null)
    [ -z "$left" ] || note "cancel: spool file left behind: $left"
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
if [ -z "$pending_tool" ] || ! [ -x "$pending_tool" ]; then
  echo "(no is_job_pending tool: pending check skipped)"
elif add_queue e2e_pending gdimled && cupsdisable e2e_pending; then
  submit pending e2e_pending "$testpage"
  job_pending=$job
  submit held e2e_pending -H hold "$testpage"
  job_held=$job
  pstate=$(ipp_attr "ipp://127.0.0.1:$port/printers/e2e_pending" Get-Job-Attributes job-state "$job_pending" | sed 's/.*= //')
  hstate=$(ipp_attr "ipp://127.0.0.1:$port/printers/e2e_pending" Get-Job-Attributes job-state "$job_held" | sed 's/.*= //')
  echo "pending: job $job_pending $pstate, job $job_held $hstate"
  [ "$pstate" = pending ] && [ "$hstate" = pending-held ] || note "pending: job states $pstate and $hstate"
  for probe in "e2e_pending $job_pending 1" "e2e_pending $job_held 0" "$cq $job_pending 0" "e2e_pending 99999 0"; do
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
