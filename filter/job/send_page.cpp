// SendOnePage: claims the page's slot of the ring, reads the page into it
// and starts the page's worker; and the waits on the ring that the page
// loop and teardown need.
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "job_context.h"
#include "job_record.h"
#include "job_state.h"
#include "job_streams.h"
#include "page_pipeline.h"
#include "paper.h"
#include "paths.h"
#include "shims.h"
#include "trace.h"

namespace {

std::atomic<int> gActiveWorkers{0};

bool SlotBusy(DWORD flag) {
  return (flag & (SLOT_TAKEN | SLOT_PROCESSED)) != 0;
}

}  // namespace

// Slots in use; gMAX_THREAD is 1..5 once the job has started.
DWORD RingSize() {
  int n = gMAX_THREAD.load(std::memory_order_acquire);
  if (n < 1) n = 1;
  if (n > kJobSlots) n = kJobSlots;
  return static_cast<DWORD>(n);
}

void PageWorkerDone() {
  gActiveWorkers.fetch_sub(1, std::memory_order_acq_rel);
}

int ActivePageWorkers() {
  return gActiveWorkers.load(std::memory_order_acquire);
}

void WaitPageWorkers() {
  while (ActivePageWorkers() > 0) Sleep(10);
}

BOOL StartPageWorker(JobInfo* slot) {
  static const char FUNCNAME[] = "SendOnePage";
  // The worker is detached: its end shows only in the slot's flag and in
  // the worker count teardown waits on.
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  gActiveWorkers.fetch_add(1, std::memory_order_acq_rel);
  const int err = pthread_create(&slot->PageThreadId, &attr, ImageProcThread, slot);
  pthread_attr_destroy(&attr);
  if (err != 0) {
    gActiveWorkers.fetch_sub(1, std::memory_order_acq_rel);
    DbgMessage(FUNCNAME, "pthread_create fail, error %d", err);
    return FALSE;
  }
  return TRUE;
}

