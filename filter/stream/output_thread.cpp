// The output thread: takes processed slots strictly in page order, fills the
// page header and writes the block to the printer stream or the spool file.
#include <cerrno>
#include <system_error>

#include "page_header.h"
#include "page_output.h"
#include "shims.h"
#include "trace.h"

namespace {

const char FUNCNAME[] = "JbigThread";

}  // namespace

bool OutputThread::Start() {
  exit_.store(false, std::memory_order_release);
  try {
    thread_ = std::thread([this] {
      TraceScope trace(&ring_.events.trace);
      Run();
    });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void OutputThread::Stop() {
  exit_.store(true, std::memory_order_release);
  ring_.events.Notify();
  if (thread_.joinable()) thread_.join();
}

// Writes one finished slot's block out; docPage is its document page
// number (0 for a filler).
void OutputThread::WriteBlock(PageSlot* slot, int docPage) {
  if (CodedByOutputThread(slot->colourMode)) ImageCompress(slot);
  if (!HoldsPageBlock(slot)) {
    DbgMessage(FUNCNAME, "page %d holds no page block, dropped", static_cast<int>(slot->PageIndex));
    reports_.NotePageLost();
    return;
  }
  BYTE* const block = slot->pageBlock.data();
  const DWORD outsize = static_cast<DWORD>(slot->pageBlock.size());
  DbgMessage(FUNCNAME, "page data outsize = %d", static_cast<int>(outsize));
  BuildPageHeader(*slot, reinterpret_cast<char*>(block) + ResetCmdLen, PageDataBytes(*slot), slot->blackDots);
  if (spool_.Active()) {
    if (!spool_.Append(block, outsize, docPage, reports_)) {
      const int err = errno;
      port_.NoteFailure("Unable to write the spool file", err);
    }
  } else if (port_.Send(block, outsize)) {
    reports_.ReportPageSent(docPage);
    DbgMessage(FUNCNAME, "count_bytes = %d", static_cast<int>(port_.BytesSent()));
  }
  DbgMessage(FUNCNAME, "gOutputSize = %d", static_cast<int>(port_.BytesSent()));
}

void OutputThread::Run() {
  PageSlot* slots = ring_.slots;
  const DWORD tick = GetTickCount();
  // Only the flags are traced: a slot's other fields belong to the main
  // thread until its page is processed.
  for (int i = 0; i < kJobSlots; ++i)
    DbgMessage(FUNCNAME, "[%d]flag = %0x", i, static_cast<unsigned>(slots[i].LoadFlag()));

  DWORD CurrentPage = 0;
  while (!exit_.load(std::memory_order_acquire)) {
    DbgMessage(FUNCNAME, "gJbigThreadExit = %d", 0);
    const DWORD index = CurrentPage % ring_.RingSize();
    DbgMessage(FUNCNAME, "check buffer index = %d, CurrentPage = %d", static_cast<int>(index),
               static_cast<int>(CurrentPage));
    PageSlot* slot = &slots[index];
    // The flag is read first: it hands the slot's fields over.
    const DWORD flag = slot->LoadFlag();
    DbgMessage(FUNCNAME, "flag = %0x", static_cast<unsigned>(flag));
    if (!(flag & SLOT_PROCESSED)) {
      ring_.events.WaitFor(kSlotLook, [&] {
        return exit_.load(std::memory_order_acquire) || (slot->LoadFlag() & SLOT_PROCESSED) != 0 ||
               CurrentPage % ring_.RingSize() != index;
      });
      continue;
    }

    // Every page taken is numbered, so that a failed page does not shift
    // the numbers of the pages after it.
    const int docPage = reports_.NumberOutputPage(slot->blankFiller);
    // A processed slot without a page never gets one: its worker failed.
    if (SlotPageFailed(*slot))
      reports_.NotePageLost();
    else if (!ring_.events.Cancelled())
      WriteBlock(slot, docPage);

    DbgMessage(FUNCNAME, "free index %d memory", static_cast<int>(index));
    DbgMessage(FUNCNAME, "getTotalSystemMemory = %d", static_cast<int>(AvailableMemory() / (1024 * 1024)));
    slot->ReleasePage();
    slot->StoreFlag(SLOT_FREE);
    ++CurrentPage;
  }
  DbgMessage(FUNCNAME, "exit jbig thread, using %f sec", SecondsSince(tick));
  DbgMessage(FUNCNAME, "exit print out %d pages", static_cast<int>(CurrentPage));
}
