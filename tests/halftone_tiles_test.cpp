// Threshold tiles: catalogue, sizes, dot counts, clustering and tone
// reproduction, each recomputed from the tile bytes with code of its own
// against the figures the screens were designed to.
#include "halftone_tiles.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "image_oracles.h"
#include "test_support.h"
#include "tile_clusters.h"

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

// Entry of a cell, the tile repeating in both directions.
int At(const ThresholdTile& t, int x, int y) {
  return t.cells[((y % t.height + t.height) % t.height) * t.width + (x % t.width + t.width) % t.width];
}

// Dot centres: cells smaller than all eight neighbours.
std::vector<std::pair<int, int>> DotCentres(const ThresholdTile& t) {
  std::vector<std::pair<int, int>> out;
  for (int y = 0; y < t.height; ++y)
    for (int x = 0; x < t.width; ++x) {
      bool lowest = true;
      for (int d = 0; d < 9; ++d)
        if (d != 4 && At(t, x + d % 3 - 1, y + d / 3 - 1) <= At(t, x, y)) lowest = false;
      if (lowest) out.push_back({x, y});
    }
  return out;
}

// Toner cells (1) of the tile at one gray under the neutral density curve
// (exponent 1, which leaves every entry as it is).
std::vector<char> DarkCells(const ThresholdTile& t, int gray) {
  std::vector<char> dark(std::size_t(t.width) * t.height);
  for (std::size_t c = 0; c < dark.size(); ++c) dark[c] = gray < LightFrom(t.cells[c]);
  return dark;
}

// Shortest wrap-around Chebyshev distance between two different centres.
int NearestCentreSpacing(const ThresholdTile& t, const std::vector<std::pair<int, int>>& centres) {
  int best = t.width + t.height;
  for (std::size_t i = 0; i < centres.size(); ++i)
    for (std::size_t j = i + 1; j < centres.size(); ++j) {
      const int dx = std::abs(centres[i].first - centres[j].first),
                dy = std::abs(centres[i].second - centres[j].second);
      best = std::min(best, std::max(std::min(dx, t.width - dx), std::min(dy, t.height - dy)));
    }
  return best;
}

}  // namespace

TEST(ThresholdTiles, EveryTileIsFoundByItsNameAndNoOtherName) {
  for (const ThresholdTile* t : AllTiles()) EXPECT_EQ(FindThresholdTile(t->name), t) << t->name;
  for (const char* bad : {"FINE_TAry_12", "fine_tary_128", "", static_cast<const char*>(nullptr)})
    EXPECT_EQ(FindThresholdTile(bad), nullptr);
}

// Never more clusters than dot centres, the cells below all their
// neighbours: a dot never falls apart and no cell turns dark away from a
// dot. At 10% / 30% coverage at least 90% / 80% of the dots stand apart (the
// finest screens have a few touching three-cell dots); at 50% screens with
// centres 6 or more cells apart keep 90% apart (a round dot of half the cell
// leaves a gap of a fifth of the spacing, plus rounding).
TEST(ThresholdTiles, DotsGrowAsSeparateClusters) {
  for (const ThresholdTile* tile : AllTiles()) {
    const ThresholdTile& t = *tile;
    const std::vector<std::pair<int, int>> centres = DotCentres(t);
    const int dots = static_cast<int>(centres.size()), spacing = NearestCentreSpacing(t, centres);
    for (double cover : {0.1, 0.3, 0.5}) {
      const std::vector<char> dark = DarkCells(t, static_cast<int>(std::lround(255 * (1 - cover))));
      const int darkCells = static_cast<int>(std::count(dark.begin(), dark.end(), 1));
      ASSERT_NEAR(double(darkCells) / dark.size(), cover, 0.01) << t.name;
      const int clusters = CountWrappedClusters(t.width, t.height, [&](int c) { return dark[c]; });
      EXPECT_LE(clusters, dots) << t.name << " at " << cover;
      const double apart = cover < 0.2 ? 0.9 : cover < 0.4 ? 0.8 : spacing >= 6 ? 0.9 : 0.0;
      EXPECT_GE(clusters, apart * std::min(dots, darkCells)) << t.name << " at " << cover;
    }
  }
}

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

TEST(ThresholdTiles, GeneratorWritesTheSameBytesEveryRun) {
  PrivateRoot root;
  const std::string a = root.Path("/a.cpp"), b = root.Path("/b.cpp");
  ASSERT_EQ(std::system((std::string(GEN_TILES_BIN) + " " + a + " && " + GEN_TILES_BIN + " " + b).c_str()),
            0);
  const std::string first = ReadFile(a);
  EXPECT_GT(first.size(), 500000u);
  EXPECT_TRUE(first == ReadFile(b));
}
