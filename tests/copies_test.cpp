// Whole jobs through the output thread: page order, collated copies made
// from the spool file, duplex sheet order, and a printer stream that dies.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

extern "C" {
#include <jbig.h>
}

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

struct PageBlock {
  std::string header;  // the 32-byte page header
  std::string data;    // compsize bytes of page data
};

// The page blocks of a job, in stream order.
std::vector<PageBlock> PageBlocks(const std::string& out) {
  std::vector<PageBlock> blocks;
  const std::string start(
      "\x1b"
      "EGDI\0",
      6);
  std::size_t at = out.find("@PJL ENTER LANGUAGE=KRGDI\r\n");
  if (at == std::string::npos) return blocks;
  at = out.find(start, at);
  while (at != std::string::npos && out.compare(at, 6, start) == 0 && at + 34 <= out.size()) {
    const DWORD len = LE32At(out, at + 2 + 16);
    blocks.push_back({out.substr(at + 2, 32), out.substr(at + 34, len)});
    at += 34 + len;
  }
  return blocks;
}

// Decodes a page sent without its 20-byte image header: the header is
// rebuilt from the page header's size and the coding parameters the job
// header announces (one stripe, order 0, options 8).
std::string DecodeHeaderless(const PageBlock& b) {
  const DWORD w = LE32At(b.header, 4), h = LE32At(b.header, 8);
  std::string bie(20, '\0');
  bie[2] = 1;
  for (int i = 0; i < 4; ++i) {
    bie[4 + i] = static_cast<char>(w >> (24 - 8 * i));
    bie[8 + i] = static_cast<char>(h >> (24 - 8 * i));
    bie[12 + i] = static_cast<char>(h >> (24 - 8 * i));
  }
  bie[19] = 8;
  bie += b.data;
  jbg_dec_state d;
  jbg_dec_init(&d);
  std::string img;
  if (jbg_dec_in(&d, reinterpret_cast<unsigned char*>(bie.data()), bie.size(), nullptr) == JBG_EOK)
    img.assign(reinterpret_cast<const char*>(jbg_dec_getimage(&d, 0)), jbg_dec_getsize(&d));
  jbg_dec_free(&d);
  return img;
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

TEST(PageData, CodedRawAndReplayedRawPagesAllCarryTheSameBitmap) {
  PrivateRoot root;
  std::string ras = MakeRaster(root.Path("/t.ras"), {"--res", "100", "--content", "text"});
  std::string ras2 = MakeRaster(root.Path("/t2.ras"), {"--res", "100", "--content", "text", "--copies", "2"});
  std::string coded = MakePpd(root.Path("/coded.ppd"));
  std::string raw = MakePpd(root.Path("/raw.ppd"), {{"DriverFeature", "1"}});

  // A raw-data printer gets the bitmap itself: the reference.
  std::vector<PageBlock> direct = PageBlocks(RunJob(raw, ras).out);
  ASSERT_EQ(direct.size(), 1u);
  const std::string bitmap = direct[0].data;
  EXPECT_EQ(static_cast<unsigned char>(direct[0].header[31]), 0);  // uncompressed
  EXPECT_EQ(bitmap.size(), LE32At(direct[0].header, 12));          // datasize
  EXPECT_NE(bitmap.find_first_not_of('\0'), std::string::npos);

  // Spooled for two collated copies, the page is stored coded and both
  // copies are decoded on the way out, with compsize rewritten.
  std::vector<PageBlock> replay = PageBlocks(RunJob(raw, ras2, "Collate=True").out);
  ASSERT_EQ(replay.size(), 2u);
  for (const PageBlock& b : replay) {
    EXPECT_EQ(LE32At(b.header, 16), bitmap.size());
    EXPECT_TRUE(b.data == bitmap);
  }

  // A JBIG printer gets the coded page, which decodes to the same bitmap.
  std::vector<PageBlock> jbig = PageBlocks(RunJob(coded, ras).out);
  ASSERT_EQ(jbig.size(), 1u);
  EXPECT_EQ(static_cast<unsigned char>(jbig[0].header[31]), 1);
  EXPECT_LT(jbig[0].data.size(), bitmap.size());
  EXPECT_TRUE(DecodeHeaderless(jbig[0]) == bitmap);
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
