// SendOnePage: claims the page's slot of the ring, reads the page into it
// and starts the page's worker; and the ring's bookkeeping of its workers.
#include <atomic>
#include <cstdio>
#include <system_error>
#include <thread>

#include "feature_bits.h"
#include "page_pipeline.h"
#include "paper_table.h"
#include "paths.h"
#include "shims.h"
#include "trace.h"

namespace {

bool SlotBusy(DWORD flag) {
  return (flag & (SLOT_TAKEN | SLOT_PROCESSED)) != 0;
}

}  // namespace

PageRing::PageRing(JobEvents& ev) : events(ev) {
  for (int i = 0; i < kJobSlots; ++i) {
    slots[i].PageIndex = static_cast<DWORD>(i);
    slots[i].events = &ev;
  }
}

DWORD PageRing::RingSize() const {
  int n = slotsInUse.load(std::memory_order_acquire);
  if (n < 1) n = 1;
  if (n > kJobSlots) n = kJobSlots;
  return static_cast<DWORD>(n);
}

void PageRing::WaitWorkers() {
  while (!events.WaitFor(kSlotLook, [this] { return ActiveWorkers() == 0; })) {
  }
}

BOOL PageRing::StartWorker(PageSlot* slot) {
  static const char FUNCNAME[] = "SendOnePage";
  // The worker is detached: its end shows only in the slot's flag and in
  // the worker count teardown waits on.
  activeWorkers_.fetch_add(1, std::memory_order_acq_rel);
  try {
    std::thread worker([this, slot, compress = compress] {
      TraceScope trace(&events.trace);
      ImageProcThread(slot, compress);
      // The last touch of the job: once the count is zero the job may end.
      events.ChangeAndNotify([this] { activeWorkers_.fetch_sub(1, std::memory_order_acq_rel); });
    });
    DbgMessage(FUNCNAME, "pthread_create, page thread id = %lu",
               static_cast<unsigned long>(worker.native_handle()));
    worker.detach();
  } catch (const std::system_error& e) {
    activeWorkers_.fetch_sub(1, std::memory_order_acq_rel);
    DbgMessage(FUNCNAME, "pthread_create fail, error %d", e.code().value());
    return FALSE;
  }
  return TRUE;
}

void PageRing::Release() {
  static const char FUNCNAME[] = "ReleaseSlots";
  WaitWorkers();
  for (int i = 0; i < kJobSlots; ++i) {
    PageSlot& slot = slots[i];
    if (slot.page || !slot.pageBlock.empty())
      DbgMessage(FUNCNAME, "slot %d still held page %u", i, static_cast<unsigned>(slot.PageIndex));
    slot.ReleasePage();
    slot.StoreFlag(SLOT_FREE);
  }
}

