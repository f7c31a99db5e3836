// PlaneView: one plane of a page bitmap as the image operations and the
// page coder see it, without owning it. A page of several planes (K, Y, M,
// C, or black and red) is several views into one page buffer.
#pragma once

#include <cstdint>

#include "wintypes.h"

struct PlaneView {
  BYTE* bits = nullptr;  // first byte of the top row; nullptr: no plane
  DWORD width = 0;       // pixels per row
  DWORD rows = 0;        // rows of the plane
  DWORD stride = 0;      // bytes from the start of one row to the next

  explicit operator bool() const { return bits != nullptr && rows != 0 && stride != 0; }
  BYTE* Row(DWORD y) const { return bits + std::uint64_t{y} * stride; }
  // Bytes the plane spans, every row whole.
  std::uint64_t Bytes() const { return std::uint64_t{stride} * rows; }
};
