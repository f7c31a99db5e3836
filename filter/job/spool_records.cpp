// Reading page records back from the spool file. Callers hold the spool
// lock, or run when no writer is left.
#include <semaphore.h>

#include <cstdio>

#include "job_state.h"
#include "page_output.h"
#include "shims.h"
#include "spool_file.h"
#include "trace.h"

namespace {

bool ReadLE32(FILE* f, DWORD& v) {
  BYTE b[4];
  if (std::fread(b, 1, 4, f) != 4) return false;
  v = static_cast<DWORD>(b[0]) | static_cast<DWORD>(b[1]) << 8 | static_cast<DWORD>(b[2]) << 16 |
      static_cast<DWORD>(b[3]) << 24;
  return true;
}

// Leaves the file at record index's data and returns its dataLen; false
// when the index is out of range or the file ends early.
bool SeekRecord(const char* FUNCNAME, DWORD index, DWORD& dataLen) {
  FILE* f = gSpoolFileHandle;
  const DWORD pages = gSpoolFileHeader.pages;
  if (index >= pages || !f) {
    DbgMessage(FUNCNAME, "Page Index %d Error, Total pages %d", static_cast<int>(index),
               static_cast<int>(pages));
    return false;
  }
  if (fseeko(f, static_cast<off_t>(gSpoolFileHeader.bfOffBits), SEEK_SET) != 0) return false;
  if (!ReadLE32(f, dataLen)) return false;
  for (DWORD i = 0; i < index; ++i) {
    if (fseeko(f, static_cast<off_t>(dataLen), SEEK_CUR) != 0 || !ReadLE32(f, dataLen)) return false;
  }
  return true;
}

}  // namespace

DWORD GetPageDataSize(DWORD index) {
  static const char FUNCNAME[] = "GetPageDataSize";
  DbgMessage(FUNCNAME, "In");
  const DWORD tick = GetTickCount();
  DWORD dataLen = 0;
  if (!SeekRecord(FUNCNAME, index, dataLen)) dataLen = 0;
  DbgMessage(FUNCNAME, "Out, Tick = %d", static_cast<int>(GetTickCount() - tick));
  return dataLen;
}

BOOL GetPageData(DWORD index, DWORD outBufSize, char* lpOutBuf) {
  static const char FUNCNAME[] = "GetPageData";
  DbgMessage(FUNCNAME, "In");
  const DWORD tick = GetTickCount();
  DWORD dataLen = 0;
  BOOL rc = FALSE;
  if (SeekRecord(FUNCNAME, index, dataLen)) {
    if (outBufSize < dataLen) {
      DbgMessage(FUNCNAME, "Page [%d] Buffer too Small %d / %d", static_cast<int>(index),
                 static_cast<int>(outBufSize), static_cast<int>(dataLen));
    } else {
      DbgMessage(FUNCNAME, "dataLen = %d", static_cast<int>(dataLen));
      rc = std::fread(lpOutBuf, 1, dataLen, gSpoolFileHandle) == dataLen ? TRUE : FALSE;
    }
  }
  DbgMessage(FUNCNAME, "Out, Tick = %d", static_cast<int>(GetTickCount() - tick));
  return rc;
}

DWORD SpoolPageCount() {
  if (!gSaveToFile.load(std::memory_order_acquire)) return 0;
  sem_wait(&mutex);
  DWORD pages = gSpoolFileHeader.pages;
  sem_post(&mutex);
  return pages;
}
