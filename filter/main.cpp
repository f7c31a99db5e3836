// rastertopwg2: CUPS filter from CUPS raster to the printer's GDI stream.
#include <signal.h>

#include <cstdlib>

#include "filter_job.h"

int main(int argc, char** argv) {
  // A closed printer stream must show up as a failed write that the job can
  // report and clean up after, not as a signal that ends the process.
  signal(SIGPIPE, SIG_IGN);
  return RunFilterJob(argc, argv, std::getenv("PPD"), stdout, stderr);
}
