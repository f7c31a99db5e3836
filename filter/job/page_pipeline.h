// The page pipeline: reading a raster page into its slot of the page ring,
// the per-page image worker that turns it into the printer's 1-bit bitmap,
// and the slot hand-over rules the consumers of processed slots follow.
#pragma once

#include <cups/raster.h>

#include <cstdint>

#include "jobinfo.h"
#include "status_records.h"
#include "wintypes.h"

// Largest page buffer the pipeline accepts, in bytes. Sizes come from an
// untrusted raster header; anything beyond this cannot be held in the
// slot's 32-bit size fields or be walked safely by the image stages.
inline constexpr std::uint64_t kMaxPageBytes = 0x7FFFFFFFu;

// Longest raster line accepted, in bytes (the raster reader's own cap).
inline constexpr std::uint64_t kMaxLineBytes = 16u * 1024u * 1024u;

// Sizes of the page buffer for a raster header, all in 64 bits.
struct PageGeometry {
  std::uint64_t page_width = 0;    // pixels per row, cupsWidth rounded up to 32
  std::uint64_t page_height = 0;   // rows, cupsHeight rounded up to 32
  std::uint64_t linebyte = 0;      // bytes per row of the page buffer
  std::uint64_t pagesize = 0;      // linebyte x page_height
  std::uint64_t linebyteLeft = 0;  // padding pixels at the end of each row
  std::uint64_t dataBytes = 0;     // bytes of real pixels per raster line
  unsigned bitsPerPixel = 0;       // depth of the page buffer (8 for expanded pages)
};

// Works out the page buffer of a header; false (with the reason in *why)
// when the header is inconsistent or the page cannot be held.
bool ComputePageGeometry(const cups_page_header2_t& h, PageGeometry* g, const char** why);

// Hand-off to page compression for one-plane pages, run by the worker as its
// last stage; nullptr leaves the 1-bit bitmap uncompressed in lpbuf.
using ImageCompressFn = void (*)(JobInfo* lpJob);
extern ImageCompressFn gImageCompressHook;

// Reads one page into the next slot of the ring and starts its worker.
// TRUE when the page was handed on or dropped as blank, FALSE when it could
// not be acquired (the job ends). Advances *page itself.
BOOL SendOnePage(JobInfo* lpJob, DWORD* page, cups_page_header2_t inheader, cups_raster_t* inras,
                 float MaxMediaWidth, float MaxMediaHeight, DWORD DriverFeature, PrinterCapability PrnCapInfo,
                 char* jobID, BOOL blank, BOOL RemoveBlankPage, int cupsHTable, DWORD cupsLEF);

// Fills the slot's page buffer from the raster stream (or white for a blank
// request), converts colour to gray and runs the geometry for 8-bit pages.
BOOL GetCUPSPageDataEx(JobInfo* lpJob, BOOL blank, DWORD* BlackDot);

// Worker thread entry: processes the slot passed as param, marks it 2.
void* ImageProcThread(void* param);

// Starts the detached worker of a filled slot; FALSE when no thread can be
// had (the slot stays taken).
BOOL StartPageWorker(JobInfo* slot);

// Called by a worker as its very last action, after its slot is marked 2.
void PageWorkerDone();
// Workers started and not yet finished (each ends with its slot marked 2).
int ActivePageWorkers();
// Blocks until no worker holds a slot any more.
void WaitPageWorkers();

// True when a processed slot holds no page: its worker failed and the
// consumer drops it instead of writing it.
inline bool SlotPageFailed(const JobInfo& slot) {
  return slot.lpbuf == nullptr;
}

// Slots in use: gMAX_THREAD, kept within 1 and the slot count.
DWORD RingSize();

// Teardown: waits for every worker, then frees what the slots still hold
// (a page whose acquisition failed, pages never consumed) and frees them.
void ReleaseSlots(JobInfo* lpJob);

// Runs crop, scaling and whole-page fit on the slot, tracing the failed
// step under the caller's name.
BOOL RunPageGeometry(JobInfo* lpJob, const char* FUNCNAME);

// Clears the once-per-job warning about colour pages printed in black.
void ResetColourWarning();
