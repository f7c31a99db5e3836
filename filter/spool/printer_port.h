// PrinterPort: the job's printer stream. Every block the printer receives
// leaves through Write, which also copies it to the copy file when one is
// open; the port counts the bytes sent and remembers a failed stream, so
// the job stops instead of rendering on.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdio>

#include "job_events.h"
#include "wintypes.h"

class PrinterPort {
 public:
  PrinterPort(JobEvents& events, FILE* out) : events_(events), out_(out) {}
  ~PrinterPort() { CloseCopyFile(); }
  PrinterPort(const PrinterPort&) = delete;
  PrinterPort& operator=(const PrinterPort&) = delete;

  FILE* Out() const { return out_; }
  // The job's message stream, for lines about what the stream carries.
  FILE* Err() const { return events_.Err(); }

  // Writes len bytes to the printer stream (and the copy file) and flushes
  // both; returns the bytes the stream took. Does not count them.
  std::size_t Write(const void* data, std::size_t len);
  // Writes a block and checks the stream took it; false (after noting the
  // failure) when it no longer takes data. Callers count what they sent.
  bool Send(const void* data, std::size_t len);

  // Notes that the printer stream or the spool file failed: one "ERROR:"
  // line for the scheduler and a cancel of the job.
  void NoteFailure(const char* what, int err);
  bool Failed() const { return failed_.load(std::memory_order_acquire); }

  // Takes ownership of the copy file (nullptr: none).
  void SetCopyFile(FILE* f);
  void CloseCopyFile();

  std::atomic<DWORD> count_bytes{0};  // bytes of the printer stream so far
  std::atomic<int> outputSize{0};     // the same for the stream writers' own tally

 private:
  JobEvents& events_;
  FILE* out_;
  FILE* copy_ = nullptr;  // copy of the printer stream, when kept
  std::atomic<bool> failed_{false};
  int writeError_ = 0;  // errno of the last failed write, taken before anything else can change it
};
