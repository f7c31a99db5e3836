// Prints what the filter's pending-job test says about a job of a queue:
// "1" when the scheduler lists it as pending, "0" otherwise. The end-to-end
// run points CUPS_SERVER at its private scheduler and compares the answer
// with the job states it set up (pending on a stopped queue, held).
//
// Usage: is_job_pending QUEUE JOB_ID
#include <cstdio>
#include <cstdlib>

#include "status_monitor.h"

int main(int argc, char** argv) {
  if (argc != 3 || std::atoi(argv[2]) <= 0) {
    std::fprintf(stderr, "usage: is_job_pending QUEUE JOB_ID\n");
    return 2;
  }
  std::printf("%d\n", IsJobPending(argv[1], std::atoi(argv[2])));
  return 0;
}
