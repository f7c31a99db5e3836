// Progress lines for the scheduler: one "INFO:" line per raster page read and
// one "PAGE: n copies" line per page block the printer gets, in the order
// the blocks leave, filler pages left out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

using namespace testing_support;

// The "PAGE:" lines of a job's messages, in order, without their newline.
std::vector<std::string> PageLines(const std::string& err) {
  std::vector<std::string> lines;
  for (const std::string& l : LinesWith(err, "PAGE: ")) {
    std::string t = l;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    if (t.rfind("PAGE: ", 0) == 0) lines.push_back(t);
  }
  return lines;
}

// Page blocks in a printer stream: each starts with ESC "EGDI" NUL.
int CountBlocks(const std::string& out) {
  const std::string start(
      "\x1b"
      "EGDI\0",
      6);
  int n = 0;
  for (std::size_t at = out.find(start); at != std::string::npos; at = out.find(start, at + 1)) ++n;
  return n;
}

class PageReportTest : public ::testing::Test {
 protected:
  void SetUp() override { ppd_ = MakePpd(root_.Path("/p.ppd")); }
  std::string Raster(const std::string& name, std::vector<std::string> args) {
    args.insert(args.begin(), {"--res", "100", "--content", "black,ramp,text"});
    return MakeRaster(root_.Path("/" + name), args);
  }
  PrivateRoot root_;
  std::string ppd_;
};

TEST_F(PageReportTest, SimplexReportsEachPageOnceInOrderWithOneInfoLinePerPage) {
  JobResult r = RunJob(ppd_, Raster("s.ras", {"--pages", "3"}));
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(PageLines(r.err), (std::vector<std::string>{"PAGE: 1 1", "PAGE: 2 1", "PAGE: 3 1"}));
  EXPECT_EQ(CountBlocks(r.out), 3);
  std::vector<std::string> info = LinesWith(r.err, "INFO: Processing page ");
  ASSERT_EQ(info.size(), 3u);
  EXPECT_NE(info[0].find("INFO: Processing page 1"), std::string::npos);
  EXPECT_NE(info[2].find("INFO: Processing page 3"), std::string::npos);
}

TEST_F(PageReportTest, DuplexReportsPagesInSheetOrderAndLeavesTheFillerOut) {
  // Sheet order: 2, 1, then the filler, then 3 (back side first).
  JobResult r = RunJob(ppd_, Raster("d.ras", {"--pages", "3", "--duplex", "1"}));
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(CountBlocks(r.out), 4);
  EXPECT_EQ(PageLines(r.err), (std::vector<std::string>{"PAGE: 2 1", "PAGE: 1 1", "PAGE: 3 1"}));
}

TEST_F(PageReportTest, CollatedCopiesMadeByTheFilterReportEachPageSentWithOneCopy) {
  JobResult r = RunJob(ppd_, Raster("c.ras", {"--pages", "2", "--copies", "3"}), "Collate=True");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(CountBlocks(r.out), 6);
  std::vector<std::string> expect;
  for (int copy = 0; copy < 3; ++copy) expect.insert(expect.end(), {"PAGE: 1 1", "PAGE: 2 1"});
  EXPECT_EQ(PageLines(r.err), expect);
}

TEST_F(PageReportTest, CollatedDuplexCopiesRepeatTheSheetOrderWithoutFillers) {
  JobResult r =
      RunJob(ppd_, Raster("cd.ras", {"--pages", "3", "--copies", "2", "--duplex", "1"}), "Collate=True");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(CountBlocks(r.out), 8);
  std::vector<std::string> expect;
  for (int copy = 0; copy < 2; ++copy) expect.insert(expect.end(), {"PAGE: 2 1", "PAGE: 1 1", "PAGE: 3 1"});
  EXPECT_EQ(PageLines(r.err), expect);
}

TEST_F(PageReportTest, UncollatedCopiesMadeByThePrinterAreReportedOncePerPage) {
  JobResult r = RunJob(ppd_, Raster("u.ras", {"--pages", "2", "--copies", "4"}));
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(CountBlocks(r.out), 2);
  EXPECT_EQ(PageLines(r.err), (std::vector<std::string>{"PAGE: 1 4", "PAGE: 2 4"}));
}

TEST_F(PageReportTest, UncollatedDuplexCopiesAreReportedOncePerPageWithTheCopyCount) {
  JobResult r = RunJob(ppd_, Raster("ud.ras", {"--pages", "2", "--copies", "2", "--duplex", "1"}));
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(PageLines(r.err), (std::vector<std::string>{"PAGE: 2 2", "PAGE: 1 2"}));
}

}  // namespace