BOOL SendOnePage(JobInfo* lpJob, DWORD* page, cups_page_header2_t inheader, cups_raster_t* inras,
                 float MaxMediaWidth, float MaxMediaHeight, DWORD DriverFeature, PrinterCapability PrnCapInfo,
                 char* jobID, BOOL blank, BOOL RemoveBlankPage, int cupsHTable, DWORD cupsLEF) {
  static const char FUNCNAME[] = "SendOnePage";
  DbgMessage(FUNCNAME, "In, RemoveBlankPage = %d", RemoveBlankPage);
  const int PrinterA3 = static_cast<int>(DriverFeature & 0x02000000);
  DbgMessage(FUNCNAME, "PrinterA3 = %d", PrinterA3);

  // Paper code: each page's own on A3 printers, the first page's otherwise.
  const int paper_type = GetPaperSizeCode(PrinterA3 ? &inheader : &ginheader_bak, PrinterA3, cupsLEF);
  const int Rotate90 = (paper_type & 0x80) ? 1 : 0;

  // Wait for the page's slot to be emptied by its consumer.
  const DWORD CurrentPage = *page % RingSize();
  DbgMessage(FUNCNAME, "start page %u / index %u!", static_cast<unsigned>(*page),
             static_cast<unsigned>(CurrentPage));
  JobInfo* slot = &lpJob[CurrentPage];
  for (DWORD flag = slot->LoadFlag(); SlotBusy(flag); flag = slot->LoadFlag()) {
    DbgMessage(FUNCNAME, "wait buffer index %u!", static_cast<unsigned>(CurrentPage));
    DbgMessage(FUNCNAME, "flag = %u!", static_cast<unsigned>(flag));
    Sleep(300);
  }
  DbgMessage(FUNCNAME, "using buffer index %u!", static_cast<unsigned>(CurrentPage));
  slot->PageThreadId = pthread_t{};
  DbgMessage(FUNCNAME, "end search buffer index %u!", static_cast<unsigned>(CurrentPage));
  DbgMessage(FUNCNAME, "MaxMediaWidth = %f", static_cast<double>(MaxMediaWidth));
  DbgMessage(FUNCNAME, "MaxMediaHeight = %f", static_cast<double>(MaxMediaHeight));

  // Fill the slot with the page and the job settings its stages read.
  CopyBounded(slot->jobID, sizeof slot->jobID, jobID ? jobID : "");
  slot->inras = inras;
  slot->PageIndex = *page;
  slot->filler = blank;
  slot->inheader = inheader;
  slot->blackDots = 0;
  slot->CurPageDataLen = 0;
  slot->StoreFlag(slot->LoadFlag() | SLOT_TAKEN);
  slot->Rotate90 = Rotate90;
  slot->MaxMediaWidth = MaxMediaWidth;
  slot->MaxMediaHeight = MaxMediaHeight;
  slot->cupsHTable = cupsHTable;
  slot->DriverFeature = DriverFeature;
  slot->cupsLEF = cupsLEF;
  slot->Feature[0] = PrnCapInfo.Feature[0];
  slot->Feature[1] = PrnCapInfo.Feature[1];
  slot->SCALE1200 = (PrnCapInfo.Feature[1] & 0x20) ? 0 : 1;

  DbgMessage(FUNCNAME, "GetCUPSPageData start");
  DWORD BlackDot = 0;
  if (!GetCUPSPageDataEx(slot, blank, &BlackDot)) {
    DbgMessage(FUNCNAME, "GetCUPSPageData fail!");
    return FALSE;
  }
  // Padding of the page as it now stands; none once the page was cropped.
  slot->linebyteLeft =
      slot->page_width > slot->inheader.cupsWidth ? slot->page_width - slot->inheader.cupsWidth : 0;

  bool dropped = false;
  if (!blank && slot->inheader.Duplex && RemoveBlankPage) {
    DbgMessage(FUNCNAME, "Black dot = %u", static_cast<unsigned>(BlackDot));
    DbgMessage(FUNCNAME, "page = %u", static_cast<unsigned>(*page));
    if (BlackDot == 0) {
      std::free(slot->lpbuf);
      slot->lpbuf = nullptr;
      slot->StoreFlag(SLOT_FREE);
      DbgMessage(FUNCNAME, "skip blank page");
      dropped = true;
    }
  }

  if (!dropped) {
    if (!StartPageWorker(slot)) {
      std::fprintf(JobErr(), "ERROR: Page %u not printed: no thread to process it\n",
                   static_cast<unsigned>(*page) + 1);
      std::fflush(JobErr());
      return FALSE;
    }
    DbgMessage(FUNCNAME, "pthread_create, page thread id = %lu",
               static_cast<unsigned long>(slot->PageThreadId));
    DbgMessage(FUNCNAME, "page = %u", static_cast<unsigned>(*page));
    *page += 1;
    DbgMessage(FUNCNAME, "page = %u", static_cast<unsigned>(*page));
  }

  DbgMessage(FUNCNAME, "getTotalSystemMemory = %d", static_cast<int>(getTotalSystemMemory() / (1024 * 1024)));
  LogTime(jobID ? jobID : "", "page done");
  DbgMessage(FUNCNAME, "Out");
  return TRUE;
}

void ReleaseSlots(JobInfo* lpJob) {
  static const char FUNCNAME[] = "ReleaseSlots";
  WaitPageWorkers();
  for (int i = 0; i < kJobSlots; ++i) {
    JobInfo& slot = lpJob[i];
    if (slot.lpbuf)
      DbgMessage(FUNCNAME, "slot %d still held page %u", i, static_cast<unsigned>(slot.PageIndex));
    std::free(slot.lpbuf);
    slot.lpbuf = nullptr;
    slot.StoreFlag(SLOT_FREE);
  }
}
