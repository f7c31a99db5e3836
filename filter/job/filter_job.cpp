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
#include <thread>

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
  info.WorkPrinter = job.printer.Selected();
  info.IsPSMExist = job.printer.monitorRunning ? 1 : 0;
  info.DriverFeature = job.config.DriverFeature;
  if (info.DriverFeature & DF_ABORT_ON_ERROR) job.events.errorSuspend.store(1, std::memory_order_release);
  if (job.statusThread.Start(job.printer.statusLib, info)) {
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
  RasterInput& input = *static_cast<RasterInput*>(ctx);
  ssize_t n;
  while ((n = read(input.fd, buf, bytes)) < 0 && (errno == EINTR || errno == EAGAIN)) {
  }
  if (n > 0) input.bytes += static_cast<std::uint64_t>(n);
  if (n == 0) input.ended = true;
  return n;
}

// Installed after the job's cancel state exists, which counts only signals
// from its own start on: a SIGTERM from here on is never lost. An interrupt
// or a hang-up of the controlling terminal ends the job the same way, with
// the cancel trailer, instead of leaving the printer in the middle of a
// page. No SA_RESTART: a blocked call returns and the caller looks at the
// cancel.
void InstallCancelHandler() {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  action.sa_handler = term;
  for (int signo : {SIGTERM, SIGINT, SIGHUP}) sigaction(signo, &action, nullptr);
}

// Arguments, raster input, PPD, options and destination: the job's
// configuration. False, with the message written, when the job cannot run;
// whatever was opened by then is closed by its owner in the job.
bool ConfigureJob(FilterJob& job, int argc, char** argv, const char* ppd_path, FILE* out, FILE* err) {
  JobConfig& config = job.config;
  if (argc < 6 || argc > 7) {
    std::fputs("Usage: FILTER JOD_ID USERNAME DOC_TITLE COPIES OPTIONS [FILENAME]\n", out);
    std::fflush(out);
    return false;
  }
  if (argc == 7) {
    const int fd = open(argv[6], O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      CupsMessage(err, "ERROR: ", "Unable to open print file: %s", std::strerror(errno));
      return false;
    }
    job.input.fd = fd;
  }
  config.queue = argv[0];
  config.user = argv[2];
  config.title = argv[3];

  job.events.trace.jobId = std::atoi(argv[1]);
  DbgMessage(FUNCNAME, "argc = %d, %ld", argc, static_cast<long>(std::time(nullptr)));
  for (int i = 0; i < argc; ++i) DbgMessage(FUNCNAME, "argv[%d] = %s", i, argv[i]);
  CopyBounded(config.jobID, sizeof config.jobID, argv[1]);
  LogTime(config.jobID, "filter in");

  job.input.stream.reset(cupsRasterOpenIO(ReadRasterInput, &job.input, CUPS_RASTER_READ));
  // Bytes that are not a raster stream are a failed job, not an empty one:
  // without this the job would print nothing and still count as printed.
  // An empty input stays a job without pages.
  if (!job.input.stream &&
      (job.input.bytes > 0 || std::strstr(cupsRasterErrorString(), "Unknown raster format"))) {
    CupsMessage(err, "ERROR: ", "The print data is not a CUPS raster stream");
    return false;
  }
  job.ppd.reset(ppd_path ? ppdOpenFile(ppd_path) : nullptr);
  BuildPaperList(job.ppd.get(), config.paperTable);

  ReadPpdAttributes(job.ppd.get(), config);
  TraceDriverFeature(config.DriverFeature);
  // Once per job: every colour page of the job converts through it.
  if (config.cupslibCMYK[0])
    LoadColourPluginOrWarn(job.colourPlugin, ColourPluginDir(), config.cupslibCMYK, config.cupsiccCMYK, err);
  ScanJobOptions(config, job.options, job.ppd.get(), argv[5]);

  if (config.askScheduler) {
    config.pendingAtStart = IsJobPending(config.queue, job.events.trace.jobId) != 0;
    LogTime(config.jobID, "check printer list");
    cups_dest_t* dests = nullptr;
    int num_dests = cupsGetDests(&dests);
    ScanDestinations(config, config.queue, dests, num_dests);
    cupsFreeDests(num_dests, dests);
  }
  if (config.DriverFeature & DF_DISABLE_STATUS_MONITOR) {
    DbgMessage(FUNCNAME, "IgnorePSM");
    config.monitorUse = MonitorUse::DisabledByPpd;
  }
  DbgMessage(FUNCNAME, "gJobID = %d", job.events.trace.jobId);
  return true;
}

