#!/bin/bash
# Hand-off benchmark: wall and CPU time of the filter on a one-page and a
# ten-page A4 600-dpi text job. Waiting shows as wall time without CPU time,
# so the ratio wall/CPU shows what the page hand-offs cost.
#
#   bench/handoff.sh FILTER TESTPAGE PPD [RUNS]     (RUNS: default 5)
set -eu
[ $# -ge 3 ] || { echo "usage: $0 FILTER TESTPAGE PPD [RUNS]" >&2; exit 2; }
filter=$(realpath "$1") testpage=$(realpath "$2") ppd=$(realpath "$3") runs=${4:-5}
work=$(mktemp -d "${TMPDIR:-/tmp}/handoff.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Median of the numbers on standard input, one per line.
median() {
  sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

printf '%-8s %5s %10s %10s %9s\n' job runs "wall s" "CPU s" wall/CPU
for pages in 1 10; do
  "$testpage" -o "$work/in.ras" --pages "$pages" --media 595x842 --res 600 --content text
  : >"$work/times"
  for _ in $(seq "$runs"); do
    rm -rf "$work/root" && mkdir -p "$work/root/tmp"
    # bash's time reports the filter process with all its threads: real,
    # user, sys.
    TIMEFORMAT='%3R %3U %3S'
    { time env RASTERTOPWG2_ROOT="$work/root" TMPDIR="$work/root" PPD="$ppd" HOME="$work" \
      CUPS_SERVERROOT="$work" CUPS_SERVER="$work/no-scheduler" \
      "$filter" 1 bench handoff 1 "" "$work/in.ras" >/dev/null 2>"$work/err"; } 2>>"$work/times"
  done
  wall=$(awk '{ print $1 }' "$work/times" | median)
  cpu=$(awk '{ print $2 + $3 }' "$work/times" | median)
  printf '%-8s %5d %10.3f %10.3f %9.2f\n' "${pages}-page" "$runs" "$wall" "$cpu" "$(echo "$wall $cpu" | awk '{ print $1 / $2 }')"
done
