// Sending spooled pages: the first copy in sheet order while the job runs,
// and the replay for further collated copies at its end. Records of a
// raw-data printer hold the coded page in the clear and are decoded (and
// encrypted when the printer asks for it) before sending.
#include "playback.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "aes.h"
#include "byte_order.h"
#include "feature_bits.h"
#include "jbig_codec.h"
#include "page_block.h"
#include "shims.h"
#include "trace.h"

namespace {

using MallocBuf = std::unique_ptr<char, FreeDeleter>;

// Record offsets of the coded image's width and height (the BIE header
// behind the page block prefix) and of the page header's length field.
constexpr DWORD kBieWidthAt = kBlockPrefix + 4;
constexpr DWORD kBieHeightAt = kBlockPrefix + 8;
constexpr DWORD kBieHeaderLen = 20;
constexpr DWORD kDataSizeAt = ResetCmdLen + 12;
constexpr DWORD kCompSizeAt = ResetCmdLen + 16;

void SkipRecord(SpoolSender& s, DWORD index, const char* why) {
  CupsMessage(s.events.Err(), "ERROR: ", "Spooled page %u not sent: %s", static_cast<unsigned>(index) + 1,
              why);
  s.reports.NotePageLost();
}

// Sends the decoded bitmap of a raw-data printer's record, encrypted when
// the printer takes only encrypted pages; true when the stream took it.
bool SendDecoded(SpoolSender& s, const char* FUNCNAME, DWORD index, const char* rec, DWORD size,
                 bool traceBytes, bool ssl) {
  if (size < kBlockPrefix + kBieHeaderLen) {
    SkipRecord(s, index, "record too short for a coded page");
    return false;
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
  // The page header beside the coded image says how large the bitmap is; a
  // record whose image disagrees is damaged, and its sizes would otherwise
  // make the replay decode (and encrypt) up to 2 GB for a few bytes.
  if (image == 0 || image > 0x7fffffffu - kBlockPrefix || image != GetLE32(rec + kDataSizeAt)) {
    SkipRecord(s, index, "coded page size out of range");
    return false;
  }
  const DWORD ImageSize = static_cast<DWORD>(image);
  MallocBuf out(static_cast<char*>(std::malloc(ImageSize + kBlockPrefix)));
  if (!out) {
    SkipRecord(s, index, "out of memory for the decoded page");
    return false;
  }
  std::memcpy(out.get(), rec, kBlockPrefix);
  PutLE32(out.get() + kCompSizeAt, ImageSize);
  int rc = JbigDecodePage(out.get() + kBlockPrefix, const_cast<char*>(rec) + kBlockPrefix, ImageSize,
                          size - kBlockPrefix);
  if (rc != 0) {
    DbgMessage(FUNCNAME, "Kestal_BIEDecoding fail, rc = %d", rc);
    SkipRecord(s, index, "the coded page could not be decoded");
    return false;
  }
  DbgMessage(FUNCNAME, "Kestal_BIEDecoding success");
  if (!ssl) return s.port.Send(out.get(), ImageSize + kBlockPrefix);

  // The record was spooled clear so that it could be decoded here; the
  // printer gets the bitmap encrypted, as it would without spooling.
  std::vector<BYTE> sealed;
  try {
    sealed.reserve(kBlockPrefix + 4 + ImageSize + kAesBlock);
    sealed.assign(out.get(), out.get() + kBlockPrefix);
    if (!AppendEncryptedPageData(reinterpret_cast<const BYTE*>(out.get()) + kBlockPrefix, ImageSize, sealed))
      throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
    SkipRecord(s, index, "out of memory for the page encryption");
    return false;
  }
  const DWORD sent = static_cast<DWORD>(sealed.size());
  PutLE32(sealed.data() + kCompSizeAt, sent - kBlockPrefix);
  return s.port.Send(sealed.data(), sent);
}

// Sends spool record index to the printer stream.
void SendRecord(SpoolSender& s, const char* FUNCNAME, DWORD index, const BYTE* PrinterFeature,
                bool traceBytes) {
  const bool raw = (PrinterFeature[0] & F0_RAW_DATA) != 0;
  const bool ssl = (PrinterFeature[1] & F1_SSL) != 0;
  const DWORD size = s.spool.GetPageDataSize(index);
  DbgMessage(FUNCNAME, "Page[%d] pageSize = %d", static_cast<int>(index), static_cast<int>(size));
  if (size == 0) return;
  MallocBuf rec(static_cast<char*>(std::malloc(size)));
  if (!rec) {
    SkipRecord(s, index, "out of memory for the spooled page");
    return;
  }
  if (!s.spool.GetPageData(index, size, rec.get())) {
    SkipRecord(s, index, "the spool file could not be read");
    return;
  }
  const bool sent =
      raw ? SendDecoded(s, FUNCNAME, index, rec.get(), size, traceBytes, ssl) : s.port.Send(rec.get(), size);
  if (sent) s.reports.ReportPageSent(s.reports.SpooledPageNumber(index));
}

}  // namespace

void SendSpooledPages(SpoolSender& s, DWORD* finishpage, int duplex, DWORD DriverFeature,
                      const BYTE* PrinterFeature) {
  static const char FUNCNAME[] = "PJL_FlushPage";
  if (!s.spool.Active()) return;
  const DWORD tick = GetTickCount();
  DbgMessage(FUNCNAME, "In");
  DbgMessage(FUNCNAME, "CompressOff = %d", static_cast<int>(DriverFeature & DF_DISABLE_COMPRESS));

  std::lock_guard<std::mutex> lock(s.spool.Lock());
  DWORD PagesInFile = s.spool.PagesLocked();
  if (duplex) PagesInFile &= ~1u;
  DbgMessage(FUNCNAME, "Total pages %d", static_cast<int>(PagesInFile));
  DbgMessage(FUNCNAME, "startpage %d", static_cast<int>(*finishpage));

  if (!duplex) {
    while (*finishpage < PagesInFile && !s.events.Cancelled()) {
      SendRecord(s, FUNCNAME, *finishpage, PrinterFeature, false);
      ++*finishpage;
    }
  } else {
    while (*finishpage + 1 < PagesInFile && !s.events.Cancelled()) {
      const DWORD i = *finishpage;
      SendRecord(s, FUNCNAME, i + 1, PrinterFeature, true);
      ++*finishpage;
      SendRecord(s, FUNCNAME, i, PrinterFeature, true);
      ++*finishpage;
    }
  }
  DbgMessage(FUNCNAME, "flush data, using %f sec", SecondsSince(tick));
  DbgMessage(FUNCNAME, "out");
}

void PlaybackSpool(SpoolSender& s, const BYTE* PrinterFeature, DWORD DriverFeature, BOOL bDriverDoCollate,
                   unsigned duplex, unsigned* nCopies) {
  static const char FUNCNAME[] = "main";
  DbgMessage(FUNCNAME, "CompressOff = %d", static_cast<int>(DriverFeature & DF_DISABLE_COMPRESS));
  const DWORD pages = s.spool.PageCount();
  DbgMessage(FUNCNAME, "Print Out Spool Data, Total Pages = %d", static_cast<int>(pages));
  DbgMessage(FUNCNAME, "bDriverDoCollate = %d", bDriverDoCollate);
  DbgMessage(FUNCNAME, "bDuplex = %d", duplex);
  // A duplex sheet is replayed as a whole, back side first.
  const DWORD nPageOffset = duplex ? 2 : 1;
  DbgMessage(FUNCNAME, "nPageOffset = %d", static_cast<int>(nPageOffset));
  if (!bDriverDoCollate) *nCopies = 1;
  if (*nCopies > kMaxCopies) *nCopies = kMaxCopies;
  DbgMessage(FUNCNAME, "nCopies = %d", *nCopies);
  if (*nCopies > 0) *nCopies -= 1;

  // The output thread has ended: the spool file has no other user now.
  const DWORD step = nPageOffset;
  for (unsigned copy = 0; copy < *nCopies && !s.events.Cancelled(); ++copy) {
    for (DWORD i = 0; i < pages && !s.events.Cancelled(); i += step) {
      DbgMessage(FUNCNAME, "Print Out Spool Data, Pages = %d", static_cast<int>(i));
      for (DWORD k = 0; k < step && !s.events.Cancelled(); ++k) {
        const DWORD index = i + step - 1 - k;
        if (index >= pages) continue;
        SendRecord(s, FUNCNAME, index, PrinterFeature, false);
      }
    }
  }
  if (s.events.Cancelled()) DbgMessage(FUNCNAME, "playback stopped, gCancelJob = %d", 1);
}
