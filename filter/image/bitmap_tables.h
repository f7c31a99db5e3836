// Read-only lookup tables of the 1-bit bitmap operations, built at compile time.
#pragma once

#include <array>
#include <cstdint>

#include "wintypes.h"

namespace image_detail {

// BitsList of the mirror: entry i is i with its bit order reversed.
inline constexpr std::array<BYTE, 256> kBitReverse = [] {
  std::array<BYTE, 256> t{};
  for (int i = 0; i < 256; ++i) {
    int r = 0;
    for (int k = 0; k < 8; ++k)
      if (i & (1 << k)) r |= 0x80 >> k;
    t[i] = static_cast<BYTE>(r);
  }
  return t;
}();

// dottbl: entry i is the number of set bits in i.
inline constexpr std::array<BYTE, 256> kDotCount = [] {
  std::array<BYTE, 256> t{};
  for (int i = 0; i < 256; ++i) {
    int n = 0;
    for (int k = 0; k < 8; ++k) n += (i >> k) & 1;
    t[i] = static_cast<BYTE>(n);
  }
  return t;
}();

// BitsList of the quarter turn: bit k of nibble n becomes bit 0 of byte k
// (byte 0 the least significant), so entry 5 is 0x00010001.
inline constexpr std::array<std::uint32_t, 16> kNibbleSpread = [] {
  std::array<std::uint32_t, 16> t{};
  for (int n = 0; n < 16; ++n) {
    std::uint32_t w = 0;
    for (int k = 0; k < 4; ++k)
      if (n & (1 << k)) w |= std::uint32_t{1} << (8 * k);
    t[n] = w;
  }
  return t;
}();

// Nibble doubling of the two-bit mode: bit k of the nibble becomes the pair
// "pixel, blank" at bits 2k+1 and 2k, so 0xF gives 0xAA.
inline constexpr std::array<BYTE, 16> kNibbleDouble = {0x00, 0x02, 0x08, 0x0A, 0x20, 0x22, 0x28, 0x2A,
                                                       0x80, 0x82, 0x88, 0x8A, 0xA0, 0xA2, 0xA8, 0xAA};

}  // namespace image_detail
