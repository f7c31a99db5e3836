// Definitions of the job-wide state (see job_state.h).
#include "job_state.h"

std::atomic<int> gJobID{0};
std::atomic<int> gCancelJob{0};
std::atomic<int> gErrorSuspend{0};
std::atomic<BOOL> gJbigThreadExit{0};
std::atomic<BOOL> gStatusThreadExit{0};
std::atomic<BOOL> gSaveToFile{0};
std::atomic<DWORD> count_bytes{0};
std::atomic<int> gOutputSize{0};
std::atomic<int> gMAX_THREAD{1};
