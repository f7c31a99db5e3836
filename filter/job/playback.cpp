// Sending spooled pages: the first copy in sheet order while the job runs,
// and the replay for further collated copies at its end. Records of a
// raw-data printer hold the coded page and are decoded before sending.
#include <semaphore.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "feature_bits.h"
#include "job_context.h"
#include "job_state.h"
#include "job_streams.h"
#include "kestal_jbig.h"
#include "page_output.h"
#include "page_report.h"
#include "shims.h"
#include "spool_file.h"
#include "trace.h"

namespace {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using MallocBuf = std::unique_ptr<char, FreeDeleter>;

// Record offsets of the coded image's width and height (the BIE header
// behind the page block prefix) and of the page header's length field.
constexpr DWORD kBieWidthAt = kBlockPrefix + 4;
constexpr DWORD kBieHeightAt = kBlockPrefix + 8;
constexpr DWORD kBieHeaderLen = 20;
constexpr DWORD kCompSizeAt = ResetCmdLen + 16;

DWORD GetBE32(const char* p) {
  auto b = reinterpret_cast<const BYTE*>(p);
  return static_cast<DWORD>(b[0]) << 24 | static_cast<DWORD>(b[1]) << 16 | static_cast<DWORD>(b[2]) << 8 |
         b[3];
}

void PutLE32(char* p, DWORD v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

bool Cancelled() {
  return gCancelJob.load(std::memory_order_acquire) != 0;
}

void SkipRecord(DWORD index, const char* why) {
  std::fprintf(JobErr(), "ERROR: Spooled page %u not sent: %s\n", static_cast<unsigned>(index) + 1, why);
  std::fflush(JobErr());
}

// Sends the decoded bitmap of a raw-data printer's record; bytes written.
DWORD SendDecoded(const char* FUNCNAME, DWORD index, const char* rec, DWORD size, bool traceBytes) {
  if (size < kBlockPrefix + kBieHeaderLen) {
    SkipRecord(index, "record too short for a coded page");
    return 0;
  }
  if (traceBytes)
    for (int i = 0; i < 8; ++i)
      DbgMessage(FUNCNAME, "lpComData[%d] = %x", i,
                 static_cast<unsigned>(static_cast<BYTE>(rec[kBieWidthAt + i])));
  const DWORD width = GetBE32(rec + kBieWidthAt);
  const DWORD height = GetBE32(rec + kBieHeightAt);
  const std::uint64_t image = static_cast<std::uint64_t>(width / 8) * height;
  DbgMessage(FUNCNAME, "width = %d", static_cast<int>(width));
  DbgMessage(FUNCNAME, "height = %d", static_cast<int>(height));
  DbgMessage(FUNCNAME, "ImageSize = %d", static_cast<int>(image));
  if (image == 0 || image > 0x7fffffffu - kBlockPrefix) {
    SkipRecord(index, "coded page size out of range");
    return 0;
  }
  const DWORD ImageSize = static_cast<DWORD>(image);
  MallocBuf out(static_cast<char*>(std::malloc(ImageSize + kBlockPrefix)));
  if (!out) return 0;
  std::memcpy(out.get(), rec, kBlockPrefix);
  PutLE32(out.get() + kCompSizeAt, ImageSize);
  int rc = Kestal_BIEDecoding(out.get() + kBlockPrefix, const_cast<char*>(rec) + kBlockPrefix, ImageSize,
                              size - kBlockPrefix);
  if (rc != 0) {
    DbgMessage(FUNCNAME, "Kestal_BIEDecoding fail, rc = %d", rc);
    SkipRecord(index, "the coded page could not be decoded");
    return 0;
  }
  if (!SendToPrinter(out.get(), ImageSize + kBlockPrefix)) return 0;
  DbgMessage(FUNCNAME, "Kestal_BIEDecoding success");
  return ImageSize + kBlockPrefix;
}

// Sends spool record index to the printer stream; bytes written.
DWORD SendRecord(const char* FUNCNAME, DWORD index, bool raw, bool traceBytes) {
  const DWORD size = GetPageDataSize(index);
  DbgMessage(FUNCNAME, "Page[%d] pageSize = %d", static_cast<int>(index), static_cast<int>(size));
  if (size == 0) return 0;
  MallocBuf rec(static_cast<char*>(std::malloc(size)));
  if (!rec) return 0;
  if (!GetPageData(index, size, rec.get())) {
    SkipRecord(index, "the spool file could not be read");
    return 0;
  }
  const DWORD sent = raw ? SendDecoded(FUNCNAME, index, rec.get(), size, traceBytes)
                         : (SendToPrinter(rec.get(), size) ? size : 0);
  if (sent) ReportPageSent(SpooledPageNumber(index));
  return sent;
}

}  // namespace

BOOL PJL_FlushPage(DWORD* finishpage, int bDuplex, DWORD DriverFeature, BYTE* PrinterFeature) {
  static const char FUNCNAME[] = "PJL_FlushPage";
  if (!gSaveToFile.load(std::memory_order_acquire)) return TRUE;
  const DWORD tick = GetTickCount();
  DbgMessage(FUNCNAME, "In");
  DbgMessage(FUNCNAME, "CompressOff = %d", static_cast<int>(DriverFeature & 0x1));
  const bool raw = (PrinterFeature[0] & F0_RAW_DATA) != 0;

  sem_wait(&mutex);
  DWORD PagesInFile = gSpoolFileHeader.pages;
  if (bDuplex) PagesInFile &= ~1u;
  DbgMessage(FUNCNAME, "Total pages %d", static_cast<int>(PagesInFile));
  DbgMessage(FUNCNAME, "startpage %d", static_cast<int>(*finishpage));

  DWORD written = 0;
  if (!bDuplex) {
    while (*finishpage < PagesInFile && !Cancelled()) {
      written += SendRecord(FUNCNAME, *finishpage, raw, false);
      ++*finishpage;
    }
  } else {
    while (*finishpage + 1 < PagesInFile && !Cancelled()) {
      const DWORD i = *finishpage;
      written += SendRecord(FUNCNAME, i + 1, raw, true);
      ++*finishpage;
      written += SendRecord(FUNCNAME, i, raw, true);
      ++*finishpage;
    }
  }
  count_bytes.fetch_add(written, std::memory_order_acq_rel);
  gOutputSize.fetch_add(static_cast<int>(written), std::memory_order_acq_rel);
  DbgMessage(FUNCNAME, "flush data, using %f sec", static_cast<double>(GetTickCount() - tick) / 1000.0);
  sem_post(&mutex);
  DbgMessage(FUNCNAME, "out");
  return TRUE;
}

void PlaybackSpool(FilterJob& job) {
  static const char FUNCNAME[] = "main";
  DbgMessage(FUNCNAME, "CompressOff = %d", static_cast<int>(job.DriverFeature & 0x1));
  const bool raw = (job.PrnCapInfo.Feature[0] & F0_RAW_DATA) != 0;
  const DWORD pages = SpoolPageCount();
  DbgMessage(FUNCNAME, "Print Out Spool Data, Total Pages = %d", static_cast<int>(pages));
  DbgMessage(FUNCNAME, "bDriverDoCollate = %d", job.bDriverDoCollate);
  DbgMessage(FUNCNAME, "bDuplex = %d", job.bDuplex);
  job.nPageOffset = job.bDuplex ? 2 : 1;
  DbgMessage(FUNCNAME, "nPageOffset = %d", job.nPageOffset);
  if (!job.bDriverDoCollate) job.nCopies = 1;
  if (job.nCopies > kMaxCopies) job.nCopies = kMaxCopies;
  DbgMessage(FUNCNAME, "nCopies = %d", job.nCopies);
  if (job.nCopies > 0) job.nCopies -= 1;

  // The output thread has ended: the spool file has no other user now.
  const DWORD step = job.nPageOffset;
  for (unsigned copy = 0; copy < job.nCopies && !Cancelled(); ++copy) {
    for (DWORD i = 0; i < pages && !Cancelled(); i += step) {
      DbgMessage(FUNCNAME, "Print Out Spool Data, Pages = %d", static_cast<int>(i));
      for (DWORD k = 0; k < step && !Cancelled(); ++k) {
        const DWORD index = i + step - 1 - k;
        if (index >= pages) continue;
        count_bytes.fetch_add(SendRecord(FUNCNAME, index, raw, false), std::memory_order_acq_rel);
      }
    }
  }
  if (Cancelled()) DbgMessage(FUNCNAME, "playback stopped, gCancelJob = %d", 1);
}
