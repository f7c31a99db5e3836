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

namespace {

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

void DoNegative(const PlaneView& plane) {
  static const char FUNCNAME[] = "DoNegative";
  const DWORD tick = GetTickCount();
  const std::uint64_t len = plane ? plane.Bytes() : 0;
  DbgMessage(FUNCNAME, "In, len = %d", static_cast<int>(len));
  if (len) Complement(plane.bits, len);
  DbgMessage(FUNCNAME, "Out, using %f sec, rc = %d", SecondsSince(tick), 1);
}

void DoMirror(const PlaneView& plane) {
  static const char FUNCNAME[] = "DoMirror";
  const DWORD tick = GetTickCount();
  DbgMessage(FUNCNAME, "In");
  if (plane) {
    const DWORD n = plane.stride;
    for (DWORD y = 0; y < plane.rows; ++y) {
      BYTE* line = plane.Row(y);
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

void Transpose_1BPP180(const PlaneView& plane) {
  static const char FUNCNAME[] = "Transpose_1BPP180";
  const FunctionTrace trace(FUNCNAME);
  if (!plane) return;
  BYTE* head = plane.bits;
  BYTE* tail = plane.bits + (plane.Bytes() - 1);
  while (head < tail) {
    const BYTE h = *head;
    *head++ = kBitReverse[*tail];
    *tail-- = kBitReverse[h];
  }
  if (head == tail) *head = kBitReverse[*head];
}

PageBuffer Prnt_AdjustData(const PlaneView& plane) {
  static const char FUNCNAME[] = "Prnt_AdjustData";
  const DWORD tick = GetTickCount();
  DbgMessage(FUNCNAME, "In");
  const std::uint64_t length = plane ? plane.Bytes() : 0;
  PageBuffer out;
  if (length > 0 && length <= image_detail::kMaxPageBytes / 2)
    out = PageBuffer::Allocate(2 * static_cast<std::size_t>(length));
  if (out) {
    const BYTE* data = plane.bits;
    BYTE* doubled = out.data();
    for (std::uint64_t i = 0; i < length; ++i) {
      doubled[2 * i] = image_detail::kNibbleDouble[data[i] >> 4];
      doubled[2 * i + 1] = image_detail::kNibbleDouble[data[i] & 0x0F];
    }
  } else {
    DbgMessage(FUNCNAME, "no buffer for %ld bytes", static_cast<long>(length));
  }
  DbgMessage(FUNCNAME, "Using %f sec", SecondsSince(tick));
  DbgMessage(FUNCNAME, "Out");
  return out;
}

void Prnt_SimulateTonerSaving(const PlaneView& plane, DWORD hwResolution, int SCALE1200) {
  static const char FUNCNAME[] = "Prnt_SimulateTonerSaving";
  const DWORD tick = GetTickCount();
  const DWORD resolution = hwResolution < 600 ? 600 : hwResolution;
  const DWORD resolutionID = SCALE1200 ? 600 : resolution;
  DbgMessage(FUNCNAME, "In");
  DbgMessage(FUNCNAME, "SCALE1200 = %d", SCALE1200);
  DbgMessage(FUNCNAME, "resolution = %d", static_cast<int>(resolution));
  DbgMessage(FUNCNAME, "resolutionID = %d", static_cast<int>(resolutionID));
  const std::array<BYTE, 256>& map = resolutionID == 1200 ? kTonerMap1200 : kTonerMap600;
  const std::uint64_t len = plane ? plane.Bytes() : 0;
  for (std::uint64_t i = 0; i < len; ++i) plane.bits[i] = map[plane.bits[i]];
  DbgMessage(FUNCNAME, "Out, Using %f sec", SecondsSince(tick));
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

DWORD Prnt_CountBlackDots(const PlaneView& plane) {
  static const char FUNCNAME[] = "Prnt_CountBlackDots";
  if (!plane) return 0;
  const std::uint64_t bytes = plane.Bytes();
  DbgMessage(FUNCNAME, "Start, ByteNo = %d", static_cast<int>(bytes));
  const std::size_t words = static_cast<std::size_t>(bytes / 8);
  DWORD sum = CountWordDots(plane.bits, words);
  for (std::uint64_t i = words * 8; i < bytes; ++i) sum += kDotCount[plane.bits[i]];
  DbgMessage(FUNCNAME, "Out");
  return sum;
}

// Sampled checksum: one byte of every 32nd line, walking one byte to the
// right per line, plus the plane's last byte.
DWORD DataPatternChkSum(const PlaneView& plane) {
  static const char FUNCNAME[] = "DataPatternChkSum";
  const DWORD tick = GetTickCount();
  const DWORD bpl = plane.width / 8;
  DbgMessage(FUNCNAME, "WxH: %d x %d, dataSize: %d", static_cast<int>(plane.width),
             static_cast<int>(plane.rows), static_cast<int>(plane.Bytes()));
  if (!plane || bpl == 0 || bpl > plane.stride) {
    DbgMessage(FUNCNAME, "API_WRONG_PARAMETER");
    return 0;
  }
  DWORD sum = 0;
  DWORD samples = 0;
  for (DWORD i = 0; i < plane.rows; i += 32) {
    sum += plane.Row(i)[i % bpl];
    ++samples;
  }
  sum += plane.bits[plane.Bytes() - 1];
  ++samples;
  DbgMessage(FUNCNAME, "sampling %d Bytes to calcute checksum:%d spent %f ms", static_cast<int>(samples),
             static_cast<int>(sum), SecondsSince(tick));
  DbgMessage(FUNCNAME, "sampling Byte checksum:%d", static_cast<int>(sum));
  return sum;
}

DWORD DataPatternChkSum_new(const PlaneView& plane) {
  static const char FUNCNAME[] = "DataPatternChkSum_new";
  constexpr DWORD kBadParameter = 0xAABBCCDD;
  const DWORD bpl = plane.width / 8;
  DbgMessage(FUNCNAME, "WxH: %d x %d, dataSize: %d", static_cast<int>(plane.width),
             static_cast<int>(plane.rows), static_cast<int>(plane.Bytes()));
  // Narrower than a byte or without lines the corners do not exist.
  if (!plane || bpl == 0 || bpl > plane.stride) {
    DbgMessage(FUNCNAME, " API_WRONG_PARAMETER");
    return kBadParameter;
  }
  DbgMessage(FUNCNAME, "sampling Byte checksum:%0x \n", static_cast<unsigned>(kBadParameter));
  BYTE* const corners[4] = {plane.Row(0), plane.Row(0) + bpl - 1, plane.Row(plane.rows - 1),
                            plane.Row(plane.rows - 1) + bpl - 1};
  DWORD sum = 0;
  for (BYTE* corner : corners) {
    const BYTE v = *corner;
    DbgMessage(FUNCNAME, "sampling Byte checksum:%0x \n", static_cast<unsigned>(v));
    sum = sum << 8 | v;
    *corner = 0xAA;
  }
  DbgMessage(FUNCNAME, "sampling Byte checksum:%0x \n", static_cast<unsigned>(sum));
  return sum;
}
