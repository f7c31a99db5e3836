// Page loop: scale ratios, page statistics, filler-page and cancel rules.
#include "page_loop.h"

#include <gtest/gtest.h>

#include "feature_bits.h"
#include "job_context.h"
#include "job_state.h"
#include "paper_table.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// Ratio of a page of w x h points as page `page` of a job whose first page
// (ginheader_bak) was bw x bh.
struct RatioCase {
  FilterJob job;
  RatioCase(unsigned w, unsigned h, DWORD page = 0, unsigned bw = 0, unsigned bh = 0) {
    for (PAPERFORMAT& row : gPaperFormat) row.enable = 1;
    job.inheader.PageSize[0] = w;
    job.inheader.PageSize[1] = h;
    job.page = page;
    ginheader_bak = cups_page_header2_t{};
    ginheader_bak.PageSize[0] = bw;
    ginheader_bak.PageSize[1] = bh;
  }
  ~RatioCase() {
    for (PAPERFORMAT& row : gPaperFormat) row.enable = 0;
  }
  int Run() {
    job.paper_type = GetPaperSizeCode(&job.inheader, 0, 0);
    job.paper_type_p1 = job.page > 0 ? GetPaperSizeCode(&ginheader_bak, 0, 0) : job.paper_type;
    ComputePageRatio(job);
    return static_cast<int>(job.inheader.cupsInteger[7]);
  }
};

}  // namespace

TEST(PageRatio, TablePageOfTheFirstPagesSizeIsUnscaled) {
  RatioCase c(595, 842);
  EXPECT_EQ(c.Run(), 100);
}

TEST(PageRatio, OversizedCustomPageFitsA4AndLowersTheMaximumForTheJob) {
  RatioCase c(700, 1000);
  EXPECT_EQ(c.Run(), 84);  // min(85, 84.2)
  EXPECT_FLOAT_EQ(c.job.MaxMediaWidth, 595);
  EXPECT_FLOAT_EQ(c.job.MaxMediaHeight, 842);
}

TEST(PageRatio, CustomPageWithinTheMaximumIsNotScaled) {
  RatioCase c(500, 800);
  c.job.MaxMediaWidth = 612;
  c.job.MaxMediaHeight = 1008;
  EXPECT_EQ(c.Run(), 100);
  EXPECT_FLOAT_EQ(c.job.MaxMediaWidth, 612);
}

TEST(PageRatio, LaterPageOfAnotherSizeIsScaledToTheFirstPage) {
  RatioCase c(612, 792, 1, 595, 842);  // Letter after A4
  EXPECT_EQ(c.Run(), 97);              // min(97.2, 106.3)

  RatioCase a3(612, 792, 1, 595, 842);
  a3.job.DriverFeature = DF_A3;  // A3 printers keep each page's own size
  EXPECT_EQ(a3.Run(), 100);
}

TEST(PageRatio, FitToPaperReplacesPageSizeAndUserScaleApplies) {
  RatioCase c(612, 792);
  c.job.inheader.cupsInteger[13] = 5;  // A4 row
  EXPECT_EQ(c.Run(), 97);
  EXPECT_EQ(c.job.inheader.PageSize[0], 595u);
  EXPECT_EQ(c.job.inheader.PageSize[1], 842u);

  RatioCase s(612, 792);
  s.job.inheader.cupsInteger[13] = 5;
  s.job.inheader.cupsInteger[7] = 50;
  EXPECT_EQ(s.Run(), 48);
}

TEST(PageRatio, FitToPaperBeyondTheTableIsIgnored) {
  RatioCase c(612, 792);
  c.job.inheader.cupsInteger[13] = 29;
  EXPECT_EQ(c.Run(), 100);
  EXPECT_EQ(c.job.inheader.PageSize[0], 612u);
  RatioCase huge(612, 792);
  huge.job.inheader.cupsInteger[13] = 0xFFFFFFFFu;
  EXPECT_EQ(huge.Run(), 100);
}

TEST(PageRatio, ZeroSizedPageFromABadHeaderGivesADefinedRatio) {
  RatioCase c(0, 0);
  int r = c.Run();
  EXPECT_GE(r, 0);
}

TEST(PageStatistics, A4IsSmallAndAnythingLargerIsBig) {
  FilterJob job;
  job.inheader.PageSize[0] = 595;
  job.inheader.PageSize[1] = 842;
  CountPageSize(job);
  job.inheader.PageSize[0] = 596;
  CountPageSize(job);
  job.inheader.PageSize[0] = 842;
  job.inheader.PageSize[1] = 1191;
  CountPageSize(job);
  EXPECT_EQ(job.SmallSizePages, 1);
  EXPECT_EQ(job.BigSizePages, 2);
}

TEST(PageLoop, JobWithoutPagesEndsCleanlyWithExit0) {
  PrivateRoot root;
  std::string ras = MakeRaster(root.Path("/empty.ras"), {"--pages", "0"});
  JobResult r = RunJob("", ras);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(LinesWith(r.err, "Start Page").empty());
  EXPECT_EQ(CountLinesEndingWith(r.err, "end read CUPS data"), 1);
  EXPECT_EQ(CountLinesEndingWith(r.err, "exit job, using") +
                static_cast<int>(LinesWith(r.err, "exit job, using").size()),
            1);
}

TEST(PageLoop, EveryPageIsReadAndFinalRatioTraced) {
  PrivateRoot root;
  std::string ras = MakeRaster(
      root.Path("/two.ras"), {"--pages", "3", "--res", "100", "--media", "595x842,612x792", "--int", "7=50"});
  JobResult r = RunJob(MakePpd(root.Path("/s.ppd")), ras);
  EXPECT_EQ(r.status, 0);
  auto ratios = LinesWith(r.err, "final ratio");
  ASSERT_EQ(ratios.size(), 3u);
  EXPECT_NE(ratios[0].find("final ratio 50!"), std::string::npos);
  EXPECT_NE(ratios[1].find("final ratio 48!"), std::string::npos);  // Letter after A4: 97 x 50%
  EXPECT_NE(ratios[2].find("final ratio 50!"), std::string::npos);
  EXPECT_EQ(CountLinesEndingWith(r.err, "CUPSpages = 3"), 1);
}

TEST(PageLoop, QualityModeSwitchesTheBorderFilterBitPerPage) {
  PrivateRoot root;
  std::string ras = MakeRaster(root.Path("/q.ras"), {"--res", "100", "--int", "10=1"});
  JobResult r = RunJob(MakePpd(root.Path("/s.ppd"), {{"DriverFeature", "16777216"}}), ras);
  EXPECT_EQ(CountLinesEndingWith(r.err, "DriverFeature 1000008"), 1);
}

TEST(PageLoop, TruncatedRasterEndsTheJobWithExit0) {
  PrivateRoot root;
  std::string ras = MakeRaster(root.Path("/t.ras"), {"--res", "100"});
  std::string data = ReadFile(ras);
  WriteFile(ras, data.substr(0, data.size() / 2));
  JobResult r = RunJob("", ras);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(LinesWith(r.err, "CUPSpages = 1").empty());
}
