// Beginning and end of the printer stream: preamble, PJL job header, job
// start (collation, spool file, copy file, authorization tool, JCL prefix,
// ring size) and the trailer with its alignment rule.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "auth_json.h"
#include "feature_bits.h"
#include "job_context.h"
#include "job_state.h"
#include "job_streams.h"
#include "pjl_stream.h"
#include "spool_file.h"
#include "test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::string ESC = "\x1b";
const std::string UEL = ESC + "%-12345X";

// The 679-byte preamble, written out from its definition.
std::string Preamble() {
  std::string cancel = ESC + "E" + UEL + "@PJL CANCEL\r\n@PJL EOJ\r\n" + UEL;
  std::string zero = ESC + "E" + UEL + "@PJL SHORT\r\n@PJL SET TIMEOUT=5\r\n@PJL EOJ\r\n" + UEL;
  return cancel + zero + std::string(512, '\0') + zero;
}

std::string Trailer(bool cancel) {
  std::string t = ESC + "E" + UEL + "@PJL\r\n";
  std::string body = "@PJL SET TIMEOUT=5\r\n";
  if (cancel) body += "@PJL HOST_CANCEL\r\n";
  body += "@PJL EOJ\r\n" + UEL;
  if (cancel) body += ESC + "E" + UEL + "@PJL HOST_CANCEL\r\n@PJL CANCEL\r\n@PJL EOJ\r\n" + UEL;
  return t + body;
}

std::string HostName() {
  char host[65] = {};
  gethostname(host, 64);
  return host;
}

// True when line has the form of pattern, where '9' stands for any digit.
bool Matches(const std::string& line, const std::string& pattern) {
  if (line.size() != pattern.size()) return false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    bool ok = pattern[i] == '9' ? (line[i] >= '0' && line[i] <= '9') : line[i] == pattern[i];
    if (!ok) return false;
  }
  return true;
}

// Replaces the three values that depend on the clock (job name tick, date,
// time) by fixed markers after checking their form.
std::string Normalize(const std::string& header) {
  std::string out;
  bool tick = false, date = false, time = false;
  std::size_t pos = 0;
  while (pos < header.size()) {
    std::size_t e = header.find("\r\n", pos);
    std::string line = header.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
    pos = e == std::string::npos ? header.size() : e + 2;
    const std::string name = "@PJL JOB NAME=\"";
    if (!tick && line.rfind(name, 0) == 0 && line.size() > name.size() + 1 && line.back() == '"') {
      std::string v = line.substr(name.size(), line.size() - name.size() - 1);
      if (v[0] == '-') v = v.substr(1);
      if (!v.empty() && v.find_first_not_of("0123456789") == std::string::npos)
        line = name + "TICK\"", tick = true;
    } else if (!date && Matches(line, "@PJL COMMENT 9999/99/99")) {
      line = "DATE", date = true;
    } else if (!time && Matches(line, "@PJL COMMENT 99:99:99:00")) {
      line = "TIME", time = true;
    }
    out += line;
    if (e != std::string::npos) out += "\r\n";
  }
  return out;
}

// Header lines 1 to 14 with placeholders for the clock values.
std::string CommentBlock(int timeout, const std::string& version, const std::string& doc,
                         const std::string& user, const std::string& queue, const std::string& uri,
                         const std::string& jbig, int copies, const std::string& location) {
  return UEL + "@PJL\r\n@PJL JOB NAME=\"TICK\"\r\n" + "@PJL SET TIMEOUT=" + std::to_string(timeout) + "\r\n" +
         "@PJL COMMENT Filter Version," + version + "\r\n" + "@PJL COMMENT " + doc + "\r\n" +
         "@PJL COMMENT " + user + "\r\n" + "@PJL COMMENT " + HostName() + "\r\n" + "@PJL COMMENT " + queue +
         "\r\n" + "@PJL COMMENT " + uri + "\r\n" + "@PJL COMMENT \r\n" + "DATE\r\nTIME\r\n" +
         "@PJL COMMENT JBIG,00," + jbig + "\r\n" + "@PJL COMMENT Copies," + std::to_string(copies) + "\r\n" +
         "@PJL COMMENT " + location + "\r\n";
}

