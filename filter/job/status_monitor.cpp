// Status-library entry pointers, the SIGTERM handler and the pending-job test.
#include "status_monitor.h"

#include <cups/cups.h>

#include <cstring>

#include "job_state.h"
#include "trace.h"

GetPrinterList_s_t fnGetPrinterList_s = nullptr;
SendPrinterControl_t fnSendPrinterControl = nullptr;
IsPSMRunning_t fnIsPSMRunning = nullptr;
WeakupNetPrinter_t fnWeakupNetPrinter = nullptr;
void* lib_handle = nullptr;

void term(int /*signo*/) {
  gCancelJob.store(1, std::memory_order_release);
}

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

void WakeNetPrinter(const PrinterAttribute& printer) {
  static const char FUNCNAME[] = "main";
  if (!fnWeakupNetPrinter || std::strstr(printer.PortName, "usb") != nullptr) return;
  char port[sizeof printer.PortName];
  std::memcpy(port, printer.PortName, sizeof port);
  port[sizeof port - 1] = '\0';
  int rc = fnWeakupNetPrinter(port);
  if (rc == 0)
    DbgMessage(FUNCNAME, "fnWeakupNetPrinter success. rc = %d\n", rc);
  else
    DbgMessage(FUNCNAME, "fnWeakupNetPrinter failed. rc = %d\n", rc);
}
