#!/usr/bin/env bash
# Injects one realistic fault at a time into filter/, tables/ and app/, rebuilds
# incrementally and reports which test cases notice it: a yardstick of what
# the suite really guards, meant to outlive files moving and functions being
# renamed (faults are located by code text, not by path or function name).
#
#   tests/mutation/run.sh [--only ID[,ID]] [--e2e] [--by-test] [--tests REGEX] [--check] [--build-dir DIR]
#
# By default ctest stops at a fault's first failing test, the quick tests
# before the golden streams and the load run, so a caught fault costs
# seconds; --by-test runs every test for the full list of catching tests.
# --tests REGEX restricts ctest while exploring (a fault only counts as
# caught in a run over the whole suite). --check only locates every fault
# (no build). A fault whose text is missing or occurs more than once in
# filter/, tables/ and app/ is reported "n/a", never skipped. Exit status 0
# whenever the run happened (survivors are information, not failure); 2
# when it could not run.
set -u
cd "$(dirname "$0")/../.." || exit 2
BUILD=build-mut ONLY= E2E=0 BYTEST=0 CHECK=0 REGEX= JOBS=${MUT_JOBS:-2}
while [ $# -gt 0 ]; do
  case $1 in
    --only) ONLY=,$2,; shift ;; --e2e) E2E=1 ;; --by-test) BYTEST=1 ;; --check) CHECK=1 ;;
    --tests) REGEX=$2; shift ;; --build-dir) BUILD=$2; shift ;; *) sed -n '7p' "$0" >&2; exit 2 ;;
  esac; shift
done

