// SIGTERM at every stage of a job: each case waits for its stage's trace
// line in the real program, then signals it. Every cancelled job must end
// soon with the cancel trailer after whole page blocks only, leave nothing
// in its temporary directory and record the job as cancelled. The cases
// run side by side, each its own process, as the filter sleeps a while
// after a cancel.
#include <signal.h>

#include <atomic>
#include <memory>
#include <thread>

#include "status_sim.h"
#include "test_support.h"

using namespace testing_support;

namespace {

struct Stage {
  const char* name;
  std::vector<std::string> pages;  // test-page writer options
  std::string scenario;            // simulator lines after the printer's
  std::string driverFeature, options;
  long before;        // raster bytes sent before the signal; -1: all
  const char* trace;  // the stage's trace text, seen before the signal
};

TEST(CancelMatrix, ASigtermAtAnyStageEndsTheJobCleanlyAsCancelled) {
  const std::vector<std::string> text = {"--pages", "3", "--res", "150", "--content", "text"};
  // clang-format off
  const Stage stages[] = {
      {"before the first page", text, "", "0", "", 4, "start page data"},
      {"during acquisition", text, "", "0", "", 20000, "App data"},
      {"during halftoning", {"--pages", "2", "--res", "300", "--content", "photo"}, "", "0", "", -1, "HalftoneType"},
      {"while the output thread writes", {"--pages", "6", "--res", "300", "--content", "photo"}, "", "0", "", -1,
       "page data outsize"},
      {"during spool playback", {"--pages", "2", "--res", "150", "--content", "text", "--copies", "40"}, "", "0",
       "Collate=True", -1, "Print Out Spool Data, Total Pages"},
      {"during the accounting dialog", {"--res", "150", "--int", "12=1"}, "accounting 1000000 alice\n", "0", "", -1,
       "AccDialogType"},
      {"during an error hold", text, "psm_running 1\nerrors_at_poll 1 12\n", "64", "", -1, "gErrorSuspend = 1"},
  };
  // clang-format on
  constexpr std::size_t n = std::size(stages);
  signal(SIGPIPE, SIG_IGN);  // a cancelled job stops reading its input
  // Every case is set up before the first child starts: the set-up changes
  // the environment, which the other threads read.
  std::unique_ptr<Sim> sims[n];
  std::string rasters[n];
  ChildOptions opts[n];
  for (std::size_t i = 0; i < n; ++i) {
    sims[i] = std::make_unique<Sim>("printer office socket://o 0\n" + stages[i].scenario);
    const Sim& sim = *sims[i];
    sim.root.EnableTraceFile();
    rasters[i] = ReadFile(MakeRaster(sim.root.Path("/in.ras"), stages[i].pages));
    const std::string ppd =
        MakePpd(sim.root.Path("/t.ppd"), {{"Toolfd", sim.tool}, {"DriverFeature", stages[i].driverFeature}});
    opts[i].env = {{"PPD", ppd},
                   {"RASTERTOPWG2_ROOT", sim.root.dir()},
                   {"TMPDIR", sim.root.Path("/tmp")},
                   {"SMSIM_SCENARIO", sim.root.Path("/scenario")}};
  }
  std::vector<std::thread> runs;
  for (std::size_t i = 0; i < n; ++i) {
    runs.emplace_back([&s = stages[i], &sim = *sims[i], &ras = rasters[i], &opt = opts[i]] {
      SCOPED_TRACE(s.name);
      Child child = StartFilter({"office", "42", "alice", "title", "1", s.options}, opt);
      const int in = std::exchange(child.in, -1);
      const std::size_t first = s.before < 0 ? ras.size() : static_cast<std::size_t>(s.before);
      std::atomic<bool> signalled{false};
      // The input goes in two parts around the signal; a write the stopped
      // job no longer reads fails once it has ended.
      std::thread writer([&] {
        for (std::size_t at = 0; at < ras.size();) {
          while (at == first && !signalled) std::this_thread::sleep_for(std::chrono::milliseconds(10));
          const ssize_t k = write(in, ras.data() + at, (at < first ? first : ras.size()) - at);
          if (k <= 0) break;
          at += static_cast<std::size_t>(k);
        }
        close(in);
      });
      EXPECT_TRUE(WaitForText(sim.root.Path("/tmp/cups/printer.log"), s.trace));
      kill(child.pid, SIGTERM);
      signalled = true;
      const JobResult r = FinishFilter(child, 60);
      writer.join();

      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_TRUE(Messages(r.err, "ERROR:").empty()) << r.err;
      // Whole page blocks, then nothing but the cancel trailer.
      const PrinterStream stream = ReadStream(r.out);
      EXPECT_EQ(stream.trailer, Trailer(r.out.size() - stream.trailer.size(), true));
      EXPECT_EQ(stream.pages.size(), Messages(r.err, "PAGE:").size());
      EXPECT_NE(ReadFile(sim.tool + "/office_LOG.csv").find(",Canceled,"), std::string::npos);
      // The capability file stays on purpose, the trace is the test's own.
      for (const auto& e : std::filesystem::directory_iterator(sim.root.Path("/tmp")))
        if (e.path().filename() != "office.dat" && e.path().filename() != "cups")
          ADD_FAILURE() << "left behind: " << e.path();
    });
  }
  for (std::thread& t : runs) t.join();
}

}  // namespace
