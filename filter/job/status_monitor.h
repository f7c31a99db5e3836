// Entry points of the status-monitor library and the job's link to the
// scheduler's job list. Every entry pointer is NULL while no library is
// loaded; callers test each one before use, so the filter prints without it.
#pragma once

#include "status_records.h"
#include "wintypes.h"

// PRINT_FUNC code of the capability query.
inline constexpr int PRINT_QUERY_CAPABILITY = 13;

using GetPrinterList_s_t = int (*)(PrinterAttribute*, int, int*);
using SendPrinterControl_t = int (*)(char*, int, void*, int);
using IsPSMRunning_t = int (*)();
using WeakupNetPrinter_t = int (*)(char*);

extern GetPrinterList_s_t fnGetPrinterList_s;
extern SendPrinterControl_t fnSendPrinterControl;
extern IsPSMRunning_t fnIsPSMRunning;
extern WeakupNetPrinter_t fnWeakupNetPrinter;
extern void* lib_handle;

// SIGTERM handler: only marks the job cancelled; the loops look at the flag.
void term(int signo);

// Nonzero when the scheduler lists job `jobId` of `printer` as pending
// (job state 3), as after a lost connection to the printer.
int IsJobPending(const char* printer, int jobId);

// Wakes a network printer (not a USB one) through the status library.
void WakeNetPrinter(const PrinterAttribute& printer);
