// The status thread against the simulator: poll by poll on a scenario
// clock, its stop, and whole jobs held by an error and cancelled from the
// printer; and the accounting dialog.
#include "status_thread.h"

#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "accounting.h"
#include "feature_bits.h"
#include "status_sim.h"
#include "test_support.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

// The simulator loaded as a job loads it, the job's events on a captured
// stream, and the status thread's view of the queue "office".
struct Loaded {
  Sim sim;
  StatusLibrary lib;
  FILE* err = std::tmpfile();
  JobEvents events{err};
  TraceScope trace{&events.trace};
  StatusThreadInfo info;

  Loaded(const std::string& scenario, DWORD driverFeature = 0, int psm = 0,
         const std::string& port = "socket://o", const char* queue = "office")
      : sim("printer office " + port + " 0\n" + scenario) {
    PrinterAttribute list[kPrinterListSize] = {};
    int n = 0, select = -1;
    LoadStatusMonitor(lib, list, &n, &select, queue, sim.tool.c_str(), "");
    if (select >= 0) info.WorkPrinter = list[select];
    info.IsPSMExist = psm;
    info.DriverFeature = driverFeature;
  }
  ~Loaded() { std::fclose(err); }
  std::size_t CallsWith(const std::string& prefix) const {
    std::size_t n = 0;
    for (const std::string& c : sim.Calls()) n += c.rfind(prefix, 0) == 0;
    return n;
  }
};

// The scheduler's lines of the polls as one string: "+" and "-" for the
// STATE lines, "i" for the printer's error codes, "E" for an ERROR line,
// "=N" for a toner level, "|" at the end of each poll.
std::string PollLines(const std::string& err) {
  std::string s;
  for (const std::string& l : LinesWith(err, "")) {
    if (l == "STATE: +other-error") s += "+";
    if (l == "STATE: -other-error") s += "-";
    if (l.rfind("INFO: The printer reports error ", 0) == 0) s += "i";
    if (l.rfind("ERROR: ", 0) == 0) s += "E";
    if (l.rfind("ATTR: marker-levels=", 0) == 0) s += "=" + l.substr(20);
    if (l.find("statustick = ") != std::string::npos) s += "|";
  }
  return s;
}

