// The pending-job test and the wake-up of network printers.
#include "status_monitor.h"

#include <cups/cups.h>

#include <cstring>

#include "trace.h"

int IsJobPending(const char* printer, int jobId) {
  cups_job_t* jobs = nullptr;
  int n = cupsGetJobs(&jobs, printer, 0, CUPS_WHICHJOBS_ACTIVE);
  int pending = 0;
  for (int i = 0; i < n; ++i) {
    if (jobs[i].id == jobId && jobs[i].state == IPP_JSTATE_PENDING) pending = 1;
  }
  cupsFreeJobs(n, jobs);
  return pending;
}

void WakeNetPrinter(const StatusLibrary& lib, const PrinterAttribute& printer) {
  static const char FUNCNAME[] = "main";
  if (!lib.fnWeakupNetPrinter || std::strstr(printer.PortName, "usb") != nullptr) return;
  char port[sizeof printer.PortName];
  std::memcpy(port, printer.PortName, sizeof port);
  port[sizeof port - 1] = '\0';
  int rc = lib.fnWeakupNetPrinter(port);
  if (rc == 0)
    DbgMessage(FUNCNAME, "fnWeakupNetPrinter success. rc = %d\n", rc);
  else
    DbgMessage(FUNCNAME, "fnWeakupNetPrinter failed. rc = %d\n", rc);
}
