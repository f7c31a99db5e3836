// Small platform services the rest of the filter takes for granted: a
// millisecond tick, the free-memory figure, a digit parser, the working
// directory and a sleep.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "wintypes.h"

// Monotonic milliseconds, wrapping at 2^32; traces the value it returns.
DWORD GetTickCount();
// Seconds from tick (an earlier GetTickCount) to now, for the exit traces.
double SecondsSince(DWORD tick);

// Releases what malloc gave, for std::unique_ptr.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
// Available (free) physical memory in bytes.
std::uint64_t AvailableMemory();
// Value of the leading run of decimal digits; 0 when there is none.
// Saturates at INT_MAX instead of overflowing.
int str2Int(const char* string);

// Traces the working directory of the filter.
void getFilePath();

void Sleep(DWORD msec);

// A page-sized buffer, released with std::free. Large ones are asked for on
// huge pages: a fresh page buffer otherwise faults in 4 KiB at a time, and
// every page of a job gets a fresh one.
void* AllocPageBuffer(std::size_t size);
