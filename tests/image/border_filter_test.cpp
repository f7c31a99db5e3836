// The border and text-enhancement path: the 3 x 3 filter against a plain
// convolution of each plane with clamped coordinates, the rims each kernel
// finds, and the printed page of modes 1 and 2 against their definition.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "image.h"
#include "image_oracles.h"
#include "test_slot.h"

using namespace testing_support;

namespace {

// The colour modes of pages of 1, 2 and 4 planes.
ColourMode ColorModeOf(unsigned planes) {
  return planes == 4 ? ColourMode::Cmyk : planes == 2 ? ColourMode::BlackRed : ColourMode::Mono;
}

// Convolution of a w x h gray image of stacked planes, each plane on its
// own with coordinates clamped to it, divided by the kernel's sum when that
// is positive, clamped to a byte.
Bytes Convolved(const Bytes& g, int w, int h, const int* k, int planes = 1) {
  int div = 0;
  for (int i = 0; i < 9; ++i) div += k[i];
  const int ph = h / planes;
  Bytes out(g.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int top = y / ph * ph;
      int acc = 0;
      for (int i = 0; i < 9; ++i)
        acc +=
            k[i] *
            g[(top + std::clamp(y - top + i / 3 - 1, 0, ph - 1)) * w + std::clamp(x + i % 3 - 1, 0, w - 1)];
      out[y * w + x] = static_cast<std::uint8_t>(std::clamp(acc / std::max(div, 1), 0, 255));
    }
  return out;
}

Bytes Filtered(const Bytes& g, unsigned w, unsigned h, const int* k, unsigned planes = 1) {
  Bytes out(g);
  for (unsigned p = 0; p < planes; ++p)
    EXPECT_EQ(
        ApplyFilter3x3(PlaneView{out.data() + p * (h / planes) * w, w, h / planes, w}, nullptr, 8, k, 3), 1);
  return out;
}

// The 1-bit page of a gray page of stacked planes through DoBorderQuality
// in a Quality mode, or through ApplyHalftone alone (mode -1).
Bytes Screen(const Bytes& g, unsigned w, unsigned h, int mode, unsigned planes = 1) {
  TestSlot s;
  s.Set(g, w, h, w, 8);
  s.job.colourMode = ColorModeOf(planes);
  s.job.inheader.cupsInteger[10] = mode < 0 ? 0 : static_cast<unsigned>(mode);
  EXPECT_EQ(mode < 0 ? ApplyHalftone(&s.job) : DoBorderQuality(&s.job), TRUE);
  EXPECT_EQ(s.job.linebyte * h, s.job.page.size());
  return s.Bytes();
}

// What the border path must print, written from its definition rather than
// from the filter's code: per plane, a pixel whose 3 x 3 response (the
// plane's edge lines and columns repeated beyond it) is above 80 is toner,
// that is a 0 in the halftoned page of 1 = light. Mode 1 weighs the eight
// neighbours 2 (corners) and 1 (sides) against 12 times the pixel; mode 2
// is its negative.
Bytes Expected(const Bytes& g, unsigned w, unsigned h, int mode, unsigned planes) {
  Bytes page = Screen(g, w, h, -1, planes);
  const unsigned ph = h / planes, lineBytes = w / 8;
  const int sign = mode == 1 ? 1 : -1;
  for (unsigned p = 0; p < planes; ++p)
    for (unsigned y = 0; y < ph; ++y)
      for (unsigned x = 0; x < w; ++x) {
        auto at = [&](int dx, int dy) {
          const unsigned yy = static_cast<unsigned>(std::clamp(int(y) + dy, 0, int(ph) - 1));
          const unsigned xx = static_cast<unsigned>(std::clamp(int(x) + dx, 0, int(w) - 1));
          return int(g[(p * ph + yy) * w + xx]);
        };
        const int ring =
            2 * (at(-1, -1) + at(1, -1) + at(-1, 1) + at(1, 1)) + at(0, -1) + at(-1, 0) + at(1, 0) + at(0, 1);
        const int response = std::clamp(sign * (ring - 12 * at(0, 0)), 0, 255);
        if (response > 80)
          page[(p * ph + y) * lineBytes + x / 8] &= static_cast<std::uint8_t>(~(0x80u >> (x % 8)));
      }
  return page;
}

}  // namespace

