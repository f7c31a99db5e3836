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

enum class Env { Plain, NoTmpdir, NoRootTmp, FullDisk, ClosedStdout };

// Small pages: the cases are about the job's ends, not its pixels.
const std::vector<std::string> kTwo = {"--pages", "2", "--res", "75", "--content", "text"};

struct BadInput {
  const char* name;
  std::vector<std::string> pages = kTwo;                   // test-page writer options
  std::vector<std::pair<std::size_t, unsigned>> set = {};  // first page header: field offset, value
  long cut = 0;                                            // bytes kept (> 0) or dropped (< 0); 0: all
  std::map<std::string, std::string> ppd = {};             // PPD attributes; {"", ""}: no readable PPD
  std::string options = {};
  Env env = Env::Plain;
  int status;              // exit status
  const char* error = "";  // part of the one "ERROR:" line; "" for none
  std::size_t pages_sent = 0;
};

const std::vector<std::string> kCopies = {"--pages",   "2",     "--res",    "75",
                                          "--content", "photo", "--copies", "3"};
constexpr long kHead = 4 + sizeof(cups_page_header2_t);

TEST(BadInput, EveryCaseEndsCleanlyWithTheRightStatusMessagesAndTrailer) {
  // clang-format off
  const std::map<std::string, std::string> numbers = {{"MaxMediaWidth", "-5"}, {"MaxMediaHeight", "1e40"},
      {"cupsHTable", "-2147483649"}, {"cupsLEF", "yes"}, {"DriverFeature", "0x"}};
  const BadInput cases[] = {
      {.name = "truncated in the header", .cut = 1000, .status = 1,
       .error = "damaged or incomplete page header"},
      {.name = "truncated in the first page", .cut = kHead + 5000, .status = 1,
       .error = "raster data ends early"},
      {.name = "truncated in the last page", .cut = -5000, .status = 1, .error = "raster data ends early",
       .pages_sent = 1},
      {.name = "zero width", .set = {{AT(cupsWidth), 0}}, .status = 1, .error = "empty page"},
      {.name = "zero height", .set = {{AT(cupsHeight), 0}}, .status = 1,
       .error = "damaged or incomplete page"},
      {.name = "200000 x 200000 pixels",
       .set = {{AT(cupsWidth), 200000}, {AT(cupsHeight), 200000}, {AT(cupsBytesPerLine), 200000}},
       .cut = kHead + 4096, .status = 1, .error = "page too large"},
      {.name = "7 bits per pixel", .set = {{AT(cupsBitsPerPixel), 7}, {AT(cupsBitsPerColor), 7}}, .status = 1,
       .error = "unsupported pixel depth"},
      {.name = "CIE Lab", .set = {{AT(cupsColorSpace), CUPS_CSPACE_CIELab}}, .status = 1,
       .error = "unsupported colour space"},
      {.name = "enumerations out of range",
       .set = {{AT(Duplex), 7}, {AT(Tumble), 5}, {AT(MirrorPrint), 3}, {AT(Orientation), 9}, {AT(cupsColorOrder), 9}},
       .status = 0, .pages_sent = 2},
      {.name = "NumCopies 0", .set = {{AT(NumCopies), 0}}, .options = "Collate=True", .status = 0,
       .pages_sent = 2},
      {.name = "NumCopies 4294967295", .set = {{AT(NumCopies), 4294967295u}}, .status = 0, .pages_sent = 2},
      {.name = "PPD numbers negative, huge or words", .ppd = numbers, .status = 0, .pages_sent = 2},
      {.name = "unreadable PPD", .ppd = {{"", ""}}, .status = 0, .pages_sent = 2},
      {.name = "malformed options", .options = "Collate=\"True number-up=x 'a= =b \\", .status = 0,
       .pages_sent = 2},
      {.name = "TMPDIR missing", .pages = kCopies, .options = "Collate=True", .env = Env::NoTmpdir,
       .status = 0, .pages_sent = 2},
      {.name = "no /tmp at all", .pages = kCopies, .options = "Collate=True", .env = Env::NoRootTmp,
       .status = 0, .pages_sent = 2},
      {.name = "disk full for the spool file", .pages = kCopies, .options = "Collate=True",
       .env = Env::FullDisk, .status = 1, .error = "Unable to write the spool file"},
      {.name = "closed standard output", .env = Env::ClosedStdout, .status = 1, .error = "tandard output"},
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
  std::vector<std::string> pages;                          // test-page writer options
  unsigned page = 0;                                       // 0-based page whose header is changed
  std::vector<std::pair<std::size_t, unsigned>> set = {};  // its header: field offset, value
  Break env = Break::None;
  int status;          // exit status
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
      {.name = "printer stream breaks after 2 of 6 pages", .pages = six, .env = Break::StreamAfterTwoPages,
       .status = 1, .prefix = "ERROR:", .text = "Unable to write to the printer stream", .pages_sent = 2},
      {.name = "damaged header of page 4 of 6", .pages = six, .page = 3, .set = {{AT(cupsBitsPerPixel), 3}},
       .status = 1, .prefix = "ERROR:", .text = "Page 4 cannot be printed: unsupported pixel depth",
       .pages_sent = 3},
      {.name = "line length of page 5 of 6 beyond the reader's", .pages = six, .page = 4,
       .set = {{AT(cupsBytesPerLine), 0xC0000000u}}, .status = 1, .prefix = "ERROR:",
       .text = "Page 5 has a damaged or incomplete page header", .pages_sent = 4},
      {.name = "colour mode 7 on page 2 of 6", .pages = six, .page = 1, .set = {{AT(cupsInteger[4]), 7}},
       .status = 0, .prefix = "WARNING:",
       .text = "Page 2 has the unknown colour mode 7; it is printed in black and white", .pages_sent = 6},
      {.name = "90 x 90 pixels at 1 dpi under a 1 GB memory limit", .pages = tiny, .env = Break::MemoryLimit,
       .status = 1, .prefix = "ERROR:", .text = "page larger than twice the largest paper once scaled",
       .pages_sent = 0},
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
