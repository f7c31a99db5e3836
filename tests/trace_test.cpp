// Trace log (file or "DEBUG:" lines for the scheduler) and the number parser of the options.
#include "trace.h"

#include <climits>

#include "shims.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// The job's message stream, captured; Take() empties it.
struct Messages {
  FILE* f = std::tmpfile();
  Messages() { SetJobStreams(nullptr, f); }
  ~Messages() {
    SetJobStreams(nullptr, nullptr);
    std::fclose(f);
  }
  std::string Take() {
    std::string s = Slurp(f);
    EXPECT_EQ(ftruncate(fileno(f), 0), 0);
    std::rewind(f);
    return s;
  }
};

}  // namespace

TEST(Trace, WithoutTraceDirectoryLinesGoToTheSchedulerAsDebugLines) {
  PrivateRoot root;
  Messages err;
  gJobID = 42;
  DbgMessage("SendOnePage", "using buffer index %d!", 0);
  gJobID = 0;
  EXPECT_EQ(err.Take(), "DEBUG: [---filter---][--SendOnePage--] using buffer index 0!\n");
  DbgMsg("hello %d", 7);  // the second trace call always writes to the scheduler
  EXPECT_EQ(err.Take(), "DEBUG: hello 7 ---------->\n");
}

TEST(Trace, TraceDirectoryGetsTimestampedLinesWithTheJobAndNothingGoesToTheScheduler) {
  PrivateRoot root;
  root.EnableTraceFile();
  Messages err;
  std::filesystem::create_directories(root.Path("/tmp/KorPrinter"));
  gJobID = 42;
  DbgMessage("SendOnePage", "using buffer index %d!", 0);
  gJobID = 0;
  DbgMsg("again");
  EXPECT_EQ(err.Take(), "DEBUG: again ---------->\n");
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
  PrivateRoot root;
  root.EnableTraceFile();
  Messages err;
  const std::string huge(10000, 'x');
  DbgMessage("f", "%s", huge.c_str());
  const std::string log = root.TraceLog();
  EXPECT_EQ(log.size(), kTraceLineMax - 1);
  EXPECT_EQ(log.back(), '\n');

  std::filesystem::remove(root.Path("/tmp/cups/printer.log"));
  std::filesystem::create_directory(root.Path("/tmp/cups/printer.log"));
  DbgMessage("f", "dropped");
  EXPECT_EQ(err.Take(), "");
  std::filesystem::remove_all(root.Path("/tmp/cups"));
  DbgMessage("f", "%s", huge.c_str());
  const std::string e = err.Take();
  EXPECT_EQ(e.rfind("DEBUG: ", 0), 0u);
  EXPECT_LT(e.size(), kTraceLineMax + 16);
}

TEST(Shims, Str2IntTakesTheLeadingDigitRunOnly) {
  const std::pair<const char*, int> cases[] = {
      {"4", 4}, {"16abc", 16}, {"-2", 0}, {" 2", 0}, {"x9", 0}, {"", 0}, {"99999999999999999999", INT_MAX}};
  for (auto [text, value] : cases) EXPECT_EQ(str2Int(text), value) << text;
}
