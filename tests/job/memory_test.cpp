// Peak memory of whole jobs of A4 pages at 600 dpi through the real filter
// program: pages screened as they are read never have their 8-bit page
// (34 MiB in gray, 134 MiB as four colour planes) in a slot, so a job in
// flight holds a few 1-bit pages (4.2 MiB each) and its coded data.
#include <string>
#include <vector>

#include "test_support.h"

using namespace testing_support;

// A sanitizer's shadow memory dwarfs the figures and its pace makes these
// jobs minutes long: peaks are judged in plain builds only (the streamed
// pages themselves are checked under the sanitizers by the pipeline tests).
constexpr bool kPeakMeaningful = !kUnderSanitizer;

TEST(JobMemory, ManyPageJobsStayFarBelowOneEightBitPageASlot) {
  if (!kPeakMeaningful) GTEST_SKIP() << "peak memory is not the program's own under a sanitizer";
  struct Case {
    const char* name;
    std::vector<std::string> raster;  // test-page writer arguments (a margin: not zero-edge, not cropped)
    long limitMiB;  // today's peak about half of it; the 8-bit pages of the ring would be 170 or 600
  } cases[] = {
      {"eight gray pages", {"--pages", "8", "--bbox", "12,12,583,830", "--content", "text,photo"}, 64},
      {"six four-colour pages",
       {"--pages", "6", "--bbox", "12,12,583,830", "--colorspace", "cmyk", "--int", "4=3", "--content",
        "photo"},
       128},
  };
  for (const Case& c : cases) {
    PrivateRoot root;
    ChildOptions opt{{{"PPD", MakePpd(root.Path("/t.ppd"))}}, MakeRaster(root.Path("/in.ras"), c.raster)};
    Child child = StartFilter({"q", "7", "alice", "title", "1", ""}, opt);
    JobResult r = FinishFilter(child);
    EXPECT_EQ(r.status, 0) << c.name << r.err;
    EXPECT_GT(r.maxRssKb, 0) << c.name;
    EXPECT_LT(r.maxRssKb, c.limitMiB * 1024) << c.name << ": peak " << r.maxRssKb / 1024 << " MiB";
  }
}
