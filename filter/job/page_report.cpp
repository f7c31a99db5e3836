// "PAGE:" progress lines (see page_report.h).
#include "page_report.h"

#include <cstdio>
#include <mutex>
#include <vector>

#include "job_streams.h"
#include "trace.h"

namespace {

// The output thread numbers and spools pages; the main thread flushes and
// replays them: both sides go through this lock.
std::mutex gReportLock;
int gOutputPages = 0;
unsigned gPrinterCopies = 1;
std::vector<int> gSpooledPages;  // spool record index -> document page

}  // namespace

void ResetPageReports() {
  std::lock_guard<std::mutex> lock(gReportLock);
  gOutputPages = 0;
  gPrinterCopies = 1;
  gSpooledPages.clear();
}

void SetPrinterCopies(unsigned copies) {
  std::lock_guard<std::mutex> lock(gReportLock);
  gPrinterCopies = copies ? copies : 1;
}

int NumberOutputPage(bool filler) {
  std::lock_guard<std::mutex> lock(gReportLock);
  return filler ? 0 : ++gOutputPages;
}

void NoteSpooledPage(DWORD index, int docPage) {
  std::lock_guard<std::mutex> lock(gReportLock);
  if (gSpooledPages.size() <= index) gSpooledPages.resize(static_cast<std::size_t>(index) + 1, 0);
  gSpooledPages[index] = docPage;
}

int SpooledPageNumber(DWORD index) {
  std::lock_guard<std::mutex> lock(gReportLock);
  return index < gSpooledPages.size() ? gSpooledPages[index] : 0;
}

void ReportPageSent(int docPage) {
  static const char FUNCNAME[] = "ReportPageSent";
  if (docPage <= 0) return;
  unsigned copies;
  {
    std::lock_guard<std::mutex> lock(gReportLock);
    copies = gPrinterCopies;
  }
  // One call per line: the scheduler reads whole lines, and several
  // threads write to the same stream.
  FILE* err = JobErr();
  std::fprintf(err, "PAGE: %d %u\n", docPage, copies);
  std::fflush(err);
  DbgMessage(FUNCNAME, "PAGE: %d %u", docPage, copies);
}
