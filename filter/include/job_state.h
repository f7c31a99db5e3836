// Job-wide state shared by the main thread, the page workers, the output
// thread, the status thread and the SIGTERM handler. Flags are stored with
// release and loaded with acquire ordering.
#pragma once

#include <atomic>

#include "wintypes.h"

extern std::atomic<int> gJobID;              // CUPS job id (argv[1]); 0 before parsing
extern std::atomic<int> gCancelJob;          // job cancelled (status thread, SIGTERM, page loop)
extern std::atomic<int> gErrorSuspend;       // printer error: the page loop holds
extern std::atomic<BOOL> gJbigThreadExit;    // stop request to the output thread
extern std::atomic<BOOL> gStatusThreadExit;  // stop request to the status thread
extern std::atomic<BOOL> gSaveToFile;        // pages go to the spool file
extern std::atomic<DWORD> count_bytes;       // bytes sent to the printer stream
extern std::atomic<int> gOutputSize;         // output byte counter of the stream writers
extern std::atomic<int> gMAX_THREAD;         // page slots in use, 1..5

inline int LoadFlag(const std::atomic<int>& f) {
  return f.load(std::memory_order_acquire);
}
inline void StoreFlag(std::atomic<int>& f, int v) {
  f.store(v, std::memory_order_release);
}
