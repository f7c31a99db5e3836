// Test helpers: a private root for the filter's fixed paths, raster files
// from the test-page writer, PPD variants, and whole jobs run in process or
// as the real filter program; with the headers most tests use.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "feature_bits.h"
#include "job_context.h"
#include "printer_stream.h"

namespace testing_support {

// True in the AddressSanitizer and ThreadSanitizer builds, whose runtimes
// reserve terabytes of address space, add their own memory to every peak
// and run the filter several times slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kUnderSanitizer = true;
#else
inline constexpr bool kUnderSanitizer = false;
#endif

// A fresh directory that the filter's fixed paths (/tmp/...) and TMPDIR
// point into for the lifetime of the object; removed afterwards.
class PrivateRoot {
 public:
  PrivateRoot();
  ~PrivateRoot();
  PrivateRoot(const PrivateRoot&) = delete;
  PrivateRoot& operator=(const PrivateRoot&) = delete;

  const std::string& dir() const { return dir_; }
  // dir() + path, e.g. Path("/tmp/cups").
  std::string Path(const std::string& path) const { return dir_ + path; }
  // Creates dir()/tmp/cups so that the trace goes to its printer.log.
  void EnableTraceFile() const;
  std::string TraceLog() const;

 private:
  std::string dir_;
  std::optional<std::string> savedTmpdir_;
};

std::string ReadFile(const std::string& path);
// Everything written to a read-write stream so far.
std::string Slurp(FILE* f);
void WriteFile(const std::string& path, const std::string& data);

// Writes a raster file with the test-page writer; args are its options.
std::string MakeRaster(const std::string& path, const std::vector<std::string>& args);

// Writes the sample PPD with attributes replaced or added ("DriverFeature"
// -> "16777216"); an empty value removes the attribute.
std::string MakePpd(const std::string& path, const std::map<std::string, std::string>& attrs = {});

struct JobResult {
  int status = -1;
  std::string out;     // printer stream
  std::string err;     // messages for the scheduler
  long maxRssKb = -1;  // the child's peak resident memory (FinishFilter only)
};

// Runs a whole job in process: queue, job id, user, title, copies, options
// and the raster file name (empty: no seventh argument).
JobResult RunJob(const std::string& ppd, const std::string& raster, const std::string& options = "",
                 const std::string& queue = "testq", const std::string& title = "title",
                 const std::string& user = "alice");

// Runs a whole job in process with exactly these arguments (argv[0] first).
JobResult RunJobArgs(std::vector<std::string> args, const std::string& ppd = "");

// Runs a shell command with its output and error streams captured.
JobResult RunCommand(const std::string& cmd);

// The filter program run as a child process: its printer stream and
// messages are drained through pipes, so that a test can hold the stream
// back (a write then blocks) or send signals to the child.
struct ChildOptions {
  std::map<std::string, std::string> env;  // added to (or replacing) ours
  std::string input;                       // standard input; empty: a pipe (Child::in)
  bool closeStdout = false;                // start with descriptor 1 closed
  long fileLimit = 0;                      // RLIMIT_FSIZE in bytes, SIGXFSZ ignored
  long memoryLimit = 0;                    // RLIMIT_AS in bytes; 0: none
  int uid = -1;                            // run as this user and group (from root); -1: as we are
  bool fileLimitSignals = false;           // with fileLimit: SIGXFSZ keeps its default action
  std::string output{};       // standard output to this new file (JobResult::out reads it); empty: a pipe
  int outPipeSize = 1 << 20;  // capacity of the standard output pipe
};
struct Child {
  int pid = -1, in = -1, out = -1, err = -1;
  std::string output;  // ChildOptions::output
};
// args start with argv[0], the queue name, as the scheduler passes them.
Child StartFilter(const std::vector<std::string>& args, const ChildOptions& opt = {});
// Drains and reaps the child; one that outlives the watchdog is killed and
// reported, as is one that ends on a signal (status -1). A test that reads
// the printer stream itself takes Child::out (setting it to -1) first.
JobResult FinishFilter(Child& c, int watchdogSeconds = 120);
// StartFilter, then FinishFilter.
JobResult RunFilter(const std::vector<std::string>& args, const ChildOptions& opt = {},
                    int watchdogSeconds = 120);
// Sends a signal to a child (or a process the test read the id of); never
// to an id <= 1: kill(-1) would reach every process of the machine.
void Signal(int pid, int signo);
// Waits (up to a watchdog) until the file holds needle.
bool WaitForText(const std::string& path, const std::string& needle, int watchdogSeconds = 60);

// Lines of text that contain needle.
std::vector<std::string> LinesWith(const std::string& text, const std::string& needle);
// Lines of a job's messages that start with prefix ("PAGE:"), leaving out
// the trace's DEBUG lines that quote them.
std::vector<std::string> Messages(const std::string& err, const std::string& prefix);

}  // namespace testing_support