BOOL SendOnePage(PageRing& ring, DWORD* page, const cups_page_header2_t& inheader, const PageSettings& job,
                 const PageOrder& order) {
  static const char FUNCNAME[] = "SendOnePage";
  DbgMessage(FUNCNAME, "In, RemoveBlankPage = %d", order.removeBlankPage ? 1 : 0);
  const int PrinterA3 = static_cast<int>(order.DriverFeature & DF_A3);
  DbgMessage(FUNCNAME, "PrinterA3 = %d", PrinterA3);

  // Paper code: each page's own on A3 printers, the first page's otherwise.
  const PaperTable noPaper{};
  const PaperTable& paper = job.paperTable ? *job.paperTable : noPaper;
  const cups_page_header2_t noReference{};
  const cups_page_header2_t& reference = order.referenceHeader ? *order.referenceHeader : noReference;
  const int paper_type = GetPaperSizeCode(paper, PrinterA3 ? &inheader : &reference, PrinterA3, job.cupsLEF);
  const int Rotate90 = (paper_type & ENG_LEF_OFFSET) ? 1 : 0;

  // Wait for the page's slot to be emptied by its consumer.
  const DWORD CurrentPage = *page % ring.RingSize();
  DbgMessage(FUNCNAME, "start page %u / index %u!", static_cast<unsigned>(*page),
             static_cast<unsigned>(CurrentPage));
  PageSlot* slot = &ring.slots[CurrentPage];
  for (DWORD flag = slot->LoadFlag(); SlotBusy(flag); flag = slot->LoadFlag()) {
    DbgMessage(FUNCNAME, "wait buffer index %u!", static_cast<unsigned>(CurrentPage));
    DbgMessage(FUNCNAME, "flag = %u!", static_cast<unsigned>(flag));
    ring.events.WaitFor(kSlotLook, [slot] { return !SlotBusy(slot->LoadFlag()); });
  }
  DbgMessage(FUNCNAME, "using buffer index %u!", static_cast<unsigned>(CurrentPage));
  DbgMessage(FUNCNAME, "end search buffer index %u!", static_cast<unsigned>(CurrentPage));
  DbgMessage(FUNCNAME, "MaxMediaWidth = %f", static_cast<double>(order.MaxMediaWidth));
  DbgMessage(FUNCNAME, "MaxMediaHeight = %f", static_cast<double>(order.MaxMediaHeight));

  // Fill the slot with the page; the job's settings it only points at.
  slot->PageIndex = *page;
  slot->blankFiller = order.blank;
  slot->inheader = inheader;
  slot->colourMode = ColourModeOf(inheader.cupsInteger[4]);
  slot->blackDots = 0;
  slot->StoreFlag(slot->LoadFlag() | SLOT_TAKEN);
  slot->Rotate90 = Rotate90;
  slot->DriverFeature = order.DriverFeature;
  slot->MaxMediaWidth = order.MaxMediaWidth;
  slot->MaxMediaHeight = order.MaxMediaHeight;
  slot->settings = &job;
  slot->referenceHeader = reference;

  DbgMessage(FUNCNAME, "GetCUPSPageData start");
  DWORD BlackDot = 0;
  if (!GetCUPSPageDataEx(slot, order.blank, &BlackDot)) {
    DbgMessage(FUNCNAME, "GetCUPSPageData fail!");
    // The slot is given back: the job ends, and its teardown waits for the
    // slots of the pages before this one to be written, not for this one.
    slot->ReleasePage();
    slot->StoreFlag(SLOT_FREE);
    return FALSE;
  }
  // Padding of the page as it now stands; none once the page was cropped.
  slot->padPixels =
      slot->page_width > slot->inheader.cupsWidth ? slot->page_width - slot->inheader.cupsWidth : 0;

  bool dropped = false;
  if (!order.blank && slot->inheader.Duplex && order.removeBlankPage) {
    DbgMessage(FUNCNAME, "Black dot = %u", static_cast<unsigned>(BlackDot));
    DbgMessage(FUNCNAME, "page = %u", static_cast<unsigned>(*page));
    if (BlackDot == 0) {
      slot->ReleasePage();
      slot->StoreFlag(SLOT_FREE);
      DbgMessage(FUNCNAME, "skip blank page");
      dropped = true;
    }
  }

  if (!dropped) {
    if (!ring.StartWorker(slot)) {
      CupsMessage(slot->Err(), "ERROR: ", "Page %u not printed: no thread to process it",
                  static_cast<unsigned>(*page) + 1);
      return FALSE;
    }
    DbgMessage(FUNCNAME, "page = %u", static_cast<unsigned>(*page));
    *page += 1;
    DbgMessage(FUNCNAME, "page = %u", static_cast<unsigned>(*page));
  }

  DbgMessage(FUNCNAME, "getTotalSystemMemory = %d", static_cast<int>(AvailableMemory() / (1024 * 1024)));
  LogTime(job.jobID ? job.jobID : "", "page done");
  DbgMessage(FUNCNAME, "Out");
  return TRUE;
}
