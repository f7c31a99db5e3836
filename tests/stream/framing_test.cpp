// Beginning and end of the printer stream: preamble, PJL job header, what
// the job start decides (collation, spool file, copy file, authorization
// tool, JCL prefix) and the trailer with its alignment rule.
#include <regex>
#include <sstream>

#include "auth_json.h"
#include "pjl_stream.h"
#include "spool_file.h"
#include "test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// Header lines up to the location comment.
std::string Comments(int timeout, const std::string& version, const std::string& doc, const std::string& user,
                     const std::string& queue, const std::string& uri, const std::string& jbig, int copies,
                     const std::string& location) {
  char host[65] = {};
  gethostname(host, 64);
  std::string s = kUel + "@PJL\r\n@PJL JOB NAME=\"TICK\"\r\n@PJL SET TIMEOUT=" + std::to_string(timeout) +
                  "\r\n@PJL COMMENT Filter Version," + version + "\r\n";
  for (const std::string& c : {doc, user, std::string(host), queue, uri, std::string()})
    s += "@PJL COMMENT " + c + "\r\n";
  return s + "DATE\r\nTIME\r\n@PJL COMMENT JBIG,00," + jbig + "\r\n@PJL COMMENT Copies," +
         std::to_string(copies) + "\r\n@PJL COMMENT " + location + "\r\n";
}

// The lines from ECONOMODE on of a job with no option and no feature set.
std::string PlainSettings(const std::string& duplex, int copies) {
  return "@PJL SET ECONOMODE=OFF\r\n@PJL SET DENSITY=1\r\n@PJL SET AUTOSELECT=OFF\r\n@PJL SET DUPLEX=" +
         duplex +
         "\r\n@PJL SET DUPLEXTYPE=BOOKLET\r\n@PJL SET RESOLUTION=600\r\n@PJL SET RET=OFF\r\n"
         "@PJL SET BITSPERPIXEL=1\r\n@PJL SET COPIES=" +
         std::to_string(copies) +
         "\r\n@PJL SET MEDIASOURCE=TRAY1\r\n@PJL SET JUSTIFIED=LEFT\r\n@PJL SET MIRROR=OFF\r\n"
         "@PJL SET MARGINS=SMALLER\r\n@PJL SET BIDICOMM=OFF\r\n@PJL SET ORIENTATION=PORTRAIT\r\n" +
         kEnterLanguage;
}

// The header and trailer writers called directly: they write to a job's
// printer port and count into its byte count.
class PjlText : public ::testing::Test {
 protected:
  void TearDown() override {
    std::fclose(out_);
    std::fclose(err_);
  }
  // What write(port) sends after `before` bytes of stream; counted by the port.
  template <typename F>
  std::string Sent(F write, DWORD before = 0) {
    std::fflush(out_);
    EXPECT_EQ(ftruncate(fileno(out_), 0), 0);
    std::rewind(out_);
    JobEvents events(err_);
    PrinterPort port(events, out_);
    port.count_bytes = before;
    write(port);
    const std::string o = Slurp(out_);
    EXPECT_EQ(port.count_bytes.load(), before + o.size());
    return o;
  }
  // The job header after the preamble, normalised.
  std::string Header(cups_page_header2_t h, DWORD features, BYTE f0, BYTE f1, const char* doc = "Report",
                     const char* user = "alice", const char* acct = "", const char* pwd = "",
                     const char* location = "") {
    const BYTE feature[2] = {f0, f1};
    const std::string o = Sent([&](PrinterPort& port) {
      PJL_WriteStartJobCmd(port, &h, 1, "q1", user, doc, nullptr, FALSE, location, feature, features, "2.1.0",
                           acct, pwd, "usb://x/y");
    });
    EXPECT_EQ(o.substr(0, Preamble().size()), Preamble());
    return MaskClock(o.substr(std::min(o.size(), Preamble().size())));
  }
  static cups_page_header2_t Page(unsigned copies = 1) {
    cups_page_header2_t h{};
    h.NumCopies = copies;
    h.HWResolution[0] = h.HWResolution[1] = 600;
    return h;
  }
  PrivateRoot root_;
  FILE* out_ = std::tmpfile();
  FILE* err_ = std::tmpfile();
};

}  // namespace

