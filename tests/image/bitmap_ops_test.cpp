// 1-bit bitmap operations: negative, mirror, half and quarter turns,
// two-bit doubling, toner saving, dot count and the page checksums.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "image.h"
#include "image_oracles.h"
#include "test_slot.h"

using namespace testing_support;

namespace {

Bytes RandomBytes(std::size_t n, std::mt19937& rng) {
  Bytes b(n);
  for (auto& v : b) v = static_cast<std::uint8_t>(rng());
  return b;
}

}  // namespace

TEST(BitmapOps, NegativeMirrorHalfTurnAndDoublingAgreeWithPerPixelReferences) {
  TraceCapture trace;
  std::mt19937 rng(7);
  for (unsigned lineBytes : {1, 3, 5, 13})
    for (unsigned h : {1, 7, 29}) {
      SCOPED_TRACE(std::to_string(lineBytes) + " bytes x " + std::to_string(h));
      const Bytes page = RandomBytes(lineBytes * h, rng);
      const Bits b = Bits::Unpack(page.data(), lineBytes * 8, h, lineBytes);
      TestSlot s;
      s.Bits(lineBytes, h, page);
      DoNegative(&s.job, FALSE);
      EXPECT_EQ(Bits::Unpack(s.job.lpbuf, b.w, h, lineBytes), Inverted(b));
      s.Bits(lineBytes, h, page);
      DoMirror(&s.job);
      EXPECT_EQ(Bits::Unpack(s.job.lpbuf, b.w, h, lineBytes), Mirrored(b));
      Bytes turned(page);
      Transpose_1BPP180(turned.data(), lineBytes, h);
      EXPECT_EQ(Bits::Unpack(turned.data(), b.w, h, lineBytes), Turned180(b));
      BYTE* doubled = Prnt_AdjustData(const_cast<BYTE*>(page.data()), static_cast<long>(page.size()));
      ASSERT_NE(doubled, nullptr);
      EXPECT_EQ(Bits::Unpack(doubled, 2 * b.w, h, 2 * lineBytes), Doubled(b));
      std::free(doubled);
    }
}

TEST(BitmapOps, NegativeOfHalfThePageStopsAtItsMiddleAndNeverPassesTheBuffer) {
  TraceCapture trace;
  TestSlot s;
  s.Bits(3, 3, {0x00, 0xFF, 0x0F, 0xF0, 0x55, 0xAA, 0x01, 0x80, 0x7E});
  DoNegative(&s.job, TRUE);  // nine bytes: the half is four
  const Bytes half = {0xFF, 0x00, 0xF0, 0x0F, 0x55, 0xAA, 0x01, 0x80, 0x7E};
  EXPECT_EQ(s.Bytes(), half);
  s.job.page_height = 1000;  // claims 3000 bytes of a 9-byte buffer
  DoNegative(&s.job, FALSE);
  EXPECT_EQ(s.Bytes(), half);
}

TEST(QuarterTurn, TopLeftEndsTopRight) {
  TraceCapture trace;
  Bytes src(2 * 8, 0), dst(16, 0);  // 16 x 8 pixels into 8 x 16
  src[0] = 0x80;                    // top left
  src[7 * 2 + 1] = 0x01;            // bottom right
  MISC_1BPP90(src.data(), dst.data(), 2, 1, 16, 8);
  EXPECT_EQ(dst, (Bytes{0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80}));
}

TEST(QuarterTurn, AgreesWithAPerPixelReferenceOnOddSizesAndWritesOnlyItsBytes) {
  TraceCapture trace;
  std::mt19937 rng(3);
  const unsigned sizes[][2] = {{1, 8}, {13, 8}, {37, 16}, {8, 24}, {77, 40}, {100, 64}, {9, 13}, {31, 3}};
  for (const auto& sz : sizes) {
    const unsigned w = sz[0], h = sz[1], srcStep = (w + 7) / 8, dstStep = (h + 7) / 8 + 1;
    Bytes src = RandomBytes(std::size_t{srcStep} * h, rng), dst(std::size_t{dstStep} * w, 0x5A);
    MISC_1BPP90(src.data(), dst.data(), srcStep, dstStep, w, h);
    const Bits want = TurnedClockwise(Bits::Unpack(src.data(), w, h, srcStep));
    EXPECT_EQ(Bits::Unpack(dst.data(), h, w, dstStep), want) << w << "x" << h;
    for (unsigned line = 0; line < w; ++line) EXPECT_EQ(dst[line * dstStep + dstStep - 1], 0x5A) << line;
  }
}

// Toner saving leaves white white, thins solid black with its resolution's
// map (the 600-dpi one under SCALE1200 and below 600) and takes dots away
// over all byte values, as counted bit by bit.
TEST(TonerSaving, ThinsSolidBlackByResolutionAndRemovesDotsOverall) {
  struct Case {
    unsigned dpi;
    int scale1200;
    std::uint8_t solid;
  } cases[] = {{600, 0, 0x99}, {1200, 0, 0xC3}, {1200, 1, 0x99}, {300, 0, 0x99}};
  TraceCapture trace;
  Bytes every(256);
  for (int i = 0; i < 256; ++i) every[i] = static_cast<std::uint8_t>(i);
  for (const Case& c : cases) {
    TestSlot s;
    s.Bits(256, 1, every);
    s.job.inheader.HWResolution[0] = c.dpi;
    s.job.SCALE1200 = c.scale1200;
    Prnt_SimulateTonerSaving(&s.job);
    EXPECT_EQ(s.At(0, 0), 0) << c.dpi;
    EXPECT_EQ(s.At(255, 0), c.solid) << c.dpi;
    DWORD dots = 0;
    for (std::uint8_t v : s.Bytes()) dots += __builtin_popcount(v);
    EXPECT_EQ(Prnt_CountBlackDots(s.job.lpbuf, 256), dots);
    EXPECT_EQ(Prnt_CountBlackDots(s.job.lpbuf, 255), dots - __builtin_popcount(c.solid));
    EXPECT_LT(dots, 1024u * 7 / 8) << c.dpi;
  }
  EXPECT_EQ(Prnt_CountBlackDots(nullptr, 6), 0u);
}

TEST(Checksums, SampledAndCornerChecksumsReadTheirBytes) {
  TraceCapture trace;
  TestSlot s;
  // 40 pixels = 5 bytes a line, 70 lines: samples at lines 0, 32 and 64,
  // columns 0, 32 % 5 = 2 and 64 % 5 = 4, plus the last byte.
  Bytes page(5 * 70, 1);  // unsampled bytes must not count
  page[0] = 10;
  page[32 * 5 + 2] = 20;
  page[64 * 5 + 4] = 30;
  page.back() = 40;
  s.Bits(5, 70, page);
  EXPECT_EQ(DataPatternChkSum(&s.job), 100u);
  // The corners, first on top; each is stamped with 0xAA.
  s.Bits(4, 3, {0x11, 0, 0, 0x22, 0, 0, 0, 0, 0x33, 0, 0, 0x44});
  EXPECT_EQ(DataPatternChkSum_new(&s.job), 0x11223344u);
  EXPECT_EQ(s.Bytes(), (Bytes{0xAA, 0, 0, 0xAA, 0, 0, 0, 0, 0xAA, 0, 0, 0xAA}));
  s.Bits(4, 1, {0x12, 0, 0, 0x34});  // one line: the later corners read the stamps
  EXPECT_EQ(DataPatternChkSum_new(&s.job), 0x1234AAAAu);
}