// Header of a job with no feature bits, no account and no options set.
std::string PlainHeader(const std::string& version, const std::string& doc, const std::string& user,
                        const std::string& queue, const std::string& uri, int copies) {
  return CommentBlock(300, version, doc, user, queue, uri, " 8", copies, "") + "@PJL SET JOBNAME=\"" + user +
         ":" + doc + "\"\r\n" +
         "@PJL SET ECONOMODE=OFF\r\n@PJL SET DENSITY=1\r\n@PJL SET AUTOSELECT=OFF\r\n@PJL SET DUPLEX=OFF\r\n"
         "@PJL SET DUPLEXTYPE=BOOKLET\r\n@PJL SET RESOLUTION=600\r\n@PJL SET RET=OFF\r\n"
         "@PJL SET BITSPERPIXEL=1\r\n@PJL SET COPIES=" +
         std::to_string(copies) +
         "\r\n@PJL SET MEDIASOURCE=TRAY1\r\n@PJL SET JUSTIFIED=LEFT\r\n@PJL SET MIRROR=OFF\r\n"
         "@PJL SET MARGINS=SMALLER\r\n@PJL SET BIDICOMM=OFF\r\n@PJL SET ORIENTATION=PORTRAIT\r\n"
         "@PJL ENTER LANGUAGE=KRGDI\r\n";
}

// Captures the job's streams and resets the stream counters; afterwards
// removes what a job start left open.
class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    out_ = std::tmpfile();
    err_ = std::tmpfile();
    SetJobStreams(out_, err_);
    count_bytes = 0;
    gOutputSize = 0;
    gSaveToFile = FALSE;
    gCancelJob = 0;
    gJobID = 77;
    const char* t = std::getenv("TMPDIR");
    if (t) savedTmpdir_ = t, hadTmpdir_ = true;
    setenv("TMPDIR", root_.Path("/tmp").c_str(), 1);
  }
  void TearDown() override {
    RemoveSpoolFile();
    if (stdoutPRN) std::fclose(stdoutPRN), stdoutPRN = nullptr;
    SetJobStreams(nullptr, nullptr);
    std::fclose(out_);
    std::fclose(err_);
    if (hadTmpdir_)
      setenv("TMPDIR", savedTmpdir_.c_str(), 1);
    else
      unsetenv("TMPDIR");
    gJobID = 0;
  }
  std::string Out() { return Slurp(out_); }
  std::string Err() { return Slurp(err_); }
  // Empties the captured printer stream.
  void ClearOut() {
    std::fflush(out_);
    ASSERT_EQ(ftruncate(fileno(out_), 0), 0);
    std::rewind(out_);
  }
  // The header text after the preamble, clock values replaced.
  std::string Header() {
    std::string o = Out();
    EXPECT_GE(o.size(), Preamble().size());
    EXPECT_EQ(o.substr(0, Preamble().size()), Preamble());
    return Normalize(o.substr(std::min(o.size(), Preamble().size())));
  }

  static cups_page_header2_t Page(unsigned copies = 1) {
    cups_page_header2_t h{};
    h.NumCopies = copies;
    h.HWResolution[0] = h.HWResolution[1] = 600;
    h.cupsWidth = 4961;
    h.cupsHeight = 7016;
    return h;
  }
  void WritePlain(cups_page_header2_t& h, const char* doc = "Report", const char* user = "alice",
                  DWORD DriverFeature = 0, BYTE f0 = 0, BYTE f1 = 0, const char* acct = "",
                  const char* pwd = "", const char* location = "", const char* json = "") {
    BYTE feature[2] = {f0, f1};
    PJL_WriteStartJobCmd(&h, 1, "q1", user, doc, json, FALSE, location, feature, DriverFeature, "2.1.0", acct,
                         pwd, "usb://x/y");
  }

  PrivateRoot root_;
  FILE* out_ = nullptr;
  FILE* err_ = nullptr;
  std::string savedTmpdir_;
  bool hadTmpdir_ = false;
};

std::vector<std::string> HeaderLines(const std::string& header) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < header.size()) {
    std::size_t e = header.find("\r\n", pos);
    if (e == std::string::npos) e = header.size();
    lines.push_back(header.substr(pos, e - pos));
    pos = e + 2;
  }
  return lines;
}

bool HasLine(const std::string& header, const std::string& line) {
  for (const std::string& l : HeaderLines(header))
    if (l == line) return true;
  return false;
}

}  // namespace

TEST_F(StreamTest, PlainJobGetsPreambleAndEveryAlwaysLineInOrder) {
  cups_page_header2_t h = Page();
  WritePlain(h);
  EXPECT_EQ(Header(), PlainHeader("2.1.0", "Report", "alice", "q1", "usb://x/y", 1));
  EXPECT_EQ(count_bytes.load(), Out().size());
  EXPECT_EQ(gOutputSize.load(), static_cast<int>(Out().size()));
}