TEST_F(PjlText, ConditionalLinesFollowOptionsAndFeatureBits) {
  cups_page_header2_t h = Page(3);
  h.cupsInteger[0] = 1;   // TonerSave
  h.cupsInteger[6] = 45;  // timeout
  h.cupsInteger[8] = 2;   // resolution option: low-power 600
  h.cupsInteger[11] = 2;  // density
  h.MediaPosition = 250;
  h.Duplex = h.Tumble = CUPS_TRUE;
  h.Orientation = CUPS_ORIENT_90;
  h.Margins[0] = 7;
  EXPECT_EQ(
      Header(h, DF_ZQ3_CHIP | DF_BCP_MODE1, F0_IMPR | F0_TWO_BIT_600, F1_SSL | F1_600_RET, "Report", "alice",
             "acct7", "pw7", "Room 2"),
      Comments(45, "2.1.0", "Report", "alice", "q1", "usb://x/y", "64", 3, "Room 2") +
          "@PJL SET FAUTHCODE=QZRKVNHTWPLA58302614\r\n@PJL SET ORDERNO=JDXMBRUEYKCS71946023\r\n"
          "@PJL SET USERNAME=\"QZRKVNHTWPLA58302614\"\r\n@PJL SET ACCTPASS=\"JDXMBRUEYKCS71946023\"\r\n"
          "@PJL SET JOBNAME=\"alice:Report\"\r\n@PJL SET USERNAME=\"acct7\"\r\n@PJL SET ACCTPASS=\"pw7\"\r\n"
          "@PJL SET ECONOMODE=ON\r\n@PJL SET DENSITY=3\r\n@PJL SET AUTOSELECT=ON\r\n@PJL SET DUPLEX=ON\r\n"
          "@PJL SET DUPLEXTYPE=CALENDAR\r\n@PJL SET RESOLUTION=600\r\n@PJL SET RET=ON\r\n"
          "@PJL SET BITSPERPIXEL=2\r\n@PJL SET ENCRYPTION = SSL\r\n@PJL SET COPIES=3\r\n"
          "@PJL SET MEDIASOURCE=TRAY1\r\n@PJL SET JUSTIFIED=LEFT\r\n@PJL SET MIRROR=OFF\r\n"
          "@PJL SET MARGINS=NORMAL\r\n@PJL SET IMPR=1\r\n@PJL SET BIDICOMM=OFF\r\n"
          "@PJL SET ORIENTATION=LANDSCAPE\r\n" +
          kEnterLanguage);
}

TEST_F(PjlText, ResolutionRetAndEconomodeFollowTheirBits) {
  const struct {
    BYTE f1;
    unsigned hw, resOption, toner;
    const char* lines;
  } cases[] = {
      {F1_1200X1200, 300, 0, 0, "ECONOMODE=OFF RESOLUTION=600 RET=OFF"},  // raised to 600
      {F1_1200X1200 | F1_600_RET, 1200, 2, 0, "ECONOMODE=OFF RESOLUTION=1200 RET=OFF"},
      {F1_600_RET, 1200, 2, 1, "ECONOMODE=ON RESOLUTION=600 RET=ON"},
      {F1_600_RET | F1_SW_TONERSAVE, 1200, 1, 1,
       "ECONOMODE=OFF RESOLUTION=600 RET=OFF"},  // saved in software
  };
  for (const auto& c : cases) {
    cups_page_header2_t h = Page();
    h.HWResolution[0] = c.hw;
    h.cupsInteger[8] = c.resOption;
    h.cupsInteger[0] = c.toner;
    const std::string hd = Header(h, 0, 0, c.f1);
    std::istringstream lines(c.lines);
    for (std::string l; lines >> l;) EXPECT_TRUE(HasLine(hd, "@PJL SET " + l)) << l << " " << c.hw;
  }
}

