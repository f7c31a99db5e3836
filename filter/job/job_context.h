// FilterJob: the state `main` keeps for one job, from start-up through the
// page loop to teardown, and the job-control globals other threads read.
#pragma once

#include <cups/cups.h>
#include <cups/ppd.h>
#include <cups/raster.h>
#include <pthread.h>

#include <cstdio>

#include "jobinfo.h"
#include "status_records.h"
#include "wintypes.h"

extern cups_page_header2_t ginheader_bak;  // first page's header (previous page's on A3 printers)
extern char g_cupslibCMYK[128];            // colour plug-in name (PPD "cupslibCMYK")
extern char g_cupsiccCMYK[128];            // ICC profile name (PPD "cupsiccCMYK")
extern pthread_t gjbig_id;                 // output thread
extern pthread_t gstatus_id;               // status thread
extern FILE* stdoutPRN;                    // copy of the printer stream, when kept

inline constexpr int kMaxPrinters = 70;

struct FilterJob {
  int argc = 0;
  char** argv = nullptr;

  // Start-up configuration.
  int fd = 0;  // raster input; 0 = standard input
  cups_raster_t* inras = nullptr;
  ppd_file_t* ppd = nullptr;
  char jobID[260] = {};
  float MaxMediaWidth = 595;   // points
  float MaxMediaHeight = 842;  // points
  char DriverVersion[128] = {};
  char Toolfd[128] = {};
  char Toolfd2[128] = {};
  int cupsHTable = 0;       // halftone selection row
  DWORD cupsLEF = 0;        // long-edge-feed mask, bit r = paper row r
  DWORD DriverFeature = 0;  // PPD feature mask; bit 3 rewritten per page
  int num_options = 0;
  cups_option_t* options = nullptr;
  int numUP = 1;
  BOOL bCollate = 0;
  BOOL bDriverDoCollate = 0;
  unsigned nCopies = 0;
  char PrinterPortName[128] = {};  // device URI of the queue
  PrinterAttribute myPrinters[kMaxPrinters] = {};
  int printerNumber = 0;
  int SelectPrnter = -1;
  int IgnorePSM = 0;  // 0 monitor used, 1 disabled by the PPD, 2 job goes to a file
  int IsPSM_Exist = 0;
  PrinterCapability PrnCapInfo = {};
  char AccountName[128] = {};
  char AccountPwd[128] = {};
  BOOL JobPending = 0;
  JobInfo lpJob[kJobSlots];
  DWORD jobtick = 0;
  bool jbigThreadRunning = false;

  // Page loop.
  cups_page_header2_t inheader{};
  DWORD page = 0;          // pages handed to workers
  DWORD FlushPage = 0;     // first spooled page not yet sent
  unsigned CUPSpages = 0;  // raster pages read
  unsigned bDuplex = 0;    // first page's Duplex
  int paper_type = 0;
  int paper_type_p1 = 0;
  int ratio = 100;         // percent
  int custom_ratio = 100;  // percent
  BOOL AddBlankPageDone = 0;
  int BigSizePages = 0;  // pages larger than A4
  int SmallSizePages = 0;
  unsigned nPageOffset = 1;
  int CurrentPage = 0;

  // The selected printer record, or an all-zero record when none matched.
  const PrinterAttribute& Selected() const;
  PrinterAttribute& Selected();
};