TEST(StatusThread, EachPollReportsHoldsAndCancelsAsThePrinterSays) {
  constexpr DWORD kSupervised = DF_ABORT_ON_ERROR;
  struct Case {
    const char* name;
    std::string scenario;
    DWORD driverFeature = 0;
    int psm = 0;            // the status monitor program runs
    std::vector<DWORD> at;  // scenario clock of each poll, ms after the thread's start
    std::string lines;      // PollLines
    std::vector<int> hold;  // errorSuspend after each poll made
    int ends = -1;          // poll that ends the thread; -1 none
    bool cancelled = false;
    std::string port = "socket://o";
    const char* queue = "office";
  } cases[] = {
      // clang-format off
      {.name = "500001 alone is no error", .scenario = "errors 500001\n", .driverFeature = kSupervised,
       .at = {0}, .lines = "-|", .hold = {0}},
      {.name = "error then clear, no monitor", .scenario = "errors_at_poll 1 500001 12\nerrors_at_poll 3\n",
       .driverFeature = kSupervised, .at = {0, 10000, 20000, 30000}, .lines = "i+||-|-|",
       .hold = {1, 1, 0, 0}},
      {.name = "monitor running: held, no STATE", .scenario = "errors_at_poll 1 12\nerrors_at_poll 3\n",
       .driverFeature = kSupervised, .psm = 1, .at = {0, 500, 1000}, .lines = "|||", .hold = {1, 1, 0}},
      {.name = "supervision off", .scenario = "errors 12\n", .at = {0, 70000}, .lines = "||", .hold = {0, 0}},
      {.name = "error beyond the time-out cancels", .scenario = "errors 12\n", .driverFeature = kSupervised,
       .at = {0, 60000, 60001}, .lines = "i+|||-E", .hold = {1, 1, 1}, .ends = 2, .cancelled = true},
      {.name = "an error-free poll restarts the time-out",
       .scenario = "errors_at_poll 1 12\nerrors_at_poll 2\nerrors_at_poll 3 12\n",
       .driverFeature = kSupervised, .at = {0, 30000, 80000}, .lines = "i+|-|i+|", .hold = {1, 0, 1}},
      {.name = "cancel button", .scenario = "cancel_at_poll 2\n", .psm = 1, .at = {0, 500}, .lines = "|E",
       .hold = {0, 0}, .ends = 1, .cancelled = true},
      {.name = "toner of a usb printer", .scenario = "toner 42\n", .at = {0}, .lines = "=42|", .hold = {0},
       .port = "usb://M/N"},
      {.name = "no toner level measured on the network", .scenario = "toner 40\n", .psm = 1, .at = {0, 500},
       .lines = "||", .hold = {0, 0}},
      {.name = "no status source", .scenario = "", .driverFeature = DF_DISABLE_STATUS_MONITOR, .at = {0},
       .lines = "", .hold = {0}, .ends = 0},
      {.name = "no port", .scenario = "", .psm = 1, .at = {0}, .lines = "", .hold = {0}, .ends = 0,
       .queue = "other"},
      // clang-format on
  };
  for (const Case& c : cases) {
    Loaded l(c.scenario, c.driverFeature, c.psm, c.port, c.queue);
    StatusPoller poller(l.lib, l.info, l.events, 0);
    std::vector<int> hold;
    int ended = -1;
    for (std::size_t i = 0; i < c.at.size() && ended < 0; ++i) {
      if (!poller.Poll(c.at[i])) ended = static_cast<int>(i);
      hold.push_back(l.events.errorSuspend.load());
    }
    EXPECT_EQ(PollLines(Slurp(l.err)), c.lines) << c.name;
    EXPECT_EQ(hold, c.hold) << c.name;
    EXPECT_EQ(ended, c.ends) << c.name;
    EXPECT_EQ(l.events.Cancelled(), c.cancelled) << c.name;
  }
}

TEST(StatusThread, StopEndsATenSecondPauseAtOnceAndReleasesTheHold) {
  Loaded l("errors 12\n", DF_ABORT_ON_ERROR);
  StatusThread thread(l.events);
  ASSERT_TRUE(thread.Start(l.lib, l.info));
  for (int i = 0; i < 200 && l.CallsWith("QueryPrinterStatus") == 0; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(l.events.errorSuspend.load(), 1);
  const auto t0 = std::chrono::steady_clock::now();
  thread.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1000ms);
  EXPECT_EQ(l.CallsWith("QueryPrinterStatus"), 1u);
  EXPECT_EQ(l.events.errorSuspend.load(), 0);
  const std::string err = Slurp(l.err);
  // The error it reported does not outlive the job on the queue.
  EXPECT_EQ(Messages(err, "STATE:"),
            (std::vector<std::string>{"STATE: +other-error", "STATE: -other-error"}));
  EXPECT_EQ(Messages(err, "INFO:"), std::vector<std::string>{"INFO: The printer reports error 12"});
}

TEST(StatusThread, TonerLevelsAreClampedToIppAndReportedOnlyWhenTheyChange) {
  Loaded l("", 0, 1, "usb://M/N");
  StatusPoller poller(l.lib, l.info, l.events, 0);
  DWORD at = 0;
  // The simulator reads its scenario on every call: one level per poll.
  for (const char* toner : {"250", "250", "99", "99", "-5", "-5", "-1", "0"}) {
    WriteFile(l.sim.root.Path("/scenario"),
              "log " + l.sim.log + "\nprinter office usb://M/N 0\ntoner " + toner + "\n");
    EXPECT_TRUE(poller.Poll(at += 500)) << toner;
  }
  EXPECT_EQ(PollLines(Slurp(l.err)), "=100||=99||=-3||=-1|=0|");
}

