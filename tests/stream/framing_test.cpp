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

// The header and trailer writers called directly, on a job's printer port.
class PjlText : public ::testing::Test {
 protected:
  void TearDown() override {
    std::fclose(out_);
    std::fclose(err_);
  }
  // What write(port) sends through a fresh port.
  template <typename F>
  std::string Sent(F write) {
    std::fflush(out_);
    EXPECT_EQ(ftruncate(fileno(out_), 0), 0);
    std::rewind(out_);
    JobEvents events(err_);
    PrinterPort port(events, out_);
    write(port);
    return Slurp(out_);
  }
  // The job header after the preamble, normalised.
  std::string Header(cups_page_header2_t h, DWORD features, BYTE f0, BYTE f1, const char* doc = "Report",
                     const char* user = "alice", const char* acct = "", const char* pwd = "",
                     const char* location = "", const char (*json)[kJsonTokenSize] = nullptr) {
    JobHeader job;
    job.page = &h;
    job.PrinterName = "q1";
    job.szUserName = user;
    job.szDocName = doc;
    job.PrinterLocation = location;
    job.PrinterPortName = "usb://x/y";
    job.DriverVersion = "2.1.0";
    job.AccountName = acct;
    job.AccountPwd = pwd;
    job.json = json;
    if (json && (features & DF_BCP_MODE0)) job.duplexOverride = DuplexFromAuthorization(json);
    job.Feature[0] = f0;
    job.Feature[1] = f1;
    job.DriverFeature = features;
    job.ranges = ranges;
    const std::string o = Sent([&](PrinterPort& port) { PJL_WriteStartJobCmd(port, job); });
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
  PjlSlotRanges ranges = {{0, 600}, {0, 9}};
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

TEST_F(PjlText, JobValuesCannotStartCommands) {
  const std::string hd = Header(Page(2), 0, 0, 0, "doc\r\n@PJL SET COPIES=99\x1b%-12345X",
                                "bob\"\n@PJL SET DUPLEX=ON", "ac\"ct\r\n", "p\"\nw", "Lab\r\n1");
  std::size_t pos = hd.find("\r\n") + 2;  // behind the UEL line
  for (std::size_t e; (e = hd.find("\r\n", pos)) != std::string::npos; pos = e + 2) {
    const std::string l = hd.substr(pos, e - pos);
    EXPECT_TRUE(l.rfind("@PJL ", 0) == 0 || l == "DATE" || l == "TIME") << l;
    EXPECT_EQ(l.find_first_of("\n\x1b"), std::string::npos) << l;
  }
  for (const char* line : {"@PJL COMMENT doc@PJL SET COPIES=99%-12345X",
                           "@PJL SET JOBNAME=\"bob'@PJL SET DUPLEX=ON:doc@PJL SET COPIES=99%-12345X\"",
                           "@PJL SET USERNAME=\"ac'ct\"", "@PJL SET ACCTPASS=\"p'w\"", "@PJL COMMENT Lab1",
                           "@PJL SET COPIES=2", "@PJL SET DUPLEX=OFF"})
    EXPECT_TRUE(HasLine(hd, line)) << line;
  // An identity or secret whose quote changed is said: the printer may refuse the account.
  EXPECT_EQ(
      Messages(Slurp(err_), "WARNING: "),
      (std::vector<std::string>{
          "WARNING: The account ID contains a double quote, sent to the printer as a single quote",
          "WARNING: The account password contains a double quote, sent to the printer as a single quote"}));
}

namespace {

// The header's "@PJL SET" lines, with the value of those that may carry a
// job text or a value of the authorization file (JOBNAME, USERNAME ...)
// left out.
std::vector<std::string> SettingLines(const std::string& header) {
  static const std::regex kText(
      "^@PJL SET (JOBNAME|USERNAME|ACCTPASS|FAUTHCODE|NOTIFYURL|CHECKAUTHCODEURL|DUPLEXTYPE)=.*");
  std::vector<std::string> lines;
  std::istringstream in(header);
  for (std::string l; std::getline(in, l);) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
    if (l.rfind("@PJL SET ", 0) != 0) continue;
    std::smatch m;
    lines.push_back(std::regex_match(l, m, kText) ? "@PJL SET " + m[1].str() : l);
  }
  return lines;
}

// Whether every "@PJL COMMENT" line is whole UTF-8 (no character cut in two).
bool CommentsAreWholeUtf8(const std::string& header) {
  std::istringstream in(header);
  for (std::string l; std::getline(in, l);) {
    for (std::size_t i = 0; i < l.size();) {
      const unsigned char c = static_cast<unsigned char>(l[i]);
      const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
      if (n == 0 || i + n > l.size()) return false;
      for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(l[i + k]) & 0xC0) != 0x80) return false;
      i += n;
    }
  }
  return true;
}

}  // namespace

