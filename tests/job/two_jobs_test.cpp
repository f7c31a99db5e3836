// Jobs are objects: two whole jobs run at once in one process give the same
// printer streams as when each runs alone, and a cancel that reaches a job
// after it started is never lost.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

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

TEST(TwoJobs, ASigtermWhileTheJobWaitsForInputCancelsIt) {
  PrivateRoot root;
  const std::string raster = ReadFile(MakeRaster(root.Path("/c.ras"), {"--pages", "2", "--content", "text"}));
  int in[2];
  ASSERT_EQ(pipe(in), 0);
  signal(SIGPIPE, SIG_IGN);  // the cancelled job stops reading
  const std::string fdPath = "/dev/fd/" + std::to_string(in[0]);
  JobResult r;
  std::thread job([&] { r = RunJobArgs({"qc", "103", "carol", "c", "1", "", fdPath}, kPpd); });
  // The job has its handler once it waits for raster data; the signal
  // arrives before any page.
  usleep(300 * 1000);
  kill(getpid(), SIGTERM);
  std::thread writer([&] {
    [[maybe_unused]] ssize_t n = write(in[1], raster.data(), raster.size());
    close(in[1]);
  });
  job.join();
  close(in[0]);  // ends a write the stopped job no longer reads
  writer.join();
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Messages(r.err, "PAGE:").empty()) << r.err;
  EXPECT_NE(r.out.find("@PJL HOST_CANCEL"), std::string::npos);
}

}  // namespace
