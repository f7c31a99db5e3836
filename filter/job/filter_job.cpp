// Filter entry: argument check, job configuration and start-up in order,
// then the page loop and teardown.
#include "filter_job.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "capability.h"
#include "colour_plugin.h"
#include "feature_bits.h"
#include "job_config.h"
#include "job_context.h"
#include "job_record.h"
#include "page_loop.h"
#include "paper_table.h"
#include "paths.h"
#include "shims.h"
#include "status_monitor.h"
#include "trace.h"

namespace {

const char FUNCNAME[] = "main";

// Handler of SIGTERM, SIGINT and SIGHUP: counts the signal, which every job
// looks at, and clears a printer error reported to the scheduler;
// async-signal-safe calls only.
void term(int /*signo*/) {
  NoteTermSignal();
  if (TakeReportedPrinterError()) {
    [[maybe_unused]] ssize_t n =
        write(STDERR_FILENO, kClearPrinterErrorLine, sizeof kClearPrinterErrorLine - 1);
  }
}

// Describes the toner supply; its level comes only from the status thread,
// when a status library measures one.
void WriteMarkerAttributes(FILE* err) {
  CupsMessage(err, "ATTR: ", "marker-types=toner");
  CupsMessage(err, "ATTR: ", "marker-names=toner");
  CupsMessage(err, "ATTR: ", "marker-colors=#000000");
  CupsMessage(err, "ATTR: ", "marker-high-levels=100");
  CupsMessage(err, "ATTR: ", "marker-low-levels=0");
  CupsMessage(err, "ATTR: ", "marker-message='Printer Info'");
}

// With "Abort job when error" the first page waits until the thread has
// seen the printer free of errors or has ended. The hold is raised before
// the thread starts: a thread that ends at once (no status source) releases
// it, and a hold raised after that would never be released.
void StartStatusThread(FilterJob& job) {
  StatusThreadInfo info;
  info.WorkPrinter = job.Selected();
  info.IsPSMExist = job.IsPSM_Exist;
  info.DriverFeature = job.DriverFeature;
  if (job.DriverFeature & DF_ABORT_ON_ERROR) job.events.errorSuspend.store(1, std::memory_order_release);
  if (job.statusThread.Start(job.statusLib, info)) {
    DbgMessage(FUNCNAME, "gstatus_id = %d", static_cast<int>(job.statusThread.NativeId()));
  } else {
    DbgMessage(FUNCNAME, "status thread not started");
    job.events.errorSuspend.store(0, std::memory_order_release);
    job.events.Notify();
  }
}

// The raster input as libcups reads it, counted, so that the page loop can
// tell the end of the input from a page header that is there but unreadable.
ssize_t ReadRasterInput(void* ctx, unsigned char* buf, std::size_t bytes) {
  FilterJob& job = *static_cast<FilterJob*>(ctx);
  ssize_t n;
  while ((n = read(job.fd, buf, bytes)) < 0 && (errno == EINTR || errno == EAGAIN)) {
  }
  if (n > 0) job.inputBytes += static_cast<std::uint64_t>(n);
  if (n == 0) job.inputEnded = true;
  return n;
}

// Everything from the argument check to the page loop; the job's threads
// are started here and stopped by the page loop's teardown.
int RunJob(FilterJob& job, int argc, char** argv, const char* ppd_path, FILE* out, FILE* err) {
  job.argc = argc;
  job.argv = argv;
  job.jobtick = GetTickCount();

  getFilePath();

  // Installed after the job's cancel state exists, which counts only
  // signals from its own start on: a SIGTERM from here on is never lost.
  // An interrupt or a hang-up of the controlling terminal ends the job the
  // same way, with the cancel trailer, instead of leaving the printer in
  // the middle of a page. No SA_RESTART: a blocked call returns and the
  // caller looks at the cancel.
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  action.sa_handler = term;
  for (int signo : {SIGTERM, SIGINT, SIGHUP}) sigaction(signo, &action, nullptr);

  DbgMessage(FUNCNAME, "getpid id = %d, filter2", static_cast<int>(getpid()));

  if (argc < 6 || argc > 7) {
    std::fputs("Usage: FILTER JOD_ID USERNAME DOC_TITLE COPIES OPTIONS [FILENAME]\n", out);
    std::fflush(out);
    return 1;
  }
  if (argc == 7) {
    job.fd = open(argv[6], O_RDONLY | O_CLOEXEC);
    if (job.fd < 0) {
      CupsMessage(err, "ERROR: ", "Unable to open print file: %s", std::strerror(errno));
      job.fd = 0;
      return 1;
    }
  }

  job.events.trace.jobId = std::atoi(argv[1]);
  DbgMessage(FUNCNAME, "argc = %d, %ld", argc, static_cast<long>(std::time(nullptr)));
  for (int i = 0; i < argc; ++i) DbgMessage(FUNCNAME, "argv[%d] = %s", i, argv[i]);
  CopyBounded(job.jobID, sizeof job.jobID, argv[1]);
  LogTime(job.jobID, "filter in");

  job.inras = cupsRasterOpenIO(ReadRasterInput, &job, CUPS_RASTER_READ);
  // Bytes that are not a raster stream are a failed job, not an empty one:
  // without this the job would print nothing and still count as printed.
  // An empty input stays a job without pages.
  if (!job.inras && (job.inputBytes > 0 || std::strstr(cupsRasterErrorString(), "Unknown raster format"))) {
    CupsMessage(err, "ERROR: ", "The print data is not a CUPS raster stream");
    return 1;
  }
  job.ppd = ppd_path ? ppdOpenFile(ppd_path) : nullptr;
  BuildPaperList(job.ppd, job.paperTable);

  ReadPpdAttributes(job);
  TraceDriverFeature(job.DriverFeature);
  // Once per job: every colour page of the job converts through it.
  if (job.cupslibCMYK[0])
    LoadColourPluginOrWarn(job.colourPlugin, ColourPluginDir(), job.cupslibCMYK, job.cupsiccCMYK, err);
  ScanJobOptions(job, argv[5]);

  job.JobPending = IsJobPending(argv[0], job.events.trace.jobId);

  LogTime(job.jobID, "check printer list");
  cups_dest_t* dests = nullptr;
  int num_dests = cupsGetDests(&dests);
  ScanDestinations(job, argv[0], dests, num_dests);
  cupsFreeDests(num_dests, dests);
  if (job.DriverFeature & DF_DISABLE_STATUS_MONITOR) {
    DbgMessage(FUNCNAME, "IgnorePSM");
    job.IgnorePSM = 1;
  }
  DbgMessage(FUNCNAME, "gJobID = %d", job.events.trace.jobId);

  // One-plane pages are coded by their workers, in parallel.
  job.ring.compress = ImageCompress;
  if (job.output.Start()) {
    DbgMessage(FUNCNAME, "gjbig_id = %d", static_cast<int>(job.output.NativeId()));
  } else {
    // Nothing can reach the printer: a failed job, not a cancelled one.
    job.port.NoteFailure("Unable to start the output thread", EAGAIN);
  }

  // The status library, when one is loaded, selects the printer and wakes it.
  LoadStatusMonitor(job.statusLib, job.myPrinters, &job.printerNumber, &job.selectedPrinter, argv[0],
                    job.Toolfd, job.Toolfd2);
  DbgMessage(FUNCNAME, "SelectPrnter = %d", job.selectedPrinter);
  WakeNetPrinter(job.statusLib, job.Selected());
  if (job.statusLib.fnIsPSMRunning) {
    job.IsPSM_Exist = job.statusLib.fnIsPSMRunning();
    DbgMessage(FUNCNAME, "IsPSM_Exist = %d", job.IsPSM_Exist);
  }
  if (job.IgnorePSM == 0) StatusMonitorEnable(job.statusLib, argv[0], job.events.trace.jobId);

  ObtainCapability(job.statusLib, job.Selected(), job.IgnorePSM, job.DriverFeature, argv[0], job.PrnCapInfo,
                   err);
  WriteMarkerAttributes(err);

  StartStatusThread(job);

  LogTime(job.jobID, "start page data");
  return RunJobPages(job);
}

}  // namespace

FilterJob::FilterJob(FILE* out, FILE* err)
    : events(err), port(events, out), ring(events), reports(err), output(ring, port, spool, reports) {}

const PrinterAttribute& FilterJob::Selected() const {
  static const PrinterAttribute kNoPrinter{};
  if (selectedPrinter < 0 || selectedPrinter >= printerNumber || selectedPrinter >= kMaxPrinters)
    return kNoPrinter;
  return myPrinters[selectedPrinter];
}

int RunFilterJob(int argc, char** argv, const char* ppd_path, FILE* out, FILE* err) {
  auto job = std::make_unique<FilterJob>(out, err);
  TraceScope trace(&job->events.trace);
  return RunJob(*job, argc, argv, ppd_path, out, err);
}
