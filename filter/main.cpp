// rastertopwg2: CUPS filter from CUPS raster to the printer's GDI stream.
#include <cstdlib>

#include "filter_job.h"

int main(int argc, char** argv) {
  return RunFilterJob(argc, argv, std::getenv("PPD"), stdout, stderr);
}
