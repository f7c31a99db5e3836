// The status thread (see status_thread.h).
#include "status_thread.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

#include "feature_bits.h"
#include "paths.h"
#include "shims.h"
#include "trace.h"

namespace {

const char FUNCNAME[] = "CheckPrinterStatus";

constexpr std::chrono::milliseconds kMonitorInterval{500};
constexpr std::chrono::milliseconds kQueryInterval{10000};
constexpr std::chrono::milliseconds kLongestStep{1000};

// The report as the filter uses it, copied out of the library's record with
// every count and text cut to its field: the record is the library's to
// fill, and a count past its array must not lead a read past it.
struct Report {
  char port[sizeof(SMPrinterInfo::Port)] = {};
  int modelID = 0;
  int cancelSignal = 0;
  int errNum = 0;
  int code[512] = {};
  int toner = 0;
};

void TakeReport(const SMCancelJobStruc& r, Report& out) {
  std::memcpy(out.port, r.PInfo.Port, strnlen(r.PInfo.Port, sizeof out.port - 1));
  out.modelID = r.PInfo.modelID;
  out.cancelSignal = r.CancelSignal;
  constexpr int kMaxCodes = static_cast<int>(sizeof out.code / sizeof out.code[0]);
  // Packed fields are read by value: a reference to one may be misaligned.
  const int errNum = r.PInfo.status.ErrNum;
  out.errNum = std::clamp<int>(errNum, 0, kMaxCodes);
  std::memcpy(out.code, r.PInfo.status.code, sizeof(int) * static_cast<std::size_t>(out.errNum));
  const std::int64_t remain = r.PInfo.supplies.UsageRemain[USAGE_REMAIN_CARTRIDGE];
  out.toner = static_cast<int>(std::clamp<std::int64_t>(remain, INT_MIN, INT_MAX));
}

// The printer error is reported to the scheduler as "other-error", since
// state reasons must be IPP keywords; the codes go into an "INFO:" line.
constexpr char kErrorReason[] = "other-error";
// The signal handler's fixed line clears this very reason.
constexpr std::string_view kClearLine(kClearPrinterErrorLine);
static_assert(kClearLine.substr(0, 8) == "STATE: -" && kClearLine.back() == '\n' &&
              kClearLine.substr(8, kClearLine.size() - 9) == std::string_view(kErrorReason));

// Set while the scheduler holds the reason from this process: the SIGTERM
// handler reads it too.
std::atomic<bool> gErrorReasonSet{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the SIGTERM handler needs a lock-free flag");

// The first codes of a report as text ("12, 34"), for the scheduler.
std::string CodeList(const Report& rep) {
  constexpr int kShown = 8;
  std::string s;
  for (int i = 0; i < rep.errNum && i < kShown; ++i) s += (i ? ", " : "") + std::to_string(rep.code[i]);
  if (rep.errNum > kShown) s += ", ... (" + std::to_string(rep.errNum) + " codes)";
  return s;
}

// Sleeps one poll interval in steps of at most a second; false as soon as
// the thread is asked to stop.
bool Pause(JobEvents& events, const std::atomic<bool>& stop, std::chrono::milliseconds interval) {
  auto stopped = [&stop] { return stop.load(std::memory_order_acquire); };
  for (std::chrono::milliseconds left = interval; left.count() > 0; left -= kLongestStep) {
    if (events.WaitFor(std::min(left, kLongestStep), stopped)) return false;
  }
  return !stopped();
}

}  // namespace

bool TakeReportedPrinterError() {
  return gErrorReasonSet.exchange(false, std::memory_order_acq_rel);
}

StatusPoller::StatusPoller(const StatusLibrary& lib, const StatusThreadInfo& info, JobEvents& events,
                           DWORD startTick)
    : lib_(lib),
      info_(info),
      events_(events),
      base_(startTick),
      record_(std::make_unique<SMCancelJobStruc>()) {
  record_->JobID = events.trace.jobId;
}

DWORD StatusPoller::TimeOut() const {
  return (info_.DriverFeature & DF_ABORT_ON_ERROR) ? 60000 : 15000;
}

std::chrono::milliseconds StatusPoller::Interval() const {
  return info_.IsPSMExist ? kMonitorInterval : kQueryInterval;
}

bool StatusPoller::Poll(DWORD now) {
  SMCancelJobStruc& r = *record_;
  char name[sizeof info_.WorkPrinter.PrinterName];
  CopyBounded(name, sizeof name, info_.WorkPrinter.PrinterName);
  if (lib_.fnReadWriteMemory && info_.IsPSMExist) {
    lib_.fnReadWriteMemory(SDK_Read, Read_None, name, &r);
  } else if (lib_.fnQueryPrinterStatus && !(info_.DriverFeature & DF_DISABLE_STATUS_MONITOR)) {
    CopyBounded(r.PInfo.Port, sizeof r.PInfo.Port, info_.WorkPrinter.PortName);
    lib_.fnQueryPrinterStatus(name, &r.PInfo.status, &r.PInfo.supplies);
  } else {
    return false;
  }

  Report rep;
  TakeReport(r, rep);
  DbgMessage(FUNCNAME, "port %s.", rep.port);
  DbgMessage(FUNCNAME, "ID %d.", rep.modelID);
  if (rep.cancelSignal) {
    DbgMessage(FUNCNAME, "press printer Cancel button!");
    // The job still ends with success, so the scheduler is told why it
    // stopped short.
    CupsMessage(events_.Err(), "ERROR: ", "The job was cancelled at the printer");
    events_.Cancel();
    return false;
  }
  if (rep.port[0] == '\0') {
    DbgMessage(FUNCNAME, "Port name empty, break");
    return false;
  }
  if (std::strstr(rep.port, "usb")) {
    DbgMessage(FUNCNAME, "It's usb printer.");
    // IPP levels run from -3 (unknown but not empty) to 100; a level goes
    // out only when it changes.
    const int level = std::clamp(rep.toner, -3, 100);
    if (!levelReported_ || level != level_) {
      CupsMessage(events_.Err(), "ATTR: ", "marker-levels=%d", level);
      levelReported_ = true;
      level_ = level;
    }
  }

  int kept = 0;
  for (int i = 0; i < rep.errNum; ++i) {
    DbgMessage(FUNCNAME, "code = %d", rep.code[i]);
    if (rep.code[i] != kNoErrorCode) rep.code[kept++] = rep.code[i];
  }
  rep.errNum = kept;
  DbgMessage(FUNCNAME, "ErrNum = %d", rep.errNum);

  const bool supervised = (info_.DriverFeature & DF_ABORT_ON_ERROR) != 0;
  if (supervised) {
    // With the monitor program running, it reports the printer's state.
    if (!info_.IsPSMExist) {
      const std::string codes = CodeList(rep);
      if (rep.errNum && codes != codes_)
        CupsMessage(events_.Err(), "INFO: ", "The printer reports error %s", codes.c_str());
      codes_ = codes;
      if (rep.errNum && !printerState_) {
        CupsMessage(events_.Err(), "STATE: ", "+%s", kErrorReason);
        printerState_ = 1;
        gErrorReasonSet.store(true, std::memory_order_release);
      }
      if (rep.errNum == 0) {
        CupsMessage(events_.Err(), "STATE: ", "-%s", kErrorReason);
        DbgMessage(FUNCNAME, "no error");
        printerState_ = 0;
        TakeReportedPrinterError();
      }
    }
    events_.errorSuspend.store(rep.errNum ? 1 : 0, std::memory_order_release);
    events_.Notify();
    if (rep.errNum == 0) base_ = now;
  }

  const DWORD tick = now - base_;
  DbgMessage(FUNCNAME, "statustick = %d", static_cast<int>(tick));
  if (supervised && tick > TimeOut()) {
    if (!info_.IsPSMExist) {
      ClearErrorReason();
      DbgMessage(FUNCNAME, "Cancel job.");
    }
    CupsMessage(events_.Err(), "ERROR: ", "The printer cancelled the job: error %s for more than %u seconds",
                CodeList(rep).c_str(), static_cast<unsigned>(TimeOut() / 1000));
    events_.Cancel();
    return false;
  }
  return true;
}

void StatusPoller::ClearErrorReason() {
  // Whoever takes the flag writes the line: the SIGTERM handler may have.
  if (printerState_ && TakeReportedPrinterError()) CupsMessage(events_.Err(), "STATE: ", "-%s", kErrorReason);
  printerState_ = 0;
}

void CheckPrinterStatus(const StatusLibrary& lib, const StatusThreadInfo& info, JobEvents& events,
                        const std::atomic<bool>& stop) {
  TraceScope trace(&events.trace);
  DbgMessage(FUNCNAME, "in");
  StatusPoller poller(lib, info, events, GetTickCount());
  DbgMessage(FUNCNAME, "PrinterName = %s", info.WorkPrinter.PrinterName);
  DbgMessage(FUNCNAME, "PortName = %s", info.WorkPrinter.PortName);
  DbgMessage(FUNCNAME, "PSM_TIME_OUT = %d", static_cast<int>(poller.TimeOut()));
  while (poller.Poll(GetTickCount()) && Pause(events, stop, poller.Interval())) {
  }
  // The job is about to end: the queue must not keep the printer's error.
  poller.ClearErrorReason();
  // Page submission is never left held by a thread that no longer looks.
  events.errorSuspend.store(0, std::memory_order_release);
  events.Notify();
  DbgMessage(FUNCNAME, "gCancelJob = %d", events.Cancelled() ? 1 : 0);
  DbgMessage(FUNCNAME, "out");
}

bool StatusThread::Start(const StatusLibrary& lib, const StatusThreadInfo& info) {
  info_ = info;
  stop_.store(false, std::memory_order_release);
  try {
    thread_ = std::thread(CheckPrinterStatus, std::cref(lib), std::cref(info_), std::ref(events_),
                          std::cref(stop_));
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void StatusThread::RequestStop() {
  stop_.store(true, std::memory_order_release);
  events_.Notify();
}

void StatusThread::Stop() {
  RequestStop();
  if (thread_.joinable()) thread_.join();
}
