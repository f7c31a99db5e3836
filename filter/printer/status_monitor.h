// The status-monitor library as the job sees it: its entry points, each
// NULL while no library is loaded (callers test each one before use, so the
// filter prints without it), and the job's link to the scheduler's job list.
#pragma once

#include "status_records.h"
#include "wintypes.h"

// PRINT_FUNC code of the capability query.
inline constexpr int PRINT_QUERY_CAPABILITY = 13;

using GetPrinterList_s_t = int (*)(PrinterAttribute*, int, int*);
using SendPrinterControl_t = int (*)(char*, int, void*, int);
using IsPSMRunning_t = int (*)();
using WeakupNetPrinter_t = int (*)(char*);

// One job's table of the library's entries.
struct StatusLibrary {
  GetPrinterList_s_t fnGetPrinterList_s = nullptr;
  SendPrinterControl_t fnSendPrinterControl = nullptr;
  IsPSMRunning_t fnIsPSMRunning = nullptr;
  WeakupNetPrinter_t fnWeakupNetPrinter = nullptr;
  void* lib_handle = nullptr;
};

// Nonzero when the scheduler lists job `jobId` of `printer` as pending
// (job state 3), as after a lost connection to the printer.
int IsJobPending(const char* printer, int jobId);

// Wakes a network printer (not a USB one) through the status library.
void WakeNetPrinter(const StatusLibrary& lib, const PrinterAttribute& printer);
