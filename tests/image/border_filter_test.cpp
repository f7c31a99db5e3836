// The border and text-enhancement path: the 3 x 3 filter against a plain
// convolution with clamped coordinates, the rims each kernel finds, and the
// merged page against ApplyHalftone alone.
#include <gtest/gtest.h>

#include "image.h"
#include "image_oracles.h"
#include "test_slot.h"

using namespace testing_support;

namespace {

// Convolution of a w x h gray image with coordinates clamped to the image,
// divided by the kernel's sum when that is positive, clamped to a byte.
Bytes Convolved(const Bytes& g, int w, int h, const int* k) {
  int div = 0;
  for (int i = 0; i < 9; ++i) div += k[i];
  Bytes out(g.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      int acc = 0;
      for (int i = 0; i < 9; ++i)
        acc += k[i] * g[std::clamp(y + i / 3 - 1, 0, h - 1) * w + std::clamp(x + i % 3 - 1, 0, w - 1)];
      out[y * w + x] = static_cast<std::uint8_t>(std::clamp(acc / std::max(div, 1), 0, 255));
    }
  return out;
}

Bytes Filtered(const Bytes& g, unsigned w, unsigned h, const int* k) {
  PageSlot s;
  s.Set(g, w, h, w, 8);
  EXPECT_EQ(ApplyFilter3x3(&s.job, s.job.lpbuf, 8, k, 3), 1);
  return s.Bytes();
}

// The 1-bit page of a gray page through DoBorderQuality in a Quality mode,
// or through ApplyHalftone alone (mode -1).
Bytes Screen(const Bytes& g, unsigned w, unsigned h, int mode) {
  PageSlot s;
  s.Set(g, w, h, w, 8);
  s.job.inheader.cupsInteger[10] = mode < 0 ? 0 : static_cast<unsigned>(mode);
  EXPECT_EQ(mode < 0 ? ApplyHalftone(&s.job) : DoBorderQuality(&s.job), TRUE);
  EXPECT_EQ(s.job.linebyte * h, s.job.pagesize);
  return s.Bytes();
}

}  // namespace

TEST(Filter3x3, MatchesAPlainConvolutionWithReplicatedEdgesDivisorAndClamping) {
  const int blur[9] = {1, 2, 1, 2, 4, 2, 1, 2, 1};          // sum 16: divided
  const int negative[9] = {-1, -2, -1, 0, 1, 0, 3, -5, 2};  // sum -3: divisor 1
  const int uneven[9] = {0, 0, 7, 0, -3, 0, 0, 0, 0};       // sum 4: truncates toward zero
  std::mt19937 rng(5);
  for (auto [w, h] : {std::pair{1u, 1u}, {2u, 3u}, {1u, 9u}, {17u, 1u}, {64u, 40u}}) {
    Bytes g(std::size_t{w} * h);
    for (auto& v : g) v = static_cast<std::uint8_t>(rng() % 4 ? rng() : (rng() & 1) * 255);
    for (const int* k : {blur, negative, uneven, FilterInsideBorder, FilterOutsideBorder})
      EXPECT_EQ(Filtered(g, w, h, k), Convolved(g, int(w), int(h), k)) << w << "x" << h;
  }
  // A black pixel on white: the border kernel answers on the pixel, the
  // text kernel on its eight neighbours. A black-white edge: the black
  // column beside it, or the white one. Uniform pages, edges included,
  // give nothing: beyond the edge the page goes on as it is.
  Bytes dot(5 * 5, 255), ring(5 * 5, 0), edge(6 * 4, 255), left(6 * 4, 0), right(6 * 4, 0);
  dot[12] = 0;
  for (int i : {6, 7, 8, 11, 13, 16, 17, 18}) ring[i] = 255;
  for (int y = 0; y < 4; ++y)
    edge[y * 6] = edge[y * 6 + 1] = edge[y * 6 + 2] = 0, left[y * 6 + 2] = right[y * 6 + 3] = 255;
  Bytes centre(5 * 5, 0);
  centre[12] = 255;
  EXPECT_EQ(Filtered(dot, 5, 5, FilterInsideBorder), centre);
  EXPECT_EQ(Filtered(dot, 5, 5, FilterOutsideBorder), ring);
  EXPECT_EQ(Filtered(edge, 6, 4, FilterInsideBorder), left);
  EXPECT_EQ(Filtered(edge, 6, 4, FilterOutsideBorder), right);
  for (std::uint8_t v : {0, 200, 255})
    for (const int* k : {FilterInsideBorder, FilterOutsideBorder})
      EXPECT_EQ(Filtered(Bytes(40, v), 8, 5, k), Bytes(40, 0));
}

TEST(BorderQuality, ModeZeroAndUniformPagesAreExactlyTheHalftonedPage) {
  const unsigned w = 96, h = 40;
  Bytes ramp(std::size_t{w} * h);
  for (unsigned i = 0; i < w * h; ++i) ramp[i] = static_cast<std::uint8_t>(i % w * 255 / (w - 1));
  for (int mode : {0, 7}) EXPECT_EQ(Screen(ramp, w, h, mode), Screen(ramp, w, h, -1));  // 7: no kernel
  for (int mode : {1, 2})
    for (std::uint8_t v : {0, 90, 255})
      EXPECT_EQ(Screen(Bytes(w * h, v), w, h, mode), Screen(Bytes(w * h, v), w, h, -1));
}

TEST(BorderQuality, OtherDepthsAndKernelSidesAreRefusedAndACancelFailsBeforeHalftoning) {
  PageSlot s;
  s.Set(Bytes(64 * 8, 100), 64, 8, 64, 8);
  EXPECT_EQ(ApplyFilter3x3(&s.job, s.job.lpbuf, 16, FilterInsideBorder, 3), 0);
  EXPECT_EQ(ApplyFilter3x3(&s.job, s.job.lpbuf, 8, FilterInsideBorder, 5), 0);
  s.job.inheader.cupsInteger[10] = 2;
  JobState job;
  job.Attach(s.job);
  job.Cancel(true);
  EXPECT_EQ(DoBorderQuality(&s.job), FALSE);
  EXPECT_EQ(s.job.linebyte, 64u);  // still the gray page
  EXPECT_EQ(s.Bytes(), Bytes(64 * 8, 100));
}