TEST_F(StreamTest, RichJobGetsConditionalLinesFromOptionsAndFeatureBits) {
  cups_page_header2_t h = Page(3);
  h.cupsInteger[0] = 1;   // TonerSave
  h.cupsInteger[6] = 45;  // timeout
  h.cupsInteger[8] = 2;   // resolution option: low-power 600
  h.cupsInteger[11] = 2;  // density
  h.MediaPosition = 250;
  h.Duplex = CUPS_TRUE;
  h.Tumble = CUPS_TRUE;
  h.Orientation = CUPS_ORIENT_90;
  h.Margins[0] = 7;
  WritePlain(h, "Report", "alice", DF_ZQ3_CHIP | DF_BCP_MODE1, F0_IMPR | F0_TWO_BIT_600, F1_SSL | F1_600_RET,
             "acct7", "pw7", "Room 2");
  std::string expected =
      CommentBlock(45, "2.1.0", "Report", "alice", "q1", "usb://x/y", "64", 3, "Room 2") +
      "@PJL SET FAUTHCODE=QZRKVNHTWPLA58302614\r\n@PJL SET ORDERNO=JDXMBRUEYKCS71946023\r\n"
      "@PJL SET USERNAME=\"QZRKVNHTWPLA58302614\"\r\n@PJL SET ACCTPASS=\"JDXMBRUEYKCS71946023\"\r\n"
      "@PJL SET JOBNAME=\"alice:Report\"\r\n@PJL SET USERNAME=\"acct7\"\r\n@PJL SET ACCTPASS=\"pw7\"\r\n"
      "@PJL SET ECONOMODE=ON\r\n@PJL SET DENSITY=3\r\n@PJL SET AUTOSELECT=ON\r\n@PJL SET DUPLEX=ON\r\n"
      "@PJL SET DUPLEXTYPE=CALENDAR\r\n@PJL SET RESOLUTION=600\r\n@PJL SET RET=ON\r\n"
      "@PJL SET BITSPERPIXEL=2\r\n@PJL SET ENCRYPTION = SSL\r\n@PJL SET COPIES=3\r\n"
      "@PJL SET MEDIASOURCE=TRAY1\r\n@PJL SET JUSTIFIED=LEFT\r\n@PJL SET MIRROR=OFF\r\n"
      "@PJL SET MARGINS=NORMAL\r\n@PJL SET IMPR=1\r\n@PJL SET BIDICOMM=OFF\r\n"
      "@PJL SET ORIENTATION=LANDSCAPE\r\n@PJL ENTER LANGUAGE=KRGDI\r\n";
  EXPECT_EQ(Header(), expected);
}

TEST_F(StreamTest, ResolutionRetAndEconomodeFollowTheirBits) {
  struct Case {
    BYTE f1;
    unsigned hw, res_opt, toner;
    const char *resolution, *ret, *economode;
  } cases[] = {
      {F1_1200X1200, 300, 0, 0, "600", "OFF", "OFF"},                 // raised to 600
      {F1_1200X1200 | F1_600_RET, 1200, 2, 0, "1200", "OFF", "OFF"},  // RET only without 1200*1200
      {F1_600_RET, 1200, 2, 1, "600", "ON", "ON"},
      {F1_600_RET | F1_SW_TONERSAVE, 1200, 1, 1, "600", "OFF", "OFF"},  // toner saved in software
  };
  for (const Case& c : cases) {
    ClearOut();
    cups_page_header2_t h = Page();
    h.HWResolution[0] = c.hw;
    h.cupsInteger[8] = c.res_opt;
    h.cupsInteger[0] = c.toner;
    WritePlain(h, "Report", "alice", 0, 0, c.f1);
    std::string hd = Header();
    EXPECT_TRUE(HasLine(hd, std::string("@PJL SET RESOLUTION=") + c.resolution)) << c.hw;
    EXPECT_TRUE(HasLine(hd, std::string("@PJL SET RET=") + c.ret)) << c.hw;
    EXPECT_TRUE(HasLine(hd, std::string("@PJL SET ECONOMODE=") + c.economode)) << c.hw;
    EXPECT_TRUE(HasLine(hd, "@PJL SET BITSPERPIXEL=1"));
  }
}

