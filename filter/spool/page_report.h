// Progress for the scheduler: "PAGE:" lines for the pages the printer gets,
// numbered as the document's pages (filler pages of duplex jobs are not
// reported: they carry no toner and are no page of the document).
#pragma once

#include <cstdio>
#include <mutex>
#include <vector>

#include "wintypes.h"

class PageReports {
 public:
  explicit PageReports(FILE* err) : err_(err) {}

  // Sets the copies the printer makes of each page (the job header's COPIES).
  void SetPrinterCopies(unsigned copies);

  // Numbers the next page block the output thread takes, in page order: the
  // page's 1-based number in the document, or 0 for a filler page.
  int NumberOutputPage(bool filler);

  // Remembers the document page number of spool record index.
  void NoteSpooledPage(DWORD index, int docPage);

  // The document page number of spool record index; 0 for a filler or an
  // unknown record.
  int SpooledPageNumber(DWORD index);

  // Tells the scheduler that page docPage reached the printer: one whole
  // "PAGE: n copies" line; nothing for a filler (docPage 0).
  void ReportPageSent(int docPage);

  // Document pages reported as sent so far (copies counted once each).
  int PagesSent();

  // Notes a page (or spooled copy) that was taken but never reached the
  // printer; its "ERROR:" line is written where it failed.
  void NotePageLost();
  int PagesLost();

 private:
  // The output thread numbers and spools pages; the main thread flushes and
  // replays them: both sides go through this lock.
  std::mutex lock_;
  FILE* err_;
  int outputPages_ = 0;
  unsigned printerCopies_ = 1;
  int pagesSent_ = 0;
  int pagesLost_ = 0;
  std::vector<int> spooledPages_;  // spool record index -> document page
};
