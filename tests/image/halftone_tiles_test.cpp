// Threshold tiles: tone reproduction, recomputed from the
// tile bytes with code of its own against the figures the screens were
// designed to.
#include "halftone_tiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "image_oracles.h"

using namespace testing_support;

namespace {

// Every tile of the catalogue.
std::vector<const ThresholdTile*> AllTiles() {
  int n = 0;
  const ThresholdTile* all = AllThresholdTiles(&n);
  std::vector<const ThresholdTile*> out;
  for (int i = 0; i < n; ++i) out.push_back(&all[i]);
  return out;
}

// Toner cells (1) of the tile at one gray under the neutral density curve
// (exponent 1, which leaves every entry as it is).
std::vector<char> DarkCells(const ThresholdTile& t, int gray) {
  std::vector<char> dark(std::size_t(t.width) * t.height);
  for (std::size_t c = 0; c < dark.size(); ++c) dark[c] = gray < LightFrom(t.cells[c]);
  return dark;
}

}  // namespace

// Under the neutral curve every gray step from 0 to 254 removes toner (no
// dead levels), and the toner fraction stays within 2/255 of the line from
// full toner at 0 to none at 255 (entries 0/1 and 254/255 share thresholds;
// cells do not divide evenly). Entries of 255 turn dark at gray 0 only, so
// where the line lies above what the other cells can reach, the bound grows
// by the shortfall.
TEST(ThresholdTiles, ToneCurveFallsSteadilyAndStaysNearTheLine) {
  for (const ThresholdTile* tile : AllTiles()) {
    const ThresholdTile& t = *tile;
    const int n = t.width * t.height;
    const int at255 = static_cast<int>(std::count(t.cells, t.cells + n, 255));
    int previous = n + 1;
    for (int gray = 0; gray <= 255; ++gray) {
      const std::vector<char> dark = DarkCells(t, gray);
      const int count = static_cast<int>(std::count(dark.begin(), dark.end(), 1));
      EXPECT_TRUE(gray == 255 || count < previous) << t.name << " gray " << gray;
      EXPECT_TRUE(gray != 0 || count == n) << t.name << " is not solid at black";
      previous = count;
      const double line = (255.0 - gray) / 255.0, reach = double(n - at255 - std::max(0, gray - 1)) / n;
      const double bound = 2.0 / 255 + (gray > 0 ? std::max(0.0, line - reach) : 0.0);
      EXPECT_LE(std::fabs(double(count) / n - line), bound) << t.name << " gray " << gray;
    }
    EXPECT_EQ(previous, 0) << t.name << " is not blank at white";
  }
}
