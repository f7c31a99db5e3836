// The status library: where it is found, which printer it selects, the calls
// a job makes into it and in which order, against the simulator prnctl.so.
#include <dlfcn.h>

#include "status_monitor.h"
#include "status_sim.h"
#include "test_support.h"

using namespace testing_support;

namespace {

std::vector<std::string> Opens(const std::string& err) {
  std::vector<std::string> lines;
  for (const std::string& l : LinesWith(err, "/prnctl.so ")) lines.push_back(l.substr(l.find("Open ")));
  return lines;
}

}  // namespace

TEST(StatusLibrary, SearchPathsAreTriedInOrderAndTheFirstLibraryFoundIsLoaded) {
  struct Case {
    std::vector<std::string> placed;
    int opened;  // index in the search order; -1 none
  } cases[] = {
      {{}, -1},
      {{"/tool2"}, 5},
      {{"/tool", "/tool2"}, 4},
      {{"/usr/lib64", "/tool"}, 1},
      {{"/usr/bin", "/opt/StatusMonitor"}, 0},
      {{"/opt/StatusMonitor", "/tool"}, 2},
      {{"BRELVO", "/tool"}, 3},
  };
  for (const Case& c : cases) {
    Sim sim("printer office socket://10.0.0.9 0\n", {});
    const std::string brelvo = "/opt/Brelvo/" + sim.tool;
    for (const std::string& d : c.placed) sim.Place(d == "BRELVO" ? brelvo : d);
    const std::string order[] = {sim.root.Path("/usr/bin"),
                                 sim.root.Path("/usr/lib64"),
                                 sim.root.Path("/opt/StatusMonitor"),
                                 sim.root.Path(brelvo),
                                 sim.tool,
                                 sim.tool2};
    std::vector<std::string> want;
    for (int i = 0; i < 6 && (i <= c.opened || c.opened < 0); ++i)
      want.push_back("Open " + order[i] + "/prnctl.so " + (i == c.opened ? "succ." : "fail!"));
    const JobResult r = sim.Run();
    EXPECT_EQ(Opens(r.err), want) << c.opened;
    EXPECT_EQ(sim.Calls().empty(), c.opened < 0);
  }
}

