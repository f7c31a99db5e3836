// rastertopwg2-app: the printer application. PAPPL's main loop with its
// usual sub-commands and its default server set-up; one driver per model.
#include <signal.h>

#include "drivers.h"

int main(int argc, char** argv) {
  // A printer stream that closes must be a failed write the job reports,
  // not a signal that ends the server.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  DriverTable table;
  LoadDriverTable(ModelDirectory(), table);
  return papplMainloop(argc, argv, RASTERTOPWG2_VERSION, nullptr, static_cast<int>(table.drivers.size()),
                       table.drivers.data(), AutoAddCallback, DriverCallback, nullptr, nullptr, nullptr,
                       nullptr, &table);
}
