// Trace log and platform shims.
#include "trace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "job_state.h"
#include "job_streams.h"
#include "shims.h"
#include "test_support.h"

using namespace testing_support;

namespace {

struct CapturedErr {
  FILE* f = std::tmpfile();
  CapturedErr() { SetJobStreams(nullptr, f); }
  ~CapturedErr() {
    SetJobStreams(nullptr, nullptr);
    std::fclose(f);
  }
  std::string Text() { return Slurp(f); }
};

}  // namespace

TEST(Trace, WithoutTraceDirectoryLinesGoToStderrWithoutTimeOrJob) {
  PrivateRoot root;
  CapturedErr err;
  gJobID = 42;
  DbgMessage("SendOnePage", "using buffer index %d!", 0);
  EXPECT_EQ(err.Text(), "DEBUG: [---filter---][--SendOnePage--] using buffer index 0!\n");
  gJobID = 0;
}

TEST(Trace, TraceDirectoryGetsTimestampedLinesWithJobNumberAndNothingOnStderr) {
  PrivateRoot root;
  root.EnableTraceFile();
  CapturedErr err;
  gJobID = 0;
  DbgMessage("main", "before parsing");
  gJobID = 42;
  DbgMessage("SendOnePage", "using buffer index %d!", 0);
  gJobID = 0;
  EXPECT_EQ(err.Text(), "");
  std::string log = root.TraceLog();
  auto lines = LinesWith(log, "[---filter---]");
  ASSERT_EQ(lines.size(), 2u);
  // "[YYYY/MM/DD hh:mm:ss] [Job N] [---filter---][--F--] msg"
  EXPECT_EQ(lines[0].size(),
            std::string("[2026/12/05 23:41:30] [Job 0] [---filter---][--main--] before parsing").size());
  EXPECT_EQ(lines[0][0], '[');
  EXPECT_EQ(lines[0][5], '/');
  EXPECT_NE(lines[0].find("] [Job 0] [---filter---][--main--] before parsing"), std::string::npos);
  EXPECT_NE(lines[1].find("] [Job 42] [---filter---][--SendOnePage--] using buffer index 0!"),
            std::string::npos);
}

TEST(Trace, UnwritableTraceDirectoryFallsBackToStderr) {
  if (geteuid() == 0) GTEST_SKIP() << "root may write anywhere";
  PrivateRoot root;
  root.EnableTraceFile();
  chmod(root.Path("/tmp/cups").c_str(), 0500);
  CapturedErr err;
  DbgMessage("f", "x");
  EXPECT_EQ(err.Text(), "DEBUG: [---filter---][--f--] x\n");
  chmod(root.Path("/tmp/cups").c_str(), 0700);
}

TEST(Trace, TraceFileThatCannotBeCreatedDropsLinesSilently) {
  PrivateRoot root;
  root.EnableTraceFile();
  // A directory where the file should be: open fails, nothing reaches stderr.
  std::filesystem::create_directory(root.Path("/tmp/cups/printer.log"));
  CapturedErr err;
  DbgMessage("f", "dropped");
  EXPECT_EQ(err.Text(), "");
}

TEST(Trace, OverlongLinesAreCutAtTheBufferNotOverrun) {
  PrivateRoot root;
  root.EnableTraceFile();
  std::string huge(10000, 'x');
  DbgMessage("f", "%s", huge.c_str());
  std::string log = root.TraceLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), '\n');
  EXPECT_EQ(log.size(), kTraceLineMax - 1);

  CapturedErr err;
  std::filesystem::remove_all(root.Path("/tmp/cups"));
  DbgMessage("f", "%s", huge.c_str());
  std::string e = err.Text();
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
        DbgMessage("worker", "thread %d line %d %s", t, i, std::string(300, 'a' + t).c_str());
    });
  for (auto& th : threads) th.join();
  auto lines = LinesWith(root.TraceLog(), "[--worker--]");
  ASSERT_EQ(lines.size(), 800u);
  for (const std::string& l : lines) {
    std::size_t p = l.find("thread ");
    ASSERT_NE(p, std::string::npos);
    char c = static_cast<char>('a' + (l[p + 7] - '0'));
    EXPECT_EQ(l.substr(l.size() - 300), std::string(300, c));
  }
}

