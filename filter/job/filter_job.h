// The filter job as a function: everything `main` does, with the arguments,
// the PPD path and the two streams as parameters, so that tests and other
// front ends run a whole job in process.
#pragma once

#include <cstdio>
#include <functional>

// Runs one job exactly as the CUPS filter does: argv[0] queue, argv[1] job id,
// argv[2] user, argv[3] title, argv[4] copies, argv[5] options, argv[6]
// optional input file. Returns the exit status: 1 for a wrong argument
// count, an input that cannot be read, or a job of which nothing could be
// printed; 0 otherwise (a cancelled job included).
int RunFilterJob(int argc, char** argv, const char* ppd_path, FILE* out, FILE* err);

// One job for a front end that owns the process's signals: the same run as
// RunFilterJob, but instead of handlers of SIGTERM, SIGINT and SIGHUP the
// job polls isCancelled (from a thread of its own, a few times a second)
// and, once it says so, ends as on a SIGTERM: after the last whole page
// block, with the cancel trailer.
struct JobRun {
  int argc = 0;
  char** argv = nullptr;  // as for RunFilterJob
  const char* ppdPath = nullptr;
  FILE* out = nullptr;  // the printer stream
  FILE* err = nullptr;  // the scheduler lines
  std::function<bool()> isCancelled;
  // No CUPS scheduler runs the queue (a printer application): the job asks
  // none about its state or the queue's destination, which another
  // scheduler on the host would answer about a queue of the same name.
  bool noScheduler = false;
};
int RunFilterJobWith(const JobRun& run);
