// The status-monitor library as the job sees it: its entry points, each
// NULL while no library is loaded (callers test each one before use, so the
// filter prints without it), and the job's link to the scheduler's job list.
#pragma once

#include "status_records.h"
#include "wintypes.h"

using GetPrinterList_s_t = int (*)(PrinterAttribute*, int, int*);
using SendPrinterControl_t = int (*)(char*, int, void*, int);
using QueryPrinterStatus_t = int (*)(char*, pErrorInfo*, SuppliesInfo*);
using ReadWriteMemory_t = int (*)(int, int, char*, SMCancelJobStruc*);
using IsPSMRunning_t = int (*)();
using ReadWriteMemoryEx_t = int (*)(int, int, char*, SMMemDataEx*, int);
using WeakupNetPrinter_t = int (*)(char*);

// How a job uses the status monitor. Any use but the first means no
// announcement to the monitor, no live capability query (the printer-less
// capability file instead) and no farewell to the monitor at the end.
enum class MonitorUse {
  Used,           // the status monitor is told about the job
  DisabledByPpd,  // the PPD's "Disable status monitor" bit
  JobToFile,      // the queue's device writes a file, not to a printer
};

// One job's table of the library's entries. The entries belong to the job:
// another job in the same process may have loaded another library.
struct StatusLibrary {
  StatusLibrary() = default;
  StatusLibrary(const StatusLibrary&) = delete;
  StatusLibrary& operator=(const StatusLibrary&) = delete;
  // A job that never reached its teardown still lets go of the library.
  ~StatusLibrary();

  GetPrinterList_s_t fnGetPrinterList_s = nullptr;
  SendPrinterControl_t fnSendPrinterControl = nullptr;
  QueryPrinterStatus_t fnQueryPrinterStatus = nullptr;
  ReadWriteMemory_t fnReadWriteMemory = nullptr;
  IsPSMRunning_t fnIsPSMRunning = nullptr;
  ReadWriteMemoryEx_t fnReadWriteMemoryEx = nullptr;
  WeakupNetPrinter_t fnWeakupNetPrinter = nullptr;
  void* lib_handle = nullptr;
};

// Loads the first library found on the search path (the fixed places, then
// the PPD's Toolfd and Toolfd2 directories when not empty) that root alone
// can change (LoadRootOnlyLibrary; one passed over gets a trace line), takes
// its entries, fills myPrinters (kPrinterListSize records) and sets
// *selectedPrinter to the last record named WorkPrinter; without a match it
// keeps its value.
inline constexpr int kPrinterListSize = 70;
void LoadStatusMonitor(StatusLibrary& lib, PrinterAttribute* myPrinters, int* printerNumber,
                       int* selectedPrinter, const char* WorkPrinter, const char* Toolfd,
                       const char* Toolfd2);

// Unloads the library and clears every entry.
void CloseStatusMonitor(StatusLibrary& lib);

// Tells the status monitor which job runs on the printer.
void StatusMonitorEnable(const StatusLibrary& lib, const char* PrinterName, int jobId);
// At job end: tells the monitor that a cancelled job is wound down.
void StatusMonitorDisable(const StatusLibrary& lib, const char* PrinterName, int jobId, bool cancelled);

// Nonzero when the scheduler lists job `jobId` of `printer` as pending
// (job state 3), as after a lost connection to the printer.
int IsJobPending(const char* printer, int jobId);

// Wakes a network printer (not a USB one) through the status library.
void WakeNetPrinter(const StatusLibrary& lib, const PrinterAttribute& printer);
