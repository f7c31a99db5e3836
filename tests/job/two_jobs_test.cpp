// Jobs are objects: two whole jobs run at once in one process give the same
// printer streams as when each runs alone, and a cancel that reaches a job
// after it started is never lost.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "job_events.h"
#include "test_support.h"

namespace {

using namespace testing_support;

const std::string kPpd = std::string(TEST_DATA_DIR) + "/sample.ppd";

TEST(TwoJobs, RunAtOnceGiveTheStreamsTheyGiveAlone) {
  PrivateRoot root;
  // A duplex job with collated copies through its spool file, and a plain
  // job of another content, so both share nothing but the process.
  const std::vector<std::string> jobs[2] = {
      {"qa", "101", "alice", "a", "1", "Collate=True",
       MakeRaster(root.Path("/a.ras"), {"--pages", "3", "--content", "text,ramp", "--duplex", "1", "--copies",
                                        "2", "--collate", "1"})},
      {"qb", "102", "bob", "b", "1", "",
       MakeRaster(root.Path("/b.ras"), {"--pages", "2", "--content", "ramp,text", "--res", "300"})},
  };
  JobResult alone[2], together[2];
  for (int i = 0; i < 2; ++i) alone[i] = RunJobArgs(jobs[i], kPpd);
  std::thread second([&] { together[1] = RunJobArgs(jobs[1], kPpd); });
  together[0] = RunJobArgs(jobs[0], kPpd);
  second.join();
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE("job " + std::to_string(i));
    ASSERT_GT(alone[i].out.size(), 1000u);
    EXPECT_EQ(MaskClock(together[i].out), MaskClock(alone[i].out));
    EXPECT_EQ(Messages(together[i].err, "PAGE:"), Messages(alone[i].err, "PAGE:"));
    EXPECT_TRUE(Messages(together[i].err, "ERROR:").empty()) << together[i].err;
  }
  EXPECT_EQ(Messages(alone[0].err, "PAGE:").size(), 6u);  // three pages, twice
}

TEST(TwoJobs, ASigtermCountsForEveryJobThatHadStartedAndNoLaterOne) {
  JobEvents running;
  NoteTermSignal();
  JobEvents later;
  EXPECT_TRUE(running.Cancelled());
  EXPECT_FALSE(later.Cancelled());
  later.Cancel();
  EXPECT_TRUE(later.Cancelled());
}

}  // namespace
