// Gray conversion of colour and deep pages.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "image.h"
#include "image_oracles.h"
#include "test_slot.h"

using namespace testing_support;

namespace {

// Luminance of an RGB pixel with weights 30/53/17 in hundredths, plus one.
int Luma(int r, int g, int b) {
  return std::min((30 * r + 53 * g + 17 * b + 1) / 100, 255);
}

// Red, green, blue and a fourth sample of a test pixel, every red and
// green level met by the others.
int Sample(unsigned k, unsigned x, unsigned y) {
  const unsigned v[4] = {x, x * 3 + y, x * 7 + y * 13, x ^ y};
  return v[k] & 255;
}

}  // namespace

// 24- and 32-bit pages: red, green and blue weighed, a fourth byte ignored;
// 16- and 48-bit pages: the high byte of each sample. Padding pixels and
// alignment bytes turn white.
TEST(ImageToGray, EveryDepthGivesTheWeightedHighBytesAndWhitePadding) {
  struct Case {
    unsigned bpp, width, height, padding;
  } cases[] = {{24, 256 + 5, 256, 5}, {32, 64, 64, 0}, {16, 40, 2, 3}, {48, 32, 8, 0}};
  TraceCapture trace;
  for (const Case& c : cases) {
    const unsigned bytes = c.bpp / 8, linebyte = bytes * c.width;
    Bytes page(std::size_t{linebyte} * c.height, 0x5A);
    const bool wide = c.bpp == 16 || c.bpp == 48;
    for (unsigned y = 0; y < c.height; ++y)
      for (unsigned x = 0; x < c.width - c.padding; ++x)
        for (unsigned k = 0; k < (wide ? bytes / 2 : bytes); ++k) {
          // Wide samples in the machine's byte order, as the raster reader
          // delivers them, with a low byte that must not matter.
          const std::uint16_t v = static_cast<std::uint16_t>(Sample(k, x, y) << 8 | 0x5A);
          if (wide)
            std::memcpy(&page[y * linebyte + x * bytes + 2 * k], &v, 2);
          else
            page[y * linebyte + x * bytes + k] = static_cast<std::uint8_t>(v >> 8);
        }
    TestSlot s;
    s.Set(page, c.width, c.height, linebyte, c.bpp);
    s.job.padPixels = c.padding;
    ImageToGray(&s.job);
    ASSERT_TRUE(s.job.page) << c.bpp;
    const unsigned line = (c.width + 3) / 4 * 4;
    EXPECT_EQ(s.job.linebyte, line);
    EXPECT_EQ(s.job.page.size(), line * c.height);
    for (unsigned y = 0; y < c.height; ++y)
      for (unsigned x = 0; x < line; ++x) {
        const int want = x >= c.width - c.padding ? 255
                         : c.bpp == 16            ? Sample(0, x, y)
                                                  : Luma(Sample(0, x, y), Sample(1, x, y), Sample(2, x, y));
        ASSERT_EQ(s.At(x, y), want) << c.bpp << "-bit pixel " << x << "," << y;
      }
  }
}

TEST(ImageToGray, PrimariesHaveTheirWeights) {
  TraceCapture trace;
  TestSlot s;
  s.Set({0, 0, 0, 255, 255, 255, 255, 0, 0, 0, 255, 0, 0, 0, 255}, 5, 1, 15, 24);
  ImageToGray(&s.job);
  ASSERT_TRUE(s.job.page);
  EXPECT_EQ(s.Bytes(), (Bytes{0, 255, 76, 135, 43, 255, 255, 255}));  // (255 x weight + 1) / 100
}
