// Trace log of the filter: one call per event, each line whole.
//
// Lines go to "/tmp/cups/printer.log" (with time and job number) when that
// directory is readable and writable, else to the job's error stream as
// "DEBUG: " lines for the scheduler. Every function passes its own FUNCNAME.
#pragma once

#include <cups/raster.h>

#include <cstdint>
#include <cstdio>

#include "wintypes.h"

// Longest trace line including prefixes and line end; longer lines are cut.
inline constexpr std::size_t kTraceLineMax = 2048;

void DbgMessage(LPCTSTR funcName, const char* szMsgFormat, ...) __attribute__((format(printf, 2, 3)));
void DbgMsg(const char* szMsgFormat, ...) __attribute__((format(printf, 1, 2)));

// Traces every field of a raster page header, one line each.
void DisplayPageInfo(const cups_page_header2_t* inheader);