TEST(Filter3x3, MatchesAPlainConvolutionOfEachPlaneWithReplicatedEdgesDivisorAndClamping) {
  const int blur[9] = {1, 2, 1, 2, 4, 2, 1, 2, 1};          // sum 16: divided
  const int negative[9] = {-1, -2, -1, 0, 1, 0, 3, -5, 2};  // sum -3: divisor 1
  const int uneven[9] = {0, 0, 7, 0, -3, 0, 0, 0, 0};       // sum 4: truncates toward zero
  std::mt19937 rng(5);
  for (auto [w, h, planes] : {std::tuple{1u, 1u, 1u},
                              {2u, 3u, 1u},
                              {1u, 9u, 1u},
                              {17u, 1u, 1u},
                              {64u, 40u, 1u},
                              {16u, 12u, 2u},
                              {24u, 32u, 4u},
                              {8u, 4u, 4u}}) {
    Bytes g(std::size_t{w} * h);
    for (auto& v : g) v = static_cast<std::uint8_t>(rng() % 4 ? rng() : (rng() & 1) * 255);
    for (const int* k : {blur, negative, uneven, FilterInsideBorder, FilterOutsideBorder})
      EXPECT_EQ(Filtered(g, w, h, k, planes), Convolved(g, int(w), int(h), k, int(planes)))
          << w << "x" << h << " in " << planes << " planes";
  }
}

TEST(BorderQuality, EdgeAndTextModesMarkTheRimsOfEachPlaneAboveTheThreshold) {
  // Blocks of random gray, soft and hard edges, and values a few levels
  // apart, so that responses fall on both sides of the threshold.
  std::mt19937 rng(11);
  const unsigned w = 64;
  for (unsigned planes : {1u, 2u, 4u})
    for (int mode : {1, 2}) {
      const unsigned h = 24 * planes;
      Bytes g(std::size_t{w} * h);
      std::vector<std::uint8_t> block(64);
      for (auto& v : block) v = static_cast<std::uint8_t>(rng() % 3 ? rng() : (rng() % 2) * 255);
      for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x)
          g[y * w + x] = static_cast<std::uint8_t>(
              std::clamp(block[(y / 6 * 8 + x / 8) % 64] + int(rng() % 15) - 7, 0, 255));
      EXPECT_EQ(Screen(g, w, h, mode, planes), Expected(g, w, h, mode, planes))
          << planes << " planes, mode " << mode;
    }
}

TEST(BorderQuality, ModeZeroAndUniformPlanesAreExactlyTheHalftonedPage) {
  const unsigned w = 96, h = 40;
  Bytes ramp(std::size_t{w} * h);
  for (unsigned i = 0; i < w * h; ++i) ramp[i] = static_cast<std::uint8_t>(i % w * 255 / (w - 1));
  for (int mode : {0, 7}) EXPECT_EQ(Screen(ramp, w, h, mode), Screen(ramp, w, h, -1));  // 7: no kernel
  // One plane, or a colour page whose first plane (K, or black) is a
  // uniform gray to its edges and the others white: no plane gains a rim
  // where it meets the next.
  for (unsigned planes : {1u, 2u, 4u})
    for (int mode : {1, 2})
      for (std::uint8_t v : {0, 90, 128, 255}) {
        Bytes g(std::size_t{w} * h * planes, 255);
        std::fill(g.begin(), g.begin() + w * h, v);
        EXPECT_EQ(Screen(g, w, h * planes, mode, planes), Screen(g, w, h * planes, -1, planes))
            << planes << " planes, mode " << mode << ", gray " << int(v);
      }
}

TEST(BorderQuality, OtherDepthsAndKernelSidesAreRefusedAndACancelFailsBeforeHalftoning) {
  TestSlot s;
  s.Set(Bytes(64 * 8, 100), 64, 8, 64, 8);
  EXPECT_EQ(ApplyFilter3x3(s.job.WholePage(), nullptr, 16, FilterInsideBorder, 3), 0);
  EXPECT_EQ(ApplyFilter3x3(s.job.WholePage(), nullptr, 8, FilterInsideBorder, 5), 0);
  s.job.inheader.cupsInteger[10] = 2;
  JobState job;
  job.Attach(s.job, s.settings);
  job.Cancel(true);
  EXPECT_EQ(DoBorderQuality(&s.job), FALSE);
  EXPECT_EQ(s.job.linebyte, 64u);  // still the gray page
  EXPECT_EQ(s.Bytes(), Bytes(64 * 8, 100));
}