TEST_F(PjlText, JobValuesCannotStartCommandsAndOverlongLinesAreDroppedWhole) {
  const std::string hd = Header(Page(2), 0, 0, 0, "doc\r\n@PJL SET COPIES=99\x1b%-12345X",
                                "bob\"\n@PJL SET DUPLEX=ON", "ac\"ct\r\n", "p\nw", "Lab\r\n1");
  std::size_t pos = hd.find("\r\n") + 2;  // behind the UEL line
  for (std::size_t e; (e = hd.find("\r\n", pos)) != std::string::npos; pos = e + 2) {
    const std::string l = hd.substr(pos, e - pos);
    EXPECT_TRUE(l.rfind("@PJL ", 0) == 0 || l == "DATE" || l == "TIME") << l;
    EXPECT_EQ(l.find_first_of("\n\x1b"), std::string::npos) << l;
  }
  for (const char* line : {"@PJL COMMENT doc@PJL SET COPIES=99%-12345X",
                           "@PJL SET JOBNAME=\"bob'@PJL SET DUPLEX=ON:doc@PJL SET COPIES=99%-12345X\"",
                           "@PJL SET USERNAME=\"ac'ct\"", "@PJL SET ACCTPASS=\"pw\"", "@PJL COMMENT Lab1",
                           "@PJL SET COPIES=2", "@PJL SET DUPLEX=OFF"})
    EXPECT_TRUE(HasLine(hd, line)) << line;

  const std::string title(3000, 'T'), user(900, 'u');
  const std::string longer = Header(Page(4), 0, 0, 0, title.c_str(), user.c_str());
  EXPECT_LE(longer.size(), 2047u);
  EXPECT_FALSE(HasLine(longer, "@PJL COMMENT " + title));
  EXPECT_TRUE(HasLine(longer, "@PJL COMMENT " + user));  // fits on its own
  EXPECT_TRUE(HasLine(longer, "@PJL SET COPIES=4"));     // later short lines are kept
  EXPECT_EQ(longer.substr(longer.size() - kEnterLanguage.size()), kEnterLanguage);
}

TEST_F(PjlText, TrailerKeepsTheStreamOffWholeBlocksOf512Bytes) {
  for (bool cancel : {false, true}) {
    const std::size_t plain = Trailer(1, cancel).size();
    for (std::size_t before : {std::size_t{1000}, 1536 - plain - 1, 1536 - plain, 1536 - plain + 1}) {
      const std::string sent = Sent([&](PrinterPort& port) { PJL_WriteCloseJobCmd(port, nullptr, cancel); },
                                    static_cast<DWORD>(before));
      EXPECT_EQ(sent, Trailer(before, cancel)) << cancel << " " << before;
      EXPECT_NE((before + sent.size()) % 512, 0u);
    }
  }
}

// --- Whole jobs ------------------------------------------------------------

class FramedJob : public ::testing::Test {
 protected:
  std::string Raster(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--res", "100", "--media", "363x516", "--content", "black,ramp"};
    all.insert(all.end(), args.begin(), args.end());
    return MakeRaster(root_.Path("/job.ras"), all);
  }
  PrivateRoot root_;
  std::string ppd_ = MakePpd(root_.Path("/p.ppd"));
};

TEST_F(FramedJob, TwoPageJobIsPreambleHeaderPagesAndTrailerInOrder) {
  const std::string ppd = MakePpd(root_.Path("/lef.ppd"), {{"cupsLEF", "16"}});  // A4 long edge first
  JobResult r =
      RunJob(ppd, Raster({"--pages", "2", "--media", "595x842"}), "", "testq", "Quarterly report", "alice");
  EXPECT_EQ(r.status, 0);
  PrinterStream s = ReadStream(r.out);
  EXPECT_EQ(s.preamble, Preamble());
  // No CUPS destination "testq" exists here: empty device URI and location.
  EXPECT_EQ(MaskClock(s.pjl), Comments(300, "1.0.0", "Quarterly report", "alice", "testq", "", " 8", 1, "") +
                                  "@PJL SET JOBNAME=\"alice:Quarterly report\"\r\n" +
                                  PlainSettings("OFF", 1));
  ASSERT_EQ(s.pages.size(), 2u);
  EXPECT_EQ(s.pages[1].Byte(kPaper), 130u);
  EXPECT_EQ(s.trailer, Trailer(r.out.size() - s.trailer.size()));
}

