// Operations on 1-bit page bitmaps: negative, mirror, half turn, two-bit
// doubling, toner saving, dot count and the page data checksums.
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bitmap_tables.h"
#include "geometry_internal.h"
#include "image.h"
#include "shims.h"
#include "trace.h"

using image_detail::kBitReverse;
using image_detail::kDotCount;
using image_detail::SlotHolds;

namespace {

// Bytes of the slot's bitmap (linebyte × page_height), or 0 when the slot
// has no page or its buffer is smaller than that.
std::uint64_t BitmapBytes(const char* funcName, const PageSlot& job) {
  if (!job.lpbuf) return 0;
  if (!SlotHolds(job, job.linebyte, job.page_height)) {
    DbgMessage(funcName, "page buffer smaller than %u x %u", job.linebyte, job.page_height);
    return 0;
  }
  return std::uint64_t{job.linebyte} * job.page_height;
}

// Complements len bytes, four at a time and then the rest.
void Complement(BYTE* p, std::uint64_t len) {
  std::uint64_t i = 0;
  for (; i + 4 <= len; i += 4) {
    std::uint32_t w;
    std::memcpy(&w, p + i, 4);
    w = ~w;
    std::memcpy(p + i, &w, 4);
  }
  for (; i < len; ++i) p[i] = static_cast<BYTE>(~p[i]);
}

// Whole-byte replacements of the 1200-dpi toner map (other bytes stay).
constexpr std::array<std::array<BYTE, 2>, 15> kThin1200Bytes = {{{0x0F, 0x09},
                                                                 {0x1E, 0x12},
                                                                 {0x1F, 0x11},
                                                                 {0x3C, 0x24},
                                                                 {0x3E, 0x22},
                                                                 {0x3F, 0x30},
                                                                 {0x78, 0x48},
                                                                 {0x7C, 0x44},
                                                                 {0x7E, 0x60},
                                                                 {0xEF, 0x43},
                                                                 {0xF0, 0x90},
                                                                 {0xF8, 0x88},
                                                                 {0xFC, 0xC0},
                                                                 {0xFE, 0xC2},
                                                                 {0xFF, 0xC3}}};

// Run-thinning rules applied after the byte map: when all of the first mask
// is set, clear the second.
constexpr std::array<std::array<BYTE, 2>, 6> kThin1200Rules = {
    {{0xE0, 0x60}, {0x70, 0x30}, {0x0E, 0x06}, {0x07, 0x03}, {0x28, 0x10}, {0x1C, 0x08}}};

// Toner map for 1200-dpi pages: byte map, then the rules in order.
constexpr std::array<BYTE, 256> kTonerMap1200 = [] {
  std::array<BYTE, 256> t{};
  for (int i = 0; i < 256; ++i) {
    BYTE v = static_cast<BYTE>(i);
    for (const auto& m : kThin1200Bytes)
      if (m[0] == v) {
        v = m[1];
        break;
      }
    for (const auto& r : kThin1200Rules)
      if ((v & r[0]) == r[0]) v = static_cast<BYTE>(v & ~r[1]);
    t[i] = v;
  }
  return t;
}();

// Toner map for every other resolution: each nibble through its own map.
constexpr std::array<BYTE, 256> kTonerMap600 = [] {
  constexpr std::array<BYTE, 16> high = {0x0, 0x1, 0x2, 0x3, 0x4, 0x5, 0x4, 0x4,
                                         0x8, 0x9, 0xA, 0xB, 0x8, 0xD, 0x8, 0x9};
  constexpr std::array<BYTE, 16> low = {0x0, 0x1, 0x2, 0x2, 0x4, 0x5, 0x6, 0xE,
                                        0x8, 0x9, 0xA, 0xB, 0xE, 0xD, 0x8, 0x9};
  std::array<BYTE, 256> t{};
  for (int i = 0; i < 256; ++i) t[i] = static_cast<BYTE>(high[i >> 4] << 4 | low[i & 0x0F]);
  return t;
}();

}  // namespace

// Inverts the page, or only its first half (the first of two planes).
void DoNegative(PageSlot* slot, int InvertHalfImage) {
  static const char FUNCNAME[] = "DoNegative";
  const DWORD tick = GetTickCount();
  std::uint64_t len = BitmapBytes(FUNCNAME, *slot);
  if (InvertHalfImage) len /= 2;
  DbgMessage(FUNCNAME, "In, len = %d", static_cast<int>(len));
  if (len) Complement(slot->lpbuf, len);
  DbgMessage(FUNCNAME, "Out, using %f sec, rc = %d", SecondsSince(tick), 1);
}

