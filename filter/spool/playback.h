// Sending spooled pages to the printer: the first copy in sheet order while
// the job runs, and the replay for further collated copies at its end.
#pragma once

#include "job_events.h"
#include "page_report.h"
#include "printer_port.h"
#include "spool_file.h"
#include "wintypes.h"

// Highest copy count the filter makes itself (the scheduler's own limit).
inline constexpr unsigned kMaxCopies = 9999;

// The spool file with what sending its records needs.
struct SpoolSender {
  SpoolFile& spool;
  PrinterPort& port;
  PageReports& reports;
  JobEvents& events;
};

// Sends the spool records from *finishpage on (duplex: whole sheets, back
// side first) and advances *finishpage. Records of a raw-data printer
// (PrinterFeature) hold the coded page and are decoded first.
void SendSpooledPages(SpoolSender& s, DWORD* finishpage, int duplex, DWORD DriverFeature,
                      const BYTE* PrinterFeature);

// Replays the spool file for the collated copies after the first, once the
// output thread has ended. nCopies is the job's copy count and becomes the
// count of replays.
void PlaybackSpool(SpoolSender& s, const BYTE* PrinterFeature, DWORD DriverFeature, BOOL bDriverDoCollate,
                   unsigned duplex, unsigned* nCopies);
