// Page coding: toner saving, black-dot count, checksum, JBIG or raw page
// data, encryption for printers that ask for it, and the page block the
// output thread writes.
#include <cstdint>
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

// Codes one plane and appends its coded bytes to the block. Each plane is
// its own image, so removeHeader drops the header of every plane.
bool CodePlane(const PlaneView& plane, long options, bool removeHeader, std::vector<BYTE>& block,
               DWORD& codedLen) {
  const std::vector<BYTE> coded = JbigEncodePage(plane, options, removeHeader);
  if (coded.empty() || coded.size() > kMaxPageData) return false;
  block.insert(block.end(), coded.begin(), coded.end());
  codedLen = static_cast<DWORD>(coded.size());
  return true;
}

// Checksum of one plane, by the printer's controller.
DWORD PlaneChecksum(const PageSlot& slot, const PlaneView& plane) {
  if (slot.DriverFeature & DF_ZQ3_CHIP) return DataPatternChkSum_new(plane);
  return DataPatternChkSum(plane);
}

void ReportCodingFailure(const char* FUNCNAME, PageSlot* slot, const char* why) {
  CupsMessage(slot->Err(), "ERROR: ", "Page %u not printed: %s", static_cast<unsigned>(slot->PageIndex) + 1,
              why);
  DbgMessage(FUNCNAME, "page %u fail: %s", static_cast<unsigned>(slot->PageIndex), why);
  std::vector<BYTE>().swap(slot->pageBlock);
}

// The body of ImageCompress; may throw std::bad_alloc while the block grows.
void CompressPage(const char* FUNCNAME, PageSlot* slot) {
  const PageSettings& job = slot->Settings();
  const BYTE* Feature = job.Feature;
  const BOOL CompressOff = (Feature[0] & F0_RAW_DATA) ? 1 : 0;
  const bool checksum = (Feature[0] & F0_CHECKSUM) != 0;
  const bool zq3 = (slot->DriverFeature & DF_ZQ3_CHIP) != 0;
  DbgMessage(FUNCNAME, "CompressOff %d", CompressOff);
  slot->blackDots = 0;
  std::vector<BYTE>().swap(slot->pageBlock);
  if (!slot->page) {
    ReportCodingFailure(FUNCNAME, slot, "no page bitmap");
    return;
  }

  const PlaneView page = slot->WholePage();
  if ((Feature[1] & F1_SW_TONERSAVE) && slot->inheader.cupsInteger[0]) {
    DbgMessage(FUNCNAME, "apply toner saving");
    Prnt_SimulateTonerSaving(page, slot->inheader.HWResolution[0], job.SCALE1200());
  }

  const bool separate =
      (slot->DriverFeature & DF_CMYK_SEPARATE_COMPRESS) && !CompressOff && IsFourColour(slot->colourMode);
  const DWORD ColorPlane = separate ? 4 : 1;
  const DWORD JbigSizeHeader = separate ? 4 : 0;
  DbgMessage(FUNCNAME, "ColorPlane = %d", static_cast<int>(ColorPlane));
  DbgMessage(FUNCNAME, "JbigSizeHeader = %d", static_cast<int>(JbigSizeHeader));
  DbgMessage(FUNCNAME, "linebyte = %d", static_cast<int>(slot->linebyte));
  DbgMessage(FUNCNAME, "RasterImageCmdLen = %d", static_cast<int>(RasterImageCmdLen));
  DbgMessage(FUNCNAME, "ResetCmdLen = %d", static_cast<int>(ResetCmdLen));

  const std::uint64_t rawSize = page ? page.Bytes() : 0;
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

  slot->blackDots = Prnt_CountBlackDots(page);
  DbgMessage(FUNCNAME, "start");
  DbgMessage(FUNCNAME, "page_width %d", static_cast<int>(slot->page_width));
  DbgMessage(FUNCNAME, "page_height %d", static_cast<int>(slot->page_height));

  DWORD start = GetTickCount();
  bool ok = true;
  for (DWORD p = 0; p < ColorPlane && ok; ++p) {
    start = GetTickCount();
    // Every plane is its own image: the checksum covers the plane's own
    // rows and the plane's coded data carries no image header.
    const PlaneView plane = slot->Plane(p, ColorPlane);
    const std::size_t lenAt = block.size();
    if (JbigSizeHeader) block.resize(block.size() + JbigSizeHeader);

    DWORD planeLen = 0;
    DWORD sum = 0;
    if (CompressOff && !job.spooling) {
      block.insert(block.end(), plane.bits, plane.bits + plane.Bytes());
      planeLen = static_cast<DWORD>(plane.Bytes());
    } else {
      if (checksum) {
        sum = PlaneChecksum(*slot, plane);
        DbgMessage(FUNCNAME, "checksum = %d", static_cast<int>(sum));
      }
      DbgMessage(FUNCNAME, "before compress");
      long options = kJbigOptions;
      bool removeHeader = !CompressOff;
      if (zq3) {
        options = kJbigOptionsZQ3;
        removeHeader = false;
        DbgMessage(FUNCNAME, "ZQ3 compress");
        DbgMessage(FUNCNAME, "page_width = %d", static_cast<int>(plane.width));
        DbgMessage(FUNCNAME, "page_height = %d", static_cast<int>(plane.rows));
        DbgMessage(FUNCNAME, "linebyte = %d", static_cast<int>(plane.stride));
        DbgMessage(FUNCNAME, "JbigSizeHeader = %d", static_cast<int>(JbigSizeHeader));
        DbgMessage(FUNCNAME, "clen = %d", static_cast<int>(block.size() - kBlockPrefix));
      }
      DbgMessage(FUNCNAME, "option = %d", static_cast<int>(options));
      ok = CodePlane(plane, options, removeHeader, block, planeLen);
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
  DWORD elapsed = GetTickCount() - start;
  DbgMessage(FUNCNAME, "compress page %d using = %f", static_cast<int>(slot->PageIndex),
             static_cast<double>(elapsed) / 1000.0);
  if (!ok) {
    ReportCodingFailure(FUNCNAME, slot, "page coding failed");
    return;
  }

  // A raw-data printer's spooled page stays clear: the replay decodes it
  // and encrypts the bitmap, which is what the printer gets unspooled.
  if ((Feature[1] & F1_SSL) && !(CompressOff && job.spooling)) {
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

  block[0] = 0x1B;
  block[1] = 0x45;
  // The bitmap is no longer needed once its block exists.
  slot->pageBlock = std::move(block);
  slot->page.Reset();
  DbgMessage(FUNCNAME, "out, CurPageDataLen = %d", static_cast<int>(PageDataBytes(*slot)));
}

}  // namespace

DWORD PageDataBytes(const PageSlot& slot) {
  return slot.pageBlock.size() > kBlockPrefix ? static_cast<DWORD>(slot.pageBlock.size() - kBlockPrefix) : 0;
}

bool HoldsPageBlock(const PageSlot* slot) {
  return PageDataBytes(*slot) > 0 && slot->pageBlock[0] == 0x1B && slot->pageBlock[1] == 0x45;
}

void ImageCompress(PageSlot* slot) {
  static const char FUNCNAME[] = "ImageCompress";
  try {
    CompressPage(FUNCNAME, slot);
  } catch (const std::bad_alloc&) {
    // The slot keeps its bitmap and is dropped by the output thread.
    ReportCodingFailure(FUNCNAME, slot, "out of memory while coding the page");
  }
}