TEST_F(PjlText, OverlongTextsAreShortenedAndEverySettingLineStays) {
  std::string wide;
  for (int i = 0; i < 1500; ++i) wide += "\xe6\x96\x87";  // 4500 bytes of three-byte characters
  const std::string title(4000, 'T'), user(900, 'u'), v127(127, 'v'), a127(127, 'a'), p127(127, 'p');
  char json[kJsonMaxTokens][kJsonTokenSize] = {};
  for (int slot : {JSON_AUTHCODE, JSON_USERNAME, JSON_ACCTPASS, JSON_NOTIFYURL, JSON_CHECKAUTHCODEURL})
    std::snprintf(json[slot], kJsonTokenSize, "%s", v127.c_str());
  std::snprintf(json[JSON_DUPLEX], kJsonTokenSize, "ON");
  char longest[kJsonMaxTokens][kJsonTokenSize];  // a binding value as long as a value can be, too
  std::memcpy(longest, json, sizeof json);
  std::snprintf(longest[JSON_DUPLEXTYPE], kJsonTokenSize, "%s", std::string(127, 'C').c_str());
  const DWORD everything = DF_ZQ3_CHIP | DF_BCP_MODE0 | DF_BCP_MODE1;
  const struct {
    const char* name;
    std::string doc, user, acct, pwd;
    DWORD features;
    const char (*json)[kJsonTokenSize];
    bool accountsCut;  // even the account values had to give way
  } cases[] = {
      {"long title, full account values", title, user, a127, p127, 0, json, false},
      {"wide characters", wide, wide, a127, p127, 0, json, false},
      {"every file value at its longest", title, user, a127, p127, everything, json, false},
      {"every value at its longest", title, user, a127, p127, everything, longest, true},
  };
  for (const auto& c : cases) {
    cups_page_header2_t h = Page(4);
    h.Duplex = CUPS_TRUE;
    h.Orientation = CUPS_ORIENT_90;
    h.cupsInteger[11] = 4;
    const std::string reference =
        Header(h, c.features, F0_IMPR, F1_SSL, "Report", "alice", c.acct.empty() ? "" : "acct",
               c.pwd.empty() ? "" : "pw", "Room 2", c.json);
    const std::size_t before = Slurp(err_).size();
    const std::string hd = Header(h, c.features, F0_IMPR, F1_SSL, c.doc.c_str(), c.user.c_str(),
                                  c.acct.c_str(), c.pwd.c_str(), "Room 2", c.json);
    EXPECT_LE(hd.size() + Preamble().size(), Preamble().size() + 2047) << c.name;
    EXPECT_EQ(SettingLines(hd), SettingLines(reference)) << c.name;
    EXPECT_EQ(HasLine(hd, "@PJL SET DUPLEXTYPE=BOOKLET"), c.json == json) << c.name;
    EXPECT_EQ(hd.substr(hd.size() - kEnterLanguage.size()), kEnterLanguage) << c.name;
    EXPECT_TRUE(CommentsAreWholeUtf8(hd)) << c.name;
    // The title keeps what room there is, from its start.
    const std::size_t at = hd.find("@PJL COMMENT ", hd.find("Filter Version")) + 13;
    const std::string kept = hd.substr(at, hd.find("\r\n", at) - at);
    EXPECT_EQ(c.doc.rfind(kept, 0), 0u) << c.name;
    EXPECT_EQ(kept.empty(), c.accountsCut) << c.name;
    const bool fullAccount = c.acct.empty() || (HasLine(hd, "@PJL SET USERNAME=\"" + c.acct + "\"") &&
                                                HasLine(hd, "@PJL SET ACCTPASS=\"" + c.pwd + "\""));
    EXPECT_EQ(fullAccount, !c.accountsCut) << c.name;
    EXPECT_EQ(LinesWith(Slurp(err_).substr(before), "WARNING: The job header has no room").size(),
              c.accountsCut ? 1u : 0u)
        << c.name;
  }
}

