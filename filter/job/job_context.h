// FilterJob: everything one job owns, from start-up through the page loop to
// teardown. Its parts are handed by reference to the threads the job starts
// (page workers, output thread); nothing of a job lives in a global, so
// several jobs can run in one process.
#pragma once

#include <cups/cups.h>
#include <cups/ppd.h>
#include <cups/raster.h>

#include <cstdint>
#include <cstdio>

#include "colour_plugin.h"
#include "job_events.h"
#include "page_output.h"
#include "page_pipeline.h"
#include "page_report.h"
#include "paper_table.h"
#include "playback.h"
#include "printer_port.h"
#include "spool_file.h"
#include "status_monitor.h"
#include "status_records.h"
#include "status_thread.h"
#include "wintypes.h"

inline constexpr int kMaxPrinters = kPrinterListSize;

struct FilterJob {
  FilterJob(FILE* out, FILE* err);
  FilterJob(const FilterJob&) = delete;
  FilterJob& operator=(const FilterJob&) = delete;

  int argc = 0;
  char** argv = nullptr;

  // What the job's threads share. Declared in this order so that the
  // output thread, which uses all the others, is stopped first.
  JobEvents events;           // job number, message stream, cancel, wake-ups
  PrinterPort port;           // the printer stream
  PageSettings pageSettings;  // what the slots read of the job, filled once the job has started
  PageRing ring;              // page slots and their workers
  SpoolFile spool;            // collated and duplex pages
  PageReports reports;        // "PAGE:" lines
  SpoolSender spoolSender{spool, port, reports, events};
  OutputThread output;  // writes the processed slots in page order

  // Start-up configuration.
  int fd = 0;  // raster input; 0 = standard input
  cups_raster_t* inras = nullptr;
  std::uint64_t inputBytes = 0;  // bytes libcups has read from fd
  bool inputEnded = false;       // a read of fd found its end
  bool inputFailed = false;      // a page header or page could not be read: "ERROR:" written
  ppd_file_t* ppd = nullptr;
  char jobID[260] = {};
  PaperTable paperTable = DefaultPaperTable();  // rows enabled by the PPD
  float MaxMediaWidth = 595;                    // points
  float MaxMediaHeight = 842;                   // points
  char DriverVersion[128] = {};
  char Toolfd[128] = {};
  char Toolfd2[128] = {};
  char cupslibCMYK[128] = {};  // colour plug-in name (PPD "cupslibCMYK")
  char cupsiccCMYK[128] = {};  // ICC profile name (PPD "cupsiccCMYK")
  ColourPlugin colourPlugin;   // loaded from cupslibCMYK at start-up, unloaded with the job
  int cupsHTable = 0;          // halftone selection row
  DWORD cupsLEF = 0;           // long-edge-feed mask, bit r = paper row r
  DWORD DriverFeature = 0;     // PPD feature mask; the border-filter bit rewritten per page
  int num_options = 0;
  cups_option_t* options = nullptr;
  int numUP = 1;
  BOOL bCollate = 0;
  BOOL bDriverDoCollate = 0;
  unsigned nCopies = 0;
  char PrinterPortName[128] = {};  // device URI of the queue
  StatusLibrary statusLib;         // the status library's entries (none loaded: all NULL)
  // Polls the printer through statusLib; declared after it, so it is
  // joined before the library can go.
  StatusThread statusThread{events};
  PrinterAttribute myPrinters[kMaxPrinters] = {};
  int printerNumber = 0;
  int selectedPrinter = -1;
  int IgnorePSM = 0;  // 0 monitor used, 1 disabled by the PPD, 2 job goes to a file
  int IsPSM_Exist = 0;
  PrinterCapability PrnCapInfo = {};
  char AccountName[128] = {};
  char AccountPwd[128] = {};
  bool accountMissing = false;  // the accounting dialog's wait ran out: "ERROR:" written
  BOOL JobPending = 0;
  DWORD jobtick = 0;

  // Page loop.
  cups_page_header2_t inheader{};
  cups_page_header2_t referenceHeader{};  // first page's header (previous page's on A3 printers)
  DWORD page = 0;                         // pages handed to workers
  DWORD FlushPage = 0;                    // first spooled page not yet sent
  unsigned CUPSpages = 0;                 // raster pages read
  unsigned firstPageDuplex = 0;           // first page's Duplex
  int paper_type = 0;
  int paper_type_p1 = 0;
  BOOL AddBlankPageDone = 0;
  int BigSizePages = 0;  // pages larger than A4
  int SmallSizePages = 0;

  // The selected printer record, or an all-zero record when none matched.
  const PrinterAttribute& Selected() const;
};
