// Prints what the filter's pending-job test says about a job of a queue:
// "1" when the scheduler lists it as pending, "0" otherwise. The end-to-end
// run points CUPS_SERVER at its private scheduler and compares the answer
// with the job states it set up (pending on a stopped queue, held).
//
// Usage: is_job_pending QUEUE JOB_ID
#include <cstdio>
#include <cstdlib>

#include "status_monitor.h"

// Checks the arguments and prints IsJobPending's answer.
int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: is_job_pending QUEUE JOB_ID\n");
    return 2;
  }
  char* end = nullptr;
  const long id = std::strtol(argv[2], &end, 10);
  if (*argv[2] == '\0' || *end != '\0' || id <= 0 || id > 0x7fffffff) {
    std::fprintf(stderr, "is_job_pending: bad job id \"%s\"\n", argv[2]);
    return 2;
  }
  std::printf("%d\n", IsJobPending(argv[1], static_cast<int>(id)));
  return 0;
}
