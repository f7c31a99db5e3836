// Loading the status library, the printer selection, the monitor's job
// announcements, the pending-job test and the wake-up of network printers.
#include "status_monitor.h"

#include <cups/cups.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "paths.h"
#include "trace.h"

namespace {

// The library fills its records as it likes: every text field the job uses
// is cut to its own size, so no later reader runs past it.
template <std::size_t N>
void TerminateField(char (&field)[N]) {
  field[N - 1] = '\0';
}

void TerminateRecord(PrinterAttribute& p) {
  TerminateField(p.PrinterName);
  TerminateField(p.PortName);
  TerminateField(p.Manufacturer);
  TerminateField(p.DriverVersion);
}

// Each search path is at most 128 bytes; a longer one is not tried.
std::string SearchPath(const char* dir, bool fixed) {
  std::string path = fixed ? FixedPath(dir) : std::string(dir);
  return path.size() < 128 ? path : std::string();
}

template <typename Fn>
void Resolve(void* handle, const char* name, Fn& fn, const char* success) {
  static const char FUNCNAME[] = "LoadStatusMonitor";
  dlerror();
  fn = reinterpret_cast<Fn>(dlsym(handle, name));
  if (!fn) {
    const char* e = dlerror();
    DbgMessage(FUNCNAME, "%s", e ? e : name);
  } else {
    DbgMessage(FUNCNAME, "%s", success);
  }
}

}  // namespace

StatusLibrary::~StatusLibrary() {
  CloseStatusMonitor(*this);
}

void LoadStatusMonitor(StatusLibrary& lib, PrinterAttribute* myPrinters, int* printerNumber,
                       int* selectedPrinter, const char* WorkPrinter, const char* Toolfd,
                       const char* Toolfd2) {
  static const char FUNCNAME[] = "LoadStatusMonitor";
  const std::string tool = Toolfd ? Toolfd : "";
  const std::string tool2 = Toolfd2 ? Toolfd2 : "";
  // The fixed places move under the test root; the PPD's directories are
  // used as written, as for the job record. An empty one is no directory
  // (never the root directory's "/prnctl.so").
  const std::string paths[] = {
      SearchPath("/usr/bin/prnctl.so", true),
      SearchPath("/usr/lib64/prnctl.so", true),
      SearchPath("/opt/StatusMonitor/prnctl.so", true),
      SearchPath(("/opt/Brelvo/" + tool + "/prnctl.so").c_str(), true),
      tool.empty() ? std::string() : SearchPath((tool + "/prnctl.so").c_str(), false),
      tool2.empty() ? std::string() : SearchPath((tool2 + "/prnctl.so").c_str(), false),
  };
  for (const std::string& path : paths) {
    if (path.empty()) continue;
    // The library runs as the filter's user in every job of the queue: only
    // one that root alone can change is loaded, wherever the PPD points.
    std::string why;
    bool refused = false;
    lib.lib_handle = LoadRootOnlyLibrary(path, RTLD_LAZY, &why, &refused);
    if (lib.lib_handle) {
      DbgMessage(FUNCNAME, "Open %s succ.", path.c_str());
      break;
    }
    if (refused) DbgMessage(FUNCNAME, "%s: passed over, %s", path.c_str(), why.c_str());
    DbgMessage(FUNCNAME, "Open %s fail!", path.c_str());
  }
  if (!lib.lib_handle) return;

  DbgMessage(FUNCNAME, "Open prnctl.so.1.0 success.");
  void* h = lib.lib_handle;
  Resolve(h, "GetPrinterList_s", lib.fnGetPrinterList_s, "Get GetPrinterList_s success.");
  Resolve(h, "SendPrinterControl", lib.fnSendPrinterControl, "Get fnSendPrinterControl success.");
  Resolve(h, "QueryPrinterStatus", lib.fnQueryPrinterStatus, "Get QueryPrinterStatus success.");
  Resolve(h, "ReadWriteMemory", lib.fnReadWriteMemory, "Get ReadWriteMemory success.");
  Resolve(h, "IsPSMRunning", lib.fnIsPSMRunning, "Get fnIsPSMRunning success.");
  Resolve(h, "ReadWriteMemoryEx", lib.fnReadWriteMemoryEx, "Get ReadWriteMemoryEx success.");
  Resolve(h, "WeakupNetPrinter", lib.fnWeakupNetPrinter, "Get WeakupNetPrinter success.\n");

  if (!lib.fnGetPrinterList_s) return;
  int rc = lib.fnGetPrinterList_s(myPrinters, kPrinterListSize, printerNumber);
  if (rc != 0) DbgMessage(FUNCNAME, "GetPrinterList_s failed. rc = %d", rc);
  DbgMessage(FUNCNAME, "GetPrinterList_s success. rc = %d", rc);
  // A count outside the list is the library's fault; only records it can
  // have filled are looked at.
  if (*printerNumber < 0) *printerNumber = 0;
  if (*printerNumber > kPrinterListSize) *printerNumber = kPrinterListSize;
  for (int i = 0; i < *printerNumber; ++i) {
    TerminateRecord(myPrinters[i]);
    if (WorkPrinter && std::strcmp(myPrinters[i].PrinterName, WorkPrinter) == 0) {
      *selectedPrinter = i;
      DbgMessage(FUNCNAME, "SelectPrnter = %d", i);
    }
  }
}

