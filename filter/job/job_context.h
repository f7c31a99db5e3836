// FilterJob: everything one job owns, in named parts: the configuration
// read once at start-up, the input and PPD it holds open, the link to the
// printer through the status library, the running parts its threads share
// and the page loop's own state. The parts are handed by reference to the
// threads the job starts; nothing of a job lives in a global, so several
// jobs can run in one process.
#pragma once

#include <cups/cups.h>
#include <cups/ppd.h>
#include <cups/raster.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "colour_plugin.h"
#include "job_events.h"
#include "page_output.h"
#include "page_pipeline.h"
#include "page_report.h"
#include "paper_table.h"
#include "pjl_stream.h"
#include "playback.h"
#include "printer_port.h"
#include "spool_file.h"
#include "status_monitor.h"
#include "status_records.h"
#include "status_thread.h"
#include "wintypes.h"

inline constexpr int kMaxPrinters = kPrinterListSize;

// The job's configuration, from the arguments, the PPD, the job options and
// the queue's CUPS destination. Filled once at start-up and only read
// afterwards, with one exception: the authorization file's duplex decision,
// taken when the first page starts the job, before its header is written.
struct JobConfig {
  const char* queue = "";  // argv[0]
  const char* user = "";   // argv[2]
  const char* title = "";  // argv[3]
  char jobID[260] = {};    // argv[1] as given

  PaperTable paperTable = DefaultPaperTable();  // rows enabled by the PPD
  float MaxMediaWidth = 595;                    // points, the PPD's largest paper
  float MaxMediaHeight = 842;                   // points
  char DriverVersion[128] = {};
  char Toolfd[128] = {};
  char Toolfd2[128] = {};
  char cupslibCMYK[128] = {};  // colour plug-in name
  char cupsiccCMYK[128] = {};  // ICC profile name
  int cupsHTable = 0;          // halftone selection row
  DWORD cupsLEF = 0;           // long-edge-feed mask, bit r = paper row r
  DWORD DriverFeature = 0;     // PPD feature mask as read
  PjlSlotRanges slotRanges;    // what the PPD's choices set the timeout and density slots to
  std::string jclBegin;        // the PPD's JCL prefix, written after the job header

  int numUP = 1;         // option "number-up"
  bool collate = false;  // option "Collate" is true

  char PrinterPortName[128] = {};            // device URI of the queue
  MonitorUse monitorUse = MonitorUse::Used;  // the device and the PPD may rule the monitor out
  bool pendingAtStart = false;               // the scheduler listed the job as pending when it started
  bool askScheduler = true;                  // a CUPS scheduler runs the queue: ask it about job and queue

  DuplexOverride duplexOverride;  // the authorization file's, BCP Mode 0 only
};

// Owners of what start-up opens, so that every way out of the job closes it.
struct PpdCloser {
  void operator()(ppd_file_t* ppd) const { ppdClose(ppd); }
};
using PpdFile = std::unique_ptr<ppd_file_t, PpdCloser>;

struct RasterCloser {
  void operator()(cups_raster_t* ras) const { cupsRasterClose(ras); }
};
using RasterStream = std::unique_ptr<cups_raster_t, RasterCloser>;

// The parsed job options.
class JobOptions {
 public:
  JobOptions() = default;
  JobOptions(const JobOptions&) = delete;
  JobOptions& operator=(const JobOptions&) = delete;
  ~JobOptions() { Free(); }
  void Parse(const char* text) {
    Free();
    count_ = cupsParseOptions(text, 0, &list_);
  }
  void Free() {
    cupsFreeOptions(count_, list_);
    count_ = 0;
    list_ = nullptr;
  }
  int Count() const { return count_; }
  cups_option_t* List() const { return list_; }

 private:
  int count_ = 0;
  cups_option_t* list_ = nullptr;
};

// The raster input: the descriptor of the input file (standard input stays
// open), libcups' stream on it, and what its reads have seen.
struct RasterInput {
  RasterInput() = default;
  RasterInput(const RasterInput&) = delete;
  RasterInput& operator=(const RasterInput&) = delete;
  ~RasterInput() {
    stream.reset();
    CloseFile();
  }
  void CloseFile() {
    if (fd > 0) close(fd);
    fd = 0;
  }

  int fd = 0;               // 0: standard input
  std::uint64_t bytes = 0;  // bytes libcups has read from fd
  bool ended = false;       // a read of fd found its end
  RasterStream stream;
};

// The printer as the status library shows it: the library, the printer list
// and the selected record, the capability bytes and the accounting
// dialog's answer. Written at start-up, the account on the first page.
struct PrinterLink {
  StatusLibrary statusLib;  // the library's entries (none loaded: all NULL)
  PrinterAttribute myPrinters[kMaxPrinters] = {};
  int printerNumber = 0;
  int selectedPrinter = -1;
  bool monitorRunning = false;  // the status-monitor program runs
  PrinterCapability PrnCapInfo = {};
  char AccountName[128] = {};
  char AccountPwd[128] = {};

  // The selected printer record, or an all-zero record when none matched.
  const PrinterAttribute& Selected() const;
};

// What the page loop keeps from page to page, and what it tells the end
// of the job.
struct PageLoopState {
  cups_page_header2_t inheader{};
  cups_page_header2_t referenceHeader{};  // first page's header (previous page's on A3 printers)
  DWORD DriverFeature = 0;                // the PPD mask with this page's border-filter bit
  float MaxMediaWidth = 595;              // points; A4 once an oversized custom page was fitted
  float MaxMediaHeight = 842;             // points
  DWORD page = 0;                         // pages handed to workers
  DWORD FlushPage = 0;                    // first spooled page not yet sent
  unsigned CUPSpages = 0;                 // raster pages read
  unsigned firstPageDuplex = 0;           // first page's Duplex
  bool filterCollates = false;            // the filter makes the collated copies from the spool file
  unsigned nCopies = 0;                   // copies of the first page's header
  int BigSizePages = 0;                   // pages larger than A4
  int SmallSizePages = 0;
  bool inputFailed = false;     // a page header or page could not be read: "ERROR:" written
  bool accountMissing = false;  // the accounting dialog's wait ran out: "ERROR:" written
};

struct FilterJob {
  FilterJob(FILE* out, FILE* err);
  FilterJob(const FilterJob&) = delete;
  FilterJob& operator=(const FilterJob&) = delete;

  JobConfig config;
  DWORD startTick = 0;  // for the job's elapsed time

  // Opened at start-up, closed at teardown or, on an early return, with the job.
  RasterInput input;
  PpdFile ppd;
  JobOptions options;
  ColourPlugin colourPlugin;  // loaded from cupslibCMYK at start-up; the page workers use it
  PrinterLink printer;        // before the status thread, which polls through its library

  // What the job's threads share. Declared in this order so that the
  // status thread and then the output thread, which uses all the others,
  // are stopped first.
  JobEvents events;           // job number, message stream, cancel, wake-ups
  PrinterPort port;           // the printer stream
  PageSettings pageSettings;  // what the slots read of the job, filled once the job has started
  PageRing ring;              // page slots and their workers
  SpoolFile spool;            // collated and duplex pages
  PageReports reports;        // "PAGE:" lines
  SpoolSender spoolSender{spool, port, reports, events};
  OutputThread output;  // writes the processed slots in page order
  StatusThread statusThread{events};

  PageLoopState loop;
};
