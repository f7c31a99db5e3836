#!/bin/sh
# End-to-end run on a real CUPS scheduler: starts a private cupsd (its own
# configuration, spool, logs and server-bin tree, a loopback port and a
# local socket, never the machine's own scheduler), adds one queue per
# generated PPD with a file: device, prints a real PDF on each with lp and
# checks what the filter delivers today.
#
# Usage: run.sh FILTER PPD_DIR [GDIDECODE]
#   FILTER     the built rastertopwg2 program
#   PPD_DIR    directory of the generated PPDs
#   GDIDECODE  the printer-stream decoder (optional; see STREAM CHECKS)
# Environment: E2E_TIMEOUT (seconds a job may take, default 180),
#   E2E_KEEP=1 keeps the private tree for inspection.
# Exit 0 pass, 1 fail, 77 skipped (cupsd, lp or ipptool missing).
#
# Needs (Debian): cups, cups-client, cups-ipp-utils, cups-filters,
# poppler-utils, ghostscript.
set -eu

filter=$(readlink -f "$1")
ppd_dir=$(readlink -f "$2")
gdidecode=${3:-}
timeout=${E2E_TIMEOUT:-180}
pdf=/usr/share/cups/data/default-testpage.pdf

for tool in cupsd lpadmin lpinfo lp lpstat ipptool; do
  if ! command -v "$tool" >/dev/null 2>&1 && ! [ -x "/usr/sbin/$tool" ]; then
    echo "SKIP: $tool not installed"
    exit 77
  fi
done
[ -r "$pdf" ] || { echo "SKIP: $pdf missing (Debian package cups-filters)"; exit 77; }
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

