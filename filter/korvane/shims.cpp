// Platform shims: tick, memory, digit parsing, process lookup, Win32-style
// memory and file helpers.
#include "shims.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>

#include "trace.h"

char exePath[128];

DWORD GetTickCount() {
  static const char FUNCNAME[] = "GetTickCount";
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  DWORD tick = static_cast<DWORD>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                  static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u);
  DbgMessage(FUNCNAME, "%d", static_cast<int>(tick));
  return tick;
}

std::uint64_t getTotalSystemMemory() {
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
  char buf[sizeof exePath];
  if (getcwd(buf, sizeof buf) != nullptr) {
    std::memcpy(exePath, buf, sizeof buf);
    DbgMessage(FUNCNAME, "Current working dir: %s", exePath);
  }
}

pid_t proc_find_s2(const char* name) {
  DIR* dir = opendir("/proc");
  if (!dir) {
    std::perror("can't open /proc");
    return -1;
  }
  pid_t found = -1;
  while (dirent* ent = readdir(dir)) {
    const char* d = ent->d_name;
    if (!*d || !std::all_of(d, d + std::strlen(d),
                            [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
      continue;
    long pid = std::strtol(d, nullptr, 10);
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/cmdline", pid);
    FILE* f = std::fopen(path, "r");
    if (!f) continue;
    char line[512] = {};
    bool got = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    if (!got) continue;
    // cmdline separates arguments with NULs; the first word ends at a NUL or a blank.
    char* first = std::strtok(line, " ");
    if (first && name && std::strcmp(first, name) == 0) {
      found = static_cast<pid_t>(pid);
      break;
    }
  }
  closedir(dir);
  return found;
}

int proc_find_1(const char* name) {
  static const char FUNCNAME[] = "proc_find_1";
  // The name reaches a shell: accept only characters a program name has.
  if (!name || !*name ||
      std::strspn(name, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-/") !=
          std::strlen(name)) {
    DbgMessage(FUNCNAME, "popen() error!");
    return 0;
  }
  char command[128];
  std::snprintf(command, sizeof command, "/bin/pidof %s", name);
  DbgMessage(FUNCNAME, "Command = %s", command);
  FILE* p = popen(command, "r");
  if (!p) {
    DbgMessage(FUNCNAME, "popen() error!");
    return 0;
  }
  char line[512] = {};
  if (!std::fgets(line, sizeof line, p)) line[0] = '\0';
  pclose(p);
  DbgMessage(FUNCNAME, "%s", line);
  int process = std::atoi(line);
  DbgMessage(FUNCNAME, "process = %d", process);
  DbgMessage(FUNCNAME, "pid = %d", process);
  return process;
}

HFILE _lopen(LPCTSTR fname, int flag) {
  return open(fname, flag);
}

HFILE _lcreat(LPCTSTR fname, int /*flag*/) {
  return open(fname, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
}

void FillMemory(void* dest, DWORD count, short fbyte) {
  auto* p = static_cast<unsigned char*>(dest);
  while (count > 0) {
    DWORD piece = std::min<DWORD>(count, 60000);
    std::memset(p, fbyte & 0xff, piece);
    p += piece;
    count -= piece;
  }
}

void ZeroMemory(void* dest, DWORD count) {
  FillMemory(dest, count, 0);
}

void MoveMemory(void* dest, const void* src, DWORD count) {
  // One memmove gives what piecewise copying from the front gives for the
  // separate or front-moving areas callers use, and is right for any overlap.
  if (count) std::memmove(dest, src, count);
}

void CopyMemory(void* dest, const void* src, DWORD count) {
  MoveMemory(dest, src, count);
}

void Sleep(DWORD msec) {
  std::this_thread::sleep_for(std::chrono::milliseconds(msec));
}

BOOL DeleteFile(const char* fname) {
  return unlink(fname) == 0 ? TRUE : FALSE;
}

HGLOBAL GlobalAlloc(int /*dummy*/, long msize) {
  if (msize < 0) return nullptr;
  return std::malloc(msize > 0 ? static_cast<std::size_t>(msize) : 1);
}

HGLOBAL GlobalLock(HGLOBAL hmem) {
  return hmem;
}

BOOL GlobalUnlock(HGLOBAL hmem) {
  return hmem != nullptr ? TRUE : FALSE;
}

HGLOBAL GlobalFree(HGLOBAL hmem) {
  std::free(hmem);
  return nullptr;
}
