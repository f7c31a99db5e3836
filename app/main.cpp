// rastertopwg2-app: the printer application. PAPPL's main loop with its
// usual sub-commands, our server set-up (system.cpp); one driver per model.
#include <signal.h>

#include "drivers.h"
#include "system.h"

int main(int argc, char** argv) {
  // A printer stream that closes must be a failed write the job reports,
  // not a signal that ends the server.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  DriverTable table;
  LoadDriverTable(ModelDirectory(), table);
  return papplMainloop(argc, argv, RASTERTOPWG2_VERSION, nullptr, static_cast<int>(table.drivers.size()),
                       table.drivers.data(), AutoAddCallback, DriverCallback, nullptr, nullptr,
                       AppSystemCallback, nullptr, &table);
}
