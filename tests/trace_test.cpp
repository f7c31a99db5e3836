// Trace log (file or "DEBUG:" lines for the scheduler) and the number parser of the options.
#include "trace.h"

#include <climits>

#include "page_slot.h"
#include "shims.h"
#include "test_support.h"

using namespace testing_support;

// The trace capture comes first: the private root made after it holds the
// trace directory.
TEST(Trace, WithoutTraceDirectoryLinesGoToTheSchedulerAsDebugLines) {
  TraceCapture err;
  gJobID = 42;
  DbgMessage("SendOnePage", "using buffer index %d!", 0);
  gJobID = 0;
  DbgMsg("hello %d", 7);
  EXPECT_EQ(err.Text(),
            "DEBUG: [---filter---][--SendOnePage--] using buffer index 0!\nDEBUG: hello 7 ---------->\n");
}

TEST(Trace, TraceDirectoryGetsTimestampedLinesWithTheJobAndNothingGoesToTheScheduler) {
  TraceCapture err;
  PrivateRoot root;
  root.EnableTraceFile();
  std::filesystem::create_directories(root.Path("/tmp/KorPrinter"));
  gJobID = 42;
  DbgMessage("SendOnePage", "using buffer index %d!", 0);
  gJobID = 0;
  DbgMsg("again");  // the second trace call writes to the scheduler as well
  EXPECT_EQ(err.Text(), "DEBUG: again ---------->\n");
  const std::string line = root.TraceLog();
  const std::string tail = "] [Job 42] [---filter---][--SendOnePage--] using buffer index 0!\n";
  ASSERT_EQ(line.size(), std::string("[2026/12/05 23:41:30").size() + tail.size()) << line;
  EXPECT_EQ(std::string({line[0], line[5], line[8], line[11], line[14], line[17]}), "[// ::") << line;
  EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
  const std::string second = ReadFile(root.Path("/tmp/KorPrinter/KorPrinterLog.log"));
  ASSERT_GE(second.size(), 23u);
  EXPECT_EQ(second.substr(22), "again\n");
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