// Inverts len bytes in place.
void ReverseBuf(BYTE* lpbuf, long len) {
  static const char FUNCNAME[] = "ReverseBuf";
  DbgMessage(FUNCNAME, "In, len = %d", static_cast<int>(len));
  if (lpbuf && len > 0) Complement(lpbuf, static_cast<std::uint64_t>(len));
  DbgMessage(FUNCNAME, "Out");
}

// Mirrors every line of the page left to right.
void DoMirror(PageSlot* slot) {
  static const char FUNCNAME[] = "DoMirror";
  const DWORD tick = GetTickCount();
  DbgMessage(FUNCNAME, "In");
  DbgMessage(FUNCNAME, "SCALE1200 = %d", slot->SCALE1200);
  if (BitmapBytes(FUNCNAME, *slot)) {
    const DWORD n = slot->linebyte;
    for (DWORD y = 0; y < slot->page_height; ++y) {
      BYTE* line = slot->lpbuf + std::uint64_t{y} * n;
      for (DWORD k = 0; k < n / 2; ++k) {
        const BYTE left = line[k];
        line[k] = line[n - 1 - k];
        line[n - 1 - k] = left;
      }
      for (DWORD k = 0; k < n; ++k) line[k] = kBitReverse[line[k]];
    }
  }
  DbgMessage(FUNCNAME, "Out, using %f sec, rc = %d", SecondsSince(tick), 1);
}

// Turns a bitmap (one plane) by 180 degrees in place.
void Transpose_1BPP180(LPBYTE bufPtr, long widthBytes, long height) {
  static const char FUNCNAME[] = "Transpose_1BPP180";
  DbgMessage(FUNCNAME, "In");
  long bytes = 0;
  if (bufPtr && widthBytes > 0 && height > 0 && !__builtin_mul_overflow(widthBytes, height, &bytes)) {
    BYTE* head = bufPtr;
    BYTE* tail = bufPtr + (bytes - 1);
    while (head < tail) {
      const BYTE h = *head;
      *head++ = kBitReverse[*tail];
      *tail-- = kBitReverse[h];
    }
    if (head == tail) *head = kBitReverse[*head];
  }
  DbgMessage(FUNCNAME, "Out");
}

// Doubles every pixel into "pixel, blank"; returns a new malloc'd buffer of
// 2 × length bytes (NULL when memory is short or length is not positive).
BYTE* Prnt_AdjustData(BYTE* data, long length) {
  static const char FUNCNAME[] = "Prnt_AdjustData";
  const DWORD tick = GetTickCount();
  DbgMessage(FUNCNAME, "In");
  BYTE* out = nullptr;
  if (data && length > 0 && static_cast<std::uint64_t>(length) <= image_detail::kMaxPageBytes / 2) {
    out = static_cast<BYTE*>(std::malloc(2 * static_cast<std::size_t>(length)));
  }
  if (out) {
    for (long i = 0; i < length; ++i) {
      out[2 * i] = image_detail::kNibbleDouble[data[i] >> 4];
      out[2 * i + 1] = image_detail::kNibbleDouble[data[i] & 0x0F];
    }
  } else {
    DbgMessage(FUNCNAME, "no buffer for %ld bytes", length);
  }
  DbgMessage(FUNCNAME, "Using %f sec", SecondsSince(tick));
  DbgMessage(FUNCNAME, "Out");
  return out;
}

// Thins the page's dots in place to save toner.
void Prnt_SimulateTonerSaving(PageSlot* slot) {
  static const char FUNCNAME[] = "Prnt_SimulateTonerSaving";
  const DWORD tick = GetTickCount();
  const DWORD resolution = slot->inheader.HWResolution[0] < 600 ? 600 : slot->inheader.HWResolution[0];
  const DWORD resolutionID = slot->SCALE1200 ? 600 : resolution;
  DbgMessage(FUNCNAME, "In");
  DbgMessage(FUNCNAME, "SCALE1200 = %d", slot->SCALE1200);
  DbgMessage(FUNCNAME, "resolution = %d", static_cast<int>(resolution));
  DbgMessage(FUNCNAME, "resolutionID = %d", static_cast<int>(resolutionID));
  const std::array<BYTE, 256>& map = resolutionID == 1200 ? kTonerMap1200 : kTonerMap600;
  const std::uint64_t len = BitmapBytes(FUNCNAME, *slot);
  for (std::uint64_t i = 0; i < len; ++i) slot->lpbuf[i] = map[slot->lpbuf[i]];
  DbgMessage(FUNCNAME, "Out, Using %f sec", SecondsSince(tick));
}

// Returns a new malloc'd 256-byte population-count table, NULL when memory is short.
BYTE* Prnt_CreateBkDotsTbl() {
  static const char FUNCNAME[] = "Prnt_CreateBkDotsTbl";
  const DWORD tick = GetTickCount();
  DbgMessage(FUNCNAME, "In");
  BYTE* tbl = static_cast<BYTE*>(std::malloc(kDotCount.size()));
  if (tbl) std::memcpy(tbl, kDotCount.data(), kDotCount.size());
  DbgMessage(FUNCNAME, "Out, using = %f", SecondsSince(tick));
  return tbl;
}

