// Gray conversion and bitmap line lengths.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "korvane.h"
#include "page_slot.h"

using namespace testing_support;

namespace {

// Reference gray of an RGB pixel: weights 30/53/17 in hundredths, plus one,
// integer division, capped at 255.
int RefGray(int r, int g, int b) {
  int v = (30 * r + 53 * g + 17 * b + 1) / 100;
  return v > 255 ? 255 : v;
}

// A colour page of the given depth with one pixel function.
template <typename F>
void FillColourPage(PageSlot& s, unsigned bpp, unsigned width, unsigned height, unsigned padding, F pixel) {
  const unsigned bytes = bpp / 8;
  const unsigned linebyte = bytes * width;
  std::vector<unsigned char> page(static_cast<std::size_t>(linebyte) * height, 0x5A);
  for (unsigned y = 0; y < height; ++y)
    for (unsigned x = 0; x < width - padding; ++x) pixel(&page[y * linebyte + x * bytes], x, y);
  s.SetPage(page, width, height, linebyte);
  s.job.linebyteLeft = padding;
  s.job.inheader.cupsBitsPerPixel = bpp;
}

// Stores a 16-bit sample in the machine's byte order, as the raster reader
// delivers it.
void Put16(unsigned char* p, std::uint16_t v) {
  std::memcpy(p, &v, 2);
}

}  // namespace

