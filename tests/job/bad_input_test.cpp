// Inputs and surroundings a hostile or careless user can hand the filter
// program: broken rasters, nonsense in the PPD and the options, missing
// temporary directories, a full disk and a closed printer stream. Every case
// runs the real program under a watchdog.
#include <cups/raster.h>

#include <cstddef>
#include <sstream>

#include "test_support.h"

using namespace testing_support;

namespace {

#define AT(field) offsetof(cups_page_header2_t, field)

enum class Env { Plain, NoTmpdir, TmpdirIsFile, NoRootTmp, FullDisk, ClosedStdout };

struct BadInput {
  const char* name;
  std::vector<std::string> pages;                     // test-page writer options
  std::vector<std::pair<std::size_t, unsigned>> set;  // first page header: field offset, value
  long cut;                                           // bytes kept (> 0) or dropped (< 0); 0: all
  std::map<std::string, std::string> ppd;
  std::string options;
  Env env;
  int status;
  const char* error;  // part of the one "ERROR:" line; "" for none
  std::size_t pages_sent;
};

// Small pages: the cases are about the job's ends, not its pixels.
const std::vector<std::string> kTwo = {"--pages", "2", "--res", "75", "--content", "text"};
const std::vector<std::string> kCopies = {"--pages",   "2",     "--res",    "75",
                                          "--content", "photo", "--copies", "3"};
constexpr long kHead = 4 + sizeof(cups_page_header2_t);

TEST(BadInput, EveryCaseEndsCleanlyWithTheRightStatusMessagesAndTrailer) {
  // clang-format off
  const std::map<std::string, std::string> none, numbers = {{"MaxMediaWidth", "-5"}, {"MaxMediaHeight", "1e40"},
      {"cupsHTable", "-2147483649"}, {"cupsLEF", "yes"}, {"DriverFeature", "0x"}};
  const std::pair<std::size_t, unsigned> w100 = {AT(cupsWidth), 100}, rgb = {AT(cupsColorSpace), 1};
  const BadInput cases[] = {
      {"truncated in the header", kTwo, {}, 1000, none, "", Env::Plain, 1, "damaged or incomplete page header", 0},
      {"truncated in the first page", kTwo, {}, kHead + 5000, none, "", Env::Plain, 1, "raster data ends early", 0},
      {"truncated in the last page", kTwo, {}, -5000, none, "", Env::Plain, 1, "raster data ends early", 1},
      {"zero width", kTwo, {{AT(cupsWidth), 0}}, 0, none, "", Env::Plain, 1, "empty page", 0},
      {"zero height", kTwo, {{AT(cupsHeight), 0}}, 0, none, "", Env::Plain, 1, "damaged or incomplete page", 0},
      {"200000 x 200000 pixels", kTwo, {{AT(cupsWidth), 200000}, {AT(cupsHeight), 200000},
       {AT(cupsBytesPerLine), 200000}}, kHead + 4096, none, "", Env::Plain, 1, "page too large", 0},
      {"3 bits per pixel", kTwo, {{AT(cupsBitsPerPixel), 3}, {AT(cupsBitsPerColor), 3}}, 0, none, "", Env::Plain,
       1, "unsupported pixel depth", 0},
      {"7 bits per pixel", kTwo, {{AT(cupsBitsPerPixel), 7}, {AT(cupsBitsPerColor), 7}}, 0, none, "", Env::Plain,
       1, "unsupported pixel depth", 0},
      {"48 bits per pixel", kTwo, {w100, rgb, {AT(cupsBytesPerLine), 600}, {AT(cupsBitsPerPixel), 48},
       {AT(cupsBitsPerColor), 16}}, 0, none, "", Env::Plain, 1, "unsupported pixel depth", 0},
      {"64 bits per pixel", kTwo, {w100, rgb, {AT(cupsBytesPerLine), 800}, {AT(cupsBitsPerPixel), 64},
       {AT(cupsBitsPerColor), 16}}, 0, none, "", Env::Plain, 1, "unsupported pixel depth", 0},
      {"CIE Lab", kTwo, {{AT(cupsColorSpace), CUPS_CSPACE_CIELab}}, 0, none, "", Env::Plain, 1,
       "unsupported colour space", 0},
      {"six ICC colours", kTwo, {{AT(cupsColorSpace), CUPS_CSPACE_ICC6}}, 0, none, "", Env::Plain, 1,
       "unsupported colour space", 0},
      {"unknown colour space", kTwo, {{AT(cupsColorSpace), 99}}, 0, none, "", Env::Plain, 1,
       "unsupported colour space", 0},
      {"enumerations out of range", kTwo, {{AT(Duplex), 7}, {AT(Tumble), 5}, {AT(MirrorPrint), 3},
       {AT(Orientation), 9}, {AT(cupsColorOrder), 9}}, 0, none, "", Env::Plain, 0, "", 2},
      {"NumCopies 0", kTwo, {{AT(NumCopies), 0}}, 0, none, "Collate=True", Env::Plain, 0, "", 2},
      {"NumCopies 4294967295", kTwo, {{AT(NumCopies), 4294967295u}}, 0, none, "", Env::Plain, 0, "", 2},
      {"PPD numbers negative, huge or words", kTwo, {}, 0, numbers, "", Env::Plain, 0, "", 2},
      {"unreadable PPD", kTwo, {}, 0, {{"", ""}}, "", Env::Plain, 0, "", 2},
      {"malformed options", kTwo, {}, 0, none, "Collate=\"True number-up=x 'a= =b \\", Env::Plain, 0, "", 2},
      {"TMPDIR missing", kCopies, {}, 0, none, "Collate=True", Env::NoTmpdir, 0, "", 2},
      {"TMPDIR a file", kCopies, {}, 0, none, "Collate=True", Env::TmpdirIsFile, 0, "", 2},
      {"no /tmp at all", kCopies, {}, 0, none, "Collate=True", Env::NoRootTmp, 0, "", 2},
      {"disk full for the spool file", kCopies, {}, 0, none, "Collate=True", Env::FullDisk, 1,
       "Unable to write the spool file", 0},
      {"closed standard output", kTwo, {}, 0, none, "", Env::ClosedStdout, 1, "tandard output", 0},
  };
  // clang-format on
  for (const BadInput& c : cases) {
    SCOPED_TRACE(c.name);
    PrivateRoot root;
    std::string ras = ReadFile(MakeRaster(root.Path("/in.ras"), c.pages));
    for (const auto& [at, value] : c.set) ras.replace(4 + at, 4, reinterpret_cast<const char*>(&value), 4);
    ras.resize(c.cut > 0 ? c.cut : ras.size() + c.cut);
    WriteFile(root.Path("/in.ras"), ras);
    ChildOptions opt{
        {{"PPD", c.ppd.count("") ? root.Path("/none.ppd") : MakePpd(root.Path("/t.ppd"), c.ppd)}},
        root.Path("/in.ras")};
    if (c.env == Env::NoTmpdir) opt.env["TMPDIR"] = root.Path("/gone");
    if (c.env == Env::TmpdirIsFile) opt.env["TMPDIR"] = root.Path("/in.ras");
    if (c.env == Env::NoRootTmp) std::filesystem::remove_all(root.Path("/tmp"));
    opt.fileLimit = c.env == Env::FullDisk ? 4096 : 0;
    opt.closeStdout = c.env == Env::ClosedStdout;
    const JobResult r = RunFilter({"q", "7", "alice", "title", "1", c.options}, opt);

    EXPECT_EQ(r.status, c.status) << r.err;
    const std::vector<std::string> errors = Messages(r.err, "ERROR:");
    EXPECT_EQ(errors.empty(), !*c.error) << r.err;
    if (*c.error && !errors.empty()) {
      EXPECT_NE(errors[0].find(c.error), std::string::npos) << errors[0];
    }
    EXPECT_EQ(Messages(r.err, "PAGE:").size(), c.pages_sent);
    const PrinterStream stream = ReadStream(r.out);
    EXPECT_EQ(stream.pages.size(), c.pages_sent);
    if (!stream.pjl.empty()) {
      EXPECT_NE(stream.trailer.find("@PJL EOJ\r\n"), std::string::npos);
    }
    // The capability file is kept on purpose for the queue's next job.
    if (std::filesystem::exists(root.Path("/tmp")))
      for (const auto& e : std::filesystem::directory_iterator(root.Path("/tmp")))
        if (e.path().filename() != "q.dat") ADD_FAILURE() << "left behind: " << e.path();
  }
}

// No RLIMIT_AS under a sanitizer; its shadow memory and quarantine add a
// few hundred MiB to every job's peak, which the bound on it allows for.
constexpr bool kAddressLimitUsable = !kUnderSanitizer;
constexpr long kPeakRssKb = (kUnderSanitizer ? 1024 : 256) * 1024;

enum class Break { None, StreamAfterTwoPages, MemoryLimit };

struct LaterPage {
  const char* name;
  std::vector<std::string> pages;                     // test-page writer options
  unsigned page;                                      // 0-based page whose header is changed
  std::vector<std::pair<std::size_t, unsigned>> set;  // its header: field offset, value
  Break env;
  int status;
  const char* prefix;  // "ERROR:" or "WARNING:"
  const char* text;    // part of the first such line
  std::size_t pages_sent;
};

// A job loses a page after others went out: the scheduler must hear which
// and get exit status 1, else it shows the job as printed.
TEST(BadInput, APageLostAfterOthersIsReportedAndFailsTheJob) {
  const std::vector<std::string> six = {"--pages", "6", "--res", "75", "--content", "text"};
  const std::vector<std::string> tiny = {"--res",    "1",  "--width",   "90",
                                         "--height", "90", "--content", "text"};
  // clang-format off
  const LaterPage cases[] = {
      {"printer stream breaks after 2 of 6 pages", six, 0, {}, Break::StreamAfterTwoPages, 1, "ERROR:",
       "Unable to write to the printer stream", 2},
      {"damaged header of page 4 of 6", six, 3, {{AT(cupsBitsPerPixel), 3}}, Break::None, 1, "ERROR:",
       "Page 4 cannot be printed: unsupported pixel depth", 3},
      {"line length of page 5 of 6 beyond the reader's", six, 4, {{AT(cupsBytesPerLine), 0xC0000000u}}, Break::None,
       1, "ERROR:", "Page 5 has a damaged or incomplete page header", 4},
      {"colour mode 7 on page 2 of 6", six, 1, {{AT(cupsInteger[4]), 7}}, Break::None, 0, "WARNING:",
       "Page 2 has the unknown colour mode 7; it is printed in black and white", 6},
      {"90 x 90 pixels at 1 dpi under a 1 GB memory limit", tiny, 0, {}, Break::MemoryLimit, 1, "ERROR:",
       "page larger than twice the largest paper once scaled", 0},
  };
  // clang-format on
  for (const LaterPage& c : cases) {
    SCOPED_TRACE(c.name);
    PrivateRoot root;
    std::string ras = ReadFile(MakeRaster(root.Path("/in.ras"), c.pages));
    // Every page of the writer's stream has the same length.
    const std::size_t pages = c.pages == six ? 6 : 1, pageLen = (ras.size() - 4) / pages;
    for (const auto& [at, value] : c.set)
      ras.replace(4 + c.page * pageLen + at, 4, reinterpret_cast<const char*>(&value), 4);
    WriteFile(root.Path("/in.ras"), ras);
    ChildOptions opt{{{"PPD", MakePpd(root.Path("/t.ppd"))}}, root.Path("/in.ras")};
    if (c.env == Break::StreamAfterTwoPages) {
      // The printer stream goes to a file that takes the stream up to the
      // end of the second page block and no byte more.
      opt.output = root.Path("/whole.prn");
      Child unlimited = StartFilter({"q", "7", "alice", "title", "1", ""}, opt);
      ASSERT_EQ(FinishFilter(unlimited).status, 0);
      const std::string whole = ReadFile(opt.output);
      const PrinterStream stream = ReadStream(whole);
      ASSERT_EQ(stream.pages.size(), 6u);
      std::size_t end = whole.size() - stream.trailer.size();
      for (std::size_t i = 2; i < 6; ++i)
        end -= kEscE.size() + stream.pages[i].header.size() + stream.pages[i].data.size();
      opt.fileLimit = static_cast<long>(end);
      opt.output = root.Path("/out.prn");
    }
    // Large enough for the job's threads and libraries, far below the
    // gigabytes the page would take once scaled.
    if (c.env == Break::MemoryLimit && kAddressLimitUsable) opt.memoryLimit = 1L << 30;
    JobResult r = RunFilter({"q", "7", "alice", "title", "1", ""}, opt);
    if (!opt.output.empty()) r.out = ReadFile(opt.output);

    EXPECT_EQ(r.status, c.status) << r.err;
    const std::vector<std::string> lines = Messages(r.err, c.prefix);
    EXPECT_FALSE(lines.empty()) << r.err;
    if (!lines.empty()) {
      EXPECT_NE(lines[0].find(c.text), std::string::npos) << lines[0];
    }
    if (std::string(c.prefix) != "ERROR:") {
      EXPECT_TRUE(Messages(r.err, "ERROR:").empty()) << r.err;
    }
    EXPECT_EQ(Messages(r.err, "PAGE:").size(), c.pages_sent);
    EXPECT_EQ(ReadStream(r.out).pages.size(), c.pages_sent);
    EXPECT_LT(r.maxRssKb, kPeakRssKb);
  }
}

}  // namespace