TEST(StatusLibrary, AJobCallsTheEntriesInOrderAndUnloadsTheLibraryAtItsEnd) {
  Sim sim(
      "printer other socket://10.0.0.1 0\nprinter office socket://10.0.0.9 0\ncapability 11 2\npsm_running "
      "1\n");
  const JobResult r = sim.Run();
  // The status thread's polls interleave; the job's own calls keep order.
  std::vector<std::string> calls;
  for (const std::string& c : sim.Calls())
    if (c.rfind("ReadWriteMemory 0 0 ", 0) != 0) calls.push_back(c);
  EXPECT_LT(calls.size(), sim.Calls().size());
  EXPECT_EQ(calls, (std::vector<std::string>{
                       "GetPrinterList_s 70",
                       "WeakupNetPrinter socket://10.0.0.9",
                       "IsPSMRunning",
                       "ReadWriteMemory 1 1 office 42 0",
                       "SendPrinterControl office 13 1026",
                       "WeakupNetPrinter socket://10.0.0.9",
                   }));
  EXPECT_EQ(ReadFile(sim.root.Path("/tmp/office.dat")).substr(0, 2), std::string("\x11\x02"));
  const std::string lib = sim.tool + "/prnctl.so";
  void* still = dlopen(lib.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  EXPECT_EQ(still, nullptr);
  if (still) dlclose(still);
}

TEST(StatusLibrary, PrinterSelectionByQueueName) {
  const std::string longPort(140, 'p');  // fills the field without a terminator
  struct Case {
    const char* name;
    std::string printers;
    const char* select;
    std::vector<std::string> wakeups;  // ports woken at start and at the end
    bool record;                       // job record written for the queue
  } cases[] = {
      // clang-format off
      {"match", "printer a socket://a 0\nprinter office socket://o 0\n", "SelectPrnter = 1", {"WeakupNetPrinter socket://o", "WeakupNetPrinter socket://o"}, true},
      {"last match wins", "printer office socket://1 0\nprinter office socket://2 0\n", "SelectPrnter = 1", {"WeakupNetPrinter socket://2", "WeakupNetPrinter socket://2"}, true},
      {"no match", "printer a socket://a 0\n", "SelectPrnter = -1", {"WeakupNetPrinter ", "WeakupNetPrinter "}, false},
      {"usb port", "printer office usb://Maker/Model 0\n", "SelectPrnter = 0", {}, true},
      {"unterminated port", "printer office " + longPort + " 0\n", "SelectPrnter = 0", {"WeakupNetPrinter " + longPort.substr(0, 127), "WeakupNetPrinter " + longPort.substr(0, 127)}, true},
      // clang-format on
  };
  for (const Case& c : cases) {
    Sim sim(c.printers);
    const JobResult r = sim.Run();
    const std::string last = LinesWith(r.err, "SelectPrnter = ").back();
    EXPECT_EQ(last.substr(last.find("SelectPrnter")), c.select) << c.name;
    EXPECT_EQ(LinesWith(ReadFile(sim.log), "WeakupNetPrinter"), c.wakeups) << c.name;
    EXPECT_EQ(std::filesystem::exists(sim.tool + "/office_LOG.csv"), c.record) << c.name;
    // Without a selected printer the query names the all-zero record.
    EXPECT_EQ(LinesWith(ReadFile(sim.log), "SendPrinterControl").front(),
              c.record ? "SendPrinterControl office 13 1026" : "SendPrinterControl  13 1026")
        << c.name;
  }
}

TEST(StatusLibrary, CapabilityIsAskedThreeTimesBeforeTheFileIsRead) {
  struct Case {
    const char *scenario, *driverFeature;
    std::size_t queries;
    std::vector<std::string> lines;  // in the trace, in order
  } cases[] = {
      // clang-format off
      {"capability_failures 0\n", "0", 1, {"Feature = 81, 0", "write Feature = 81, 0"}},
      {"capability_failures 2\n", "0", 3, {"fail to get capability, try = 0", "fail to get capability, try = 1", "write Feature = 81, 0"}},
      {"capability_failures always\n", "0", 3, {"fail to get capability, try = 0", "fail to get capability, try = 2", "rc = -1", "read Feature = 5, 0"}},
      // clang-format on
      // "Disable status monitor": no query, no announcement, the shared file.
      {"capability_failures 0\n", "256", 0, {"rc = -1", "read Feature = 7, 0"}},
  };
  for (const Case& c : cases) {
    Sim sim(std::string("printer office socket://o 0\ncapability 81 0\n") + c.scenario);
    WriteFile(sim.root.Path("/tmp/office.dat"), std::string("\x05\x00", 2));
    WriteFile(sim.root.Path("/tmp/PRN.dat"), std::string("\x07\x00", 2));
    const JobResult r = sim.Run("office", "", c.driverFeature);
    EXPECT_EQ(LinesWith(ReadFile(sim.log), "SendPrinterControl").size(), c.queries) << c.scenario;
    EXPECT_EQ(LinesWith(ReadFile(sim.log), "ReadWriteMemory").size(), c.queries ? 1u : 0u) << c.scenario;
    std::size_t at = 0;
    for (const std::string& line : c.lines) {
      at = r.err.find(line, at);
      EXPECT_NE(at, std::string::npos) << c.scenario << line;
    }
  }
}

TEST(StatusLibrary, DisableReportsOnlyACancelledJobToTheMonitor) {
  for (bool cancelled : {false, true}) {
    Sim sim("printer q usb:// 0\n");
    StatusLibrary lib;
    PrinterAttribute list[kPrinterListSize] = {};
    int n = 0, select = -1;
    LoadStatusMonitor(lib, list, &n, &select, "q", sim.tool.c_str(), "");
    ASSERT_NE(lib.fnReadWriteMemory, nullptr);
    StatusMonitorDisable(lib, "q", 7, cancelled);
    const std::vector<std::string> want = {"ReadWriteMemory 1 1 q 7 1", "ReadWriteMemory 1 2 q 7 1"};
    EXPECT_EQ(LinesWith(ReadFile(sim.log), "ReadWriteMemory"), cancelled ? want : std::vector<std::string>{});
  }
}
