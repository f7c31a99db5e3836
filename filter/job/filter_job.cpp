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

#include "feature_bits.h"
#include "job_config.h"
#include "job_context.h"
#include "job_record.h"
#include "job_state.h"
#include "job_streams.h"
#include "page_loop.h"
#include "page_output.h"
#include "page_pipeline.h"
#include "page_report.h"
#include "paper.h"
#include "paths.h"
#include "shims.h"
#include "status_monitor.h"
#include "trace.h"

namespace {

const char FUNCNAME[] = "main";

void ResetJobState() {
  count_bytes.store(0, std::memory_order_release);
  gSaveToFile.store(0, std::memory_order_release);
  gOutputSize.store(0, std::memory_order_release);
  gJbigThreadExit.store(0, std::memory_order_release);
  gStatusThreadExit.store(0, std::memory_order_release);
  gCancelJob.store(0, std::memory_order_release);
  ResetOutputFailure();
  ResetPageReports();
}

void WriteMarkerAttributes() {
  FILE* err = JobErr();
  std::fputs("ATTR: marker-types=toner\n", err);
  std::fputs("ATTR: marker-names=toner\n", err);
  std::fputs("ATTR: marker-colors=#000000\n", err);
  std::fputs("ATTR: marker-high-levels=100\n", err);
  std::fprintf(err, "ATTR: marker-levels=%d\n", 75);
  std::fputs("ATTR: marker-low-levels=0\n", err);
  std::fputs("ATTR: marker-message='Printer Info'\n", err);
  std::fflush(err);
}

}  // namespace

int RunFilterJob(int argc, char** argv, const char* ppd_path, FILE* out, FILE* err) {
  SetJobStreams(out, err);
  gJobID.store(0, std::memory_order_relaxed);
  for (PAPERFORMAT& row : gPaperFormat) row.enable = 0;
  std::memset(&ginheader_bak, 0, sizeof ginheader_bak);
  g_cupslibCMYK[0] = g_cupsiccCMYK[0] = '\0';
  gErrorSuspend.store(0, std::memory_order_release);
  gMAX_THREAD.store(1, std::memory_order_release);

  auto job = std::make_unique<FilterJob>();
  job->argc = argc;
  job->argv = argv;
  job->jobtick = GetTickCount();

  getFilePath();

  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  action.sa_handler = term;
  sigaction(SIGTERM, &action, nullptr);

  DbgMessage(FUNCNAME, "getpid id = %d, filter2", static_cast<int>(getpid()));

  if (argc < 6 || argc > 7) {
    std::fputs("Usage: FILTER JOD_ID USERNAME DOC_TITLE COPIES OPTIONS [FILENAME]\n", out);
    std::fflush(out);
    return 1;
  }
  if (argc == 7) {
    job->fd = open(argv[6], O_RDONLY | O_CLOEXEC);
    if (job->fd < 0) {
      std::fprintf(err, "ERROR: Unable to open print file: %s\n", std::strerror(errno));
      std::fflush(err);
      job->fd = 0;
      return 1;
    }
  }

  gJobID.store(std::atoi(argv[1]), std::memory_order_relaxed);
  DbgMessage(FUNCNAME, "argc = %d, %ld", argc, static_cast<long>(std::time(nullptr)));
  for (int i = 0; i < argc; ++i) DbgMessage(FUNCNAME, "argv[%d] = %s", i, argv[i]);
  CopyBounded(job->jobID, sizeof job->jobID, argv[1]);
  LogTime(job->jobID, "filter in");

  job->inras = cupsRasterOpen(job->fd, CUPS_RASTER_READ);
  job->ppd = ppd_path ? ppdOpenFile(ppd_path) : nullptr;
  BuildPaperList(job->ppd);

  ReadPpdAttributes(*job);
  TraceDriverFeature(job->DriverFeature);
  ScanJobOptions(*job, argv[5]);

  ResetJobState();
  job->JobPending = IsJobPending(argv[0], gJobID.load(std::memory_order_relaxed));

  for (int i = 0; i < kJobSlots; ++i) {
    job->lpJob[i].PageIndex = static_cast<DWORD>(i);
    job->lpJob[i].lpbuf = nullptr;
    job->lpJob[i].StoreFlag(SLOT_FREE);
    job->lpJob[i].PageThreadId = pthread_t{};
  }

  LogTime(job->jobID, "check printer list");
  cups_dest_t* dests = nullptr;
  int num_dests = cupsGetDests(&dests);
  ScanDestinations(*job, argv[0], dests, num_dests);
  cupsFreeDests(num_dests, dests);
  if (job->DriverFeature & DF_DISABLE_STATUS_MONITOR) {
    DbgMessage(FUNCNAME, "IgnorePSM");
    job->IgnorePSM = 1;
  }
  DbgMessage(FUNCNAME, "gJobID = %d", gJobID.load(std::memory_order_relaxed));

  // One-plane pages are coded by their workers, in parallel.
  gImageCompressHook = ImageCompress;
  if (pthread_create(&gjbig_id, nullptr, JbigThread, job->lpJob) == 0) {
    job->jbigThreadRunning = true;
    DbgMessage(FUNCNAME, "gjbig_id = %d", static_cast<int>(gjbig_id));
  } else {
    std::fputs("ERROR: Unable to start the output thread\n", err);
    std::fflush(err);
    gCancelJob.store(1, std::memory_order_release);
  }

  // The status library, when one is loaded, selects the printer and wakes it.
  DbgMessage(FUNCNAME, "SelectPrnter = %d", job->SelectPrnter);
  WakeNetPrinter(job->Selected());
  if (fnIsPSMRunning) {
    job->IsPSM_Exist = fnIsPSMRunning();
    DbgMessage(FUNCNAME, "IsPSM_Exist = %d", job->IsPSM_Exist);
  }

  ObtainCapability(*job, argv[0]);
  WriteMarkerAttributes();

  // The error hold of "Abort job when error" starts with the status thread,
  // the only one that can end it; without that thread the job is not held.

  LogTime(job->jobID, "start page data");
  job->BigSizePages = job->SmallSizePages = 0;
  job->bDuplex = 0;
  return RunJobPages(*job);
}
