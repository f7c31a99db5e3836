// The status-library simulator in a private root, for the tests of the
// status library, the status thread and the accounting dialog.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace testing_support {

// A private root with the simulator's call log and scenario; the Toolfd
// directory of the test PPD is dir()/tool, Toolfd2 dir()/tool2.
struct Sim {
  PrivateRoot root;
  std::string tool = root.Path("/tool"), tool2 = root.Path("/tool2"), log = root.Path("/calls.log");

  explicit Sim(const std::string& scenario, const std::vector<std::string>& libDirs = {"/tool"}) {
    for (const std::string& d : libDirs) Place(d);
    WriteFile(root.Path("/scenario"), "log " + log + "\n" + scenario);
    setenv("SMSIM_SCENARIO", root.Path("/scenario").c_str(), 1);
  }
  ~Sim() { unsetenv("SMSIM_SCENARIO"); }
  void Place(const std::string& dir) const {
    std::filesystem::create_directories(root.Path(dir));
    std::filesystem::create_symlink(SMSIM_LIB, root.Path(dir + "/prnctl.so"));
  }
  JobResult Run(const std::string& queue = "office", const std::string& raster = "",
                const std::string& driverFeature = "0") const {
    std::string ras = raster.empty() ? root.Path("/empty.ras") : raster;
    if (raster.empty()) WriteFile(ras, "");
    std::string ppd = MakePpd(root.Path("/t.ppd"),
                              {{"Toolfd", tool}, {"Toolfd2", tool2}, {"DriverFeature", driverFeature}});
    return RunJob(ppd, ras, "", queue);
  }
  std::vector<std::string> Calls() const { return LinesWith(ReadFile(log), ""); }
};

}  // namespace testing_support