// Counts the set bits (toner dots) of the first ByteNo bytes.
// The dots of whole 64-bit words; built twice where the compiler can, so
// that processors with a population-count instruction use it instead of the
// library's bit-twiddling call. Not under ThreadSanitizer, whose runtime is
// not up yet when the choice between the two is made at load time.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("popcnt", "default")))
#endif
static DWORD
CountWordDots(const unsigned char* p, std::size_t words) {
  DWORD sum = 0;
  for (std::size_t i = 0; i < words; ++i) {
    std::uint64_t word;
    std::memcpy(&word, p + i * 8, sizeof word);
    sum += static_cast<DWORD>(std::popcount(word));
  }
  return sum;
}

DWORD Prnt_CountBlackDots(unsigned char* inbuf, long ByteNo) {
  static const char FUNCNAME[] = "Prnt_CountBlackDots";
  if (!inbuf) return 0;
  DbgMessage(FUNCNAME, "Start, ByteNo = %d", static_cast<int>(ByteNo));
  const std::size_t words = ByteNo > 0 ? static_cast<std::size_t>(ByteNo) / 8 : 0;
  DWORD sum = CountWordDots(inbuf, words);
  for (long i = static_cast<long>(words * 8); i < ByteNo; ++i) sum += kDotCount[inbuf[i]];
  DbgMessage(FUNCNAME, "Out");
  return sum;
}

// Sampled checksum: one byte of every 32nd line, walking one byte to the
// right per line, plus the page's last byte.
DWORD DataPatternChkSum(PageSlot* slot) {
  static const char FUNCNAME[] = "DataPatternChkSum";
  const DWORD tick = GetTickCount();
  const DWORD bpl = slot->page_width / 8;
  DbgMessage(FUNCNAME, "WxH: %d x %d, dataSize: %d", static_cast<int>(slot->page_width),
             static_cast<int>(slot->page_height), static_cast<int>(slot->pagesize));
  if (!slot->lpbuf || bpl == 0 || slot->pagesize == 0 || !SlotHolds(*slot, bpl, slot->page_height)) {
    DbgMessage(FUNCNAME, "API_WRONG_PARAMETER");
    return 0;
  }
  DWORD sum = 0;
  DWORD samples = 0;
  for (DWORD i = 0; i < slot->page_height; i += 32) {
    sum += slot->lpbuf[std::uint64_t{i} * bpl + i % bpl];
    ++samples;
  }
  sum += slot->lpbuf[slot->pagesize - 1];
  ++samples;
  DbgMessage(FUNCNAME, "sampling %d Bytes to calcute checksum:%d spent %f ms", static_cast<int>(samples),
             static_cast<int>(sum), SecondsSince(tick));
  DbgMessage(FUNCNAME, "sampling Byte checksum:%d", static_cast<int>(sum));
  return sum;
}

// Returns the page's four corner bytes as one word (first corner on top)
// and stamps each corner with the marker 0xAA.
DWORD DataPatternChkSum_new(PageSlot* slot) {
  static const char FUNCNAME[] = "DataPatternChkSum_new";
  constexpr DWORD kBadParameter = 0xAABBCCDD;
  const DWORD bpl = slot->page_width / 8;
  DbgMessage(FUNCNAME, "WxH: %d x %d, dataSize: %d", static_cast<int>(slot->page_width),
             static_cast<int>(slot->page_height), static_cast<int>(slot->pagesize));
  // Narrower than a byte or without lines the corners do not exist.
  if (!slot->lpbuf || bpl == 0 || slot->page_height == 0 || !SlotHolds(*slot, bpl, slot->page_height)) {
    DbgMessage(FUNCNAME, " API_WRONG_PARAMETER");
    return kBadParameter;
  }
  DbgMessage(FUNCNAME, "sampling Byte checksum:%0x \n", static_cast<unsigned>(kBadParameter));
  const std::uint64_t corners[4] = {0, bpl - 1, std::uint64_t{slot->page_height - 1} * bpl,
                                    std::uint64_t{slot->page_height} * bpl - 1};
  DWORD sum = 0;
  for (std::uint64_t offset : corners) {
    const BYTE v = slot->lpbuf[offset];
    DbgMessage(FUNCNAME, "sampling Byte checksum:%0x \n", static_cast<unsigned>(v));
    sum = sum << 8 | v;
    slot->lpbuf[offset] = 0xAA;
  }
  DbgMessage(FUNCNAME, "sampling Byte checksum:%0x \n", static_cast<unsigned>(sum));
  return sum;
}