TEST(StatusThread, ManyErrorCodesAreNamedInOneShortLine) {
  std::string codes;
  for (int c = 1; c <= 20; ++c) codes += " " + std::to_string(c);
  Loaded l("errors" + codes + "\n", DF_ABORT_ON_ERROR);
  StatusPoller poller(l.lib, l.info, l.events, 0);
  EXPECT_TRUE(poller.Poll(0));
  EXPECT_EQ(
      Messages(Slurp(l.err), "INFO:"),
      std::vector<std::string>{"INFO: The printer reports error 1, 2, 3, 4, 5, 6, 7, 8, ... (20 codes)"});
}

TEST(StatusThread, AReportIsReadWithinItsFieldsWhateverItsCountsSay) {
  const std::string longPort = "usb://" + std::string(300, 'p');
  struct Case {
    const char* name;
    std::string scenario;
    int psm, hold;
    std::string port, lines;
    std::size_t codes;  // "code = " trace lines
  } cases[] = {
      {"count beyond the array", "errors 12\nerr_num 100000\n", 0, 1, "socket://o", "i+|", 512},
      {"negative count", "errors 12\nerr_num -7\n", 0, 0, "socket://o", "-|", 0},
      {"unterminated port from the monitor", "toner 7\n", 1, 0, longPort, "=7|", 0},
  };
  for (const Case& c : cases) {
    Loaded l(c.scenario, DF_ABORT_ON_ERROR, c.psm, c.port);
    StatusPoller poller(l.lib, l.info, l.events, 0);
    EXPECT_TRUE(poller.Poll(0)) << c.name;
    const std::string err = Slurp(l.err);
    EXPECT_EQ(PollLines(err), c.lines) << c.name;
    EXPECT_EQ(l.events.errorSuspend.load(), c.hold) << c.name;
    EXPECT_EQ(LinesWith(err, "code = ").size(), c.codes) << c.name;
    // The port reaches the trace cut to its field, less the terminator.
    EXPECT_EQ(LinesWith(err, "port usb://" + std::string(249, 'p') + ".").size(), c.psm ? 1u : 0u) << c.name;
  }
}

TEST(StatusThread, TheCancelButtonEndsAMultiPageJobWithTheCancelTrailer) {
  // The record names the first serial of each kind the capability query
  // gave, cut to its 32 characters, and none of a kind whose count is 0.
  Sim sim(
      "printer office socket://o 0\npsm_running 1\ncancel_at_poll 2\nserials drum 1 DRUM-1\n"
      "serials toner 9 " +
      std::string(45, 'T') + " TONER-B\nserials developer 0 DEV-X\n");
  const std::string one =
      ReadFile(MakeRaster(sim.root.Path("/1.ras"), {"--content", "text", "--res", "150"}));
  const std::string three =
      ReadFile(MakeRaster(sim.root.Path("/3.ras"), {"--pages", "3", "--content", "text", "--res", "150"}));
  int in[2];
  ASSERT_EQ(pipe(in), 0);
  signal(SIGPIPE, SIG_IGN);  // the cancelled job stops reading
  // The first page, then the rest once the monitor has reported the cancel.
  std::thread writer([&] {
    [[maybe_unused]] ssize_t n = write(in[1], three.data(), one.size());
    for (int i = 0; i < 500 && LinesWith(ReadFile(sim.log), "ReadWriteMemory 0 0").size() < 2; ++i)
      std::this_thread::sleep_for(10ms);
    n = write(in[1], three.data() + one.size(), three.size() - one.size());
    close(in[1]);
  });
  const JobResult r = sim.Run("office", "/dev/fd/" + std::to_string(in[0]));
  close(in[0]);  // ends a write the stopped job no longer reads
  writer.join();
  EXPECT_EQ(r.status, 0);
  EXPECT_LT(Messages(r.err, "PAGE:").size(), 3u);
  // Success for the scheduler, but not without saying why pages are missing.
  EXPECT_EQ(Messages(r.err, "ERROR:"),
            std::vector<std::string>{"ERROR: The job was cancelled at the printer"});
  EXPECT_NE(r.out.find("@PJL HOST_CANCEL"), std::string::npos);
  EXPECT_NE(ReadFile(sim.tool + "/office_LOG.csv")
                .find(",Canceled,2244120584,DRUM-1," + std::string(32, 'T') + ",,\n"),
            std::string::npos);
}