// Text a print user controls (page header strings, title, user, options)
// reaches the trace; a line end in it must never start a scheduler line,
// which cupsd would obey (a "PPD:" line rewrites the queue's PPD).
TEST(BadInput, HostileTextNeverStartsALineOfItsOwn) {
  const std::string forged = "x\nPPD: Toolfd=/evil\nSTATE: +forged\rPAGE: 1 4243\x1b[0m\x7f";
  const std::string prefixes[] = {"DEBUG: ", "INFO: ", "ATTR: ", "PAGE: ", "STATE: ", "WARNING: ", "ERROR: "};
  for (const bool traceFile : {false, true}) {
    SCOPED_TRACE(traceFile ? "trace file" : "trace on the error stream");
    PrivateRoot root;
    if (traceFile) root.EnableTraceFile();
    std::string ras = ReadFile(MakeRaster(root.Path("/in.ras"), kTwo));
    for (const std::size_t at :
         {AT(MediaClass), AT(MediaColor), AT(MediaType), AT(OutputType), AT(cupsString)})
      ras.replace(4 + at, forged.size() + 1, forged.c_str(), forged.size() + 1);
    WriteFile(root.Path("/in.ras"), ras);
    ChildOptions opt{{{"PPD", MakePpd(root.Path("/t.ppd"))}}, root.Path("/in.ras")};
    Child child = StartFilter(
        {"q" + forged, "7", "alice" + forged, "title" + forged, "1", "Collate=True" + forged}, opt);
    const JobResult r = FinishFilter(child);

    EXPECT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);) {
      bool known = false;
      for (const std::string& p : prefixes) known = known || line.rfind(p, 0) == 0;
      EXPECT_TRUE(known) << line;
      EXPECT_EQ(line.find_first_of("\r\x1b\x7f"), std::string::npos) << line;
    }
    EXPECT_EQ(Messages(r.err, "PAGE:").size(), 2u) << r.err;
    EXPECT_TRUE(Messages(r.err, "STATE:").empty()) << r.err;
    if (traceFile) {
      const std::string log = root.TraceLog();
      EXPECT_NE(log.find("PPD: Toolfd"), std::string::npos);
      std::istringstream logLines(log);
      for (std::string line; std::getline(logLines, line);) EXPECT_EQ(line.rfind("[", 0), 0u) << line;
    } else {
      EXPECT_NE(r.err.find("\\nPPD: Toolfd=/evil\\nSTATE: +forged\\rPAGE: 1 4243\\x1B[0m\\x7F"),
                std::string::npos);
    }
  }
}
