// One look at a printer outside a job, for the printer application: the
// status library found and checked exactly as a job finds it, the printer
// selected by its queue name, one exchange with it, and the library let go
// again, so that a library replaced or removed meanwhile is seen at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "status_records.h"
#include "wintypes.h"

// What the library says about the printer: its error codes (the "no error"
// code removed) and the remaining usage of each consumable, indexed by
// enumUsageRemain (negative: not reported).
struct PrinterSnapshot {
  std::vector<int> codes;
  std::int64_t remain[USAGE_REMAIN_NUM] = {};
};

// The library's search path of a PPD: its Toolfd and Toolfd2 directories.
struct LibraryPlaces {
  std::string Toolfd, Toolfd2;
};

// Reads the printer's status: from the status-monitor program when it runs,
// else by a direct query unless the PPD's DriverFeature disables it. False
// when no library is loaded, it does not list the queue or has no way to ask.
bool TakePrinterSnapshot(const char* queue, const LibraryPlaces& places, DWORD DriverFeature,
                         PrinterSnapshot& out);

// Hands text to the status-monitor program, which shows it for the
// printer. False when there is no library, no such printer or no monitor.
bool ShowPrinterMessage(const char* queue, const LibraryPlaces& places, const char* text);
