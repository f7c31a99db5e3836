// MISC_1BPP90: the clockwise quarter turn of a 1-bit bitmap, 8 × 8 pixels at
// a time through nibble-spreading tables.
#include <array>
#include <cstdint>

#include "bitmap_tables.h"
#include "image.h"
#include "trace.h"

// Writes src (srcW × srcH pixels) turned 90 degrees clockwise into dst
// (srcW lines, srcH pixels wide).
void MISC_1BPP90(const PlaneView& source, const PlaneView& target) {
  static const char FUNCNAME[] = "MISC_1BPP90";
  const long srcW = source.width, srcH = source.rows;
  const long srcstep = source.stride, dststep = target.stride;
  if (!source || !target || srcW <= 0 || srcstep < (srcW + 7) / 8 || dststep < (srcH + 7) / 8 ||
      target.rows < source.width || target.width < source.rows) {
    DbgMessage(FUNCNAME, "bad parameters");
    return;
  }
  const BYTE* src = source.bits;
  BYTE* dst = target.bits;
  DbgMessage(FUNCNAME, "In, %ld x %ld", srcW, srcH);

  // tbl[j][n]: nibble n spread over four bytes at bit j, for band line j.
  std::array<std::array<std::uint32_t, 16>, 8> tbl{};
  for (int j = 0; j < 8; ++j)
    for (int n = 0; n < 16; ++n) tbl[j][n] = image_detail::kNibbleSpread[n] << j;

  // Band b is source lines srcH-8-8b .. srcH-1-8b and fills destination byte
  // column b. A source height that is not a multiple of 8 leaves the top
  // band short; its missing lines count as blank.
  const long bands = (srcH + 7) / 8;
  for (long b = 0; b < bands; ++b) {
    const long top = srcH - 8 - 8 * b;
    for (long x = 0; x < srcW; x += 8) {
      std::uint32_t lo = 0, hi = 0;  // tmp bytes 0..3 and 4..7
      for (int j = 0; j < 8; ++j) {
        const long line = top + j;
        if (line < 0) continue;
        const BYTE s = src[line * srcstep + x / 8];
        hi |= tbl[j][s >> 4];
        lo |= tbl[j][s & 0x0F];
      }
      // Destination line x + i takes tmp byte 7 - i (the leftmost pixel of
      // the group sits in the top byte).
      const long count = srcW - x < 8 ? srcW - x : 8;
      const std::uint64_t tmp = (std::uint64_t{hi} << 32) | lo;
      BYTE* out = dst + x * dststep + b;
      for (long i = 0; i < count; ++i) out[i * dststep] = static_cast<BYTE>(tmp >> (8 * (7 - i)));
    }
  }
  DbgMessage(FUNCNAME, "Out");
}