void CloseStatusMonitor(StatusLibrary& lib) {
  if (lib.lib_handle) dlclose(lib.lib_handle);
  lib.fnGetPrinterList_s = nullptr;
  lib.fnSendPrinterControl = nullptr;
  lib.fnQueryPrinterStatus = nullptr;
  lib.fnReadWriteMemory = nullptr;
  lib.fnIsPSMRunning = nullptr;
  lib.fnReadWriteMemoryEx = nullptr;
  lib.fnWeakupNetPrinter = nullptr;
  lib.lib_handle = nullptr;
}

void StatusMonitorEnable(const StatusLibrary& lib, const char* PrinterName, int jobId) {
  static const char FUNCNAME[] = "StatusMonitorEnable";
  DbgMessage(FUNCNAME, "in");
  // The record is large; it lives on the heap, not on the job's stack.
  auto info = std::make_unique<SMCancelJobStruc>();
  info->JobID = jobId;
  DbgMessage(FUNCNAME, "SuppliesInfo size %d", static_cast<int>(sizeof(SuppliesInfo)));
  DbgMessage(FUNCNAME, "pErrorInfo size %d", static_cast<int>(sizeof(pErrorInfo)));
  DbgMessage(FUNCNAME, "SMCancelJobStruc size %d", static_cast<int>(sizeof(SMCancelJobStruc)));
  if (lib.fnReadWriteMemory) {
    char name[128];
    CopyBounded(name, sizeof name, PrinterName);
    lib.fnReadWriteMemory(SDK_Write, Write_JobID, name, info.get());
  }
  DbgMessage(FUNCNAME, "Out. rc = %d", TRUE);
}

void StatusMonitorDisable(const StatusLibrary& lib, const char* PrinterName, int jobId, bool cancelled) {
  static const char FUNCNAME[] = "StatusMonitorDisable";
  DbgMessage(FUNCNAME, "in");
  if (cancelled) {
    auto info = std::make_unique<SMCancelJobStruc>();
    info->JobID = jobId;
    info->CancelReady = 1;
    DbgMessage(FUNCNAME, "JobID = %d", info->JobID);
    DbgMessage(FUNCNAME, "CancelReady = %d", info->CancelReady);
    if (lib.fnReadWriteMemory) {
      char name[128];
      CopyBounded(name, sizeof name, PrinterName);
      lib.fnReadWriteMemory(SDK_Write, Write_JobID, name, info.get());
      lib.fnReadWriteMemory(SDK_Write, Write_CancelReady, name, info.get());
    }
  }
  DbgMessage(FUNCNAME, "Out. rc = %d", TRUE);
}

int IsJobPending(const char* printer, int jobId) {
  cups_job_t* jobs = nullptr;
  int n = cupsGetJobs(&jobs, printer, 0, CUPS_WHICHJOBS_ACTIVE);
  int pending = 0;
  for (int i = 0; i < n; ++i) {
    if (jobs[i].id == jobId && jobs[i].state == IPP_JSTATE_PENDING) pending = 1;
  }
  cupsFreeJobs(n, jobs);
  return pending;
}

void WakeNetPrinter(const StatusLibrary& lib, const PrinterAttribute& printer) {
  static const char FUNCNAME[] = "main";
  char port[sizeof printer.PortName];
  std::memcpy(port, printer.PortName, sizeof port);
  port[sizeof port - 1] = '\0';
  if (!lib.fnWeakupNetPrinter || std::strstr(port, "usb") != nullptr) return;
  int rc = lib.fnWeakupNetPrinter(port);
  if (rc == 0)
    DbgMessage(FUNCNAME, "fnWeakupNetPrinter success. rc = %d\n", rc);
  else
    DbgMessage(FUNCNAME, "fnWeakupNetPrinter failed. rc = %d\n", rc);
}
