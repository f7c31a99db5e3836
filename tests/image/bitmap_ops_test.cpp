// 1-bit bitmap operations: negative, mirror, half and quarter turns,
// two-bit doubling, toner saving and dot count.
#include <gtest/gtest.h>

#include <cstdint>
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

// The bytes as one plane of rows of lineBytes bytes.
PlaneView View(Bytes& b, unsigned lineBytes, unsigned rows) {
  return {b.data(), lineBytes * 8, rows, lineBytes};
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
      Bytes negative(page), mirrored(page), turned(page), source(page);
      DoNegative(View(negative, lineBytes, h));
      EXPECT_EQ(Bits::Unpack(negative.data(), b.w, h, lineBytes), Inverted(b));
      DoMirror(View(mirrored, lineBytes, h));
      EXPECT_EQ(Bits::Unpack(mirrored.data(), b.w, h, lineBytes), Mirrored(b));
      Transpose_1BPP180(View(turned, lineBytes, h));
      EXPECT_EQ(Bits::Unpack(turned.data(), b.w, h, lineBytes), Turned180(b));
      const PageBuffer doubled = Prnt_AdjustData(View(source, lineBytes, h));
      ASSERT_EQ(doubled.size(), 2 * page.size());
      EXPECT_EQ(Bits::Unpack(doubled.data(), 2 * b.w, h, 2 * lineBytes), Doubled(b));
    }
}

// The slot's planes split its rows evenly and never reach past its buffer.
TEST(BitmapOps, NegativeOfTheFirstPlaneStopsAtItsEndAndNeverPassesTheBuffer) {
  TraceCapture trace;
  TestSlot s;
  s.Bits(2, 4, {0x00, 0xFF, 0x0F, 0xF0, 0x55, 0xAA, 0x01, 0x80});
  DoNegative(s.job.Plane(0, 2));  // black of black and red: the first two rows
  const Bytes half = {0xFF, 0x00, 0xF0, 0x0F, 0x55, 0xAA, 0x01, 0x80};
  EXPECT_EQ(s.Bytes(), half);
  s.job.page_height = 1000;  // claims 2000 bytes of an 8-byte buffer
  EXPECT_FALSE(s.job.WholePage());
  DoNegative(s.job.WholePage());
  EXPECT_EQ(s.Bytes(), half);
}

TEST(QuarterTurn, AgreesWithAPerPixelReferenceOnOddSizesAndWritesOnlyItsBytes) {
  TraceCapture trace;
  std::mt19937 rng(3);
  const unsigned sizes[][2] = {{1, 8}, {13, 8}, {37, 16}, {8, 24}, {77, 40}, {100, 64}, {9, 13}, {31, 3}};
  for (const auto& sz : sizes) {
    const unsigned w = sz[0], h = sz[1], srcStep = (w + 7) / 8, dstStep = (h + 7) / 8 + 1;
    Bytes src = RandomBytes(std::size_t{srcStep} * h, rng), dst(std::size_t{dstStep} * w, 0x5A);
    MISC_1BPP90(PlaneView{src.data(), w, h, srcStep}, PlaneView{dst.data(), h, w, dstStep});
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
    Bytes page(every);
    Prnt_SimulateTonerSaving(View(page, 256, 1), c.dpi, c.scale1200);
    EXPECT_EQ(page[0], 0) << c.dpi;
    EXPECT_EQ(page[255], c.solid) << c.dpi;
    DWORD dots = 0;
    for (std::uint8_t v : page) dots += __builtin_popcount(v);
    EXPECT_EQ(Prnt_CountBlackDots(View(page, 256, 1)), dots);
    EXPECT_EQ(Prnt_CountBlackDots(View(page, 255, 1)), dots - __builtin_popcount(c.solid));
    EXPECT_LT(dots, 1024u * 7 / 8) << c.dpi;
  }
  EXPECT_EQ(Prnt_CountBlackDots(PlaneView{}), 0u);
}
