// Screening of gray pages: the screen a page gets, the density curve and
// the threshold compare, checked against a plain per-pixel screen.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "feature_bits.h"
#include "halftone_select.h"
#include "image.h"
#include "image_oracles.h"
#include "test_slot.h"

using namespace testing_support;

namespace {

// Density exponents by index, as the printer documentation lists them.
const float kGamma[10] = {0.4f, 0.6f, 1.0f, 1.35f, 2.0f, 2.35f, 3.5f, 4.5f, 6.0f, 8.0f};

// A gray page whose value depends on line and column, every value present.
Bytes GrayPattern(unsigned linebyte, unsigned height) {
  Bytes g(std::size_t{linebyte} * height);
  for (unsigned y = 0; y < height; ++y)
    for (unsigned x = 0; x < linebyte; ++x)
      g[y * linebyte + x] = static_cast<std::uint8_t>((x * 3 + y * 5) ^ (y >> 3));
  return g;
}

// The 1-bit page the plain screen makes of a gray page of `planes` planes:
// lines of whole words, every gray byte screened as far as they reach.
Bytes Screened(const Bytes& gray, unsigned width, unsigned linebyte, unsigned height,
               const std::vector<const char*>& names, unsigned planes, float gamma) {
  const unsigned lineOut = ((width + 7) / 8 + 3) / 4 * 4;
  std::vector<const ThresholdTile*> tiles;
  for (unsigned p = 0; p < planes; ++p)
    tiles.push_back(FindThresholdTile(p < names.size() ? names[p] : "FINE_TAry_128"));
  return ScreenRef(gray, std::min(linebyte, lineOut * 8), linebyte, height / planes, tiles, gamma)
      .Pack(lineOut);
}

}  // namespace

// The screen's tiles (K, Y, M, C; FINE_TAry_128 for planes not named) and
// density offset as the printer documentation lists them; four planes are
// screened each with its own tile.
TEST(Halftone, TheSlotsRowResolutionEngineAndDensityChooseTheScreen) {
  const std::vector<const char*> kColour600 = {"COLOR_K_180_180", "COLOR_Y_180_180", "COLOR_M_180_180",
                                               "COLOR_C_180_180"},
                                 kColour1200 = {"cmyk_96_96_k", "cmyk_128_128_y", "cmyk_128_128_m",
                                                "cmyk_128_128_c"};
  struct Case {
    int row;
    unsigned dpi, width;
    BYTE feature0;
    int scale1200;
    DWORD driverFeature;
    std::vector<const char*> tiles;
    float fix;
  } cases[] = {
      {0, 600, 96, 0, 0, 0, {"FINE_TAry_128"}, 0.3f},
      {0, 300, 96, F0_LSU, 0, 0, {"LSU_106_K60"}, 0.3f},
      {0, 600, 96, F0_LSU, 0, DF_A3, {"LSU_106_K60"}, 0.0f},  // no offset on A3 printers
      {0, 1200, 96, F0_LSU, 1, 0, {"A4_Vlor2_600Ret_212_64x64_GDI"}, 1.0f},
      {6, 600, 96, 0, 0, 0, {"Oskel_106"}, 0.0f},
      {0, 2400, 96, F0_LSU, 0, 0, {"FINE_TAry_128"}, 0.3f},
      {0, 600, 37, 0, 0, 0, {"FINE_TAry_128"}, 0.3f},  // lines of 8 bytes: the gray up to 64 pixels is
                                                       // screened
      {4, 600, 200, 0, 0, 0, kColour600, 0.0f},
      {4, 1200, 200, 0, 0, 0, kColour1200, 0.0f},
  };
  const unsigned lb = 200, h = 4 * 72;
  const Bytes gray = GrayPattern(lb, h);  // four planes of different content: a swapped plane shows
  TraceCapture trace;
  for (const Case& c : cases)
    for (int density : {0, 4, 9, 10}) {  // 10: TonerSave
      TestSlot s;
      s.Set(gray, c.width, h, lb, 8);
      s.settings.cupsHTable = c.row;
      s.job.inheader.HWResolution[0] = c.dpi;
      s.settings.Feature[0] = c.feature0;
      s.Scale1200(c.scale1200);
      s.job.DriverFeature = c.driverFeature;
      s.job.inheader.cupsInteger[0] = density == 10;
      s.job.colourMode = c.tiles.size() == 4 ? ColourMode::Cmyk : ColourMode::Mono;
      s.job.inheader.cupsInteger[11] = density % 10;
      ASSERT_EQ(ApplyHalftone(&s.job), TRUE);
      const unsigned planes = c.tiles.size() == 4 ? 4 : 1;
      EXPECT_EQ(s.Bytes(),
                Screened(gray, c.width, lb, h, c.tiles, planes, kGamma[density == 10 ? 2 : density] + c.fix))
          << c.tiles[0] << " density " << density;
      EXPECT_EQ(s.job.linebyte * h, s.job.page.size());
    }
}

TEST(DensityCurve, IndexIsClampedAndTonerSaveForcesTwo) {
  const unsigned cases[][3] = {{0, 0, 0},    {0, 5, 5},           {0, 9, 9}, {0, 10, 9},
                               {0, 1000, 9}, {0, 0xFFFFFFFFu, 0}, {1, 9, 2}, {7, 0xFFFFFFFFu, 2}};
  for (const auto& c : cases) {
    cups_page_header2_t h{};
    h.cupsInteger[0] = c[0];
    h.cupsInteger[11] = c[1];
    EXPECT_EQ(DensityIndex(h), static_cast<int>(c[2])) << c[0] << " " << c[1];
  }
}

TEST(Halftone, WhiteStaysLightAndBlackDarkForEveryTypeAndDensity) {
  // Alternating black and white columns over at least one whole tile of
  // every plane (tiles are at most 240 x 256).
  const unsigned w = 256, h = 4 * 256;
  TraceCapture trace;
  for (int type = 0; type <= 24; ++type)
    for (int density = 0; density <= 10; ++density) {  // 10: TonerSave
      TestSlot s;
      s.Gray(w, h / 4, 4, [](auto, std::uint32_t x, auto) { return std::uint8_t(x % 2 ? 255 : 0); });
      s.job.inheader.cupsInteger[11] = density % 10;
      s.job.inheader.cupsInteger[0] = density == 10;
      ASSERT_EQ(ApplyHalftoneType(&s.job, type), TRUE) << type;
      ASSERT_EQ(s.Bytes(), Bytes(s.job.page.size(), 0x55)) << "type " << type << " density " << density;
    }
}