TEST_F(FramedJob, JobWithoutPagesGetsOnlyTheTrailer) {
  WriteFile(root_.Path("/empty.ras"), "RaS2");
  JobResult r = RunJob(ppd_, root_.Path("/empty.ras"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Trailer(0));
}

TEST_F(FramedJob, CollatedCopiesWithoutSpoolFileAreLeftToThePrinterWithOneWarning) {
  setenv("TMPDIR", root_.Path("/no/such/dir").c_str(), 1);
  JobResult r = RunJob(ppd_, Raster({"--pages", "2", "--copies", "3"}), "Collate=True");
  PrinterStream s = ReadStream(r.out);
  EXPECT_TRUE(s.HasPjl("@PJL SET COPIES=3"));
  EXPECT_EQ(s.pages.size(), 2u);
  EXPECT_EQ(
      Messages(r.err, "WARNING: "),
      std::vector<std::string>{"WARNING: Unable to create the spool file, the printer makes the 3 copies"});
}

TEST_F(FramedJob, SpoolAndCopyFilesAreOwnerOnlyAndPlantedLinksAreNotFollowed) {
  const std::string victim = root_.Path("/victim");
  WriteFile(victim, "keep me");
  // The spool file has no name: nothing in its directory, nothing another
  // run of the same job number could reach or zero.
  SpoolFile spool, sameJob;
  ASSERT_EQ(spool.Create(77), TRUE);
  const std::string tmpdir = std::getenv("TMPDIR");
  EXPECT_TRUE(fs::is_empty(tmpdir));
  PageReports reports(stderr);
  const BYTE page[] = "page block";
  ASSERT_TRUE(spool.Append(page, sizeof page, 1, reports));
  ASSERT_EQ(sameJob.Create(77), TRUE);
  sameJob.Remove();
  char back[sizeof page] = {};
  ASSERT_EQ(spool.GetPageData(0, sizeof back, back), TRUE);
  EXPECT_STREQ(back, "page block");
  spool.Remove();
  EXPECT_TRUE(fs::is_empty(tmpdir));

  // The copy of the stream goes to saveprn/ only when that directory exists.
  fs::create_directories(root_.Path("/tmp/saveprn"));
  const std::string copy = root_.Path("/tmp/saveprn/job42.prn");
  ASSERT_EQ(symlink(victim.c_str(), SpoolFileName(42).c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), copy.c_str()), 0);
  JobResult r = RunJob(ppd_, Raster({"--copies", "2"}), "Collate=True");
  EXPECT_EQ(ReadFile(victim), "keep me");
  EXPECT_EQ(ReadStream(r.out).pages.size(), 2u);
  EXPECT_EQ(ReadFile(copy), r.out);
}

TEST_F(FramedJob, JclPrefixOfThePpdFollowsTheHeaderBehindAnEscape) {
  const std::string ppd = MakePpd(root_.Path("/jcl.ppd"), {{"JCLBegin", "<1B>%-12345X@PJL JOB<0A>"}});
  const std::string out = RunJob(ppd, Raster({})).out;
  const std::size_t end = out.find(kEnterLanguage) + kEnterLanguage.size();
  const std::string jcl = kUel + "@PJL JOB\n";
  EXPECT_EQ(out.substr(end, jcl.size() + 5), "\x1b" + jcl + kEscE + "GD");
}

// --- Authorization tool ------------------------------------------------------

namespace {

// Installs a stand-in authorization tool that records its arguments (one
// per line, then "--"), prints to its standard output and writes json to
// the file named after "-f".
void InstallTool(const PrivateRoot& root, const std::string& json) {
  fs::create_directories(root.Path("/opt/Pravo"));
  WriteFile(root.Path("/opt/Pravo/json.in"), json);
  WriteFile(
      root.Path("/opt/Pravo/ATM"),
      "#!/bin/sh\nd=$(dirname \"$0\")\nfor a in \"$@\"; do printf '%s\\n--\\n' \"$a\" >> \"$d/argv.log\"; "
      "done\necho TOOL-STDOUT\ncat \"$d/json.in\" > \"$2\"\n");
  chmod(root.Path("/opt/Pravo/ATM").c_str(), 0755);
}

}  // namespace

