// The border and text-enhancement path: the printed page of modes 1 and 2
// against their definition, and its refusals.
#include <gtest/gtest.h>

#include <algorithm>

#include "image.h"
#include "image_oracles.h"
#include "test_slot.h"

using namespace testing_support;

namespace {

// The colour modes of pages of 1, 2 and 4 planes.
ColourMode ColorModeOf(unsigned planes) {
  return planes == 4 ? ColourMode::Cmyk : planes == 2 ? ColourMode::BlackRed : ColourMode::Mono;
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
