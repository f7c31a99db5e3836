// Page output: coding a processed page into its page block, and the output
// thread that writes the blocks in page order to the printer stream or the
// spool file.
#pragma once

#include <atomic>
#include <thread>

#include "page_block.h"
#include "page_pipeline.h"
#include "page_report.h"
#include "page_slot.h"
#include "printer_port.h"
#include "spool_file.h"
#include "wintypes.h"

// Replaces the slot's 1-bit bitmap by its page block (pageBlock: ESC "E",
// room for the page header, page data) and sets blackDots. A page that
// cannot be coded keeps its bitmap and gets no block, with its "ERROR:"
// line; the output thread drops it.
void ImageCompress(PageSlot* slot);

// Bytes of page data in the slot's page block (0 without one).
DWORD PageDataBytes(const PageSlot& slot);
// True when the slot holds a page block made by ImageCompress.
bool HoldsPageBlock(const PageSlot* slot);

// The job's output thread: visits the ring's slots strictly in page order,
// codes the pages of several planes itself, fills each page header and
// writes the block to the printer stream, or appends it to the spool file
// while the job spools, then frees the slot.
class OutputThread {
 public:
  OutputThread(PageRing& ring, PrinterPort& port, SpoolFile& spool, PageReports& reports)
      : ring_(ring), port_(port), spool_(spool), reports_(reports) {}
  ~OutputThread() { Stop(); }
  OutputThread(const OutputThread&) = delete;
  OutputThread& operator=(const OutputThread&) = delete;

  // False when no thread could be had.
  bool Start();
  // Asks the thread to end after its current slot and joins it.
  void Stop();
  bool Running() const { return thread_.joinable(); }
  // The thread's id for the trace.
  unsigned long NativeId() { return static_cast<unsigned long>(thread_.native_handle()); }

 private:
  void Run();
  void WriteBlock(PageSlot* slot, int docPage);

  PageRing& ring_;
  PrinterPort& port_;
  SpoolFile& spool_;
  PageReports& reports_;
  std::atomic<bool> exit_{false};  // stop request (gJbigThreadExit)
  std::thread thread_;
};
