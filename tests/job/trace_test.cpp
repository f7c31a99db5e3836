// Trace log (file or "DEBUG:" lines for the scheduler) and the number parser of the options.
#include "trace.h"

#include <climits>
#include <thread>

#include "test_slot.h"
#include "shims.h"
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

TEST(Shims, Str2IntTakesTheLeadingDigitRunOnly) {
  const std::pair<const char*, int> cases[] = {
      {"4", 4}, {"16abc", 16}, {"-2", 0}, {" 2", 0}, {"x9", 0}, {"", 0}, {"99999999999999999999", INT_MAX}};
  for (auto [text, value] : cases) EXPECT_EQ(str2Int(text), value) << text;
}