TEST(Trace, DbgMsgWritesStderrAlwaysAndFileOnlyWithItsDirectory) {
  PrivateRoot root;
  {
    CapturedErr err;
    DbgMsg("hello %d", 7);
    EXPECT_EQ(err.Text(), "DEBUG: hello 7 ---------->\n");
  }
  std::filesystem::create_directories(root.Path("/tmp/KorPrinter"));
  {
    CapturedErr err;
    DbgMsg("again");
  }
  std::string log = ReadFile(root.Path("/tmp/KorPrinter/KorPrinterLog.log"));
  ASSERT_GE(log.size(), 23u);
  EXPECT_EQ(log.substr(22), "again\n");
}

TEST(Shims, Str2IntTakesTheLeadingDigitRunOnly) {
  EXPECT_EQ(str2Int("4"), 4);
  EXPECT_EQ(str2Int("16abc"), 16);
  EXPECT_EQ(str2Int("-2"), 0);
  EXPECT_EQ(str2Int(" 2"), 0);
  EXPECT_EQ(str2Int("x9"), 0);
  EXPECT_EQ(str2Int(""), 0);
  EXPECT_EQ(str2Int("99999999999999999999"), INT_MAX);
}

TEST(Shims, TickDifferencesSurviveTheWrap) {
  DWORD before = 0xFFFFFF00u, after = 0x00000010u;
  EXPECT_EQ(static_cast<DWORD>(after - before), 0x110u);
  DWORD a = GetTickCount();
  Sleep(20);
  DWORD b = GetTickCount();
  EXPECT_GE(b - a, 20u);
  EXPECT_LT(b - a, 2000u);
}

TEST(Shims, FillAndMoveMemoryWorkInPiecesAndTouchNothingForZero) {
  std::vector<unsigned char> buf(130001, 0xAA);
  FillMemory(buf.data(), 0, 0x11);
  EXPECT_EQ(buf[0], 0xAA);
  FillMemory(buf.data(), 130000, 0x1155);
  EXPECT_EQ(buf[0], 0x55);
  EXPECT_EQ(buf[129999], 0x55);
  EXPECT_EQ(buf[130000], 0xAA);

  std::vector<unsigned char> src(130000), dst(130000, 0);
  for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<unsigned char>(i * 7);
  CopyMemory(dst.data(), src.data(), 0);
  EXPECT_EQ(dst[0], 0);
  CopyMemory(dst.data(), src.data(), 130000);
  EXPECT_EQ(dst, src);
  // Towards the front of one buffer.
  MoveMemory(src.data(), src.data() + 1000, 129000);
  EXPECT_EQ(src[0], static_cast<unsigned char>(1000 * 7));
  EXPECT_EQ(src[128999], static_cast<unsigned char>(129999 * 7));
}

TEST(Shims, LcreatTruncatesAndDeleteFileReports) {
  PrivateRoot root;
  std::string f = root.Path("/tmp/x");
  WriteFile(f, "0123456789");
  HFILE h = _lcreat(f.c_str(), 0);
  ASSERT_GE(h, 0);
  close(h);
  EXPECT_EQ(ReadFile(f), "");
  EXPECT_EQ(DeleteFile(f.c_str()), TRUE);
  EXPECT_EQ(DeleteFile(f.c_str()), FALSE);
}

TEST(Shims, ProcessLookup) {
  EXPECT_EQ(proc_find_s2("/no/such/program"), -1);
  EXPECT_EQ(proc_find_1("no-such-program-xyz"), 0);
  EXPECT_EQ(proc_find_1("bad;name"), 0);
}
