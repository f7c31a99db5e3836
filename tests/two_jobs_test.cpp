// Jobs are objects: two whole jobs run at once in one process give the same
// printer streams as when each runs alone, and a cancel that reaches a job
// after it started is never lost.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "job_events.h"
#include "test_support.h"

namespace {

using namespace testing_support;

// The job header's clock, date, time and host lines differ from run to run.
std::string MaskVolatileLines(std::string s) {
  static const std::regex kVolatile(R"(JOB NAME="\d+"|@PJL COMMENT (\d{4}/\d\d/\d\d|\d\d:\d\d:\d\d:00)\r\n)");
  const std::size_t header = s.find("@PJL ENTER LANGUAGE");
  std::string head = std::regex_replace(s.substr(0, header), kVolatile, "#");
  char host[65] = {};
  gethostname(host, sizeof host - 1);
  if (std::size_t at = head.find(std::string("@PJL COMMENT ") + host + "\r\n"); at != std::string::npos)
    head.replace(at, std::strlen(host) + 15, "#");
  return head + s.substr(header == std::string::npos ? s.size() : header);
}

// The lines for the scheduler that start with prefix (trace lines may quote them).
std::vector<std::string> Lines(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  for (const std::string& l : LinesWith(text, prefix))
    if (l.rfind(prefix, 0) == 0) lines.push_back(l);
  return lines;
}

struct Job {
  std::vector<std::string> args;
  std::string ppd;
};

TEST(TwoJobs, RunAtOnceGiveTheStreamsTheyGiveAlone) {
  PrivateRoot root;
  const std::string ppd = std::string(TEST_DATA_DIR) + "/sample.ppd";
  // A duplex job with collated copies through its spool file, and a plain
  // job of another content, so both share nothing but the process.
  const Job jobs[2] = {
      {{"qa", "101", "alice", "a", "1", "Collate=True",
        MakeRaster(root.Path("/a.ras"), {"--pages", "3", "--content", "text,ramp", "--duplex", "1",
                                         "--copies", "2", "--collate", "1"})},
       ppd},
      {{"qb", "102", "bob", "b", "1", "",
        MakeRaster(root.Path("/b.ras"), {"--pages", "2", "--content", "ramp,text", "--res", "300"})},
       ppd},
  };

  JobResult alone[2], together[2];
  for (int i = 0; i < 2; ++i) alone[i] = RunJobArgs(jobs[i].args, jobs[i].ppd);
  std::thread second([&] { together[1] = RunJobArgs(jobs[1].args, jobs[1].ppd); });
  together[0] = RunJobArgs(jobs[0].args, jobs[0].ppd);
  second.join();

  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE("job " + std::to_string(i));
    ASSERT_GT(alone[i].out.size(), 1000u);
    EXPECT_EQ(MaskVolatileLines(together[i].out), MaskVolatileLines(alone[i].out));
    EXPECT_EQ(Lines(together[i].err, "PAGE:"), Lines(alone[i].err, "PAGE:"));
    EXPECT_TRUE(Lines(together[i].err, "ERROR:").empty()) << together[i].err;
  }
  EXPECT_EQ(Lines(alone[0].err, "PAGE:").size(), 6u);  // three pages, twice
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
  std::thread job([&] {
    r = RunJobArgs({"qc", "103", "carol", "c", "1", "", fdPath}, std::string(TEST_DATA_DIR) + "/sample.ppd");
  });
  // The job has its handler once it waits for raster data; the signal
  // arrives before any page.
  usleep(300 * 1000);
  kill(getpid(), SIGTERM);
  std::thread writer([&] {
    ssize_t n = write(in[1], raster.data(), raster.size());
    (void)n;
    close(in[1]);
  });
  job.join();
  close(in[0]);  // ends a write the stopped job no longer reads
  writer.join();
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Lines(r.err, "PAGE:").empty()) << r.err;
  EXPECT_NE(r.out.find("@PJL HOST_CANCEL"), std::string::npos);
}

}  // namespace
