// 1-bit bitmap operations: negative, mirror, half and quarter turns,
// two-bit doubling, toner saving, dot count and the page checksums.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "korvane.h"
#include "page_slot.h"

using namespace testing_support;

namespace {

using Bytes = std::vector<std::uint8_t>;

// A 1-bit bitmap with an independent per-pixel view (MSB = leftmost).
struct Bitmap {
  long w = 0, h = 0, step = 0;
  Bytes data;
  Bitmap(long width, long height, long lineBytes)
      : w(width), h(height), step(lineBytes), data(lineBytes * height) {}
  bool Get(long x, long y) const { return (data[y * step + x / 8] >> (7 - x % 8)) & 1; }
  void Set(long x, long y, bool v) {
    BYTE& b = data[y * step + x / 8];
    const BYTE m = static_cast<BYTE>(0x80 >> (x % 8));
    b = static_cast<BYTE>(v ? (b | m) : (b & ~m));
  }
};

Bitmap RandomBitmap(long w, long h, std::mt19937& rng) {
  Bitmap b(w, h, (w + 7) / 8);
  for (auto& v : b.data) v = static_cast<std::uint8_t>(rng());
  return b;
}

// MISC_1BPP90 into a fresh destination (pre-filled with a pattern to show
// which bytes it wrote).
Bitmap Turn(Bitmap& src) {
  Bitmap dst(src.h, src.w, (src.h + 7) / 8);
  std::fill(dst.data.begin(), dst.data.end(), 0x5A);
  MISC_1BPP90(src.data.data(), dst.data.data(), src.step, dst.step, src.w, src.h);
  return dst;
}

std::string Str(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

}  // namespace

TEST(Negative, WholePageAndHalfPageOfAnOddLength) {
  TraceCapture trace;
  PageSlot s;
  s.Bits(3, 3, Str({0x00, 0xFF, 0x0F, 0xF0, 0x55, 0xAA, 0x01, 0x80, 0x7E}));
  DoNegative(&s.job, FALSE);
  EXPECT_EQ(s.Str(), Str({0xFF, 0x00, 0xF0, 0x0F, 0xAA, 0x55, 0xFE, 0x7F, 0x81}));
  // Nine bytes: the half is four, rounded down.
  DoNegative(&s.job, TRUE);
  EXPECT_EQ(s.Str(), Str({0x00, 0xFF, 0x0F, 0xF0, 0xAA, 0x55, 0xFE, 0x7F, 0x81}));
  EXPECT_TRUE(trace.Has("In, len = 4"));
}

TEST(Negative, ReverseBufInvertsWordsAndTheRestAndOversizeGeometryIsLeftAlone) {
  TraceCapture trace;
  Bytes b = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
  ReverseBuf(b.data(), 7);
  EXPECT_EQ(b, (Bytes{0xFF, 0xFE, 0xFD, 0xFC, 0xFB, 0xFA, 0xF9}));
  ReverseBuf(nullptr, 7);
  PageSlot s;
  s.Bits(4, 2, std::string(8, '\0'));
  s.job.page_height = 1000;  // claims 4000 bytes of an 8-byte buffer
  DoNegative(&s.job, FALSE);
  s.job.page_height = 2;
  EXPECT_EQ(s.Str(), std::string(8, '\0'));
}

TEST(Mirror, LeftmostPixelEndsRightmostOnEveryLine) {
  TraceCapture trace;
  PageSlot s;
  s.Bits(4, 2, Str({0x80, 0x12, 0x00, 0xF0, 0x01, 0x00, 0x00, 0x00}));
  DoMirror(&s.job);
  EXPECT_EQ(s.Str(), Str({0x0F, 0x00, 0x48, 0x01, 0x00, 0x00, 0x00, 0x80}));
}

TEST(Mirror, AgreesWithAPerPixelReferenceOnRandomPages) {
  TraceCapture trace;
  std::mt19937 rng(7);
  for (long lineBytes : {1, 3, 5, 13}) {
    for (long h : {1, 7, 29}) {
      Bitmap b = RandomBitmap(lineBytes * 8, h, rng);
      PageSlot s;
      s.Bits(lineBytes, h, std::string(b.data.begin(), b.data.end()));
      DoMirror(&s.job);
      Bitmap m(b.w, h, lineBytes);
      m.data.assign(s.job.lpbuf, s.job.lpbuf + s.job.pagesize);
      for (long y = 0; y < h; ++y)
        for (long x = 0; x < b.w; ++x) ASSERT_EQ(m.Get(x, y), b.Get(b.w - 1 - x, y)) << lineBytes << "/" << h;
    }
  }
}

TEST(HalfTurn, ByteExamples) {
  TraceCapture trace;
  Bytes one = {0x01};
  Transpose_1BPP180(one.data(), 1, 1);
  EXPECT_EQ(one, (Bytes{0x80}));
  Bytes two = {0x01, 0x03};
  Transpose_1BPP180(two.data(), 2, 1);
  EXPECT_EQ(two, (Bytes{0xC0, 0x80}));
  Bytes three = {0x01, 0x0F, 0x03};  // odd length: the middle byte turns in place
  Transpose_1BPP180(three.data(), 3, 1);
  EXPECT_EQ(three, (Bytes{0xC0, 0xF0, 0x80}));
}

TEST(HalfTurn, AgreesWithAPerPixelReferenceAndTwoTurnsRestore) {
  TraceCapture trace;
  std::mt19937 rng(11);
  for (long lineBytes : {1, 2, 7}) {
    for (long h : {1, 5, 33}) {
      const Bitmap b = RandomBitmap(lineBytes * 8, h, rng);
      Bitmap t = b;
      Transpose_1BPP180(t.data.data(), lineBytes, h);
      for (long y = 0; y < h; ++y)
        for (long x = 0; x < b.w; ++x) ASSERT_EQ(t.Get(x, y), b.Get(b.w - 1 - x, h - 1 - y));
      Transpose_1BPP180(t.data.data(), lineBytes, h);
      EXPECT_EQ(t.data, b.data);
    }
  }
}

TEST(QuarterTurn, CornersGoWhereAClockwiseTurnPutsThem) {
  TraceCapture trace;
  // 16 × 8: top-left and bottom-left pixels set.
  Bitmap src(16, 8, 2);
  src.Set(0, 0, true);
  src.Set(0, 7, true);
  Bitmap dst = Turn(src);
  // The destination is 8 pixels wide and 16 lines high. Top-left ends top
  // right, bottom-left ends top left.
  EXPECT_EQ(dst.data[0], 0x81);
  for (long line = 1; line < 16; ++line) EXPECT_EQ(dst.data[line], 0x00) << line;
  // The rightmost source column becomes the last destination line; source
  // line 3 of 8 lands on pixel 8 - 1 - 3 = 4 of it.
  src.Set(15, 3, true);
  dst = Turn(src);
  EXPECT_EQ(dst.data[15], 0x08);
}

TEST(QuarterTurn, AgreesWithAPerPixelReferenceOnRandomBitmapsOfOddSizes) {
  TraceCapture trace;
  std::mt19937 rng(3);
  const long sizes[][2] = {{1, 8}, {13, 8}, {37, 16}, {8, 24}, {77, 40}, {100, 64}, {9, 13}, {31, 3}};
  for (const auto& sz : sizes) {
    Bitmap src = RandomBitmap(sz[0], sz[1], rng);
    const Bitmap dst = Turn(src);
    for (long c = 0; c < src.w; ++c)
      for (long p = 0; p < src.h; ++p)
        ASSERT_EQ(dst.Get(p, c), src.Get(c, src.h - 1 - p))
            << sz[0] << "x" << sz[1] << " at " << p << "," << c;
  }
}

TEST(QuarterTurn, WritesOnlyTheDestinationBytesOfItsBlocks) {
  TraceCapture trace;
  // Destination rows wider than needed keep their extra bytes.
  Bitmap src(10, 8, 2);
  std::fill(src.data.begin(), src.data.end(), 0xFF);
  Bytes dst(10 * 3, 0x5A);
  MISC_1BPP90(src.data.data(), dst.data(), 2, 3, 10, 8);
  for (int line = 0; line < 10; ++line) {
    EXPECT_EQ(dst[line * 3], 0xFF);
    EXPECT_EQ(dst[line * 3 + 1], 0x5A);
    EXPECT_EQ(dst[line * 3 + 2], 0x5A);
  }
}

TEST(AdjustData, EveryPixelIsFollowedByABlankOne) {
  TraceCapture trace;
  Bytes in = {0xFF, 0x80, 0x0F};
  BYTE* out = Prnt_AdjustData(in.data(), 3);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(Bytes(out, out + 6), (Bytes{0xAA, 0xAA, 0x80, 0x00, 0x00, 0xAA}));
  std::free(out);

  std::mt19937 rng(9);
  Bitmap src = RandomBitmap(64, 3, rng);
  out = Prnt_AdjustData(src.data.data(), static_cast<long>(src.data.size()));
  ASSERT_NE(out, nullptr);
  Bitmap wide(128, 3, 16);
  wide.data.assign(out, out + 48);
  std::free(out);
  for (long y = 0; y < 3; ++y)
    for (long x = 0; x < 64; ++x) {
      ASSERT_EQ(wide.Get(2 * x, y), src.Get(x, y));
      ASSERT_FALSE(wide.Get(2 * x + 1, y));
    }
}

TEST(TonerSaving, ThinsByResolutionWithThe600DpiMapsForScale1200AndLowResolutions) {
  TraceCapture trace;
  struct Case {
    unsigned dpi;
    int scale1200;
    std::string in, out;
  } cases[] = {
      {600, 0, Str({0xFF, 0x77, 0x3C, 0x33, 0xE6, 0xC0, 0x00, 0x5A}),
       Str({0x99, 0x4E, 0x3E, 0x32, 0x86, 0x80, 0x00, 0x5A})},
      // 0x3F -> 0x30 and 0xEF -> 0x43, which no rule touches; 0x38 has all of 0x28.
      {1200, 0, Str({0xFF, 0x0F, 0xE0, 0x07, 0x3F, 0x38, 0xEF, 0x00}),
       Str({0xC3, 0x09, 0x80, 0x04, 0x30, 0x28, 0x43, 0x00})},
      {1200, 1, Str({0xFF}), Str({0x99})},
      {300, 0, Str({0xFF}), Str({0x99})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dpi);
    PageSlot s;
    s.Bits(static_cast<std::uint32_t>(c.in.size()), 1, c.in);
    s.job.inheader.HWResolution[0] = c.dpi;
    s.job.SCALE1200 = c.scale1200;
    Prnt_SimulateTonerSaving(&s.job);
    EXPECT_EQ(s.Str(), c.out);
  }
}

TEST(DotCount, CountsSetBitsAndNothingWithoutABuffer) {
  TraceCapture trace;
  Bytes b = {0xFF, 0x01, 0x80, 0x00, 0x0F, 0xAA};
  EXPECT_EQ(Prnt_CountBlackDots(b.data(), 6), 18u);
  EXPECT_EQ(Prnt_CountBlackDots(b.data(), 2), 9u);
  EXPECT_EQ(Prnt_CountBlackDots(nullptr, 6), 0u);
  BYTE* tbl = Prnt_CreateBkDotsTbl();
  ASSERT_NE(tbl, nullptr);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(tbl[i], __builtin_popcount(i)) << i;
  std::free(tbl);
}

TEST(Checksum, SamplesOneByteEvery32LinesWalkingRightAndTheLastByte) {
  TraceCapture trace;
  PageSlot s;
  // 40 pixels = 5 bytes a line, 70 lines: samples at lines 0, 32 and 64,
  // columns 0, 32 % 5 = 2 and 64 % 5 = 4, plus the last byte.
  std::string page(5 * 70, '\x01');  // unsampled bytes must not count
  page[0] = 10;
  page[32 * 5 + 2] = 20;
  page[64 * 5 + 4] = 30;
  page[5 * 70 - 1] = 40;
  s.Bits(5, 70, page);
  EXPECT_EQ(DataPatternChkSum(&s.job), 100u);
  EXPECT_TRUE(trace.Has("sampling 4 Bytes to calcute checksum:100"));
  // Fewer than 32 lines: line 0 and the last byte.
  std::string shortPage(4 * 31, '\x07');
  shortPage[0] = static_cast<char>(0xF0);
  shortPage.back() = static_cast<char>(0xE0);
  s.Bits(4, 31, shortPage);
  EXPECT_EQ(DataPatternChkSum(&s.job), 0xF0u + 0xE0u);
}

TEST(Checksum, BadParametersGiveZero) {
  TraceCapture trace;
  PageSlot s;
  EXPECT_EQ(DataPatternChkSum(&s.job), 0u);  // no page
  s.Bits(1, 1, Str({0x55}));
  s.job.page_width = 7;  // less than a byte a line
  EXPECT_EQ(DataPatternChkSum(&s.job), 0u);
  s.job.page_width = 8;
  s.job.page_height = 64;  // more lines than the buffer holds
  EXPECT_EQ(DataPatternChkSum(&s.job), 0u);
  EXPECT_TRUE(trace.Has("API_WRONG_PARAMETER"));
}

TEST(CornerChecksum, KeepsTheFourCornersAndStampsThemAndOneLinePageReadsItsOwnMarkers) {
  TraceCapture trace;
  PageSlot s;
  std::string page(4 * 3, '\0');
  page[0] = 0x11;
  page[3] = 0x22;
  page[8] = 0x33;
  page[11] = 0x44;
  s.Bits(4, 3, page);
  EXPECT_EQ(DataPatternChkSum_new(&s.job), 0x11223344u);
  std::string stamped(4 * 3, '\0');
  stamped[0] = stamped[3] = stamped[8] = stamped[11] = static_cast<char>(0xAA);
  EXPECT_EQ(s.Str(), stamped);
  s.Bits(4, 1, Str({0x12, 0x00, 0x00, 0x34}));
  EXPECT_EQ(DataPatternChkSum_new(&s.job), 0x1234AAAAu);
}

TEST(CornerChecksum, BadParametersGiveTheMarkerWord) {
  TraceCapture trace;
  PageSlot s;
  EXPECT_EQ(DataPatternChkSum_new(&s.job), 0xAABBCCDDu);  // no page
  s.Bits(1, 2, Str({0x12, 0x34}));
  s.job.page_width = 4;  // narrower than a byte: the corners do not exist
  EXPECT_EQ(DataPatternChkSum_new(&s.job), 0xAABBCCDDu);
  EXPECT_EQ(s.Str(), Str({0x12, 0x34}));
  EXPECT_TRUE(trace.Has(" API_WRONG_PARAMETER"));
}