# Each fault: "ID description", then one or more "- search" / "+ replacement"
# line pairs, applied in order; every search text must occur exactly once.
TABLE=$(cat <<'EOF'
M01 DUPLEXTYPE values swapped (tumble sent as BOOKLET)
- ? "CALENDAR" : "BOOKLET"
+ ? "BOOKLET" : "CALENDAR"
M02 512-byte trailer rule off by one (job may end on a multiple of 512)
- if (end % 512 == 0)
+ if ((end + 1) % 512 == 0)
M03 page header MediaType and MediaPosition bytes swapped
- outbuf[offsetof(PageHeader, MediaType)] = static_cast<char>(media)
+ outbuf[offsetof(PageHeader, MediaPosition)] = static_cast<char>(media)
- outbuf[offsetof(PageHeader, MediaPosition)] = static_cast<char>(tray)
+ outbuf[offsetof(PageHeader, MediaType)] = static_cast<char>(tray)
M04 duplex sheet from the spool file sent front side first
- , i + 1, PrinterFeature, true)
+ , i + 0, PrinterFeature, true)
- , i, PrinterFeature, true)
+ , i + 1, PrinterFeature, true)
M05 collated playback sends one copy too many
- copy < *nCopies
+ copy <= *nCopies
M06 JBIG options of the plain coder 64 instead of 8
- kJbigOptions = 8;
+ kJbigOptions = 64;
M07 halftone threshold compare >= turned into >
- gray[x] >= row[cx]
+ gray[x] > row[cx]
M08 24/32-bit pixels read as BGR in the gray conversion
- p[0], p[1], p[2])
+ p[2], p[1], p[0])
M09 quarter turn counter-clockwise (extra half turn)
- slot->page_height = oldWidth * planes;
+ slot->page_height = oldWidth * planes; Transpose_1BPP180(slot->WholePage());
M10 zero-edge crop margin a sixth instead of a third of an inch
- HWResolution[0]) * 24) / -72
+ HWResolution[0]) * 12) / -72
M11 job record: big and small page counts swapped
- CsvField(RecJob->BigSizePages).c_str(), CsvField(RecJob->SmallSizePages).c_str(),
+ CsvField(RecJob->SmallSizePages).c_str(), CsvField(RecJob->BigSizePages).c_str(),
M16 files and directories in /tmp open to their group are trusted
- if (st.st_mode & S_IWGRP) return "writable by its group";
+ if (false) return "writable by its group";
M17 a library of the filter's own user is loaded like root's
- if (st.st_uid != 0 && (rootOnly || st.st_uid != geteuid()))
+ if (st.st_uid != 0 && st.st_uid != geteuid())
M18 a library's directory is not checked
- const char* bad = fstat(dfd, &st) != 0 ? "cannot be read" : UntrustedReason(st, true, true);
+ const char* bad = fstat(dfd, &st) != 0 ? "cannot be read" : nullptr;
M19 the copy and trace directories are used without their owner and mode check
- why_ = fstat(fd, &st) != 0 ? "cannot be read" : UntrustedReason(st, true);
+ why_ = fstat(fd, &st) != 0 ? "cannot be read" : nullptr;
M20 the job record is opened through a link
- O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666
+ O_RDWR | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666
M21 the job record's name field is written as it is
- CsvField(RecJob->Name).c_str()
+ RecJob->Name
M22 the authorization file is read without its check
- FILE* f = OpenTrustedForReading(szJsonFileName, &why);
+ FILE* f = std::fopen(szJsonFileName, "rb");
M12 IMPR set for ZQ3 or A3 instead of ZQ3 and A3
- (DriverFeature & DF_ZQ3_CHIP) && (DriverFeature & DF_A3)
+ (DriverFeature & DF_ZQ3_CHIP) || (DriverFeature & DF_A3)
M13 paper code of A5 sent as A6
- {420, 595, 3, "A5"
+ {420, 595, 4, "A5"
M14 negative inverts half the page for mode 2 instead of black-and-red
- IsBlackRed(mode) ? slot->Plane(0, 2)
+ mode == ColourMode::Gray ? slot->Plane(0, 2)
M15 scheduler lines keep a line end of user text
- if (u >= 0x20 && u != 0x7F) {
+ if (u >= 0x20 || c == '\n') {
M23 the accounting dialog announces job 0 to the monitor
- data->base.JobID = events.trace.jobId;
+ data->base.JobID = 0;
M24 the scaler's blend may pass its neighbours by 2 (solid black prints as gray 2)
- result = result > high ? high : result;
+ result = result > high + 2 ? high : result;
M25 a spooled duplex sheet replayed front side first
- i + step - 1 - k
+ i + k
M26 page cipher pads with zero bytes instead of the pad length
- out + len_src, pad,
+ out + len_src, 0,
M27 Base64 lower-case letters decoded one value low
- c - 'a' + 26
+ c - 'a' + 25
M28 ink limit leaves black out of the total
- if (cmy + cmyk[3] > kInkLimit)
+ if (cmy > kInkLimit)
M29 JBIG coder drops the second chunk instead of the header
- if (sink.removeHeader && sink.chunks == 1) return;
+ if (sink.removeHeader && sink.chunks == 2) return;
M30 toner level floored at 0 instead of IPP's -3
- std::clamp(rep.toner, -3, 100)
+ std::clamp(rep.toner, 0, 100)
M31 the printer's no-error code counted as an error
- if (rep.code[i] != kNoErrorCode) rep.code[kept++]
+ rep.code[kept++]
M32 accounting dialog asks for a password when the mode wants none and the reverse
- type == 2 ? 2 : 1
+ type == 1 ? 2 : 1
M33 authorization values keep their closing quote
- close - i - 1
+ close - i
M34 MaxMediaHeight read from MaxMediaWidth
- v = AttrValue(ppd, "MaxMediaHeight");
+ v = AttrValue(ppd, "MaxMediaWidth");
M35 Collate=True not recognised (case-sensitive compare)
- strcasecmp(o.value, "true") == 0) config.collate = true
+ std::strcmp(o.value, "true") == 0) config.collate = true
M36 job record name keeps the title's slash
- slash ? slash + 1 : title
+ slash ? slash : title
M37 job record status Completed and Canceled swapped
- ? "Canceled" : "Completed"
+ ? "Completed" : "Canceled"
M38 mirror taken from the wrong option slot
- if (h.cupsInteger[2]) DoMirror(slot->WholePage());
+ if (h.cupsInteger[3]) DoMirror(slot->WholePage());
M39 black-and-red pages coded as one plane, mode 2 as two
- return m == ColourMode::Cmyk ? 4 : m == ColourMode::BlackRed ? 2 : 1;
+ return m == ColourMode::Cmyk ? 4 : m == ColourMode::Gray ? 2 : 1;
M40 page checksum leaves out the last byte
- sum += plane.bits[plane.Bytes() - 1];
+ ;
M41 dot count skips the first byte after the 8-byte words
- for (std::uint64_t i = words * 8; i < bytes; ++i)
+ for (std::uint64_t i = words * 8 + 1; i < bytes; ++i)
M42 toner saving uses the 1200 dpi map at 600 dpi and the reverse
- resolutionID == 1200 ? kTonerMap1200 : kTonerMap600
+ resolutionID == 600 ? kTonerMap1200 : kTonerMap600
M43 hard-linked files in /tmp are trusted
- if (!directory && st.st_nlink != 1)
+ if (!directory && st.st_nlink == 0)
M44 CompMethod of checksum pages one too low
- F0_CHECKSUM) comp += 2
+ F0_CHECKSUM) comp += 1
M45 PJL DENSITY sent one lower than the option
- ranges.density) + 1
+ ranges.density)
M46 raw-data replay writes the bitmap size into datasize instead of compsize
- PutLE32(out.get() + kCompSizeAt, ImageSize)
+ PutLE32(out.get() + kDataSizeAt, ImageSize)
M47 the raster input's owner leaves the input file open
- if (fd > 0) close(fd);
+ if (fd > 0) {}
M48 the escape in front of the PPD's JCL prefix counted towards the 512-byte rule
- Put(&esc, 1);
+ Write(&esc, 1);
M49 a PDF's copies collated when uncollated were asked for, and the reverse
- "separate-documents-uncollated-copies") != 0;
+ "separate-documents-uncollated-copies") == 0;
M50 a printer stream passed through loses its last short read
- if (n == 0) break;
+ if (n < static_cast<ssize_t>(sizeof buffer)) break;
M51 a streamed 1-bit page printed as 8-bit under the framework's own header
- && KeptOwnHeader(job, options->header))
+ && false)
M52 a raster job the framework aborts ends without a message
- if (papplJobGetState(job) == IPP_JSTATE_ABORTED && !papplJobGetMessage(job))
+ if (false)
M53 the printer application reports a paper-out code as a jam
- {500101, PAPPL_PREASON_MEDIA_EMPTY},
+ {500101, PAPPL_PREASON_MEDIA_JAM},
M54 the printer application keeps reasons the library no longer reports
- papplPrinterSetReasons(printer, reasons, kOwnReasons & ~reasons);
+ papplPrinterSetReasons(printer, reasons, PAPPL_PREASON_NONE);
M55 the printer application's overrides-supported names page-ranges for pages
- {"document-number", "pages"};
+ {"document-number", "page-ranges"};
M56 the printer application's toner of unknown level is never set
- if (papplPrinterGetSupplies(printer, 1, &supply) > 0) return true;
+ if (papplPrinterGetSupplies(printer, 1, &supply) >= 0) return true;
M57 the printer application's engine asks the host's CUPS scheduler about its printers
- run.noScheduler = true;
+ run.noScheduler = false;
M58 auto-add compares the device ID's model case-sensitively
- strcasecmp(model.model.c_str(), printer.model.c_str()) == 0
+ strcmp(model.model.c_str(), printer.model.c_str()) == 0
M59 the printer application's PNG decoder falls back into decoding after an error
- if (setjmp(png_jmpbuf(pp))) return false;
+ setjmp(png_jmpbuf(pp));
M60 the printer application saves its state while a job is under way
- if (papplSystemIsRunning(system)) {
+ if (false) {
M61 the printer application prints a JPEG that ends early, its rest gray
- if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF) JpegFail(info);
+ if (false) JpegFail(info);
M62 the printer application reads and writes a state file another user could have planted
- return UntrustedReason(st, false);
+ return (void)st, nullptr;
EOF
)

