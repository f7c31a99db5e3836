// The status thread: polls the printer through the status library while a
// job runs, reports errors and the toner level to the scheduler, holds page
// submission during a printer error and turns a cancel from the printer, the
// monitor or a lasting error into the job's cancel.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "job_events.h"
#include "status_monitor.h"
#include "status_records.h"
#include "wintypes.h"

// What the thread is started with; the printer record is a copy, so the
// thread shares nothing with the job's printer list.
struct StatusThreadInfo {
  PrinterAttribute WorkPrinter{};
  int IsPSMExist = 0;
  DWORD DriverFeature = 0;  // the PPD mask before any per-page change
};

inline constexpr int kNoErrorCode = 500001;  // reported by printers that are fine

// The line that clears the printer error this process reported, written
// by whoever TakeReportedPrinterError() answers true for: the status
// thread, or the SIGTERM handler as it is (async-signal-safe).
inline constexpr char kClearPrinterErrorLine[] = "STATE: -other-error\n";
bool TakeReportedPrinterError();

// One poll after another, with what the polls remember between them.
class StatusPoller {
 public:
  StatusPoller(const StatusLibrary& lib, const StatusThreadInfo& info, JobEvents& events, DWORD startTick);

  // One look at the printer with the clock at now; false when the thread
  // is to end (cancel, no port, time-out, no status source).
  bool Poll(DWORD now);

  // Longest time an error may last before the job is cancelled.
  DWORD TimeOut() const;
  // Pause between two polls.
  std::chrono::milliseconds Interval() const;
  // Clears the error reason this poller set, unless already cleared.
  void ClearErrorReason();

 private:
  const StatusLibrary& lib_;
  const StatusThreadInfo& info_;
  JobEvents& events_;
  DWORD base_;
  int printerState_ = 0;  // "STATE: +other-error" written and not yet cleared
  std::string codes_;     // error codes last reported in an "INFO:" line
  bool levelReported_ = false;
  int level_ = 0;  // toner level last reported
  // Large and refreshed by the library as a whole: kept off the stack.
  std::unique_ptr<SMCancelJobStruc> record_;
};

// The thread's body: polls until the poller ends it or stop is set; the
// error hold is always released at its end.
void CheckPrinterStatus(const StatusLibrary& lib, const StatusThreadInfo& info, JobEvents& events,
                        const std::atomic<bool>& stop);

// The job's status thread and its stop request; joined at the latest when
// the job goes away, so it never outlives the library or the events.
class StatusThread {
 public:
  explicit StatusThread(JobEvents& events) : events_(events) {}
  StatusThread(const StatusThread&) = delete;
  StatusThread& operator=(const StatusThread&) = delete;
  ~StatusThread() { Stop(); }

  // False when no thread could be started.
  bool Start(const StatusLibrary& lib, const StatusThreadInfo& info);
  // Asks the thread to end; it does so within one step of its sleep.
  void RequestStop();
  // Asks the thread to end and waits for it.
  void Stop();
  std::thread::native_handle_type NativeId() { return thread_.native_handle(); }

 private:
  JobEvents& events_;
  StatusThreadInfo info_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
