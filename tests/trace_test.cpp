// Trace log (file or "DEBUG:" lines for the scheduler) and platform shims.
#include "trace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "job_state.h"
#include "page_slot.h"
#include "shims.h"
#include "test_support.h"

using namespace testing_support;

TEST(Trace, WithoutTraceDirectoryLinesGoToTheSchedulerAsDebugLines) {
  TraceCapture err;
  gJobID = 42;
  DbgMessage("SendOnePage", "using buffer index %d!", 0);
  gJobID = 0;
  EXPECT_EQ(err.Text(), "DEBUG: [---filter---][--SendOnePage--] using buffer index 0!\n");

  err.Clear();
  DbgMsg("hello %d", 7);  // the second trace call always writes to the scheduler
  EXPECT_EQ(err.Text(), "DEBUG: hello 7 ---------->\n");
}

TEST(Trace, TraceDirectoryGetsTimestampedLinesWithTheJobAndNothingGoesToTheScheduler) {
  TraceCapture err;
  const PrivateRoot& root = err.root();
  root.EnableTraceFile();
  std::filesystem::create_directories(root.Path("/tmp/KorPrinter"));
  gJobID = 42;
  DbgMessage("SendOnePage", "using buffer index %d!", 0);
  gJobID = 0;
  DbgMsg("again");
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
  const PrivateRoot& root = err.root();
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

TEST(Trace, ConcurrentLinesAreNeverSplit) {
  PrivateRoot root;
  root.EnableTraceFile();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i)
        DbgMessage("worker", "thread %d %s", t, std::string(300, 'a' + t).c_str());
    });
  for (auto& th : threads) th.join();
  const auto lines = LinesWith(root.TraceLog(), "[--worker--] thread ");
  ASSERT_EQ(lines.size(), 800u);
  for (const std::string& l : lines) {
    const char c = static_cast<char>('a' + (l[l.size() - 302] - '0'));
    EXPECT_EQ(l.substr(l.size() - 300), std::string(300, c));
  }
}

TEST(Shims, Str2IntTakesTheLeadingDigitRunOnly) {
  const std::pair<const char*, int> cases[] = {
      {"4", 4}, {"16abc", 16}, {"-2", 0}, {" 2", 0}, {"x9", 0}, {"", 0}, {"99999999999999999999", INT_MAX}};
  for (auto [text, value] : cases) EXPECT_EQ(str2Int(text), value) << text;
}

TEST(Shims, SleepAndTicksAgree) {
  const DWORD a = GetTickCount();
  Sleep(20);
  const DWORD elapsed = GetTickCount() - a;
  EXPECT_GE(elapsed, 20u);
  EXPECT_LT(elapsed, 2000u);
}

TEST(Shims, FillCopyAndMoveMemoryWorkInPiecesAndTouchNothingForZero) {
  std::vector<unsigned char> buf(130001, 0xAA);
  FillMemory(buf.data(), 0, 0x11);
  EXPECT_EQ(buf[0], 0xAA);
  FillMemory(buf.data(), 130000, 0x1155);
  EXPECT_EQ(std::count(buf.begin(), buf.end(), 0x55), 130000);
  EXPECT_EQ(buf[130000], 0xAA);

  std::vector<unsigned char> src(130000), dst(130000, 0);
  for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<unsigned char>(i * 7);
  CopyMemory(dst.data(), src.data(), 0);
  EXPECT_EQ(dst[0], 0);
  CopyMemory(dst.data(), src.data(), 130000);
  EXPECT_EQ(dst, src);
  MoveMemory(src.data(), src.data() + 1000, 129000);  // overlapping, towards the front
  EXPECT_TRUE(std::equal(src.begin(), src.begin() + 129000, dst.begin() + 1000));
}

TEST(Shims, FilesAndProcesses) {
  PrivateRoot root;
  const std::string f = root.Path("/tmp/x");
  WriteFile(f, "0123456789");
  HFILE h = _lcreat(f.c_str(), 0);
  ASSERT_GE(h, 0);
  close(h);
  EXPECT_EQ(ReadFile(f), "");  // truncated
  EXPECT_EQ(DeleteFile(f.c_str()), TRUE);
  EXPECT_EQ(DeleteFile(f.c_str()), FALSE);
  EXPECT_EQ(proc_find_s2("/no/such/program"), -1);
  EXPECT_EQ(proc_find_1("no-such-program-xyz"), 0);
  EXPECT_EQ(proc_find_1("bad;name"), 0);
}