# apply ID BACKUPDIR: writes the fault, backing up each file first (manifest
# lines "backup<TAB>path"); exit 3 when a search text is not found once.
mutate() {
  python3 - "$1" "$2" <<'PY' 3<<<"$TABLE"
import os, shutil, sys
mid, bak = sys.argv[1:3]
pairs, cur = [], None
for line in open(3).read().splitlines():
    if line[:2] in ("- ", "+ "):
        if cur == mid: pairs.append(line[2:])
    elif line.strip(): cur = line.split()[0]
files = [os.path.join(r, f) for d in ("filter", "tables", "app") for r, _, fs in os.walk(d) for f in fs]
read = lambda f: open(f, encoding="utf-8", errors="surrogateescape", newline="").read()
texts = {}
for s, r in zip(pairs[0::2], pairs[1::2]):
    hits = [(f, n) for f in files for n in [read(f).count(s)] if n]
    if len(hits) != 1 or hits[0][1] != 1 or texts.get(hits[0][0], s).count(s) != 1:
        sys.exit(print("text %s: %s" % ([h[0] for h in hits] or "not found", s)) or 3)
    f = hits[0][0]
    texts[f] = texts.get(f, read(f)).replace(s, r)
with open(os.path.join(bak, "manifest"), "a") as m:
    for i, (f, t) in enumerate(texts.items()):
        shutil.copy2(f, os.path.join(bak, str(i)))
        m.write("%s\t%s\n" % (os.path.join(bak, str(i)), f)); m.flush()
        open(f, "w", encoding="utf-8", errors="surrogateescape", newline="").write(t)
PY
}

