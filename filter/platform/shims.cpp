// Platform shims: tick, memory, digit parsing and sleep.
#include "shims.h"

#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "trace.h"

DWORD GetTickCount() {
  static const char FUNCNAME[] = "GetTickCount";
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  DWORD tick = static_cast<DWORD>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                  static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u);
  DbgMessage(FUNCNAME, "%d", static_cast<int>(tick));
  return tick;
}

std::uint64_t AvailableMemory() {
  long pages = sysconf(_SC_AVPHYS_PAGES);
  long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages < 0 || page_size < 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

int str2Int(const char* string) {
  if (!string) return 0;
  long long value = 0;
  for (const char* p = string; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > INT_MAX) return INT_MAX;
  }
  return static_cast<int>(value);
}

void getFilePath() {
  static const char FUNCNAME[] = "getFilePath";
  char buf[128];
  if (getcwd(buf, sizeof buf) != nullptr) DbgMessage(FUNCNAME, "Current working dir: %s", buf);
}

void Sleep(DWORD msec) {
  std::this_thread::sleep_for(std::chrono::milliseconds(msec));
}

void* AllocPageBuffer(std::size_t size) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  if (size >= 4 * kHugePage) {
    const std::size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
    if (void* p = std::aligned_alloc(kHugePage, rounded)) {
      madvise(p, rounded, MADV_HUGEPAGE);  // only advice: without it the buffer is still good
      return p;
    }
  }
  return std::malloc(size);
}

double SecondsSince(DWORD tick) {
  return static_cast<double>(GetTickCount() - tick) / 1000.0;
}
