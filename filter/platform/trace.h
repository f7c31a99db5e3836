// Trace log of the filter: one call per event, each line whole.
//
// Lines go to "/tmp/cups/printer.log" (with time and job number) when that
// directory is readable and writable and can be trusted (a real directory of
// the filter's user or root that no other user can write to, holding a log
// file of the same kind), else to the job's error stream as "DEBUG: " lines
// for the scheduler, with one line saying why a trace directory or file that
// exists was passed over. Every function passes its own FUNCNAME,
// a fixed label of the line rather than the C++ name.
//
// Which job a line belongs to is bound per thread (TraceScope): every thread
// a job starts binds itself to the job's TraceTarget first, so that several
// jobs in one process each trace under their own number and stream.
#pragma once

#include <cups/raster.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "wintypes.h"

// Longest trace line including prefixes and line end; longer lines are cut.
inline constexpr std::size_t kTraceLineMax = 2048;

// The job a thread traces for: its number and its message stream.
struct TraceTarget {
  int jobId = 0;                                 // CUPS job number; 0 before the arguments are read
  FILE* err = stderr;                            // where "DEBUG: " lines go without a trace file
  mutable std::atomic<bool> refusalSaid{false};  // the job was told why the trace file is not used
};

// Binds the calling thread's trace lines to target for the scope's lifetime.
class TraceScope {
 public:
  explicit TraceScope(const TraceTarget* target);
  ~TraceScope();
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;

 private:
  const TraceTarget* previous_;
};

// The trace directory, "/tmp/cups" under the fixed path root. Lines go there
// while TrustedDir (paths.h) accepts it; the CMYK page dumps follow them.
std::string TraceDirectory();

void DbgMessage(LPCTSTR funcName, const char* szMsgFormat, ...) __attribute__((format(printf, 2, 3)));

// Writes a function's "In" line when made and its "Out" line when the
// function returns, whichever return that is. funcName must outlive it.
class FunctionTrace {
 public:
  explicit FunctionTrace(const char* funcName) : funcName_(funcName) { DbgMessage(funcName_, "In"); }
  ~FunctionTrace() { DbgMessage(funcName_, "Out"); }
  FunctionTrace(const FunctionTrace&) = delete;
  FunctionTrace& operator=(const FunctionTrace&) = delete;

 private:
  const char* funcName_;
};

// Writes one message line for the scheduler ("ERROR: ", "STATE: ", "PAGE: "
// ... as prefix) in a single write. Every line the filter writes to its
// error stream goes through here or DbgMessage, and both make it exactly one
// line: control characters in the formatted text are written as visible
// escapes, since a newline from a title or a header string would otherwise
// start a line that cupsd obeys as a command.
void CupsMessage(FILE* err, const char* prefix, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Replaces every control character of text (below 0x20, and 0x7F) with a
// visible escape: "\n", "\r", "\t" or "\xHH". Other bytes are kept.
std::string EscapeControls(std::string_view text);

// A job milestone with the local date and time.
void LogTime(const char* jobID, const char* message);

// Traces every field of a raster page header, one line each.
void DisplayPageInfo(const cups_page_header2_t* inheader);
