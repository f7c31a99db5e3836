// Page coding: toner saving, black-dot count, checksum, JBIG or raw page
// data, encryption for printers that ask for it, and the page block the
// output thread writes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "aes.h"
#include "byte_order.h"
#include "feature_bits.h"
#include "image.h"
#include "jbig_codec.h"
#include "page_output.h"
#include "shims.h"
#include "trace.h"

namespace {

// JBIG options of the page coder: two-line template for the ZQ3 chip,
// three-line template with typical prediction otherwise.
constexpr long kJbigOptionsZQ3 = 64;
constexpr long kJbigOptions = 8;
// Longest page data a block may carry; the page header's length field is
// 32 bits and nothing sane comes near this.
constexpr std::uint64_t kMaxPageData = 0x7fffffffu;

void AppendLE32(std::vector<BYTE>& out, DWORD v) {
  out.resize(out.size() + 4);
  PutLE32(out.data() + out.size() - 4, v);
}

// Codes one plane and appends its coded bytes to the block, which grows as
// far as the coded data needs. Each plane has its own chunk counter, so
// removeHeader drops the header of every plane.
bool CodePlane(BYTE* bitmap, DWORD width, DWORD rows, long options, long removeHeader,
               std::vector<BYTE>& block, DWORD& codedLen) {
  const std::size_t offset = block.size();
  long TotalOutLen = 0;
  long OutJBGDataTimes = 0;
  long len = JbigEncodePage(width, rows, bitmap, block, offset, &TotalOutLen, &OutJBGDataTimes, 0, options,
                            removeHeader);
  if (len < 0 || static_cast<std::uint64_t>(len) > kMaxPageData) return false;
  block.resize(offset + static_cast<std::size_t>(len));
  codedLen = static_cast<DWORD>(len);
  return true;
}

// Checksum of the plane the slot currently shows (lpbuf, page_height and
// pagesize point at the plane).
DWORD PlaneChecksum(PageSlot* slot) {
  if (slot->DriverFeature & DF_ZQ3_CHIP) return DataPatternChkSum_new(slot);
  return DataPatternChkSum(slot);
}

void ReportCodingFailure(const char* FUNCNAME, PageSlot* slot, const char* why) {
  CupsMessage(slot->Err(), "ERROR: ", "Page %u not printed: %s", static_cast<unsigned>(slot->PageIndex) + 1,
              why);
  DbgMessage(FUNCNAME, "page %u fail: %s", static_cast<unsigned>(slot->PageIndex), why);
  slot->CurPageDataLen = 0;
}

// The body of ImageCompress; may throw std::bad_alloc while the block grows.
void CompressPage(const char* FUNCNAME, PageSlot* slot) {
  const BYTE* Feature = slot->Feature;
  const BOOL CompressOff = (Feature[0] & F0_RAW_DATA) ? 1 : 0;
  const bool checksum = (Feature[0] & F0_CHECKSUM) != 0;
  const bool zq3 = (slot->DriverFeature & DF_ZQ3_CHIP) != 0;
  DbgMessage(FUNCNAME, "CompressOff %d", CompressOff);
  slot->blackDots = 0;
  slot->CurPageDataLen = 0;
  if (!slot->lpbuf) {
    ReportCodingFailure(FUNCNAME, slot, "no page bitmap");
    return;
  }

  if ((Feature[1] & F1_SW_TONERSAVE) && slot->inheader.cupsInteger[0]) {
    DbgMessage(FUNCNAME, "apply toner saving");
    Prnt_SimulateTonerSaving(slot);
  }

  const bool separate =
      (slot->DriverFeature & DF_CMYK_SEPARATE_COMPRESS) && !CompressOff && slot->inheader.cupsInteger[4] == 3;
  const DWORD ColorPlane = separate ? 4 : 1;
  const DWORD JbigSizeHeader = separate ? 4 : 0;
  DbgMessage(FUNCNAME, "ColorPlane = %d", static_cast<int>(ColorPlane));
  DbgMessage(FUNCNAME, "JbigSizeHeader = %d", static_cast<int>(JbigSizeHeader));
  DbgMessage(FUNCNAME, "linebyte = %d", static_cast<int>(slot->linebyte));
  DbgMessage(FUNCNAME, "RasterImageCmdLen = %d", static_cast<int>(RasterImageCmdLen));
  DbgMessage(FUNCNAME, "ResetCmdLen = %d", static_cast<int>(ResetCmdLen));

  const std::uint64_t rawSize = static_cast<std::uint64_t>(slot->linebyte) * slot->page_height;
  if (rawSize == 0 || rawSize > kMaxPageData) {
    ReportCodingFailure(FUNCNAME, slot, "page bitmap size out of range");
    return;
  }
  // The block starts at the size of the raw bitmap and grows when coded
  // data of a noise-like page comes out larger.
  std::vector<BYTE> block;
  block.reserve(rawSize + ColorPlane * JbigSizeHeader + kBlockPrefix + (checksum ? 4 : 0));
  block.assign(kBlockPrefix, 0);
  DbgMessage(FUNCNAME, "outsize %d", static_cast<int>(block.capacity()));

  slot->blackDots = Prnt_CountBlackDots(slot->lpbuf, static_cast<long>(rawSize));
  DbgMessage(FUNCNAME, "start");
  DbgMessage(FUNCNAME, "page_width %d", static_cast<int>(slot->page_width));
  DbgMessage(FUNCNAME, "page_height %d", static_cast<int>(slot->page_height));

  BYTE* const bitmap = slot->lpbuf;
  const DWORD H = slot->page_height;
  const DWORD planeRows = H / ColorPlane;
  const DWORD planeBytes = planeRows * slot->linebyte;
  DWORD start = GetTickCount();
  bool ok = true;
  for (DWORD p = 0; p < ColorPlane && ok; ++p) {
    start = GetTickCount();
    BYTE* plane = bitmap + static_cast<std::size_t>(planeBytes) * p;
    const std::size_t lenAt = block.size();
    if (JbigSizeHeader) block.resize(block.size() + JbigSizeHeader);

    DWORD planeLen = 0;
    DWORD sum = 0;
    if (CompressOff && !slot->spooling) {
      block.insert(block.end(), plane, plane + planeBytes);
      planeLen = planeBytes;
    } else {
      // Every plane is its own image: the checksum covers the plane's own
      // rows and the plane's coded data carries no image header.
      slot->lpbuf = plane;
      slot->page_height = planeRows;
      slot->pagesize = planeBytes;
      if (checksum) {
        sum = PlaneChecksum(slot);
        DbgMessage(FUNCNAME, "checksum = %d", static_cast<int>(sum));
      }
      slot->lpbuf = bitmap;
      DbgMessage(FUNCNAME, "before compress");
      long options = kJbigOptions;
      long removeHeader = CompressOff ? 0 : 1;
      if (zq3) {
        options = kJbigOptionsZQ3;
        removeHeader = 0;
        DbgMessage(FUNCNAME, "ZQ3 compress");
        DbgMessage(FUNCNAME, "page_width = %d", static_cast<int>(slot->page_width));
        DbgMessage(FUNCNAME, "page_height = %d", static_cast<int>(planeRows));
        DbgMessage(FUNCNAME, "linebyte = %d", static_cast<int>(slot->linebyte));
        DbgMessage(FUNCNAME, "JbigSizeHeader = %d", static_cast<int>(JbigSizeHeader));
        DbgMessage(FUNCNAME, "clen = %d", static_cast<int>(block.size() - kBlockPrefix));
      }
      DbgMessage(FUNCNAME, "option = %d", static_cast<int>(options));
      ok = CodePlane(plane, slot->page_width, planeRows, options, removeHeader, block, planeLen);
    }
    DbgMessage(FUNCNAME, "CompressSize = %d", static_cast<int>(planeLen));
    if (JbigSizeHeader) PutLE32(block.data() + lenAt, planeLen);
    if (!CompressOff) {
      DbgMessage(FUNCNAME, "compress mode");
      if (checksum) {
        DbgMessage(FUNCNAME, "add checksum");
        AppendLE32(block, sum);
      }
    }
    DbgMessage(FUNCNAME, "outLen = %d", static_cast<int>(block.size() - kBlockPrefix));
    if (block.size() - kBlockPrefix > kMaxPageData) ok = false;
  }
  slot->page_height = H;
  slot->lpbuf = bitmap;
  slot->pagesize = static_cast<DWORD>(rawSize);
  DWORD elapsed = GetTickCount() - start;
  DbgMessage(FUNCNAME, "compress page %d using = %f", static_cast<int>(slot->PageIndex),
             static_cast<double>(elapsed) / 1000.0);
  if (!ok) {
    ReportCodingFailure(FUNCNAME, slot, "page coding failed");
    return;
  }

  // A raw-data printer's spooled page stays clear: the replay decodes it
  // and encrypts the bitmap, which is what the printer gets unspooled.
  if ((Feature[1] & F1_SSL) && !(CompressOff && slot->spooling)) {
    std::vector<BYTE> sealed;
    sealed.reserve(block.size() + 4 + kAesBlock);
    sealed.assign(kBlockPrefix, 0);
    if (!AppendEncryptedPageData(block.data() + kBlockPrefix, static_cast<DWORD>(block.size() - kBlockPrefix),
                                 sealed) ||
        sealed.size() - kBlockPrefix > kMaxPageData) {
      ReportCodingFailure(FUNCNAME, slot, "page encryption failed");
      return;
    }
    DbgMessage(FUNCNAME, "out AES data len = %d", static_cast<int>(sealed.size() - kBlockPrefix - 4));
    block.swap(sealed);
  }

  auto* out = static_cast<BYTE*>(std::malloc(block.size()));
  if (!out) {
    ReportCodingFailure(FUNCNAME, slot, "out of memory for the page block");
    return;
  }
  block[0] = 0x1B;
  block[1] = 0x45;
  std::memcpy(out, block.data(), block.size());
  std::free(slot->lpbuf);
  slot->lpbuf = out;
  slot->CurPageDataLen = static_cast<DWORD>(block.size() - kBlockPrefix);
  slot->pagesize = static_cast<DWORD>(block.size());
  DbgMessage(FUNCNAME, "out, CurPageDataLen = %d", static_cast<int>(slot->CurPageDataLen));
}

}  // namespace

bool HoldsPageBlock(const PageSlot* slot) {
  return slot->lpbuf != nullptr && slot->CurPageDataLen > 0 &&
         slot->pagesize == slot->CurPageDataLen + kBlockPrefix && slot->lpbuf[0] == 0x1B &&
         slot->lpbuf[1] == 0x45;
}

void ImageCompress(PageSlot* slot) {
  static const char FUNCNAME[] = "ImageCompress";
  BYTE* const bitmap = slot->lpbuf;
  const DWORD height = slot->page_height;
  const DWORD pagesize = slot->pagesize;
  try {
    CompressPage(FUNCNAME, slot);
  } catch (const std::bad_alloc&) {
    // The slot keeps its bitmap and is dropped by the output thread.
    slot->lpbuf = bitmap;
    slot->page_height = height;
    slot->pagesize = pagesize;
    ReportCodingFailure(FUNCNAME, slot, "out of memory while coding the page");
  }
}