TEST_F(FramedJob, AuthorizationToolGetsFourArgumentsAndItsFileFillsTheHeader) {
  InstallTool(root_,
              "{\"AUTHCODE\":\"A-1\",\"username\":\"u1\",\"ACCTPASS\":\"p1\",\"NOTIFYURL\":\"http://n/\","
              "\"CHECKAUTHCODEURL\":\"http://c/\",\"DUPLEXTYPE\":\"CALENDAR\"}");
  const std::string title = "My \"doc\"; $(touch pwned) & 'x' *";
  JobResult r = RunJob(MakePpd(root_.Path("/bcp.ppd"), {{"DriverFeature", "16"}}),
                       Raster({"--pages", "2", "--duplex", "1"}), "", "testq", title);
  // The file named is a fresh one beside where the name without its unique
  // part would be.
  const std::string argv = ReadFile(root_.Path("/opt/Pravo/argv.log"));
  const std::string stem = root_.Path("//tmp//My \"doc\"; $(touch pwned) & 'x' *_job42_");
  ASSERT_EQ(argv.rfind("-f\n--\n" + stem, 0), 0u) << argv;
  const std::string json = argv.substr(6, stem.size() + 10);
  EXPECT_EQ(json.substr(json.size() - 4), ".txt");
  EXPECT_EQ(argv, "-f\n--\n" + json + "\n--\n-n\n--\n" + title + "\n--\n");
  EXPECT_TRUE(fs::exists(json));  // left in place
  PrinterStream s = ReadStream(r.out);
  EXPECT_EQ(MaskClock(s.pjl),
            Comments(300, "1.0.0", title, "alice", "testq", "", " 8", 1, "") +
                "@PJL SET FAUTHCODE=\"A-1\"\r\n@PJL SET USERNAME=\"u1\"\r\n@PJL SET ACCTPASS=\"p1\"\r\n"
                "@PJL SET NOTIFYURL=\"http://n/\"\r\n@PJL SET CHECKAUTHCODEURL=\"http://c/\"\r\n"
                "@PJL SET JOBNAME=\"alice:My 'doc'; $(touch pwned) & 'x' *\"\r\n" +
                std::regex_replace(PlainSettings("ON", 1), std::regex("BOOKLET"), "CALENDAR"));
  EXPECT_EQ(r.out.find("TOOL-STDOUT"), std::string::npos);
  // The file has no DUPLEX: the job header follows the raster, but the pages
  // go in reading order, not in sheet order.
  ASSERT_EQ(s.pages.size(), 2u);
  EXPECT_GT(s.pages[0].BlackDots(), s.pages[1].BlackDots());
}

// Fixed codes come first; a value the file lacks is sent empty; a line
// break in a value cannot start a command of its own.
TEST_F(FramedJob, FixedAndFileAuthorizationValuesWithLineBreaksKeptInsideTheirLine) {
  InstallTool(root_, "{\"AUTHCODE\":\"x\r\n@PJL SET COPIES=9\",\"DUPLEX\":\"on\r\n@PJL ENTER LANGUAGE=PS\"}");
  PrinterStream s =
      ReadStream(RunJob(MakePpd(root_.Path("/bcp.ppd"), {{"DriverFeature", "48"}}), Raster({})).out);
  EXPECT_NE(
      s.pjl.find("@PJL SET ACCTPASS=\"JDXMBRUEYKCS71946023\"\r\n@PJL SET FAUTHCODE=\"x@PJL SET COPIES=9\"\r\n"
                 "@PJL SET USERNAME=\"\"\r\n@PJL SET ACCTPASS=\"\"\r\n@PJL SET NOTIFYURL=\"\"\r\n"),
      std::string::npos)
      << s.pjl;
  EXPECT_TRUE(s.HasPjl("@PJL SET DUPLEX=on@PJL ENTER LANGUAGE=PS"));
  EXPECT_FALSE(s.HasPjl("@PJL SET COPIES=9"));
  EXPECT_EQ(s.pages.size(), 1u);
}

TEST(AuthFile, NameStaysOneFileDirectlyInTmpAndIsNewAndPrivate) {
  PrivateRoot root;
  for (const char* title : {"../../etc/passwd", "..", "a/b/../c", "x\ny"}) {
    fs::path p = fs::path(CreateAuthFile(title, "12")).lexically_normal();
    EXPECT_EQ(p.parent_path(), fs::path(root.Path("/tmp")).lexically_normal()) << title;
    EXPECT_NE(p.filename().string(), "..");
  }
  const std::string a = CreateAuthFile("a/b", "12"), b = CreateAuthFile("a/b", "12");
  EXPECT_EQ(a.rfind(root.Path("//tmp//a_b_job12_"), 0), 0u) << a;
  EXPECT_NE(a, b);
  struct stat st {};
  ASSERT_EQ(lstat(a.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 0);
  const std::string tail = CreateAuthFile(std::string(400, 'L').c_str(), "123").substr(root.dir().size());
  EXPECT_EQ(tail.size(), 127u);
  EXPECT_EQ(tail.substr(tail.size() - 18, 8), "_job123_");
  EXPECT_EQ(tail.substr(tail.size() - 4), ".txt");
}
