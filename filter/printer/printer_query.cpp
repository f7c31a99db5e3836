// One look at a printer outside a job (see printer_query.h).
#include "printer_query.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

#include "feature_bits.h"
#include "paths.h"
#include "status_monitor.h"
#include "status_thread.h"

namespace {

// Runs fn with the library loaded and the queue's record; false when either
// is missing.
bool WithPrinter(const char* queue, const LibraryPlaces& places,
                 const std::function<bool(const StatusLibrary&, char* name)>& fn) {
  StatusLibrary lib;
  auto list = std::make_unique<PrinterAttribute[]>(kPrinterListSize);
  int count = 0, selected = -1;
  LoadStatusMonitor(lib, list.get(), &count, &selected, queue, places.Toolfd.c_str(), places.Toolfd2.c_str());
  if (!lib.lib_handle || selected < 0) return false;
  char name[sizeof list[0].PrinterName];
  CopyBounded(name, sizeof name, list[selected].PrinterName);
  return fn(lib, name);
}

}  // namespace

bool TakePrinterSnapshot(const char* queue, const LibraryPlaces& places, DWORD DriverFeature,
                         PrinterSnapshot& out) {
  return WithPrinter(queue, places, [&](const StatusLibrary& lib, char* name) {
    // The record is large and the library's to fill: off the stack, zeroed.
    auto record = std::make_unique<SMCancelJobStruc>();
    if (lib.fnReadWriteMemory && lib.fnIsPSMRunning && lib.fnIsPSMRunning()) {
      lib.fnReadWriteMemory(SDK_Read, Read_None, name, record.get());
    } else if (lib.fnQueryPrinterStatus && !(DriverFeature & DF_DISABLE_STATUS_MONITOR)) {
      lib.fnQueryPrinterStatus(name, &record->PInfo.status, &record->PInfo.supplies);
    } else {
      return false;
    }
    // A count past the array is the library's fault: only codes it can
    // have filled are read.
    const int errNum = record->PInfo.status.ErrNum;
    const int n = std::clamp<int>(errNum, 0, 512);
    out.codes.clear();
    for (int i = 0; i < n; ++i) {
      const int code = record->PInfo.status.code[i];
      if (code != kNoErrorCode) out.codes.push_back(code);
    }
    for (int i = 0; i < USAGE_REMAIN_NUM; ++i) out.remain[i] = record->PInfo.supplies.UsageRemain[i];
    return true;
  });
}

bool ShowPrinterMessage(const char* queue, const LibraryPlaces& places, const char* text) {
  return WithPrinter(queue, places, [&](const StatusLibrary& lib, char* name) {
    if (!lib.fnReadWriteMemory) return false;
    auto record = std::make_unique<SMCancelJobStruc>();
    CopyBounded(record->Message, sizeof record->Message, text);
    lib.fnReadWriteMemory(SDK_Write, Write_Message, name, record.get());
    return true;
  });
}
