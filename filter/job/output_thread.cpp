// The output thread: takes processed slots strictly in page order, fills the
// page header and writes the block to the printer stream or the spool file.
#include <semaphore.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "job_state.h"
#include "job_streams.h"
#include "page_header.h"
#include "page_output.h"
#include "page_pipeline.h"
#include "page_report.h"
#include "port.h"
#include "shims.h"
#include "spool_file.h"
#include "trace.h"

namespace {

std::atomic<bool> gOutputFailed{false};

bool WriteLE32(FILE* f, DWORD v) {
  const BYTE b[4] = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16),
                     static_cast<BYTE>(v >> 24)};
  return std::fwrite(b, 1, 4, f) == 4;
}

// Appends one page block as a spool record (document page docPage, 0 for a
// filler) and rewrites the file header.
bool AppendSpoolRecord(const BYTE* block, DWORD len, int docPage) {
  static const char FUNCNAME[] = "JbigThread";
  FILE* f = gSpoolFileHandle;
  if (!f) return false;
  sem_wait(&mutex);
  bool ok = fseeko(f, 0, SEEK_END) == 0;
  gSpoolPageHeader.dataLen = len;
  DbgMessage(FUNCNAME, "gSaveToFile = 1, gSpoolPageHeader.dataLen = %d", static_cast<int>(len));
  ok = ok && WriteLE32(f, len) && std::fwrite(block, 1, len, f) == len;
  if (ok) {
    NoteSpooledPage(gSpoolFileHeader.pages, docPage);
    gSpoolFileHeader.pages += 1;
    gSpoolFileHeader.bfOffBits = 8;
    ok = fseeko(f, 0, SEEK_SET) == 0 && WriteLE32(f, gSpoolFileHeader.pages) &&
         WriteLE32(f, gSpoolFileHeader.bfOffBits) && std::fflush(f) == 0;
    DbgMessage(FUNCNAME, "gSaveToFile = 1, gSpoolFileHeader.pages = %d",
               static_cast<int>(gSpoolFileHeader.pages));
  }
  int err = errno;
  sem_post(&mutex);
  if (!ok) NoteOutputFailure("Unable to write the spool file", err);
  return ok;
}

// Writes one finished slot's block out; docPage is its document page
// number (0 for a filler).
void WriteBlock(JobInfo* slot, int docPage) {
  static const char FUNCNAME[] = "JbigThread";
  const int colorMode = static_cast<int>(slot->inheader.cupsInteger[4]);
  if (colorMode == 1 || colorMode == 3) ImageCompress(slot);
  if (!HoldsPageBlock(slot)) {
    DbgMessage(FUNCNAME, "page %d holds no page block, dropped", static_cast<int>(slot->PageIndex));
    return;
  }
  const DWORD outsize = slot->CurPageDataLen + kBlockPrefix;
  DbgMessage(FUNCNAME, "page data outsize = %d", static_cast<int>(outsize));
  PJL_WritePageHeader(slot, reinterpret_cast<char*>(slot->lpbuf) + ResetCmdLen, slot->CurPageDataLen,
                      slot->blackDots);
  if (gSaveToFile.load(std::memory_order_acquire)) {
    AppendSpoolRecord(slot->lpbuf, outsize, docPage);
  } else if (SendToPrinter(slot->lpbuf, outsize)) {
    ReportPageSent(docPage);
    count_bytes.fetch_add(outsize, std::memory_order_acq_rel);
    DbgMessage(FUNCNAME, "count_bytes = %d", static_cast<int>(count_bytes.load(std::memory_order_acquire)));
    gOutputSize.fetch_add(static_cast<int>(outsize), std::memory_order_acq_rel);
  }
  DbgMessage(FUNCNAME, "gOutputSize = %d", gOutputSize.load(std::memory_order_acquire));
}

}  // namespace

void NoteOutputFailure(const char* what, int err) {
  static const char FUNCNAME[] = "NoteOutputFailure";
  if (!gOutputFailed.exchange(true, std::memory_order_acq_rel)) {
    std::fprintf(JobErr(), "ERROR: %s (%s); the job is stopped\n", what, std::strerror(err));
    std::fflush(JobErr());
    DbgMessage(FUNCNAME, "%s, errno = %d", what, err);
  }
  gCancelJob.store(1, std::memory_order_release);
}

bool OutputFailed() {
  return gOutputFailed.load(std::memory_order_acquire);
}

void ResetOutputFailure() {
  gOutputFailed.store(false, std::memory_order_release);
}

bool SendToPrinter(const void* data, std::size_t len) {
  if (OutputFailed()) return false;
  FILE* out = JobOut();
  errno = 0;
  std::size_t n = WritePort(data, 1, len, out);
  if (n != len || std::fflush(out) != 0 || std::ferror(out)) {
    NoteOutputFailure("Unable to write to the printer stream", errno ? errno : EIO);
    return false;
  }
  return true;
}

void* JbigThread(void* param) {
  static const char FUNCNAME[] = "JbigThread";
  auto* lpJob = static_cast<JobInfo*>(param);
  const DWORD tick = GetTickCount();
  // Only the flags are traced: a slot's other fields belong to the main
  // thread until its page is processed.
  for (int i = 0; i < kJobSlots; ++i)
    DbgMessage(FUNCNAME, "[%d]flag = %0x", i, static_cast<unsigned>(lpJob[i].LoadFlag()));

  DWORD CurrentPage = 0;
  while (!gJbigThreadExit.load(std::memory_order_acquire)) {
    DbgMessage(FUNCNAME, "gJbigThreadExit = %d", 0);
    const DWORD index = CurrentPage % RingSize();
    DbgMessage(FUNCNAME, "check buffer index = %d, CurrentPage = %d", static_cast<int>(index),
               static_cast<int>(CurrentPage));
    JobInfo* slot = &lpJob[index];
    // The flag is read first: it hands the slot's fields over.
    const DWORD flag = slot->LoadFlag();
    DbgMessage(FUNCNAME, "flag = %0x", static_cast<unsigned>(flag));
    if (!(flag & SLOT_PROCESSED)) {
      Sleep(300);
      continue;
    }

    // Every page taken is numbered, so that a failed page does not shift
    // the numbers of the pages after it.
    const int docPage = NumberOutputPage(slot->filler != 0);
    // A processed slot without a buffer never gets one: its worker failed.
    if (slot->lpbuf && !gCancelJob.load(std::memory_order_acquire)) WriteBlock(slot, docPage);

    DbgMessage(FUNCNAME, "free index %d memory", static_cast<int>(index));
    DbgMessage(FUNCNAME, "getTotalSystemMemory = %d",
               static_cast<int>(getTotalSystemMemory() / (1024 * 1024)));
    std::free(slot->lpbuf);
    slot->lpbuf = nullptr;
    slot->StoreFlag(SLOT_FREE);
    ++CurrentPage;
  }
  DbgMessage(FUNCNAME, "exit jbig thread, using %f sec", static_cast<double>(GetTickCount() - tick) / 1000.0);
  DbgMessage(FUNCNAME, "exit print out %d pages", static_cast<int>(CurrentPage));
  return nullptr;
}
