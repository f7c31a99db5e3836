// Whole jobs through the output thread: page order, collated copies made
// from the spool file, duplex sheet order, and a printer stream that dies.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"
#include "wintypes.h"

namespace {

using namespace testing_support;

DWORD LE32At(const std::string& s, std::size_t at) {
  const auto* b = reinterpret_cast<const unsigned char*>(s.data() + at);
  return static_cast<DWORD>(b[0]) | static_cast<DWORD>(b[1]) << 8 | static_cast<DWORD>(b[2]) << 16 |
         static_cast<DWORD>(b[3]) << 24;
}

// The black-dot counts of the page blocks between the job header and the
// trailer, in stream order. The count identifies a page by its content.
std::vector<DWORD> PageDots(const std::string& out) {
  std::vector<DWORD> dots;
  std::size_t at = out.find("@PJL ENTER LANGUAGE=KRGDI\r\n");
  if (at == std::string::npos) return dots;
  at = out.find(std::string("\x1b"
                            "EGDI\0",
                            6),
                at);
  while (at != std::string::npos &&
         out.compare(at, 6,
                     std::string("\x1b"
                                 "EGDI\0",
                                 6)) == 0 &&
         at + 34 <= out.size()) {
    dots.push_back(LE32At(out, at + 2 + 20));
    at += 34 + LE32At(out, at + 2 + 16);
  }
  return dots;
}

std::string CopiesLine(const std::string& out) {
  std::size_t at = out.find("@PJL SET COPIES=");
  return at == std::string::npos ? "" : out.substr(at, out.find('\r', at) - at);
}

class CopiesTest : public ::testing::Test {
 protected:
  // The dot count of each content on its own, from one-page jobs; worked
  // out once for the suite.
  static void SetUpTestSuite() {
    PrivateRoot root;
    std::string ppd = MakePpd(root.Path("/p.ppd"));
    for (const char* content : {"black", "ramp", "text"}) {
      std::string ras =
          MakeRaster(root.Path(std::string("/") + content + ".ras"), {"--res", "100", "--content", content});
      std::vector<DWORD> d = PageDots(RunJob(ppd, ras).out);
      dots_.push_back(d.size() == 1 ? d[0] : 0);
    }
  }
  void SetUp() override {
    ppd_ = MakePpd(root_.Path("/p.ppd"));
    ASSERT_EQ(dots_.size(), 3u);
    ASSERT_GT(dots_[0], 0u);
    ASSERT_GT(dots_[1], 0u);
    ASSERT_GT(dots_[2], 0u);
    ASSERT_NE(dots_[0], dots_[1]);
    ASSERT_NE(dots_[1], dots_[2]);
    ASSERT_NE(dots_[0], dots_[2]);
  }
  PrivateRoot root_;
  std::string ppd_;
  static std::vector<DWORD> dots_;  // black, ramp, text
};
std::vector<DWORD> CopiesTest::dots_;

TEST_F(CopiesTest, ThreeCollatedCopiesOfATwoPageJobAreReplayedInOrder) {
  std::string ras = MakeRaster(root_.Path("/c.ras"),
                               {"--res", "100", "--pages", "2", "--copies", "3", "--content", "black,ramp"});
  JobResult r = RunJob(ppd_, ras, "Collate=True");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(CopiesLine(r.out), "@PJL SET COPIES=1");
  const DWORD b = dots_[0], m = dots_[1];
  EXPECT_EQ(PageDots(r.out), (std::vector<DWORD>{b, m, b, m, b, m}));
  EXPECT_TRUE(LinesWith(r.err, "ERROR:").empty());
}

TEST_F(CopiesTest, ThreeCollatedCopiesOfAThreePageDuplexJobGoInSheetOrderWithAFiller) {
  std::string ras = MakeRaster(root_.Path("/d.ras"), {"--res", "100", "--pages", "3", "--copies", "3",
                                                      "--duplex", "1", "--content", "black,ramp,text"});
  JobResult r = RunJob(ppd_, ras, "Collate=True");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(CopiesLine(r.out), "@PJL SET COPIES=1");
  const DWORD p1 = dots_[0], p2 = dots_[1], p3 = dots_[2], filler = 0;
  const std::vector<DWORD> sheetOrder = {p2, p1, filler, p3};
  std::vector<DWORD> expect;
  for (int copy = 0; copy < 3; ++copy) expect.insert(expect.end(), sheetOrder.begin(), sheetOrder.end());
  EXPECT_EQ(PageDots(r.out), expect);
}

TEST_F(CopiesTest, UncollatedCopiesAreLeftToThePrinter) {
  std::string ras = MakeRaster(root_.Path("/u.ras"),
                               {"--res", "100", "--pages", "2", "--copies", "3", "--content", "black,ramp"});
  JobResult r = RunJob(ppd_, ras);
  EXPECT_EQ(CopiesLine(r.out), "@PJL SET COPIES=3");
  EXPECT_EQ(PageDots(r.out), (std::vector<DWORD>{dots_[0], dots_[1]}));
}

bool DirIsEmpty(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return true;
  bool empty = true;
  while (dirent* e = readdir(d))
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") empty = false;
  closedir(d);
  return empty;
}

TEST(PrinterStream, AClosedPipeStopsTheJobAndRemovesTheSpoolFile) {
  PrivateRoot root;
  std::string ppd = MakePpd(root.Path("/p.ppd"));
  std::string ras = MakeRaster(root.Path("/long.ras"),
                               {"--res", "100", "--pages", "12", "--copies", "2", "--content", "black,ramp"});
  std::string tmp = root.Path("/spool");
  ASSERT_EQ(std::system(("mkdir -p " + tmp).c_str()), 0);
  std::string errFile = root.Path("/err.txt");
  // The reader takes 100 bytes and goes away; the filter must survive the
  // broken pipe, say so, stop early and clean up.
  std::string cmd = "bash -c 'RASTERTOPWG2_ROOT=" + root.dir() + " TMPDIR=" + tmp + " PPD=" + ppd + " " +
                    RASTERTOPWG2_BIN + " 7 alice title 2 Collate=True " + ras + " 2>" + errFile +
                    " | head -c 100 >/dev/null; exit ${PIPESTATUS[0]}'";
  int rc = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(rc));
  EXPECT_EQ(WEXITSTATUS(rc), 0);
  std::string err = ReadFile(errFile);
  EXPECT_FALSE(LinesWith(err, "ERROR: Unable to write to the printer stream").empty());
  EXPECT_LT(LinesWith(err, "CUPSpages = ").size(), 12u);
  EXPECT_TRUE(DirIsEmpty(tmp));
}

}  // namespace
