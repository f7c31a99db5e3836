#!/bin/sh
# Runs the fuzz targets of a RASTERTOPWG2_FUZZ build over their seed corpus
# and kept crash inputs with the raster/PJL dictionary, SECONDS each, and
# fails on the first crash, hang, leak or sanitizer report. New corpus
# entries go to a scratch directory; a failing input is kept as
# BUILD_DIR/fuzz-artifacts/TARGET-{crash,leak,timeout,oom}-..., to be added
# to tests/fuzz/crashes/TARGET/ with the fix.
#   usage: tests/fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
set -e
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
seconds=$2
shift 2
targets=${*:-"job json capability spool options base64 gdidecode"}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$build/fuzz-artifacts"
# libcups loses a few strings of PPDs it reads (see the suppression file);
# matching them needs full stacks where PPDs are read, as libcups has no
# frame pointers.
export LSAN_OPTIONS="suppressions=$here/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
asan=${ASAN_OPTIONS:-}
for t in $targets; do
  # Small rasters: the job target should spend its time on headers, not pixels.
  unwind=1 timeout=3
  case $t in
    job) max=12000 unwind=0 timeout=30 ;;
    gdidecode | spool) max=12000 ;;
    options) max=16384 unwind=0 ;;
    *) max=2048 ;;
  esac
  seeds="$here/corpus/$t"
  if [ -d "$here/crashes/$t" ]; then seeds="$seeds $here/crashes/$t"; fi
  mkdir -p "$scratch/$t"
  echo "== fuzz_$t, $seconds s"
  # An input that runs longer than the timeout counts as a hang. A job may
  # scale a small page up to a 4 GB bitmap or replay it 9999 times, so it
  # gets longer.
  rc=0
  ASAN_OPTIONS="fast_unwind_on_malloc=$unwind${asan:+:$asan}" "$build/tests/fuzz/fuzz_$t" "$scratch/$t" $seeds -dict="$here/raster_pjl.dict" \
    -max_total_time="$seconds" -max_len="$max" -timeout=$timeout -rss_limit_mb=2048 -close_fd_mask=3 \
    -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$t-" >"$scratch/$t.log" 2>&1 || rc=$?
  grep -E '^(#[0-9]+[[:space:]]+(INITED|DONE)|stat::(number_of_executed_units|peak_rss)|==[0-9]+==|SUMMARY|Test unit written)' \
    "$scratch/$t.log" || true
  if [ $rc -ne 0 ]; then
    echo "fuzz_$t failed (status $rc)"
    exit 1
  fi
done
echo "fuzz: all targets ran clean"