TEST_F(StreamTest, ControlCharactersAndQuotesInJobValuesCannotStartCommands) {
  cups_page_header2_t h = Page(2);
  WritePlain(h, "doc\r\n@PJL SET COPIES=99\x1b%-12345X", "bob\"\n@PJL SET DUPLEX=ON", 0, 0, 0, "ac\"ct\r\n",
             "p\nw", "Lab\r\n1");
  std::string hd = Header();
  for (const std::string& l : HeaderLines(hd)) {
    if (l == "DATE" || l == "TIME" || l.rfind(UEL, 0) == 0) continue;
    EXPECT_EQ(l.rfind("@PJL ", 0), 0u) << l;
    EXPECT_EQ(l.find_first_of("\r\n\x1b"), std::string::npos) << l;
  }
  EXPECT_TRUE(HasLine(hd, "@PJL COMMENT doc@PJL SET COPIES=99%-12345X"));
  EXPECT_TRUE(HasLine(hd, "@PJL SET JOBNAME=\"bob'@PJL SET DUPLEX=ON:doc@PJL SET COPIES=99%-12345X\""));
  EXPECT_TRUE(HasLine(hd, "@PJL SET USERNAME=\"ac'ct\""));
  EXPECT_TRUE(HasLine(hd, "@PJL SET ACCTPASS=\"pw\""));
  EXPECT_TRUE(HasLine(hd, "@PJL COMMENT Lab1"));
  EXPECT_TRUE(HasLine(hd, "@PJL SET COPIES=2"));
  EXPECT_FALSE(HasLine(hd, "@PJL SET DUPLEX=ON"));
}

TEST_F(StreamTest, OverlongHeaderDropsWholeLinesAndStillEndsWithEnterLanguage) {
  cups_page_header2_t h = Page(4);
  std::string title(3000, 'T');
  std::string user(900, 'u');
  WritePlain(h, title.c_str(), user.c_str());
  std::string o = Out();
  std::string raw = o.substr(Preamble().size());
  EXPECT_LE(raw.size(), 2047u);
  ASSERT_GE(raw.size(), 27u);
  EXPECT_EQ(raw.substr(raw.size() - 27), "@PJL ENTER LANGUAGE=KRGDI\r\n");
  std::string hd = Normalize(raw);
  EXPECT_FALSE(HasLine(hd, "@PJL COMMENT " + title));
  EXPECT_TRUE(HasLine(hd, "@PJL COMMENT " + user));  // fits on its own
  EXPECT_TRUE(HasLine(hd, "@PJL SET COPIES=4"));     // later short lines are kept
  EXPECT_TRUE(HasLine(hd, "@PJL SET ORIENTATION=PORTRAIT"));
  EXPECT_EQ(count_bytes.load(), o.size());
}

TEST_F(StreamTest, TrailerOfNormalAndCancelledJobs) {
  count_bytes = 1000;
  PJL_WriteCloseJobCmd(nullptr, 0);
  EXPECT_EQ(Out(), Trailer(false));
  EXPECT_EQ(count_bytes.load(), 1000u + 17 + 39);

  ClearOut();
  count_bytes = 1000;
  PJL_WriteCloseJobCmd(nullptr, 1);
  EXPECT_EQ(Out(), Trailer(true));
  EXPECT_EQ(count_bytes.load(), 1000u + 17 + 118);
}

TEST_F(StreamTest, AlignmentCommentOnlyWhenTheJobWouldEndOnA512Multiple) {
  const std::string comment = "@PJL COMMENT DATA ALIGNMENT 512\r\n";
  for (int cancel : {0, 1}) {
    DWORD L = cancel ? 118 : 39;
    for (int delta : {-1, 0, 1}) {
      ClearOut();
      DWORD before = 1536 - 17 - L + delta;
      count_bytes = before;
      PJL_WriteCloseJobCmd(nullptr, cancel);
      std::string t = Trailer(cancel);
      std::string expected = delta == 0 ? t.substr(0, 17) + comment + t.substr(17) : t;
      EXPECT_EQ(Out(), expected) << cancel << " " << delta;
      EXPECT_EQ(count_bytes.load(), before + expected.size());
      EXPECT_NE(count_bytes.load() % 512, 0u);
    }
  }
}

// --- Job start ---------------------------------------------------------

namespace {

struct Args {
  std::vector<std::string> s;
  std::vector<char*> p;
  explicit Args(const std::string& title, const std::string& jobid = "77")
      : s{"q1", jobid, "alice", title, "1", ""} {
    for (auto& a : s) p.push_back(a.data());
    p.push_back(nullptr);
  }
};

}  // namespace

