// The page pipeline: the job's ring of page slots, reading a raster page
// into its slot, and the per-page image worker that turns it into the
// printer's 1-bit bitmap. Consumers of processed slots follow the hand-over
// rules of page_slot.h.
#pragma once

#include <cups/raster.h>

#include <atomic>
#include <chrono>
#include <cstdint>

#include "job_events.h"
#include "page_slot.h"
#include "paper_table.h"
#include "wintypes.h"

// Largest page buffer the pipeline accepts, in bytes. Sizes come from an
// untrusted raster header; anything beyond this cannot be held in the
// slot's 32-bit size fields or be walked safely by the image stages.
inline constexpr std::uint64_t kMaxPageBytes = 0x7FFFFFFFu;

// Longest raster line accepted, in bytes (the raster reader's own cap).
inline constexpr std::uint64_t kMaxLineBytes = 16u * 1024u * 1024u;

// Longest look at a slot before its waiter traces again; a change of the
// slot wakes the waiter at once.
inline constexpr std::chrono::milliseconds kSlotLook{300};

// Sizes of the page buffer for a raster header, all in 64 bits.
struct PageGeometry {
  std::uint64_t page_width = 0;   // pixels per row, cupsWidth rounded up to 32
  std::uint64_t page_height = 0;  // rows, cupsHeight rounded up to 32
  std::uint64_t linebyte = 0;     // bytes per row of the page buffer
  std::uint64_t pagesize = 0;     // linebyte x page_height
  std::uint64_t padPixels = 0;    // padding pixels at the end of each row
  std::uint64_t dataBytes = 0;    // bytes of real pixels per raster line
  unsigned bitsPerPixel = 0;      // depth of the page buffer (8 for expanded pages)
};

// Works out the page buffer of a header; false (with the reason in *why)
// when the header is inconsistent or the page cannot be held.
bool ComputePageGeometry(const cups_page_header2_t& h, PageGeometry* g, const char** why);

// Page compression for one-plane pages, run by the worker as its last
// stage; nullptr leaves the 1-bit bitmap uncompressed in the slot's page.
using ImageCompressFn = void (*)(PageSlot* slot);

// The job's page slots, of which RingSize() are in use, and the count of
// workers still holding one.
class PageRing {
 public:
  explicit PageRing(JobEvents& events);
  ~PageRing() { Release(); }
  PageRing(const PageRing&) = delete;
  PageRing& operator=(const PageRing&) = delete;

  JobEvents& events;
  PageSlot slots[kJobSlots];
  std::atomic<int> slotsInUse{1};      // slots in use, 1..5 once the job has started
  ImageCompressFn compress = nullptr;  // set before the first page

  // slotsInUse kept within 1 and the slot count.
  DWORD RingSize() const;

  // Starts the detached worker of a filled slot; FALSE when no thread can
  // be had (the slot stays taken).
  BOOL StartWorker(PageSlot* slot);
  // Workers started and not yet finished (each ends with its slot marked 2).
  int ActiveWorkers() const { return activeWorkers_.load(std::memory_order_acquire); }
  // Blocks until no worker holds a slot any more.
  void WaitWorkers();
  // Teardown: waits for every worker, then frees what the slots still hold
  // (a page whose acquisition failed, pages never consumed).
  void Release();

 private:
  std::atomic<int> activeWorkers_{0};
};

// What varies from page to page beside the page header, as the page loop
// hands a page on (the job's settings that do not vary are PageSettings).
struct PageOrder {
  DWORD DriverFeature = 0;  // the job's feature mask with this page's border-filter bit
  const cups_page_header2_t* referenceHeader = nullptr;  // the first page (the previous one on A3 printers)
  float MaxMediaWidth = 0;                               // points, the job's largest paper now
  float MaxMediaHeight = 0;
  bool blank = false;            // a blank page the job adds (duplex filler, A3 sheet end)
  bool removeBlankPage = false;  // drop this page when it has no dot (duplex jobs)
};

// Reads one page into the next slot of the ring and starts its worker; the
// slot points at job, which must outlive the page. TRUE when the page was
// handed on or dropped as blank, FALSE when it could not be acquired (the
// job ends). Advances *page itself.
BOOL SendOnePage(PageRing& ring, DWORD* page, const cups_page_header2_t& inheader, const PageSettings& job,
                 const PageOrder& order);

// Fills the slot's page buffer from the raster stream (or white for a blank
// request), converts colour to gray and runs the geometry for 8-bit pages.
BOOL GetCUPSPageDataEx(PageSlot* slot, BOOL blank, DWORD* BlackDot);

// Worker body: processes the slot, compresses one-plane pages with
// compress, and marks the slot 2 on success and failure alike.
void ImageProcThread(PageSlot* slot, ImageCompressFn compress);

// True when a processed slot holds no page: its worker failed and the
// consumer drops it instead of writing it.
inline bool SlotPageFailed(const PageSlot& slot) {
  return slot.HoldsNothing();
}

// Runs crop, scaling and whole-page fit on the slot, tracing the failed
// step under the caller's name.
BOOL RunPageGeometry(PageSlot* slot, const char* FUNCNAME);
