// Small platform services the rest of the filter takes for granted: a
// millisecond tick, the free-memory figure, a digit parser, the working
// directory, process lookup, and Win32-style memory and file helpers.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "wintypes.h"

// Monotonic milliseconds, wrapping at 2^32; traces the value it returns.
DWORD GetTickCount();
// Available (free) physical memory in bytes.
std::uint64_t getTotalSystemMemory();
// Value of the leading run of decimal digits; 0 when there is none.
// Saturates at INT_MAX instead of overflowing.
int str2Int(const char* string);

// Working directory of the filter, filled by getFilePath().
extern char exePath[128];
void getFilePath();

// Process lookup by program path (/proc scan) or through pidof.
pid_t proc_find_s2(const char* name);
int proc_find_1(const char* name);

HFILE _lopen(LPCTSTR fname, int flag);
HFILE _lcreat(LPCTSTR fname, int flag);
void FillMemory(void* dest, DWORD count, short fbyte);
void ZeroMemory(void* dest, DWORD count);
void MoveMemory(void* dest, const void* src, DWORD count);
void CopyMemory(void* dest, const void* src, DWORD count);
void Sleep(DWORD msec);
BOOL DeleteFile(const char* fname);
HGLOBAL GlobalAlloc(int dummy, long msize);
HGLOBAL GlobalLock(HGLOBAL hmem);
BOOL GlobalUnlock(HGLOBAL hmem);
HGLOBAL GlobalFree(HGLOBAL hmem);
