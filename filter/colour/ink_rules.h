// Black generation shared by the colour plug-in and the filter's own
// separation: the built-in rule (complementary inks, gray component
// replaced by black) and the finish every RGB conversion gets, which prints
// neutral pixels with black toner alone and caps the total ink. Header only
// and free of the filter's types, so that the plug-in compiles it as well.
//
// Why: on a tandem engine every drift of a colour plane puts coloured
// fringes on text built from four inks, black-and-white documents would
// use up colour toner, and more than about 280 % of ink does not fuse.
#pragma once

#include <algorithm>

namespace ink_rules {

// Chroma (largest minus smallest of red, green, blue) up to which a pixel
// prints with black alone: the noise of scanned or compressed grays.
constexpr int kNeutralChroma = 3;
// Chroma from which a pixel keeps the conversion's inks unchanged. In
// between the two the inks blend linearly, so that a photo's soft shift
// from gray into colour shows no contour where black-only ends.
constexpr int kColourChroma = 24;
// Highest total of C + M + Y + K: 280 % of one solid ink.
constexpr int kInkLimit = 280 * 255 / 100;

// Gray of a pixel with the weights of the monochrome path, so that a gray
// prints with the same black on the colour model as on a mono one.
inline int GrayOf(int r, int g, int b) {
  return std::min(255, (30 * r + 53 * g + 17 * b + 1) / 100);
}

// The built-in rule for one pixel: rgb red, green, blue; cmyk receives C,
// M, Y, K with 255 full colorant.
inline void RuleInks(const unsigned char* rgb, unsigned char* cmyk) {
  const int c = 255 - rgb[0], m = 255 - rgb[1], y = 255 - rgb[2];
  const int k = std::min(c, std::min(m, y));
  cmyk[0] = static_cast<unsigned char>(c - k);
  cmyk[1] = static_cast<unsigned char>(m - k);
  cmyk[2] = static_cast<unsigned char>(y - k);
  cmyk[3] = static_cast<unsigned char>(k);
}

// Finishes the inks a conversion gave for the pixel rgb: near-neutral
// pixels to black alone (blended into the given inks over the chroma band
// above), then C, M and Y scaled down together where the total would pass
// the limit; black is kept, since it carries the detail.
inline void NeutralBlackAndLimit(const unsigned char* rgb, unsigned char* cmyk) {
  const int hi = std::max(rgb[0], std::max(rgb[1], rgb[2]));
  const int lo = std::min(rgb[0], std::min(rgb[1], rgb[2]));
  const int chroma = hi - lo;
  if (chroma < kColourChroma) {
    constexpr int span = kColourChroma - kNeutralChroma;
    const int black = std::clamp(kColourChroma - chroma, 0, span);  // weight of black alone
    const int keep = span - black;
    const int k = 255 - GrayOf(rgb[0], rgb[1], rgb[2]);
    for (int i = 0; i < 3; ++i) cmyk[i] = static_cast<unsigned char>((keep * cmyk[i] + span / 2) / span);
    cmyk[3] = static_cast<unsigned char>((keep * cmyk[3] + black * k + span / 2) / span);
  }
  const int cmy = cmyk[0] + cmyk[1] + cmyk[2];
  if (cmy + cmyk[3] > kInkLimit) {
    const int room = kInkLimit - cmyk[3];
    for (int i = 0; i < 3; ++i) cmyk[i] = static_cast<unsigned char>(cmyk[i] * room / cmy);
  }
}

}  // namespace ink_rules
