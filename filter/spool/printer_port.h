// PrinterPort: the job's printer stream. Every block the printer receives
// leaves through Write, which also copies it to the copy file when one is
// open; the port counts the bytes the stream took and remembers a failed
// stream, so the job stops instead of rendering on.
//
// A block is written whole or the stream ends there: a signal never cuts
// one short, and once a write has stopped inside a block nothing more is
// written, since the printer would read it as page data. A backend that
// stops reading cannot hold a cancelled job: the port gives up on it after
// kCancelledStall without progress.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "job_events.h"
#include "wintypes.h"

// How long a cancelled job keeps offering a block to a backend that takes
// nothing; the scheduler kills a job that outlives its cancel much longer.
inline constexpr std::chrono::seconds kCancelledStall{5};

class PrinterPort {
 public:
  // A pipe or socket is switched to non-blocking writes for the job's
  // lifetime (and back afterwards), so that a write never blocks the job
  // beyond what it can see of a cancel.
  PrinterPort(JobEvents& events, FILE* out);
  ~PrinterPort();
  PrinterPort(const PrinterPort&) = delete;
  PrinterPort& operator=(const PrinterPort&) = delete;

  FILE* Out() const { return out_; }
  // The job's message stream, for lines about what the stream carries.
  FILE* Err() const { return events_.Err(); }

  // Writes len bytes to the printer stream (and the copy file) and flushes
  // both; returns the bytes the stream took, which BytesSent counts. Nothing
  // is written once an earlier write stopped short.
  std::size_t Write(const void* data, std::size_t len);
  // Writes a block and checks the stream took it; false (after noting the
  // failure) when it no longer takes data.
  bool Send(const void* data, std::size_t len);
  // Writes the escape that introduces the PPD's JCL prefix. The trailer's
  // 512-byte rule has always reckoned the stream without it, so it stays
  // out of BytesSent and the trailer of a job with a JCL prefix is unchanged.
  void WriteJclEscape();

  // Bytes of the job the printer stream took so far, the JCL escape aside:
  // what the trailer keeps off a multiple of 512.
  std::uint64_t BytesSent() const { return sent_.load(std::memory_order_acquire); }

  // Notes that the printer stream or the spool file failed: one "ERROR:"
  // line for the scheduler and a cancel of the job.
  void NoteFailure(const char* what, int err);
  bool Failed() const { return failed_.load(std::memory_order_acquire); }
  // True when the failure came after the job was cancelled: the backend
  // that stops reading on a cancel is no failure of the job.
  bool FailedAfterCancel() const { return failedAfterCancel_.load(std::memory_order_acquire); }
  // True once the port gave up on a backend that took nothing after a cancel.
  bool GaveUp() const { return gaveUp_.load(std::memory_order_acquire); }

  // Takes ownership of the copy file (nullptr: none).
  void SetCopyFile(FILE* f);
  void CloseCopyFile();

 private:
  // Write without the count.
  std::size_t Put(const void* data, std::size_t len);
  // Writes through the descriptor until all is written, an error, or the
  // give-up after a cancel; returns the bytes written, *err the error.
  std::size_t WriteAll(const char* data, std::size_t len, int* err);
  // Waits until the descriptor takes data; false when the job is cancelled
  // and nothing has gone through for kCancelledStall since `progress` (or
  // since the cancel was first seen, whichever is later).
  bool WaitWritable(std::chrono::steady_clock::time_point progress);

  JobEvents& events_;
  FILE* out_;
  int fd_ = -1;                         // out_'s descriptor; -1: written through stdio
  int restoreFlags_ = -1;               // the descriptor's status flags before the job; -1: unchanged
  FILE* copy_ = nullptr;                // copy of the printer stream, when kept
  std::atomic<std::uint64_t> sent_{0};  // what BytesSent reports
  std::atomic<bool> failed_{false};
  std::atomic<bool> failedAfterCancel_{false};
  std::atomic<bool> ended_{false};   // a write stopped short: the stream ends there
  std::atomic<bool> gaveUp_{false};  // ended because a cancelled job's backend took nothing
  int writeError_ = 0;  // errno of the last failed write, taken before anything else can change it
};
