// The application as installed beside a CUPS scheduler: the driver picked
// for a printer's device ID, and jobs that ask the host's scheduler
// nothing about queues that are the application's printers.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "app_server.h"
#include "filter_job.h"

namespace {

using namespace app_test;

// A scheduler's local socket that counts the connections it gets and
// closes each at once, so that a client asking it fails without waiting.
class SchedulerTrap {
 public:
  explicit SchedulerTrap(const std::string& path)
      : path_(path), fd_(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    unlink(path.c_str());
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << path;
    EXPECT_EQ(listen(fd_, 16), 0);
    thread_ = std::thread([this] {
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        if (const int c = accept(fd_, nullptr, nullptr); c >= 0) {
          ++connections_;
          close(c);
        }
      }
    });
  }
  ~SchedulerTrap() {
    stop_ = true;
    thread_.join();
    close(fd_);
    unlink(path_.c_str());
  }
  int Connections() const { return connections_; }

 private:
  std::string path_;
  int fd_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

// The server and every engine run of this program take the trap for the
// host's scheduler.
class PkgApp : public AppServer {
 protected:
  static void SetUpTestSuite() {
    const std::string path = "/tmp/rastertopwg2-pkgapp-" + std::to_string(getpid()) + ".sock";
    trap_ = std::make_unique<SchedulerTrap>(path);
    setenv("CUPS_SERVER", path.c_str(), 1);
    AppServer::SetUpTestSuite();
  }
  static void TearDownTestSuite() {
    AppServer::TearDownTestSuite();
    trap_.reset();
  }
  static std::unique_ptr<SchedulerTrap> trap_;
};
std::unique_ptr<SchedulerTrap> PkgApp::trap_;

// A device ID names the driver whose PPD has its manufacturer and model,
// under either key and in any case, whatever else it holds; a near miss
// names none.
TEST_F(PkgApp, AutoAddPicksTheDriverOfTheDeviceId) {
  const struct {
    const char* deviceId;
    const char* driver;  // "" none
  } cases[] = {
      {"MFG:Generic;MDL:GDI Mono LED;", "gdimled"},
      {"mfg:GENERIC;mdl:gdi color;CMD:PJL;", "gdicolor"},
      {"CLS:PRINTER;CMD:PJL,PCL;MODEL:GDI Black and Red;DES:office;MANUFACTURER:Generic;", "gdibkred"},
      {"MFG:Generic;MDL:GDI Mono;", ""},
      {"MFG:Other;MDL:GDI Mono A3;", ""},
      {"MDL:GDI Mono Laser;", ""},
  };
  for (const auto& c : cases) {
    const Output o = App(std::string("drivers -o \"device-id='") + c.deviceId + "'\"");
    EXPECT_EQ(o.status, 0) << o.text;
    const std::string got = o.text.substr(0, o.text.find(' '));
    EXPECT_EQ(got, c.driver) << c.deviceId << ":\n" << o.text;
  }
}

// The engine asks the scheduler about the job and its queue unless told
// that none runs it; the application tells it so.
TEST_F(PkgApp, OnlyTheCupsFilterAsksTheScheduler) {
  // The engine's questions come before the first page: an empty job asks them.
  const std::string empty = gDir + "/empty.ras";
  std::fclose(std::fopen(empty.c_str(), "w"));
  for (const bool noScheduler : {false, true}) {
    const int before = trap_->Connections();
    char* argv[] = {const_cast<char*>("pkgq"),       const_cast<char*>("1"), const_cast<char*>("user"),
                    const_cast<char*>("title"),      const_cast<char*>("1"), const_cast<char*>(""),
                    const_cast<char*>(empty.c_str())};
    const std::string ppd = std::string(GENERATED_PPD_DIR) + "/gdimled.ppd";
    FILE* out = std::fopen("/dev/null", "w");
    FILE* err = std::tmpfile();
    int status = -1;
    JobRun run{7, argv, ppd.c_str(), out, err, {}, noScheduler};
    // A new thread: libcups keeps the scheduler's address per thread.
    std::thread([&] { status = RunFilterJobWith(run); }).join();
    std::fclose(out);
    std::fclose(err);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(trap_->Connections() > before, !noScheduler) << "noScheduler " << noScheduler;
  }

  // The application's job, whose first page also asks for the queue's location.
  const std::string raster = gDir + "/a4.pwg";
  WritePwg(raster, "iso_a4_210x297mm", "sgray_8", 1, {600, 600, 300, 300, 0, 0, 0});
  const std::string device = AddPrinter("pkg", "gdimled");
  const int before = trap_->Connections();
  EXPECT_EQ(PrintAndWait("pkg", raster, ""), "completed");
  EXPECT_EQ(LastStream(device).pages.size(), 1u);
  EXPECT_EQ(trap_->Connections(), before);
}

}  // namespace