# ---------------------------------------------------------------------------
# The scheduler's driver list offers every model from the model directory.
lpinfo -m >"$base/models.txt" 2>&1 || note "lpinfo -m failed: $(cat "$base/models.txt")"
for ppd in "$ppd_dir"/*.ppd; do
  grep -q "^rastertopwg2/$(basename "$ppd") " "$base/models.txt" ||
    note "lpinfo -m does not list rastertopwg2/$(basename "$ppd")"
done
grep "^rastertopwg2/" "$base/models.txt" || true

# One queue per generated PPD, made from the driver list; one job each.
for ppd in "$ppd_dir"/*.ppd; do
  model=$(basename "$ppd" .ppd)
  queue="e2e_$model"
  out="$base/out/$model.prn"
  uri="ipp://127.0.0.1:$port/printers/$queue"
  echo "=== $model"
  if ! lpadmin -p "$queue" -E -v "file://$out" -m "rastertopwg2/$model.ppd" 2>"$base/lpadmin.err"; then
    note "$model: lpadmin failed: $(cat "$base/lpadmin.err")"
    continue
  fi
  : >"$base/root/tmp/cups/printer.log"
  chown "$run_user:$run_group" "$base/root/tmp/cups/printer.log"
  # A new queue has no marker until a filter announces one.
  levels=$(ipp_attr "$uri" Get-Printer-Attributes marker-levels)
  [ -z "$levels" ] || note "$model: marker-levels \"$levels\" before any job"
  reply=$(lp -d "$queue" -t "e2e $model" -o TonerSave=On -o Density=7 -o FitToPaper=A4 "$pdf" 2>&1) ||
    { note "$model: lp failed: $reply"; continue; }
  job=$(echo "$reply" | sed -n 's/^request id is [^ ]*-\([0-9][0-9]*\) .*/\1/p')
  [ -n "$job" ] || { note "$model: no job id in \"$reply\""; continue; }

  wait_job "$uri" "$job"
  echo "job $job: $state"
  if [ "$state" != completed ]; then
    note "$model: job $job ended $state"
    # cupsd stops a job silently when a filter or its directory is writable
    # by others than root.
    grep -i "insecure\|\[Job $job\] .*\(crashed\|exited with status\)" "$base/log/error_log" | tail -5 || true
  fi

  # The filter's process ended with status 0 (cupsd logs every filter's end).
  grep -E "\[Job $job\] PID [0-9]+ \(.*/rastertopwg2\) exited with no errors" "$base/log/error_log" >/dev/null ||
    note "$model: no clean exit of rastertopwg2 for job $job in the scheduler log"
  # The file device was opened and written to by the job (today it may be
  # empty: the filter does not render pages yet).
  [ -f "$out" ] || note "$model: no output file $out"

  # The toner marker the filter announces reaches the printer's attributes.
  levels=$(ipp_attr "$uri" Get-Printer-Attributes marker-levels)
  echo "$levels"
  echo "$levels" | grep -q "= 75$" || note "$model: marker-levels is \"$levels\", expected 75"
  types=$(ipp_attr "$uri" Get-Printer-Attributes marker-types)
  echo "$types" | grep -q "= toner$" || note "$model: marker-types is \"$types\""

  # The filter read this queue's PPD: its feature mask is in the trace.
  feature=$(sed -n 's/^\*DriverFeature: "\([0-9]*\)"/\1/p' "$ppd")
  trace="$base/root/tmp/cups/printer.log"
  grep -q "\[Job $job\] \[---filter---\]\[--main--\] DriverFeature = $(printf %08x "$feature")$" "$trace" ||
    note "$model: trace lacks DriverFeature = $(printf %08x "$feature")"
  grep -q "\[Job $job\] .*Start Page = 0 " "$trace" || note "$model: no raster page reached the filter"
  # The job's options reach the page header's slots. The filter dumps the
  # header once its page path runs; until then this check has nothing to see.
  if grep -q "cupsInteger\[0\] = " "$trace"; then
    for want in "cupsInteger\[0\] = 1 (TonerSave)" "cupsInteger\[11\] = 6 (Density)" \
      "cupsInteger\[13\] = 5 (Fit to paper)"; do
      grep -q "$want" "$trace" || note "$model: page header lacks \"$want\""
    done
  else
    # Until then: when Ghostscript renders the raster, its command line in
    # the scheduler log shows the slot values it was given.
    gsline=$(grep "\[Job $job\] Ghostscript command line:" "$base/log/error_log" || true)
    if [ -n "$gsline" ]; then
      for want in -dcupsInteger0=1 -dcupsInteger11=6 -dcupsInteger13=5; do
        echo "$gsline" | grep -q -- "$want " || note "$model: raster renderer not given $want"
      done
    else
      echo "(page header dump not traced yet: option slot check skipped)"
    fi
  fi

  # ----- STREAM CHECKS (disabled until the filter writes page data) -------
  # Enable with E2E_STREAM_CHECKS=1 once the filter renders pages and the
  # decoder tool exists. Planned:
  #   - "$gdidecode" "$out" exits 0 (the stream parses: preamble, PJL header,
  #     page blocks, PJL trailer);
  #   - the decoded page count equals the "PAGE:" lines of the job (the
  #     scheduler's page_log for job $job);
  #   - each page header's paper code matches the PPD's default size (A4:
  #     2, on the A3 model 130) and Colors matches the model's colour mode;
  #   - the output file is not empty.
  if [ "${E2E_STREAM_CHECKS:-0}" = 1 ]; then
    if [ -z "$gdidecode" ] || ! [ -x "$gdidecode" ]; then
      note "$model: E2E_STREAM_CHECKS=1 but no decoder at \"$gdidecode\""
    else
      [ -s "$out" ] || note "$model: output file is empty"
      "$gdidecode" "$out" >"$base/decode.txt" 2>&1 || note "$model: $gdidecode rejects the stream"
      # TODO(stream): compare page count and page headers as listed above.
    fi
  fi
  # ------------------------------------------------------------------------
done

if [ "$fail" != 0 ]; then
  echo "--- scheduler log (tail)"
  tail -n 60 "$base/log/error_log" 2>/dev/null || true
  exit 1
fi
echo "e2e: all queues passed"
