// Trace log (file or "DEBUG:" lines for the scheduler) and the number parser of the options.
#include "trace.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <functional>
#include <thread>

#include "shims.h"
#include "test_slot.h"
#include "test_support.h"

using namespace testing_support;

// The trace capture comes first: the private root made after it holds the
// trace directory.
TEST(Trace, WithoutTraceDirectoryLinesGoToTheSchedulerAsDebugLines) {
  TraceCapture err(42);
  DbgMessage("SendOnePage", "using buffer index %d!", 0);
  EXPECT_EQ(err.Text(), "DEBUG: [---filter---][--SendOnePage--] using buffer index 0!\n");
}

TEST(Trace, TraceDirectoryGetsTimestampedLinesWithTheThreadsJobAndNothingGoesToTheScheduler) {
  TraceCapture err(42);
  PrivateRoot root;
  root.EnableTraceFile();
  DbgMessage("SendOnePage", "using buffer index %d!", 0);
  // A thread of another job traces under that job's number.
  std::thread([] {
    TraceTarget other{7, stderr};
    TraceScope scope(&other);
    DbgMessage("JbigThread", "flag = %d", 2);
  }).join();
  EXPECT_EQ(err.Text(), "");
  const std::string log = root.TraceLog();
  const std::string tail = "] [Job 42] [---filter---][--SendOnePage--] using buffer index 0!\n";
  const std::string line = log.substr(0, log.find('\n') + 1);
  ASSERT_EQ(line.size(), std::string("[2026/12/05 23:41:30").size() + tail.size()) << line;
  EXPECT_EQ(std::string({line[0], line[5], line[8], line[11], line[14], line[17]}), "[// ::") << line;
  EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
  EXPECT_NE(log.find("] [Job 7] [---filter---][--JbigThread--] flag = 2\n"), std::string::npos) << log;
}

TEST(Trace, UncreatableTraceFileDropsLinesAndOverlongLinesAreCut) {
  TraceCapture err;
  PrivateRoot root;
  root.EnableTraceFile();
  const std::string huge(10000, 'x');
  DbgMessage("f", "%s", huge.c_str());
  const std::string log = root.TraceLog();
  EXPECT_EQ(log.size(), kTraceLineMax - 1);
  EXPECT_EQ(log.back(), '\n');

  std::filesystem::remove(root.Path("/tmp/cups/printer.log"));
  std::filesystem::create_directory(root.Path("/tmp/cups/printer.log"));
  DbgMessage("f", "dropped");
  EXPECT_EQ(err.Text(), "");
  std::filesystem::remove_all(root.Path("/tmp/cups"));
  DbgMessage("f", "%s", huge.c_str());
  const std::string e = err.Text();
  EXPECT_EQ(e.rfind("DEBUG: ", 0), 0u);
  EXPECT_LT(e.size(), kTraceLineMax + 16);
}

// Anyone can create files in /tmp: what another user planted as the trace
// directory or file is passed over, said once, and never blocks the job.
TEST(Trace, PlantedTraceDirectoriesAndFilesAreNotUsed) {
  namespace fs = std::filesystem;
  const std::string fileNote = "not used: ", other = "/elsewhere";
  struct Case {
    const char* what;
    std::function<void(const PrivateRoot&)> plant;
    const char* why;
    bool toScheduler;  // the lines go on as DEBUG lines, else they are dropped
  } cases[] = {
      // clang-format off
      {"FIFO", [](const PrivateRoot& r) { mkfifo(r.Path("/tmp/cups/printer.log").c_str(), 0600); }, "not a regular file", false},
      {"hard link", [](const PrivateRoot& r) { WriteFile(r.Path("/victim"), "keep"); link(r.Path("/victim").c_str(), r.Path("/tmp/cups/printer.log").c_str()); }, "a hard link", false},
      {"directory link", [&](const PrivateRoot& r) {
         fs::create_directory(r.Path(other));
         fs::remove(r.Path("/tmp/cups"));
         fs::create_directory_symlink(r.Path(other), r.Path("/tmp/cups")); }, "a symbolic link", true},
      {"world-writable directory", [](const PrivateRoot& r) { chmod(r.Path("/tmp/cups").c_str(), 0777); }, "writable by other users", true},
      {"group-writable directory", [](const PrivateRoot& r) { chmod(r.Path("/tmp/cups").c_str(), 0770); }, "writable by its group", true},
      {"group-writable file", [](const PrivateRoot& r) { WriteFile(r.Path("/tmp/cups/printer.log"), ""); chmod(r.Path("/tmp/cups/printer.log").c_str(), 0620); }, "writable by its group", false},
      // clang-format on
  };
  for (const Case& c : cases) {
    TraceCapture err(3);
    PrivateRoot root;
    root.EnableTraceFile();
    c.plant(root);
    DbgMessage("f", "first");
    DbgMessage("f", "second");
    const std::string e = err.Text();
    EXPECT_EQ(LinesWith(e, fileNote + c.why).size(), 1u) << c.what << e;
    EXPECT_EQ(LinesWith(e, "DEBUG: [---filter---][--f--] second").size(), c.toScheduler ? 1u : 0u) << c.what;
    EXPECT_FALSE(fs::exists(root.Path(other + "/printer.log"))) << c.what;
    EXPECT_TRUE(!fs::exists(root.Path("/victim")) || ReadFile(root.Path("/victim")) == "keep") << c.what;
  }
}

TEST(Shims, Str2IntTakesTheLeadingDigitRunOnly) {
  const std::pair<const char*, int> cases[] = {
      {"4", 4}, {"16abc", 16}, {"-2", 0}, {" 2", 0}, {"x9", 0}, {"", 0}, {"99999999999999999999", INT_MAX}};
  for (auto [text, value] : cases) EXPECT_EQ(str2Int(text), value) << text;
}
