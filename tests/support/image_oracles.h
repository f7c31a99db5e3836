// Oracles for the image-stage tests, written without the filter's code: 1-bit
// bitmaps read pixel by pixel with their flips and turns, the density curve
// and a plain per-pixel screening loop.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <vector>

#include "halftone_tiles.h"

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

// A 1-bit bitmap, one bool a pixel (true: the bit is set).
struct Bits {
  unsigned w = 0, h = 0;
  std::vector<bool> px;
  Bits(unsigned width = 0, unsigned height = 0) : w(width), h(height), px(std::size_t{width} * height) {}
  bool at(unsigned x, unsigned y) const { return px[std::size_t{y} * w + x]; }
  void set(unsigned x, unsigned y, bool v = true) { px[std::size_t{y} * w + x] = v; }
  bool operator==(const Bits& o) const { return w == o.w && h == o.h && px == o.px; }

  // Reads w x h pixels of packed lines, the leftmost pixel in the high bit.
  static Bits Unpack(const std::uint8_t* p, unsigned w, unsigned h, std::size_t linebyte) {
    Bits b(w, h);
    for (unsigned y = 0; y < h; ++y)
      for (unsigned x = 0; x < w; ++x) b.set(x, y, (p[y * linebyte + x / 8] >> (7 - x % 8)) & 1);
    return b;
  }
  Bytes Pack(std::size_t linebyte) const {
    Bytes out(linebyte * h, 0);
    for (unsigned y = 0; y < h; ++y)
      for (unsigned x = 0; x < w; ++x)
        if (at(x, y)) out[y * linebyte + x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    return out;
  }
  // Every pixel (x, y) moved to to(x, y) in a bitmap of nw x nh.
  template <typename To>
  Bits Moved(unsigned nw, unsigned nh, To to) const {
    Bits d(nw, nh);
    for (unsigned y = 0; y < h; ++y)
      for (unsigned x = 0; x < w; ++x) {
        const auto [dx, dy] = to(x, y);
        d.set(dx, dy, at(x, y));
      }
    return d;
  }
};

inline void PrintTo(const Bits& b, std::ostream* os) {
  *os << b.w << "x" << b.h << " with " << std::count(b.px.begin(), b.px.end(), true) << " set";
}

inline Bits Mirrored(const Bits& b) {
  return b.Moved(b.w, b.h, [&](unsigned x, unsigned y) { return std::pair{b.w - 1 - x, y}; });
}
inline Bits Turned180(const Bits& b) {
  return b.Moved(b.w, b.h, [&](unsigned x, unsigned y) { return std::pair{b.w - 1 - x, b.h - 1 - y}; });
}
// Clockwise: the top left corner ends top right, the bottom left top left.
inline Bits TurnedClockwise(const Bits& b) {
  return b.Moved(b.h, b.w, [&](unsigned x, unsigned y) { return std::pair{b.h - 1 - y, x}; });
}
// Every pixel followed by a blank one.
inline Bits Doubled(const Bits& b) {
  return b.Moved(2 * b.w, b.h, [](unsigned x, unsigned y) { return std::pair{2 * x, y}; });
}
inline Bits Inverted(Bits b) {
  b.px.flip();
  return b;
}

// 255 * (i / 255)^gamma rounded, in the precisions the printer's curve is
// defined with: single-precision base and scaled power, the power in double.
inline std::array<int, 256> DensityCurve(float gamma) {
  std::array<int, 256> t{};
  for (int i = 0; i < 256; ++i) {
    volatile float base = static_cast<float>(i) / 255.0f;
    volatile float p = static_cast<float>(std::pow(static_cast<double>(base), static_cast<double>(gamma)));
    volatile float scaled = p * 255.0f;
    t[i] = static_cast<int>(std::floor(static_cast<double>(scaled) + 0.5));
  }
  return t;
}

// Gray from which a tile entry with curve value g prints light: never 0
// (black stays black) nor 255 (white stays white).
inline int LightFrom(int g) {
  return g >= 254 ? 1 : (g <= 0 ? 254 : 255 - g);
}

// Screens planes of gray lines (linebyte bytes, the first `pixels` of them
// screened) through the density curve of gamma, one tile per plane: a pixel
// is set (light) when its gray reaches the threshold of its tile cell.
inline Bits ScreenRef(const Bytes& gray, unsigned pixels, unsigned linebyte, unsigned planeH,
                      const std::vector<const ThresholdTile*>& tiles, float gamma) {
  const std::array<int, 256> curve = DensityCurve(gamma);
  Bits out(pixels, planeH * static_cast<unsigned>(tiles.size()));
  for (unsigned y = 0; y < out.h; ++y) {
    const ThresholdTile& t = *tiles[y / planeH];
    const unsigned ty = (y % planeH) % static_cast<unsigned>(t.height);
    for (unsigned x = 0; x < pixels; ++x)
      out.set(x, y,
              gray[std::size_t{y} * linebyte + x] >= LightFrom(curve[t.cells[ty * t.width + x % t.width]]));
  }
  return out;
}

}  // namespace testing_support