// The stream's length for the rule leaves out the escape in front of a
// JCL prefix, as it always has.
TEST_F(PjlText, TrailerKeepsTheStreamOffWholeBlocksOf512Bytes) {
  for (bool cancel : {false, true}) {
    const std::size_t plain = Trailer(1, cancel).size();
    for (std::size_t before : {std::size_t{1000}, 1536 - plain - 1, 1536 - plain, 1536 - plain + 1}) {
      for (std::size_t escape : {0, 1}) {
        const std::string sent = Sent([&](PrinterPort& port) {
          if (escape) port.WriteJclEscape();
          port.Write(std::string(before, 'x').data(), before);
          PJL_WriteCloseJobCmd(port, cancel);
        });
        EXPECT_EQ(sent.substr(escape + before), Trailer(before, cancel)) << cancel << " " << before;
        EXPECT_NE((sent.size() - escape) % 512, 0u);
      }
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

TEST_F(FramedJob, TimeoutAndDensityOutsideThePpdChoicesAreBroughtIntoThem) {
  // Choices of the PPD's own: time-outs 60 and 120 s, density steps 3 to 6.
  const std::string narrow = MakePpd(root_.Path("/narrow.ppd"));
  WriteFile(narrow, ReadFile(narrow) +
                        "*OpenUI *JobTimeout/Job Time-out: PickOne\n*DefaultJobTimeout: 60\n"
                        "*JobTimeout 60/1 minute: \"<</cupsInteger6 60>>setpagedevice\"\n"
                        "*JobTimeout 120/2 minutes: \"<</cupsInteger6 120>>setpagedevice\"\n"
                        "*CloseUI: *JobTimeout\n*OpenUI *Density/Print Density: PickOne\n*DefaultDensity: 3\n"
                        "*Density 3/3: \"<</cupsInteger11 2>>setpagedevice\"\n"
                        "*Density 6/6: \"<</cupsInteger11 5>>setpagedevice\"\n*CloseUI: *Density\n");
  // Without such options (the sample PPD) those of the driver's PPDs hold:
  // 0 (the printer's 300 s) to 600 s, density 0 to 9 (sent one higher).
  const struct {
    std::string ppd;
    const char *timeout, *density, *timeoutLine, *densityLine;
  } cases[] = {
      {ppd_, "6=-1", "11=2147483647", "@PJL SET TIMEOUT=300", "@PJL SET DENSITY=10"},
      {ppd_, "6=2147483647", "11=-1", "@PJL SET TIMEOUT=600", "@PJL SET DENSITY=1"},
      {narrow, "6=2147483647", "11=-1", "@PJL SET TIMEOUT=120", "@PJL SET DENSITY=3"},
      {narrow, "6=-1", "11=2147483647", "@PJL SET TIMEOUT=60", "@PJL SET DENSITY=6"},
      {narrow, "6=120", "11=4", "@PJL SET TIMEOUT=120", "@PJL SET DENSITY=5"},
  };
  for (const auto& c : cases) {
    const PrinterStream s = ReadStream(RunJob(c.ppd, Raster({"--int", c.timeout, "--int", c.density})).out);
    EXPECT_TRUE(s.HasPjl(c.timeoutLine)) << c.ppd << " " << c.timeout;
    EXPECT_TRUE(s.HasPjl(c.densityLine)) << c.ppd << " " << c.density;
  }
}