TEST(GetBMPBytesPerLine, RoundsEachDepthUpToWholeWords) {
  struct Case {
    LONG bits, width;
    WORD expected;
  } cases[] = {
      {1, 1, 4},   {1, 32, 4},  {1, 33, 8},  {1, 4961, 624}, {4, 1, 4},       {4, 8, 4},
      {4, 9, 8},   {8, 1, 4},   {8, 4, 4},   {8, 5, 8},      {8, 4961, 4964}, {24, 1, 4},
      {24, 4, 12}, {24, 5, 16}, {2, 100, 0}, {16, 100, 0},   {32, 100, 0},    {8, 0, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(GetBMPBytesPerLine(c.bits, c.width), c.expected) << c.bits << " bits, width " << c.width;
  // Lengths beyond 16 bits wrap: 70000 bytes -> 70000 - 65536.
  EXPECT_EQ(GetBMPBytesPerLine(8, 70000), 4464);
}

TEST(ImageToGray, TwentyFourBitPageFollowsTheWeightedSumAndWhitensPadding) {
  TraceCapture trace;
  PageSlot s;
  // Every red and green level meets a blue that varies with both.
  const unsigned width = 256 + 5, height = 256;
  FillColourPage(s, 24, width, height, 5, [](unsigned char* p, unsigned x, unsigned y) {
    p[0] = static_cast<unsigned char>(x);
    p[1] = static_cast<unsigned char>(y);
    p[2] = static_cast<unsigned char>(x * 7 + y * 13);
  });
  ImageToGray(&s.job);
  ASSERT_NE(s.job.lpbuf, nullptr);
  const unsigned line = (width + 3) / 4 * 4;  // 264
  EXPECT_EQ(s.job.linebyte, line);
  EXPECT_EQ(s.job.pagesize, line * height);
  EXPECT_EQ(s.job.page_width, width);
  for (unsigned y = 0; y < height; ++y) {
    const BYTE* row = s.job.lpbuf + y * line;
    for (unsigned x = 0; x < 256; ++x)
      ASSERT_EQ(row[x], RefGray(x, y, (x * 7 + y * 13) & 255)) << x << "," << y;
    for (unsigned x = 256; x < line; ++x) ASSERT_EQ(row[x], 255) << "padding " << x << "," << y;
  }
  EXPECT_NE(trace.Text().find("rc = 1"), std::string::npos);
}

TEST(ImageToGray, ThirtyTwoBitPageIgnoresTheFourthByte) {
  TraceCapture trace;
  PageSlot s;
  FillColourPage(s, 32, 64, 64, 0, [](unsigned char* p, unsigned x, unsigned y) {
    p[0] = static_cast<unsigned char>(255 - x * 4);
    p[1] = static_cast<unsigned char>(x * 3 + y);
    p[2] = static_cast<unsigned char>(y * 4);
    p[3] = static_cast<unsigned char>(x ^ y);  // must not matter
  });
  ImageToGray(&s.job);
  ASSERT_NE(s.job.lpbuf, nullptr);
  EXPECT_EQ(s.job.linebyte, 64u);
  for (unsigned y = 0; y < 64; ++y)
    for (unsigned x = 0; x < 64; ++x)
      ASSERT_EQ(s.job.lpbuf[y * 64 + x], RefGray((255 - x * 4) & 255, (x * 3 + y) & 255, (y * 4) & 255));
}

TEST(ImageToGray, ExtremesMapToBlackAndWhite) {
  TraceCapture trace;
  PageSlot s;
  FillColourPage(s, 24, 4, 1, 0, [](unsigned char* p, unsigned x, unsigned) {
    static const unsigned char px[4][3] = {{0, 0, 0}, {255, 255, 255}, {255, 0, 0}, {0, 0, 255}};
    std::memcpy(p, px[x], 3);
  });
  ImageToGray(&s.job);
  ASSERT_NE(s.job.lpbuf, nullptr);
  EXPECT_EQ(s.job.lpbuf[0], 0);
  EXPECT_EQ(s.job.lpbuf[1], 255);
  EXPECT_EQ(s.job.lpbuf[2], 76);  // (7650 + 1) / 100
  EXPECT_EQ(s.job.lpbuf[3], 43);  // (4335 + 1) / 100
}

TEST(ImageToGray, SixteenAndFortyEightBitPagesUseTheHighByteOfEachSample) {
  TraceCapture trace;
  {
    PageSlot s;
    FillColourPage(s, 16, 40, 2, 3, [](unsigned char* p, unsigned x, unsigned y) {
      Put16(p, static_cast<std::uint16_t>((x * 6 + y) << 8 | 0xFF));  // low byte must not leak in
    });
    ImageToGray(&s.job);
    ASSERT_NE(s.job.lpbuf, nullptr);
    EXPECT_EQ(s.job.linebyte, 40u);
    for (unsigned y = 0; y < 2; ++y) {
      for (unsigned x = 0; x < 37; ++x) EXPECT_EQ(s.job.lpbuf[y * 40 + x], (x * 6 + y) & 255);
      for (unsigned x = 37; x < 40; ++x) EXPECT_EQ(s.job.lpbuf[y * 40 + x], 255);
    }
  }
  {
    PageSlot s;
    FillColourPage(s, 48, 32, 8, 0, [](unsigned char* p, unsigned x, unsigned y) {
      Put16(p, static_cast<std::uint16_t>(x * 8 << 8 | 0x80));
      Put16(p + 2, static_cast<std::uint16_t>(y * 32 << 8 | 0x7F));
      Put16(p + 4, static_cast<std::uint16_t>((255 - x) << 8));
    });
    ImageToGray(&s.job);
    ASSERT_NE(s.job.lpbuf, nullptr);
    for (unsigned y = 0; y < 8; ++y)
      for (unsigned x = 0; x < 32; ++x) EXPECT_EQ(s.job.lpbuf[y * 32 + x], RefGray(x * 8, y * 32, 255 - x));
  }
}

TEST(ImageToGray, UnsupportedDepthOrBadGeometryReleasesThePageAndReportsFailure) {
  struct Case {
    const char* what;
    unsigned bpp, width, linebyte, padding;
  } cases[] = {
      {"12-bit page", 12, 32, 48, 0},
      {"64-bit page", 64, 32, 256, 0},
      {"8-bit page", 8, 32, 32, 0},
      {"lines too short for the width", 24, 32, 32, 0},
      {"padding wider than the page", 24, 32, 96, 33},
      {"gray line beyond 16 bits", 24, 70000, 210000, 0},
  };
  for (const Case& c : cases) {
    TraceCapture trace;
    PageSlot s;
    s.SetPage(std::vector<unsigned char>(static_cast<std::size_t>(c.linebyte) * 2, 0x40), c.width, 2,
              c.linebyte);
    s.job.inheader.cupsBitsPerPixel = c.bpp;
    s.job.linebyteLeft = c.padding;
    ImageToGray(&s.job);
    EXPECT_EQ(s.job.lpbuf, nullptr) << c.what;
    EXPECT_EQ(s.job.linebyte, 0u) << c.what;
    EXPECT_EQ(s.job.pagesize, 0u) << c.what;
    EXPECT_NE(trace.Text().find("rc = 0"), std::string::npos) << c.what;
  }
  // No page at all: still a clean failure.
  TraceCapture trace;
  PageSlot s;
  s.job.inheader.cupsBitsPerPixel = 24;
  s.job.page_width = 32;
  s.job.page_height = 2;
  s.job.linebyte = 96;
  ImageToGray(&s.job);
  EXPECT_EQ(s.job.lpbuf, nullptr);
  EXPECT_NE(trace.Text().find("rc = 0"), std::string::npos);
}
