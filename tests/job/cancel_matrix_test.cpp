// SIGTERM at every stage of a job: each case waits for its stage's trace
// line in the real program, then signals it. Every cancelled job must end
// soon with the cancel trailer after whole page blocks only, leave nothing
// in its temporary directory and record the job as cancelled. The cases
// run side by side, each its own process, as the filter sleeps a while
// after a cancel. Then the backend's side: one that stalls or stops for
// good when the signal comes, a printer stream on a file-size limit, and
// the waits on other programs (the accounting dialog, the authorization
// tool) that a job must not wait out for ever.
#include <poll.h>
#include <signal.h>

#include <atomic>
#include <memory>
#include <random>
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
  int signo = SIGTERM;
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
      {"SIGINT while the output thread writes", {"--pages", "4", "--res", "300", "--content", "photo"}, "", "0", "",
       -1, "page data outsize", SIGINT},
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
      Signal(child.pid, s.signo);
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

// How a backend reads the printer stream around the signal: not at all for
// a while before and after it, or never again from it on. Either way the
// filter's write is blocked on a full pipe when the signal comes.
enum class Backend { Stalls, Gone };

// The sanitizer builds run the filter several times slower.
constexpr int kSlowdown = kUnderSanitizer ? 5 : 1;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Reads up to `limit` bytes (to the end when 0) from fd into out.
void ReadStreamFrom(int fd, std::string& out, std::size_t limit) {
  char buf[65536];
  while (limit == 0 || out.size() < limit) {
    const ssize_t n = read(fd, buf, limit ? std::min(sizeof buf, limit - out.size()) : sizeof buf);
    if (n <= 0) return;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

// The job's messages without its trace lines, for failure reports.
std::string Said(const std::string& err) {
  std::string said;
  for (const std::string& line : LinesWith(err, ""))
    if (line.rfind("DEBUG:", 0) != 0) said += line + "\n";
  return said;
}

// The printer stream a backend read from a job cancelled by a signal:
// whole page blocks, then the cancel trailer. After a backend that stopped
// reading for good the job may have given up on it inside a block or the
// trailer: then what was read ends in a part of one of them.
void ExpectWholeBlocksThenCancelTrailer(const std::string& out, bool mayEndInside) {
  const PrinterStream stream = ReadStream(out);
  const std::string trailer = Trailer(out.size() - stream.trailer.size(), true);
  const std::string after = ::testing::PrintToString(stream.trailer.substr(0, 40));
  if (!mayEndInside) {
    EXPECT_TRUE(stream.trailer == trailer) << "after " << stream.pages.size() << " whole blocks: " << after;
    return;
  }
  const std::string block = kEscE + std::string("GDI\0", 4);
  const bool partOfTrailer = trailer.compare(0, stream.trailer.size(), stream.trailer) == 0;
  const bool partOfBlock = stream.trailer.compare(0, block.size(), block) == 0 ||
                           block.compare(0, stream.trailer.size(), stream.trailer) == 0;
  EXPECT_TRUE(partOfTrailer || partOfBlock) << "after " << stream.pages.size() << " whole blocks: " << after;
}

TEST(CancelMatrix, ASignalWhileTheBackendStallsNeverCutsAPageBlock) {
  auto photo = [](std::vector<std::string> more) {
    more.insert(more.begin(), {"--res", "150", "--content", "photo"});
    return more;
  };
  const struct Job {
    const char* name;
    std::vector<std::string> pages;  // test-page writer options
    std::string options{};
  } jobs[] = {{"unspooled", photo({"--pages", "3"})},
              {"collated copies", photo({"--pages", "2", "--copies", "4"}), "Collate=True"}};
  constexpr std::size_t kPipe = 65536;
  signal(SIGPIPE, SIG_IGN);

  // Every case is set up before the first child starts. Each job is run
  // once to its end first: its length bounds where the signal may fall (far
  // enough from the end that the job cannot have finished writing).
  struct Trial {
    const Job* job;
    Backend backend;
    std::size_t at;  // stream bytes read before the signal
    std::unique_ptr<PrivateRoot> root;
    ChildOptions opt;
  };
  std::vector<Trial> trials;
  std::vector<std::unique_ptr<PrivateRoot>> inputs;  // each job's PPD and raster
  std::mt19937 rng(19);
  for (const Job& job : jobs) {
    const auto& root = inputs.emplace_back(std::make_unique<PrivateRoot>());
    ChildOptions opt{{{"PPD", MakePpd(root->Path("/t.ppd"))}}, MakeRaster(root->Path("/in.ras"), job.pages)};
    opt.outPipeSize = kPipe;
    const JobResult r = RunFilter({"q", "42", "alice", "title", "1", job.options}, opt, 60 * kSlowdown);
    ASSERT_EQ(r.status, 0) << job.name << Said(r.err);
    ASSERT_GT(r.out.size(), 4 * kPipe) << job.name;
    std::uniform_int_distribution<std::size_t> at(1, r.out.size() - 3 * kPipe);
    // Two signal points for a stalling backend, one for a gone one; only
    // the first two in the slow builds.
    const Backend backends[] = {Backend::Stalls, Backend::Gone, Backend::Stalls};
    for (std::size_t k = 0; k < (kSlowdown > 1 ? 2u : std::size(backends)); ++k) {
      trials.push_back({&job, backends[k], at(rng), std::make_unique<PrivateRoot>(), opt});
      trials.back().opt.env["RASTERTOPWG2_ROOT"] = trials.back().root->dir();
      trials.back().opt.env["TMPDIR"] = trials.back().root->Path("/tmp");
    }
  }

  std::vector<std::thread> runs;
  for (Trial& t : trials) {
    runs.emplace_back([&t] {
      const Backend backend = t.backend;
      SCOPED_TRACE(std::string(t.job->name) + (backend == Backend::Stalls ? ", stalling" : ", gone") +
                   " backend, signal after " + std::to_string(t.at) + " bytes");
      Child child = StartFilter({"q", "42", "alice", "title", "1", t.job->options}, t.opt);
      const int out = std::exchange(child.out, -1);
      const pid_t pid = child.pid;  // FinishFilter clears child
      std::string stream;
      Clock::time_point signalled;
      std::thread reader([&] {
        ReadStreamFrom(out, stream, t.at);
        // A stream that ended early: the job is over, there is no one to signal.
        if (stream.size() < t.at) return;
        // A backend that stops lets the filter fill the pipe and block.
        std::this_thread::sleep_for(300ms);
        signalled = Clock::now();
        Signal(pid, SIGTERM);
        if (backend == Backend::Gone) return;
        std::this_thread::sleep_for(1500ms);
        ReadStreamFrom(out, stream, 0);
      });
      const JobResult r = FinishFilter(child, 60 * kSlowdown);
      const Clock::time_point ended = Clock::now();
      reader.join();
      if (stream.size() < t.at) {
        ADD_FAILURE() << "the job ended before the signal: " << Said(r.err);
        close(out);
        return;
      }
      const auto took = ended - signalled;
      ReadStreamFrom(out, stream, 0);  // what a gone backend left in the pipe
      close(out);

      EXPECT_EQ(r.status, 0) << Said(r.err);
      EXPECT_TRUE(Messages(r.err, "ERROR:").empty()) << Said(r.err);
      EXPECT_LT(took, 20s * kSlowdown);
      ExpectWholeBlocksThenCancelTrailer(stream, backend == Backend::Gone);
      EXPECT_EQ(ReadStream(stream).pages.size(), Messages(r.err, "PAGE:").size());
      if (backend == Backend::Gone) {
        EXPECT_EQ(LinesWith(r.err, "no trailer can be written").size(), 1u);
      }
    });
  }
  for (std::thread& t : runs) t.join();
}

// A file-size limit on the printer stream or the spool file, with SIGXFSZ
// left to its default action: the filter must turn it into a failed write.
TEST(CancelMatrix, AFileSizeLimitIsAWriteErrorNotTheEndOfTheProcess) {
  struct Case {
    const char* name;
    std::string options;
    bool toFile;  // the printer stream goes to a file under the limit
    const char* error;
  } cases[] = {
      {"printer stream", "", true, "Unable to write to the printer stream (File too large)"},
      {"spool file", "Collate=True", false, "Unable to write the spool file (File too large)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PrivateRoot root;
    ChildOptions opt{{{"PPD", MakePpd(root.Path("/t.ppd"))}},
                     MakeRaster(root.Path("/in.ras"),
                                {"--pages", "2", "--res", "150", "--content", "photo", "--copies", "3"})};
    opt.fileLimit = 20000;
    opt.fileLimitSignals = true;
    if (c.toFile) opt.output = root.Path("/out.prn");
    const JobResult r = RunFilter({"q", "7", "alice", "title", "1", c.options}, opt);

    EXPECT_EQ(r.status, 1) << Said(r.err);
    const std::vector<std::string> errors = Messages(r.err, "ERROR:");
    ASSERT_FALSE(errors.empty()) << Said(r.err);
    EXPECT_NE(errors[0].find(c.error), std::string::npos) << errors[0];
    const PrinterStream stream = ReadStream(r.out);
    EXPECT_TRUE(stream.pages.empty());
    EXPECT_TRUE(Messages(r.err, "PAGE:").empty());
    // A printer stream cut by the limit gets nothing after the cut.
    if (c.toFile) {
      EXPECT_EQ(stream.trailer.find("@PJL"), std::string::npos);
    }
    EXPECT_LE(r.out.size(), static_cast<std::size_t>(opt.fileLimit));
  }
}

// With no status-monitor program or no printer selected, the dialog may
// never be answered: the job waits a bounded time (shortened here through
// the environment), says that it waits, and then fails unprinted.
TEST(CancelMatrix, AnAccountingDialogNobodyAnswersEndsTheJobUnprinted) {
  struct Case {
    const char* name;
    std::string printer;  // the simulator's printer list
  } cases[] = {
      {"no monitor program", "printer office socket://o 0\n"},
      {"no printer selected", "printer other socket://o 0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sim sim(c.printer + "psm_running 0\n");
    ChildOptions opt{{{"PPD", MakePpd(sim.root.Path("/t.ppd"), {{"Toolfd", sim.tool}})},
                      {"RASTERTOPWG2_ACCOUNT_WAIT", "2"}},
                     MakeRaster(sim.root.Path("/in.ras"), {"--res", "150", "--int", "12=2"})};
    const Clock::time_point t0 = Clock::now();
    const JobResult r = RunFilter({"office", "42", "alice", "title", "1", ""}, opt, 30);
    const auto took = Clock::now() - t0;

    EXPECT_EQ(r.status, 1) << Said(r.err);
    EXPECT_EQ(Messages(r.err, "INFO: Waiting for the account").size(), 1u) << Said(r.err);
    const std::vector<std::string> errors = Messages(r.err, "ERROR:");
    ASSERT_EQ(errors.size(), 1u) << Said(r.err);
    EXPECT_NE(errors[0].find("No account was given"), std::string::npos) << errors[0];
    const PrinterStream stream = ReadStream(r.out);
    EXPECT_TRUE(stream.pjl.empty());
    EXPECT_TRUE(stream.pages.empty());
    // The dialog was asked for and polled although no program shows it.
    std::size_t reads = 0;
    for (const std::string& call : sim.Calls()) reads += call.rfind("ReadWriteMemoryEx 0 0", 0) == 0;
    EXPECT_GE(reads, 1u);
    EXPECT_GE(took, 2s);
    EXPECT_LT(took, 15s);
  }
}

// A cancel while the authorization tool runs ends the tool and the job at
// once; a tool that ignores SIGTERM is killed after a grace period.
TEST(CancelMatrix, ACancelEndsASlowAuthorizationTool) {
  struct Case {
    const char* name;
    const char* trap;  // shell line before the tool's long sleep
  } cases[] = {{"tool ends on SIGTERM", ""}, {"tool ignores SIGTERM", "trap '' TERM\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PrivateRoot root;
    std::filesystem::create_directories(root.Path("/opt/Pravo"));
    const std::string tool = root.Path("/opt/Pravo/ATM"), pidFile = root.Path("/tool.pid");
    WriteFile(tool, std::string("#!/bin/sh\n") + c.trap + "echo $$ > '" + pidFile + ".new'\nmv '" + pidFile +
                        ".new' '" + pidFile + "'\nexec sleep 30\n");
    chmod(tool.c_str(), 0755);
    ChildOptions opt{{{"PPD", MakePpd(root.Path("/t.ppd"), {{"DriverFeature", "16"}})}},
                     MakeRaster(root.Path("/in.ras"), {"--res", "150"})};
    Child child = StartFilter({"q", "42", "alice", "title", "1", ""}, opt);
    ASSERT_TRUE(WaitForText(pidFile, "\n", 30));
    const int toolPid = std::stoi(ReadFile(pidFile));
    const Clock::time_point t0 = Clock::now();
    Signal(child.pid, SIGTERM);
    const JobResult r = FinishFilter(child, 60);
    const auto took = Clock::now() - t0;

    EXPECT_EQ(r.status, 0) << Said(r.err);
    EXPECT_TRUE(Messages(r.err, "ERROR:").empty()) << Said(r.err);
    EXPECT_LT(took, 15s);  // the grace period and the pause after a cancel, not the tool's 30 s
    ExpectWholeBlocksThenCancelTrailer(r.out, false);
    // The tool is gone (or a zombie left to init), not sleeping on.
    const std::string stat = ReadFile("/proc/" + std::to_string(toolPid) + "/stat");
    const std::size_t state = stat.rfind(')');
    if (state != std::string::npos) {
      EXPECT_TRUE(stat[state + 2] == 'Z' || stat[state + 2] == 'X') << stat;
    }
    if (toolPid > 1) kill(toolPid, SIGKILL);  // a tool left running by a failed case
  }
}

}  // namespace
