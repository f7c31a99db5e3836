// "PAGE:" progress lines (see page_report.h).
#include "page_report.h"

#include "trace.h"

void PageReports::SetPrinterCopies(unsigned copies) {
  std::lock_guard<std::mutex> lock(lock_);
  printerCopies_ = copies ? copies : 1;
}

int PageReports::NumberOutputPage(bool filler) {
  std::lock_guard<std::mutex> lock(lock_);
  return filler ? 0 : ++outputPages_;
}

void PageReports::NoteSpooledPage(DWORD index, int docPage) {
  std::lock_guard<std::mutex> lock(lock_);
  if (spooledPages_.size() <= index) spooledPages_.resize(static_cast<std::size_t>(index) + 1, 0);
  spooledPages_[index] = docPage;
}

int PageReports::SpooledPageNumber(DWORD index) {
  std::lock_guard<std::mutex> lock(lock_);
  return index < spooledPages_.size() ? spooledPages_[index] : 0;
}

void PageReports::ReportPageSent(int docPage) {
  static const char FUNCNAME[] = "ReportPageSent";
  if (docPage <= 0) return;
  unsigned copies;
  {
    std::lock_guard<std::mutex> lock(lock_);
    copies = printerCopies_;
    ++pagesSent_;
  }
  // One call per line: the scheduler reads whole lines, and several
  // threads write to the same stream.
  CupsMessage(err_, "PAGE: ", "%d %u", docPage, copies);
  DbgMessage(FUNCNAME, "PAGE: %d %u", docPage, copies);
}

int PageReports::PagesSent() {
  std::lock_guard<std::mutex> lock(lock_);
  return pagesSent_;
}

void PageReports::NotePageLost() {
  std::lock_guard<std::mutex> lock(lock_);
  ++pagesLost_;
}

int PageReports::PagesLost() {
  std::lock_guard<std::mutex> lock(lock_);
  return pagesLost_;
}