BAK=$(mktemp -d) || exit 2
restore() {
  [ -f "$BAK/manifest" ] || return 0
  while IFS=$'\t' read -r b f; do cp "$b" "$f" && touch "$f"; done <"$BAK/manifest"
  while IFS=$'\t' read -r b f; do git diff --quiet -- "$f" || { echo "ERROR: $f not restored, copy in $b" >&2; exit 2; }; done <"$BAK/manifest"
  rm -f "$BAK"/*
}
trap 'restore; rm -rf "$BAK"' EXIT
trap 'echo interrupted >&2; exit 2' INT TERM

git diff --quiet HEAD -- filter tables app || { echo "filter/, tables/ or app/ has local changes" >&2; exit 2; }
IDS=$(awk '/^M[0-9]/ {print $1}' <<<"$TABLE")
if [ -n "$ONLY" ]; then
  for i in ${ONLY//,/ }; do grep -qx "$i" <<<"$IDS" || { echo "unknown id $i" >&2; exit 2; }; done
  IDS=$(for i in $IDS; do case $ONLY in *,$i,*) echo "$i" ;; esac; done)
fi
LOGS=$BUILD/mutation-logs
mkdir -p "$LOGS" || exit 2
START=$(date +%s)
[ -f "$BUILD/CMakeCache.txt" ] ||
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRASTERTOPWG2_BENCH=OFF >"$LOGS/configure.log" 2>&1 ||
  { echo "configure failed, see $LOGS/configure.log" >&2; exit 2; }

# runtests LOG: ctest over the chosen tests; prints the failing test names
# and leaves "passed" in LOG.status when none failed. The baseline runs them
# all and sorts them by their time into tiers of test numbers (under 2 s,
# under 15 s, the rest); a fault then runs tier by tier and stops at its
# first failing test, unless --by-test asks for all of them.
CTEST_ARGS=(-j"$JOBS")
[ "$E2E" = 1 ] || CTEST_ARGS+=(-LE e2e)
[ -n "$REGEX" ] && CTEST_ARGS+=(-R "$REGEX")
TIERS=("")
runtests() {
  rm -f "$1" "$1.status"
  local tier ok=1
  for tier in "${TIERS[@]}"; do
    (cd "$BUILD" && if [ -z "$tier" ]; then ctest "${CTEST_ARGS[@]}"; else ctest -j"$JOBS" --stop-on-failure -I "0,0,0,$tier"; fi) >>"$1" 2>&1
    tail -n 30 "$1" | grep -q -e " 0 tests failed" -e "No tests were found" || { ok=0; break; }
  done
  awk '/tests FAILED:/ {f=1; next} f && / - / {sub(/^[ \t]*[0-9]+ - /, ""); sub(/ \([^()]*\)$/, ""); sub(/ +# GetParam.*$/, ""); print}' "$1"
  [ "$ok" = 1 ] && echo passed >"$1.status"
}
# A fault only counts as caught against a suite that passes without it.
if [ "$CHECK" = 0 ]; then
  cmake --build "$BUILD" -j"$JOBS" >"$LOGS/baseline.build.log" 2>&1 || { echo "unmutated build fails" >&2; exit 2; }
  [ -z "$(runtests "$LOGS/baseline.test.log")" ] && [ -f "$LOGS/baseline.test.log.status" ] ||
    { echo "unmutated tests fail, see $LOGS/baseline.test.log" >&2; exit 2; }
  echo "unmutated suite passes ($(($(date +%s) - START)) s)"
  if [ "$BYTEST" = 0 ]; then
    mapfile -t TIERS < <(sed -nE 's/.*Test +#([0-9]+): .* Passed +([0-9.]+) sec$/\2 \1/p' "$LOGS/baseline.test.log" |
      awk '{ t = $1 < 2 ? 1 : $1 < 15 ? 2 : 3; l[t] = l[t] (l[t] == "" ? "" : ",") $2 } END { for (t = 1; t <= 3; t++) if (l[t] != "") print l[t] }')
    [ "${#TIERS[@]}" -gt 0 ] || TIERS=("")
  fi
fi
echo "faults:"
awk '/^M[0-9]/' <<<"$TABLE" | grep -F -f <(printf '%s \n' $IDS) | sed 's/^/  /'
echo

declare -A BYTEST_MAP
CAUGHT=0 TOTAL=0 ROWS=
for id in $IDS; do
  TOTAL=$((TOTAL + 1)) names= result=
  if ! why=$(mutate "$id" "$BAK"); then
    result="n/a (not found / ambiguous)"
  elif [ "$CHECK" = 1 ]; then
    result=located CAUGHT=$((CAUGHT + 1))
  elif ! cmake --build "$BUILD" -j"$JOBS" >"$LOGS/$id.build.log" 2>&1; then
    result=build-failed
  else
    names=$(runtests "$LOGS/$id.test.log")
    if [ -n "$names" ] || [ ! -f "$LOGS/$id.test.log.status" ]; then
      result=caught CAUGHT=$((CAUGHT + 1))
      for t in $names; do BYTEST_MAP[$t]+=" $id"; done
    else
      result=survived
    fi
  fi
  restore
  [ "${result:0:3}" = n/a ] && ROWS+="$id  $result: $why"$'\n' ||
    ROWS+=$(printf '%-4s %-9s %s (%d)' "$id" "$result" "$(echo ${names:--} | sed 's/ /, /g')" "$(grep -c . <<<"$names")")$'\n'
  echo "$id: $result" >&2
done
echo "id   result    $([ "$BYTEST" = 1 ] && echo "catching tests" || echo "first failing tests") (count)"
printf '%s' "$ROWS"
if [ "$CHECK" = 0 ]; then
  # Leave the build directory matching the unmutated tree.
  cmake --build "$BUILD" -j"$JOBS" >"$LOGS/final.build.log" 2>&1
  { echo "test case: faults it catches"
    for t in "${!BYTEST_MAP[@]}"; do echo "$t:${BYTEST_MAP[$t]}"; done | sort; } >"$BUILD/mutation-by-test.txt"
  [ "$BYTEST" = 1 ] && { echo; cat "$BUILD/mutation-by-test.txt"; }
fi
echo
echo "run time $(($(date +%s) - START)) s, logs in $LOGS"
echo "$([ "$CHECK" = 1 ] && echo located || echo caught) $CAUGHT of $TOTAL${REGEX:+ (only tests matching $REGEX: not a full run)}"
