// Internals shared by the geometry and bitmap stages: checked size arithmetic
// for sizes that come from the raster header, and the row-bounded scaler.
#pragma once

#include <cstdint>
#include <optional>

#include "page_slot.h"
#include "wintypes.h"

namespace image_detail {

// Largest byte count a page buffer may have: its size lives in a DWORD.
inline constexpr std::uint64_t kMaxPageBytes = 0xFFFFFFFFull;

// a × b, or nothing when the product leaves the DWORD range.
inline std::optional<std::uint64_t> CheckedMul(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > kMaxPageBytes / a) return std::nullopt;
  return a * b;
}

// a × b × c, or nothing when any partial product leaves the DWORD range.
inline std::optional<std::uint64_t> CheckedMul(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  auto ab = CheckedMul(a, b);
  if (!ab) return std::nullopt;
  return CheckedMul(*ab, c);
}

// v rounded up to a multiple of 32.
inline std::uint64_t AlignUp32(std::uint64_t v) {
  return (v + 31) / 32 * 32;
}

// True when the slot's page buffer holds at least lineBytes × rows bytes;
// false for a missing buffer.
inline bool SlotHolds(const PageSlot& job, std::uint64_t lineBytes, std::uint64_t rows) {
  if (!job.page) return false;
  auto need = CheckedMul(lineBytes, rows);
  return need && *need <= job.page.size();
}

// ScaleImage that writes at most trgMaxLines target lines; same result. The stages use it so that
// single-precision rounding of the height can never run past the plane they prepared.
long ScaleImageLimited(const BYTE* srclpbuf, DWORD srcWidth, DWORD srcHigh, DWORD lines, BYTE* trglpbuf,
                       DWORD trgWidth, int Xratio, int Yratio, WORD colorbits, DWORD trgMaxLines,
                       const JobEvents* job);

}  // namespace image_detail