// The status library, when one is loaded, selects the printer and wakes
// it; then the capability bytes.
void ConnectPrinter(FilterJob& job, FILE* err) {
  const JobConfig& config = job.config;
  PrinterLink& printer = job.printer;
  LoadStatusMonitor(printer.statusLib, printer.myPrinters, &printer.printerNumber, &printer.selectedPrinter,
                    config.queue, config.Toolfd, config.Toolfd2);
  DbgMessage(FUNCNAME, "SelectPrnter = %d", printer.selectedPrinter);
  WakeNetPrinter(printer.statusLib, printer.Selected());
  if (printer.statusLib.fnIsPSMRunning) {
    printer.monitorRunning = printer.statusLib.fnIsPSMRunning() != 0;
    DbgMessage(FUNCNAME, "IsPSM_Exist = %d", printer.monitorRunning ? 1 : 0);
  }
  if (config.monitorUse == MonitorUse::Used)
    StatusMonitorEnable(printer.statusLib, config.queue, job.events.trace.jobId);

  ObtainCapability(printer.statusLib, printer.Selected(), config.monitorUse, config.DriverFeature,
                   config.queue, printer.PrnCapInfo, err);
}

// Everything from the argument check to the page loop; the job's threads
// are started here and stopped by the page loop's teardown.
int RunJob(FilterJob& job, int argc, char** argv, const char* ppd_path, FILE* out, FILE* err,
           bool signalHandlers) {
  job.startTick = GetTickCount();
  getFilePath();
  if (signalHandlers) InstallCancelHandler();
  DbgMessage(FUNCNAME, "getpid id = %d, filter2", static_cast<int>(getpid()));

  if (!ConfigureJob(job, argc, argv, ppd_path, out, err)) return 1;
  job.loop.DriverFeature = job.config.DriverFeature;
  job.loop.MaxMediaWidth = job.config.MaxMediaWidth;
  job.loop.MaxMediaHeight = job.config.MaxMediaHeight;

  // One-plane pages are coded by their workers, in parallel.
  job.ring.compress = ImageCompress;
  if (job.output.Start()) {
    DbgMessage(FUNCNAME, "gjbig_id = %d", static_cast<int>(job.output.NativeId()));
  } else {
    // Nothing can reach the printer: a failed job, not a cancelled one.
    job.port.NoteFailure("Unable to start the output thread", EAGAIN);
  }

  ConnectPrinter(job, err);
  WriteMarkerAttributes(err);
  StartStatusThread(job);

  LogTime(job.config.jobID, "start page data");
  return RunJobPages(job);
}

}  // namespace

FilterJob::FilterJob(FILE* out, FILE* err)
    : events(err), port(events, out), ring(events), reports(err), output(ring, port, spool, reports) {}

const PrinterAttribute& PrinterLink::Selected() const {
  static const PrinterAttribute kNoPrinter{};
  if (selectedPrinter < 0 || selectedPrinter >= printerNumber || selectedPrinter >= kMaxPrinters)
    return kNoPrinter;
  return myPrinters[selectedPrinter];
}

int RunFilterJob(int argc, char** argv, const char* ppd_path, FILE* out, FILE* err) {
  auto job = std::make_unique<FilterJob>(out, err);
  TraceScope trace(&job->events.trace);
  return RunJob(*job, argc, argv, ppd_path, out, err, true);
}

int RunFilterJobWith(const JobRun& run) {
  auto job = std::make_unique<FilterJob>(run.out, run.err);
  job->config.askScheduler = !run.noScheduler;
  TraceScope trace(&job->events.trace);
  if (!run.isCancelled) return RunJob(*job, run.argc, run.argv, run.ppdPath, run.out, run.err, false);

  // The front end's cancel becomes the job's own, which every wait of the
  // job wakes up for; the watcher ends with the job.
  bool ended = false;
  std::thread watcher([&run, &job, &ended] {
    JobEvents& events = job->events;
    while (!events.WaitFor(std::chrono::milliseconds(200), [&ended] { return ended; })) {
      if (run.isCancelled()) {
        events.Cancel();
        break;
      }
    }
  });
  const int status = RunJob(*job, run.argc, run.argv, run.ppdPath, run.out, run.err, false);
  job->events.ChangeAndNotify([&ended] { ended = true; });
  watcher.join();
  return status;
}
