// PageSlot: one page slot of the page ring. The main thread fills a slot, one
// worker thread per page processes it, the output thread writes and frees it.
// Ownership passes with `flag` (release store, acquire load): whoever sees a
// state owns the slot's other fields until it stores the next state. Every
// store wakes the job's waiters, so nobody polls a slot.
#pragma once

#include <cups/raster.h>
#include <pthread.h>

#include <atomic>

#include "job_events.h"
#include "paper_table.h"
#include "wintypes.h"

// `flag` states.
inline constexpr DWORD SLOT_FREE = 0;
inline constexpr DWORD SLOT_TAKEN = 1;          // being read or processed
inline constexpr DWORD SLOT_PROCESSED = 2;      // the output thread may take it
inline constexpr DWORD SLOT_GEOMETRY_DONE = 4;  // crop, scaling and fit already done
inline constexpr DWORD SLOT_SCREENED = 8;       // screened as read: lpbuf holds the 1-bit planes, 1 = toner

inline constexpr int kJobSlots = 30;

class ColourPlugin;

struct PageSlot {
  DWORD PageIndex = 0;   // 0-based page number held in the slot
  char jobID[260] = {};  // the CUPS job id (names the page dumps)
  cups_raster_t* inras = nullptr;
  cups_page_header2_t inheader{};      // the page's raster header (option slots included)
  BYTE* lpbuf = nullptr;               // page buffer, owned by the slot; NULL when empty
  DWORD page_width = 0;                // pixels per row of lpbuf
  DWORD page_height = 0;               // rows of lpbuf (all planes)
  DWORD linebyte = 0;                  // bytes per row of lpbuf
  DWORD pagesize = 0;                  // bytes of lpbuf in use
  DWORD linebyteLeft = 0;              // padding pixels at the end of each row
  std::atomic<DWORD> flag{SLOT_FREE};  // slot state bits, see above
  pthread_t PageThreadId{};            // the page's worker thread
  float MaxMediaWidth = 0;             // points
  float MaxMediaHeight = 0;            // points
  DWORD DriverFeature = 0;             // PPD feature mask
  DWORD blackDots = 0;                 // black dots of the compressed page
  DWORD CurPageDataLen = 0;            // bytes of compressed page data
  BYTE Feature[2] = {};                // printer capability bytes
  int SCALE1200 = 0;                   // 1: treat 1200-dpi pages at 600 dpi
  int Rotate90 = 0;                    // 1: turn the page by 90 degrees (long-edge feed)
  int cupsHTable = 0;                  // halftone selection row
  DWORD cupsLEF = 0;                   // long-edge-feed mask
  BOOL filler = 0;                     // 1: a blank page added to complete a duplex sheet
  BOOL spooling = 0;                   // 1: the job's pages go to the spool file

  // What the page's stages need of its job, set when the page is handed on.
  JobEvents* events = nullptr;                 // cancel, messages, trace, wake-ups
  cups_page_header2_t referenceHeader{};       // the job's first page (the previous one on A3 printers)
  const PaperTable* paperTable = nullptr;      // the job's paper table
  const ColourPlugin* colourPlugin = nullptr;  // the job's colour-conversion plug-in, if any

  DWORD LoadFlag() const { return flag.load(std::memory_order_acquire); }
  void StoreFlag(DWORD v) {
    flag.store(v, std::memory_order_release);
    if (events) events->Notify();
  }
  bool Cancelled() const { return events && events->Cancelled(); }
  FILE* Err() const { return events ? events->Err() : stderr; }
};