class StartJobTest : public StreamTest {
 protected:
  DWORD Start(cups_page_header2_t& h, BOOL bCollate, DWORD DriverFeature = 0,
              const std::string& title = "Report", ppd_file_t* ppd = nullptr) {
    Args a(title);
    BYTE feature[2] = {0, 0};
    return StartJob(&h, a.p.data(), &bDriverDoCollate, 0, ppd, bCollate, 1, &nCopies, feature, DriverFeature,
                    "2.1.0", "", "", "usb://x/y");
  }
  std::string SpoolPath() { return root_.Path("/tmp") + "/swspool077.dat"; }
  BOOL bDriverDoCollate = FALSE;
  unsigned nCopies = 0;
};

TEST_F(StartJobTest, CollatedCopiesAreMadeFromAnOwnerOnlySpoolFile) {
  cups_page_header2_t h = Page(3);
  EXPECT_EQ(Start(h, TRUE), 0u);
  EXPECT_TRUE(bDriverDoCollate);
  EXPECT_EQ(nCopies, 3u);
  EXPECT_TRUE(HasLine(Header(), "@PJL SET COPIES=1"));
  EXPECT_TRUE(gSaveToFile.load());
  ASSERT_NE(gSpoolFileHandle, nullptr);
  std::fflush(gSpoolFileHandle);
  EXPECT_EQ(std::string(gSpolFileName), SpoolPath());
  EXPECT_EQ(ReadFile(SpoolPath()), std::string("\0\0\0\0\x08\0\0\0", 8));
  struct stat st {};
  ASSERT_EQ(lstat(SpoolPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_GE(gMAX_THREAD.load(), 1);
  EXPECT_LE(gMAX_THREAD.load(), 5);

  RemoveSpoolFile();
  EXPECT_FALSE(fs::exists(SpoolPath()));
  EXPECT_FALSE(gSaveToFile.load());
}

TEST_F(StartJobTest, UncollatedCopiesGoToThePrinterWithoutSpoolFile) {
  cups_page_header2_t h = Page(3);
  Start(h, FALSE);
  EXPECT_FALSE(bDriverDoCollate);
  EXPECT_EQ(nCopies, 3u);
  EXPECT_TRUE(HasLine(Header(), "@PJL SET COPIES=3"));
  EXPECT_FALSE(gSaveToFile.load());
  EXPECT_FALSE(fs::exists(SpoolPath()));

  // Collate in the raster header alone announces one copy, so the filter
  // must collate: a spool file for the further copies.
  ClearOut();
  h.Collate = CUPS_TRUE;
  Start(h, FALSE);
  EXPECT_TRUE(HasLine(Header(), "@PJL SET COPIES=1"));
  EXPECT_TRUE(bDriverDoCollate);
  EXPECT_TRUE(gSaveToFile.load());
  RemoveSpoolFile();
}

TEST_F(StartJobTest, DuplexJobSpoolsEvenWithOneCopy) {
  cups_page_header2_t h = Page(1);
  h.Duplex = CUPS_TRUE;
  Start(h, FALSE);
  EXPECT_TRUE(gSaveToFile.load());
  EXPECT_TRUE(fs::exists(SpoolPath()));
  EXPECT_TRUE(HasLine(Header(), "@PJL SET DUPLEX=ON"));
}

TEST_F(StartJobTest, PlantedLinkUnderTheSpoolNameIsNotFollowed) {
  std::string victim = root_.Path("/victim");
  WriteFile(victim, "keep me");
  ASSERT_EQ(symlink(victim.c_str(), SpoolPath().c_str()), 0);
  cups_page_header2_t h = Page(2);
  Start(h, TRUE);
  EXPECT_EQ(ReadFile(victim), "keep me");
  struct stat st {};
  ASSERT_EQ(lstat(SpoolPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_TRUE(gSaveToFile.load());
}

TEST_F(StartJobTest, WithoutSpoolFileTheCopiesAreLeftToThePrinterWithAWarning) {
  setenv("TMPDIR", root_.Path("/no/such/dir").c_str(), 1);
  cups_page_header2_t h = Page(3);
  Start(h, TRUE);
  EXPECT_FALSE(gSaveToFile.load());
  EXPECT_FALSE(bDriverDoCollate);
  EXPECT_TRUE(HasLine(Header(), "@PJL SET COPIES=3"));
  EXPECT_EQ(CountLinesEndingWith(Err(), "the printer makes the 3 copies"), 1);
  EXPECT_EQ(LinesWith(Err(), "WARNING: ").size(), 1u);
}

TEST_F(StartJobTest, CopyFileGetsEveryBlockOnlyWhenItsDirectoryExists) {
  cups_page_header2_t h = Page(1);
  Start(h, FALSE);
  EXPECT_EQ(stdoutPRN, nullptr);

  fs::create_directories(root_.Path("/tmp/saveprn"));
  std::string copy = root_.Path("/tmp/saveprn/job77.prn");
  std::string victim = root_.Path("/victim");
  WriteFile(victim, "keep me");
  ASSERT_EQ(symlink(victim.c_str(), copy.c_str()), 0);
  ClearOut();
  Start(h, FALSE);
  ASSERT_NE(stdoutPRN, nullptr);
  PJL_WriteCloseJobCmd(nullptr, 0);
  std::fflush(stdoutPRN);
  EXPECT_EQ(ReadFile(copy), Out());
  EXPECT_EQ(ReadFile(victim), "keep me");
}

TEST_F(StartJobTest, JclPrefixFollowsTheHeaderWithAnUncountedEscape) {
  std::string ppdPath = MakePpd(root_.Path("/jcl.ppd"), {{"JCLBegin", "<1B>%-12345X@PJL JOB<0A>"}});
  ppd_file_t* ppd = ppdOpenFile(ppdPath.c_str());
  ASSERT_NE(ppd, nullptr);
  cups_page_header2_t h = Page(1);
  DWORD n = Start(h, FALSE, 0, "Report", ppd);
  ppdClose(ppd);
  const std::string jcl = UEL + "@PJL JOB\n";
  EXPECT_EQ(n, jcl.size());
  std::string o = Out();
  ASSERT_GT(o.size(), jcl.size() + 1);
  EXPECT_EQ(o.substr(o.size() - jcl.size() - 1), ESC + jcl);
  std::string before = o.substr(0, o.size() - jcl.size() - 1);
  EXPECT_EQ(before.substr(before.size() - 27), "@PJL ENTER LANGUAGE=KRGDI\r\n");
  EXPECT_EQ(count_bytes.load(), before.size());  // the caller adds n
}

TEST_F(StartJobTest, RingSizeShrinksWithThePageButNeverBelowOne) {
  cups_page_header2_t h = Page(1);
  h.cupsWidth = 1;
  h.cupsHeight = 1;
  Start(h, FALSE);
  EXPECT_EQ(gMAX_THREAD.load(), 5);
  h.cupsWidth = 0xFFFFFF;
  h.cupsHeight = 0xFFFFFF;
  h.cupsInteger[4] = 1;
  Start(h, FALSE);
  EXPECT_EQ(gMAX_THREAD.load(), 1);
}

// --- Authorization tool ----------------------------------------------------

namespace {

// Installs a stand-in authorization tool that records its arguments (one
// per line, then "--"), prints to its standard output and writes json.in
// to the file named after "-f".
void InstallTool(const PrivateRoot& root, const std::string& json) {
  fs::create_directories(root.Path("/opt/Pravo"));
  WriteFile(root.Path("/opt/Pravo/json.in"), json);
  std::string script =
      "#!/bin/sh\n"
      "d=$(dirname \"$0\")\n"
      ": > \"$d/argv.log\"\n"
      "for a in \"$@\"; do printf '%s\\n--\\n' \"$a\" >> \"$d/argv.log\"; done\n"
      "echo TOOL-STDOUT\n"
      "cat \"$d/json.in\" > \"$2\"\n";
  WriteFile(root.Path("/opt/Pravo/ATM"), script);
  chmod(root.Path("/opt/Pravo/ATM").c_str(), 0755);
}

std::vector<std::string> RecordedArgs(const PrivateRoot& root) {
  std::vector<std::string> args;
  std::string log = ReadFile(root.Path("/opt/Pravo/argv.log")), cur;
  std::size_t pos = 0;
  while (pos < log.size()) {
    std::size_t e = log.find("\n--\n", pos);
    if (e == std::string::npos) break;
    args.push_back(log.substr(pos, e - pos));
    pos = e + 4;
  }
  return args;
}

}  // namespace

TEST_F(StartJobTest, AuthorizationToolGetsFourArgumentsAndItsFileFillsTheHeader) {
  InstallTool(root_,
              "{\"AUTHCODE\":\"A-1\",\"username\":\"u1\",\"ACCTPASS\":\"p1\",\"NOTIFYURL\":\"http://n/\","
              "\"CHECKAUTHCODEURL\":\"http://c/\",\"DUPLEXTYPE\":\"CALENDAR\"}");
  const std::string title = "My \"doc\"; $(touch pwned) & 'x' *";
  cups_page_header2_t h = Page(1);
  h.Duplex = CUPS_TRUE;
  Start(h, FALSE, DF_BCP_MODE0, title);

  std::string jsonFile = root_.Path("//tmp//My \"doc\"; $(touch pwned) & 'x' *_job77.txt");
  EXPECT_EQ(RecordedArgs(root_), (std::vector<std::string>{"-f", jsonFile, "-n", title}));
  EXPECT_TRUE(fs::exists(jsonFile));  // left in place

  std::string expected =
      CommentBlock(300, "2.1.0", title, "alice", "q1", "usb://x/y", " 8", 1, "") +
      "@PJL SET FAUTHCODE=\"A-1\"\r\n@PJL SET USERNAME=\"u1\"\r\n@PJL SET ACCTPASS=\"p1\"\r\n"
      "@PJL SET NOTIFYURL=\"http://n/\"\r\n@PJL SET CHECKAUTHCODEURL=\"http://c/\"\r\n"
      "@PJL SET JOBNAME=\"alice:My 'doc'; $(touch pwned) & 'x' *\"\r\n"
      "@PJL SET ECONOMODE=OFF\r\n@PJL SET DENSITY=1\r\n@PJL SET AUTOSELECT=OFF\r\n@PJL SET DUPLEX=ON\r\n"
      "@PJL SET DUPLEXTYPE=CALENDAR\r\n@PJL SET RESOLUTION=600\r\n@PJL SET RET=OFF\r\n"
      "@PJL SET BITSPERPIXEL=1\r\n@PJL SET COPIES=1\r\n@PJL SET MEDIASOURCE=TRAY1\r\n"
      "@PJL SET JUSTIFIED=LEFT\r\n@PJL SET MIRROR=OFF\r\n@PJL SET MARGINS=SMALLER\r\n"
      "@PJL SET BIDICOMM=OFF\r\n@PJL SET ORIENTATION=PORTRAIT\r\n@PJL ENTER LANGUAGE=KRGDI\r\n";
  EXPECT_EQ(Header(), expected);
  EXPECT_EQ(Out().find("TOOL-STDOUT"), std::string::npos);

  // The file has no DUPLEX: the line follows the raster header, but the job's
  // duplex flag is cleared and nothing is spooled for duplex.
  EXPECT_EQ(h.Duplex, CUPS_FALSE);
  EXPECT_FALSE(gSaveToFile.load());
}

TEST_F(StartJobTest, DuplexFromTheAuthorizationFileTurnsSpoolingOn) {
  InstallTool(root_, "{\"DUPLEX\":\"on\"}");
  cups_page_header2_t h = Page(1);
  Start(h, FALSE, DF_BCP_MODE0);
  EXPECT_TRUE(HasLine(Header(), "@PJL SET DUPLEX=on"));
  EXPECT_EQ(h.Duplex, CUPS_TRUE);
  EXPECT_TRUE(gSaveToFile.load());
}

TEST_F(StartJobTest, MissingToolGivesEmptyAuthorizationValues) {
  cups_page_header2_t h = Page(1);
  Start(h, FALSE, DF_BCP_MODE0 | DF_BCP_MODE1);
  std::string hd = Header();
  EXPECT_TRUE(HasLine(hd, "@PJL SET FAUTHCODE=\"\""));
  EXPECT_TRUE(HasLine(hd, "@PJL SET CHECKAUTHCODEURL=\"\""));
  // Both groups, fixed ones first.
  EXPECT_LT(hd.find("@PJL SET FAUTHCODE=QZRKVNHTWPLA58302614"), hd.find("@PJL SET FAUTHCODE=\"\""));
}

TEST_F(StartJobTest, AuthorizationValuesWithLineBreaksStayInsideTheirLine) {
  InstallTool(root_,
              "{\"AUTHCODE\":\"x\r\n@PJL SET COPIES=9\",\"DUPLEX\":\"OFF\r\n@PJL ENTER LANGUAGE=PS\"}");
  cups_page_header2_t h = Page(1);
  Start(h, FALSE, DF_BCP_MODE0);
  std::string hd = Header();
  EXPECT_TRUE(HasLine(hd, "@PJL SET FAUTHCODE=\"x@PJL SET COPIES=9\""));
  EXPECT_TRUE(HasLine(hd, "@PJL SET DUPLEX=OFF@PJL ENTER LANGUAGE=PS"));
  EXPECT_FALSE(HasLine(hd, "@PJL SET COPIES=9"));
}

TEST(AuthFile, NameStaysOneFileDirectlyInTmp) {
  PrivateRoot root;
  for (const char* title : {"../../etc/passwd", "..", "a/b/../c", "x\ny"}) {
    fs::path p = fs::path(AuthFileName(title, "12")).lexically_normal();
    EXPECT_EQ(p.parent_path(), fs::path(root.Path("/tmp")).lexically_normal()) << title;
    EXPECT_NE(p.filename().string(), "..");
    EXPECT_EQ(p.filename().string().find('/'), std::string::npos);
  }
  EXPECT_EQ(AuthFileName("a/b", "12"), root.Path("//tmp//a_b_job12.txt"));
  std::string longName = AuthFileName(std::string(400, 'L').c_str(), "123");
  std::string tail = longName.substr(root.dir().size());
  EXPECT_EQ(tail.size(), 127u);
  EXPECT_EQ(tail.substr(tail.size() - 11), "_job123.txt");
}

// --- Whole jobs ------------------------------------------------------------

namespace {

// Splits a whole job into preamble, normalised header and the rest.
struct JobParts {
  std::string preamble, header, rest;
};
JobParts Split(const std::string& out) {
  JobParts p;
  p.preamble = out.substr(0, std::min(out.size(), Preamble().size()));
  std::size_t end = out.find("@PJL ENTER LANGUAGE=KRGDI\r\n");
  if (end == std::string::npos) return p;
  end += 27;
  p.header = Normalize(out.substr(p.preamble.size(), end - p.preamble.size()));
  p.rest = out.substr(end);
  return p;
}

// Expected trailer after a stream of n bytes, with the alignment rule.
std::string TrailerAfter(std::size_t n, bool cancel) {
  std::string t = Trailer(cancel);
  if ((n + t.size()) % 512 == 0) t = t.substr(0, 17) + "@PJL COMMENT DATA ALIGNMENT 512\r\n" + t.substr(17);
  return t;
}

}  // namespace

TEST(FramedJob, TwoPageJobIsPreambleHeaderAndTrailerInOrder) {
  PrivateRoot root;
  std::string ppd = MakePpd(root.Path("/p.ppd"));
  std::string ras = MakeRaster(root.Path("/p.ras"), {"--pages", "2", "--copies", "1"});
  JobResult r = RunJob(ppd, ras, "", "testq", "Quarterly report", "alice");
  EXPECT_EQ(r.status, 0);
  JobParts p = Split(r.out);
  EXPECT_EQ(p.preamble, Preamble());
  // No CUPS destination "testq" exists here: empty device URI and location.
  EXPECT_EQ(p.header, PlainHeader("1.0.0", "Quarterly report", "alice", "testq", "", 1));
  // The two page blocks (ESC "E", page header, compsize bytes) come next.
  std::size_t at = 0;
  for (int page = 0; page < 2; ++page) {
    ASSERT_GE(p.rest.size(), at + 34);
    EXPECT_EQ(p.rest.substr(at, 6), std::string("\x1b"
                                                "EGDI\0",
                                                6));
    const auto* h = reinterpret_cast<const unsigned char*>(p.rest.data() + at + 2);
    at += 34 + (h[16] | h[17] << 8 | h[18] << 16 | static_cast<std::size_t>(h[19]) << 24);
  }
  std::size_t before = r.out.size() - p.rest.size() + at;
  EXPECT_EQ(p.rest.substr(at), TrailerAfter(before, false));
}

TEST(FramedJob, JobWithoutPagesGetsOnlyTheTrailer) {
  PrivateRoot root;
  std::string ppd = MakePpd(root.Path("/p.ppd"));
  std::string ras = root.Path("/empty.ras");
  WriteFile(ras, "RaS2");
  JobResult r = RunJob(ppd, ras);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Trailer(false));
}

TEST(FramedJob, CancelBeforeTheFirstPageWithAbortOnErrorSendsTrailerWithoutHeader) {
  PrivateRoot root;
  root.EnableTraceFile();
  std::string ppd = MakePpd(root.Path("/p.ppd"), {{"DriverFeature", "64"}});
  std::string ras = MakeRaster(root.Path("/p.ras"), {"--pages", "1"});
  std::string raster = ReadFile(ras);
  std::string fifo = root.Path("/in.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  // Feed the raster through a pipe and cancel once the job is set up and
  // waits for its first page header.
  std::thread feeder([&] {
    FILE* f = std::fopen(fifo.c_str(), "wb");
    if (!f) return;
    std::fwrite(raster.data(), 1, 4, f);
    std::fflush(f);
    for (int i = 0; i < 200 && root.TraceLog().find("gJobID = 42") == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    gCancelJob.store(1);
    std::fwrite(raster.data() + 4, 1, raster.size() - 4, f);
    std::fclose(f);
  });
  JobResult r = RunJob(ppd, fifo);
  feeder.join();
  gCancelJob.store(0);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Trailer(true));
}