TEST(AccountingDialog, EndsOnTheAnswerItsTypeAsksFor) {
  struct Case {
    int type;
    const char *scenario, *id, *pwd;
    std::size_t reads;
    const char* dialogType;  // the type the monitor is told to show
  } cases[] = {
      {1, "accounting 0 alice\n", "alice", "", 1, "1"},
      {1, "accounting 2 alice s3cret\n", "alice", "", 3, "1"},
      {2, "accounting 1 alice s3cret\n", "alice", "s3cret", 2, "2"},
      {3, "accounting 0 alice s3cret\n", "alice", "", 1, "1"},
  };
  for (const Case& c : cases) {
    Loaded l(c.scenario);
    l.events.trace.jobId = 42;
    char id[128] = {}, pwd[128] = {};
    AccountingDlg(l.lib, l.events, "office", c.type, id, pwd, sizeof id, 5ms);
    EXPECT_STREQ(id, c.id) << c.scenario;
    EXPECT_STREQ(pwd, c.pwd) << c.scenario;
    EXPECT_EQ(l.CallsWith("ReadWriteMemoryEx 0 0 office"), c.reads) << c.scenario;
    // The monitor learns the job and the dialog's type before the first read.
    const std::string size = " " + std::to_string(sizeof(SMMemDataEx)) + " ";
    const std::string told = size + std::to_string(l.events.trace.jobId) + " " + c.dialogType;
    EXPECT_EQ(l.CallsWith("ReadWriteMemoryEx 1 " + std::to_string(Write_JobID) + " office" + told), 1u);
    EXPECT_EQ(l.CallsWith("ReadWriteMemoryEx 1 " + std::to_string(Write_AccDiaType) + " office" + told), 1u);
    const std::string err = Slurp(l.err);
    EXPECT_EQ(err.find("s3cret"), std::string::npos) << c.scenario;
  }
}

TEST(AccountingDialog, APasswordDialogWaitsForBothUntilTheJobIsCancelled) {
  Loaded l("accounting 0 alice\n");
  char id[128] = {}, pwd[128] = {};
  std::thread cancel([&] {
    std::this_thread::sleep_for(100ms);
    l.events.Cancel();
  });
  const auto t0 = std::chrono::steady_clock::now();
  AccountingDlg(l.lib, l.events, "office", 2, id, pwd, sizeof id);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1000ms);  // not the 3000 ms poll
  cancel.join();
  EXPECT_STREQ(id, "");
  EXPECT_EQ(l.CallsWith("ReadWriteMemoryEx 0 0"), 1u);
}

TEST(AccountingDialog, TheAnswerReachesTheJobHeaderAndThePasswordNotTheTrace) {
  Sim sim("printer office socket://o 0\naccounting 0 alice s3cret\n");
  const JobResult r = sim.Run("office", MakeRaster(sim.root.Path("/p.ras"), {"--int", "12=2"}));
  EXPECT_NE(r.out.find("@PJL SET USERNAME=\"alice\"\r\n@PJL SET ACCTPASS=\"s3cret\""), std::string::npos);
  EXPECT_EQ(r.err.find("s3cret"), std::string::npos);
  EXPECT_EQ(LinesWith(r.err, "AccountPwd (received)!").size(), 1u);
}

}  // namespace
