// rastertopwg2: CUPS filter from CUPS raster to the printer's GDI stream.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "filter_job.h"
#include "trace.h"

int main(int argc, char** argv) {
  // A closed printer stream must show up as a failed write that the job can
  // report and clean up after, not as a signal that ends the process.
  signal(SIGPIPE, SIG_IGN);
  // Likewise a file-size limit on the output: the write fails with EFBIG,
  // which the job reports, instead of the process being killed.
  signal(SIGXFSZ, SIG_IGN);
  // A standard descriptor left closed is taken by /dev/null at once: else
  // the next file the job opens (the PPD, the capability file) would get
  // its number, and the printer stream would be written into that file.
  const bool noStdout = fcntl(STDOUT_FILENO, F_GETFD) < 0;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
    if (fcntl(fd, F_GETFD) < 0) open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
  if (noStdout) {
    CupsMessage(stderr, "ERROR: ", "Standard output is closed: the printer stream has nowhere to go");
    return 1;
  }
  return RunFilterJob(argc, argv, std::getenv("PPD"), stdout, stderr);
}
