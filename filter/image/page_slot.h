// PageSlot: one page slot of the page ring. The main thread fills a slot, one
// worker thread per page processes it, the output thread writes and frees it.
// Ownership passes with `flag` (release store, acquire load): whoever sees a
// state owns the slot's other fields until it stores the next state. Every
// store wakes the job's waiters, so nobody polls a slot.
#pragma once

#include <cups/raster.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "colour_mode.h"
#include "feature_bits.h"
#include "job_events.h"
#include "page_buffer.h"
#include "paper_table.h"
#include "plane_view.h"
#include "wintypes.h"

// `flag` states.
inline constexpr DWORD SLOT_FREE = 0;
inline constexpr DWORD SLOT_TAKEN = 1;          // being read or processed
inline constexpr DWORD SLOT_PROCESSED = 2;      // the output thread may take it
inline constexpr DWORD SLOT_GEOMETRY_DONE = 4;  // crop, scaling and fit already done
inline constexpr DWORD SLOT_SCREENED = 8;       // screened as read: `page` holds the 1-bit planes, 1 = toner

inline constexpr int kJobSlots = 30;

class ColourPlugin;

// What every page of a job reads of the job and nothing changes once the
// first page is on its way: filled once by the job, read by the slots
// through a pointer.
struct PageSettings {
  cups_raster_t* inras = nullptr;              // the job's raster stream
  const char* jobID = "";                      // the CUPS job id (names the page dumps)
  BYTE Feature[2] = {};                        // printer capability bytes
  int cupsHTable = 0;                          // halftone selection row
  DWORD cupsLEF = 0;                           // long-edge-feed mask, bit r = paper row r
  const PaperTable* paperTable = nullptr;      // the job's paper table
  const ColourPlugin* colourPlugin = nullptr;  // the job's colour-conversion plug-in, if any
  bool spooling = false;                       // the job's pages go to the spool file

  // 1: 1200-dpi pages are treated at 600 dpi (the printer has no 1200 x 1200 engine).
  int SCALE1200() const { return (Feature[1] & F1_1200X1200) ? 0 : 1; }
};

struct PageSlot {
  DWORD PageIndex = 0;                       // 0-based page number held in the slot
  cups_page_header2_t inheader{};            // the page's raster header (option slots included)
  ColourMode colourMode = ColourMode::Mono;  // from inheader.cupsInteger[4]; Mono once a page cannot fill it
  PageBuffer page;                           // the page's pixels (gray, then 1 bit); empty when none
  DWORD page_width = 0;                      // pixels per row of `page`
  DWORD page_height = 0;                     // rows of `page` (all planes)
  DWORD linebyte = 0;                        // bytes per row of `page`
  DWORD padPixels = 0;                       // white padding pixels at the end of each row
  std::vector<BYTE> pageBlock;  // the coded page block (ESC "E", page header, page data); empty until coded
  std::atomic<DWORD> flag{SLOT_FREE};  // slot state bits, see above
  DWORD DriverFeature = 0;             // PPD feature mask, with this page's border-filter bit
  DWORD blackDots = 0;                 // black dots of the coded page
  int Rotate90 = 0;                    // 1: turn the page by 90 degrees (long-edge feed)
  float MaxMediaWidth = 0;             // points, the job's largest paper when the page was handed on
  float MaxMediaHeight = 0;            // (A4 once an oversized custom page was fitted)
  bool blankFiller = false;            // a blank page added to complete a duplex sheet

  // What the page's stages need of its job, set when the page is handed on.
  JobEvents* events = nullptr;             // cancel, messages, trace, wake-ups
  const PageSettings* settings = nullptr;  // the job's read-only settings
  cups_page_header2_t referenceHeader{};   // the job's first page (the previous one on A3 printers)

  DWORD LoadFlag() const { return flag.load(std::memory_order_acquire); }
  void StoreFlag(DWORD v) {
    flag.store(v, std::memory_order_release);
    if (events) events->Notify();
  }
  bool Cancelled() const { return events && events->Cancelled(); }
  FILE* Err() const { return events ? events->Err() : stderr; }
  // The job's settings; a slot not handed on by a job sees none (all zero).
  const PageSettings& Settings() const {
    static const PageSettings kNone{};
    return settings ? *settings : kNone;
  }
  int SCALE1200() const { return Settings().SCALE1200(); }
  DWORD Planes() const { return PlaneCount(colourMode); }

  // Plane p of `planes` equal planes stacked in `page`, rows of linebyte
  // bytes; an empty view when the buffer does not hold them all.
  PlaneView Plane(DWORD p, DWORD planes);
  // The whole page as one plane of page_height rows.
  PlaneView WholePage() { return Plane(0, 1); }
  // True when the slot holds neither a page nor its block.
  bool HoldsNothing() const { return !page && pageBlock.empty(); }
  // Frees the page and its block: the slot holds no page any more.
  void ReleasePage() {
    page.Reset();
    std::vector<BYTE>().swap(pageBlock);
  }
};

inline PlaneView PageSlot::Plane(DWORD p, DWORD planes) {
  if (!page || planes == 0 || p >= planes) return {};
  const DWORD rows = page_height / planes;
  const std::uint64_t planeBytes = std::uint64_t{rows} * linebyte;
  if (planeBytes * planes > page.size()) return {};
  return {page.data() + planeBytes * p, page_width, rows, linebyte};
}
