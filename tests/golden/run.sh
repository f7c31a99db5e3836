#!/bin/bash
# Golden streams: runs a fixed set of jobs through the filter binary and
# compares the sha256 of each printer stream and of its scheduler messages
# with tests/golden/streams.sha256, so that a restructuring of the filter
# that changes a single byte of either shows up.
#
#   run.sh [--update] FILTER TESTPAGE GDIDECODE PPD_DIR SAMPLE_PPD PLUGIN_DIR
#
# --update rewrites streams.sha256 from this run. After an update or a
# mismatch the outputs are kept in the directory named in the message: per
# job raw.prn as the filter wrote it, JOB.list from gdidecode, and out/JOB.prn
# and out/JOB.err as hashed.
set -eu
update=0
if [ "${1:-}" = --update ]; then update=1 && shift; fi
[ $# -eq 6 ] || { echo "usage: $0 [--update] FILTER TESTPAGE GDIDECODE PPD_DIR SAMPLE_PPD PLUGIN_DIR" >&2; exit 2; }
# The jobs run in their own directories: every path made absolute first.
filter=$(realpath "$1") testpage=$(realpath "$2") gdidecode=$(realpath "$3")
ppd_dir=$(realpath "$4") sample_ppd=$(realpath "$5") plugin_dir=$(realpath "$6")
here=$(cd "$(dirname "$0")" && pwd)
expected=$here/streams.sha256
work=$(mktemp -d "${TMPDIR:-/tmp}/golden.XXXXXX")
out=$work/out
mkdir -p "$out"

# Replaces the job header values that differ from run to run (tick, date,
# time, host) by fixed text; only inside the header, before the first page.
# The trailer's alignment comment depends on the stream length and so on
# those values: it is dropped here, and gdidecode checks it on the raw stream.
mask() {
  perl -e '
    binmode STDIN; binmode STDOUT; local $/; my $s = <STDIN>;
    my $end = index($s, "\@PJL ENTER LANGUAGE=");
    die "no job header\n" if $end < 0;
    my $h = substr($s, 0, $end);
    my $n = ($h =~ s/^(\@PJL JOB NAME=")-?\d+"/$1TICK"/m)
          + ($h =~ s/^(\@PJL COMMENT )\d{4}\/\d\d\/\d\d(?=\r$)/$1DATE/m)
          + ($h =~ s/^(\@PJL COMMENT )\d\d:\d\d:\d\d:00(?=\r$)/$1TIME/m)
          + ($h =~ s/^(\@PJL COMMENT golden\r\n\@PJL COMMENT )[^\r\n]*/$1HOST/m);
    die "job header: $n of 4 volatile lines found\n" if $n != 4;
    my $eojText = "\eE\e%-12345X\@PJL\r\n";
    my $eoj = rindex($s, $eojText) + length $eojText;
    my $align = "\@PJL COMMENT DATA ALIGNMENT 512\r\n";
    substr($s, $eoj, length $align) = "" if $eoj > $end && substr($s, $eoj, length $align) eq $align;
    print $h, substr($s, $end);'
}

# job NAME PPD FEATURE0 FEATURE1 OPTIONS [testpage arguments...]
# FEATURE0/1: the printer's two capability bytes, "-" for no capability file.
id=100 hashed=
job() {
  name=$1 ppd=$2 f0=$3 f1=$4 opts=$5
  shift 5
  id=$((id + 1)) hashed="$hashed $name.prn $name.err"
  dir=$work/$name
  mkdir -p "$dir/root/tmp"
  "$testpage" -o "$dir/in.ras" --colorspace w "$@" || return 1
  if [ "$f0" != - ]; then
    # The raw capability record: the two bytes, then zeros to its 1026 bytes.
    { printf '%b%b' "\\0$(printf %o "$f0")" "\\0$(printf %o "$f1")" && head -c 1024 /dev/zero; } \
      >"$dir/root/tmp/golden-$name.dat"
  fi
  # No scheduler and no lpoptions: the queue must not pick up a location
  # or a device URI from the machine.
  local rc=0
  (cd "$dir" && export RASTERTOPWG2_ROOT="$dir/root" TMPDIR="$dir/root" PPD="$ppd" HOME="$dir" \
    RASTERTOPWG2_PLUGIN_DIR="$plugin_dir" \
    CUPS_SERVERROOT="$dir" CUPS_SERVER="$dir/no-scheduler" TZ=UTC LC_ALL=C &&
    exec -a "golden-$name" "$filter" "$id" golden "$name" 1 "$opts" in.ras >raw.prn 2>raw.err) || rc=$?
  rm -f "$dir/in.ras"
  [ "$rc" -eq 0 ] || { echo "$name: filter exit status $rc" >&2; return 1; }
  "$gdidecode" "$dir/raw.prn" >"$dir/$name.list" 2>&1 || { echo "$name: gdidecode rejects the stream" >&2; return 1; }
  mask <"$dir/raw.prn" >"$out/$name.prn" || return 1
  # Messages without the trace, grouped by kind: the page loop writes the
  # "INFO:" lines and the output thread the "PAGE:" lines, and how these
  # two interleave depends on timing alone; each kind keeps its own order.
  grep -v '^DEBUG2\{0,1\}:' "$dir/raw.err" | LC_ALL=C sort -s -k1,1 >"$out/$name.err"
}

fail=0
P=$ppd_dir
# Several text pages, more than the ring of page slots holds.
job mono "$P/gdimled.ppd" - - "" --pages 7 --media 420x595 --content text-n || fail=1
# Smooth gray under a clustered-dot screen.
job photo "$P/gdimlsu.ppd" 0x01 0x00 "" --content photo || fail=1
# Long-edge duplex, two collated copies: spool file, back sides turned, a
# blank filler for the odd page count.
job duplex "$P/gdimled.ppd" - - "Collate=True" --pages 3 --media 420x595 --content text-n \
  --duplex 1 --tumble 0 --copies 2 --collate 1 || fail=1
# JBIG pages with a checksum behind each plane.
job checksum "$P/gdimlsu.ppd" 0x11 0x00 "" --pages 2 --media 420x595 --content text-n,photo || fail=1
# Uncompressed pages; toner save and density reach the job header.
job raw "$sample_ppd" 0x40 0x00 "" --media 420x595 --content text --int 0=1 --int 11=3 || fail=1
# Two-bit mode (with the 600 RET bit): doubled width, two bits per pixel.
job twobit "$P/gdimled.ppd" 0x81 0x04 "" --media 420x595 --content photo --int 8=2 || fail=1
# A 1200-dpi page kept at 1200 dpi by the printer's 1200x1200 capability.
job res1200 "$P/gdimled.ppd" 0x01 0x20 "" --media 297x420 --res 1200 --content photo --int 8=1 || fail=1
# A4 turned for long-edge feed, then an A5 page that is not.
job a3lef "$P/gdima3.ppd" - - "" --pages 2 --media 595x842,420x595 --content text-n || fail=1
# Four separately coded colour planes, each with its checksum, from an RGB
# text page and colour ramps; then the same encrypted. The PPD names no
# profile, so that the plug-in's own rule separates and the streams do not
# depend on the LittleCMS release.
sed '/^\*cupsiccCMYK:/d' "$P/gdicolor.ppd" >"$work/gdicolor-rule.ppd"
job colour "$work/gdicolor-rule.ppd" 0x10 0x00 "" --colorspace srgb --int 4=3 --pages 2 --media 420x595 \
  --content text,cmyk || fail=1
job colourssl "$work/gdicolor-rule.ppd" 0x10 0x01 "" --colorspace srgb --int 4=3 --pages 2 --media 420x595 \
  --content text,cmyk || fail=1

# shellcheck disable=SC2086 # one word per file name
(cd "$out" && sha256sum $hashed) >"$work/actual.sha256" || fail=1
if [ "$fail" -eq 0 ] && [ "$update" -eq 1 ]; then
  cp "$work/actual.sha256" "$expected"
  echo "golden: hashes written to $expected; outputs kept in $work"
  exit 0
elif [ "$fail" -eq 0 ] && (cd "$out" && sha256sum --quiet -c "$expected"); then
  echo "golden: every stream as recorded"
else
  echo "golden: outputs differ or a job failed; kept in $work" >&2
  echo "  list a stream with: $gdidecode $work/JOB/raw.prn; messages in $work/out/JOB.err" >&2
  exit 1
fi
rm -rf "$work"
