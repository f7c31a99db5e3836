// Threshold tiles: catalogue, sizes, dot counts, level coverage, sample
// values, clustering and tone reproduction. Every fact is recomputed from the
// tile bytes with code of its own, against the figures the halftoning stage
// was designed to.
#include "halftone_tiles.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

// What a tile must be: name, size, dot centres and the rule for its levels.
enum class Levels {
  kFine,        // 0 to 254, exactly 33 cells at 0
  kOneTo255,    // every level 1..255, no 0
  kWithZero,    // every level 1..255 and also 0
  kUnspecified  // only 0..255 (no stated rule)
};
struct Expected {
  const char* name;
  int w, h, dots;
  Levels levels;
  int at255;  // -1: no rule; 0: "hundreds" (200 to 999); >0: exact count
};

const Expected kExpected[] = {
    {"FINE_TAry_128", 128, 128, 512, Levels::kFine, -1},
    {"LSU_106_K60", 64, 64, 128, Levels::kWithZero, -1},
    {"Pimmet2_212", 64, 64, 512, Levels::kWithZero, 0},
    {"Oskel_212", 64, 64, 512, Levels::kWithZero, -1},
    {"Oskel_106", 64, 64, 128, Levels::kOneTo255, -1},
    {"Oskel_1200_160", 64, 64, 72, Levels::kUnspecified, 547},
    {"ZQ3_A4_1200_106LPI", 64, 64, 31, Levels::kOneTo255, -1},
    {"A4_Vlor2_600Ret_212_64x64_GDI", 64, 64, 445, Levels::kWithZero, 0},
    {"cmyk_96_96_k", 96, 96, 512, Levels::kOneTo255, -1},
    {"cmyk_128_128_y", 128, 128, 1024, Levels::kOneTo255, -1},
    {"cmyk_128_128_m", 128, 128, 905, Levels::kOneTo255, -1},
    {"cmyk_128_128_c", 128, 128, 905, Levels::kOneTo255, -1},
    {"Identity_141_2400x600_240x60", 240, 60, 200, Levels::kOneTo255, -1},
    {"K141_2400x1200_240x120", 240, 120, 174, Levels::kOneTo255, -1},
    {"K212_1200_600", 128, 64, 512, Levels::kOneTo255, -1},
    {"K141_600_1200", 60, 120, 200, Levels::kOneTo255, -1},
    {"K141_1200x600_192x96", 192, 96, 512, Levels::kOneTo255, -1},
    {"COLOR_K_600_2400", 64, 256, 320, Levels::kOneTo255, -1},
    {"COLOR_Y_600_2400", 64, 256, 320, Levels::kOneTo255, -1},
    {"COLOR_M_600_2400", 64, 256, 320, Levels::kOneTo255, -1},
    {"COLOR_C_600_2400", 64, 256, 320, Levels::kOneTo255, -1},
    {"COLOR_K_600_1200", 96, 192, 512, Levels::kOneTo255, -1},
    {"COLOR_Y_600_1200", 128, 256, 1024, Levels::kOneTo255, -1},
    {"COLOR_M_600_1200", 128, 256, 905, Levels::kOneTo255, -1},
    {"COLOR_C_600_1200", 128, 256, 905, Levels::kOneTo255, -1},
    {"COLOR_K_180_180", 180, 180, 1800, Levels::kOneTo255, -1},
    {"COLOR_Y_180_180", 180, 180, 2025, Levels::kOneTo255, -1},
    {"COLOR_M_180_180", 180, 180, 1802, Levels::kOneTo255, -1},
    {"COLOR_C_180_180", 180, 180, 1802, Levels::kOneTo255, -1},
    {"K600x400L_180x120", 180, 120, 1800, Levels::kOneTo255, -1},
    {"A4_Vlor3_600Ret_212_64x64_GDI_5", 64, 64, 512, Levels::kWithZero, -1},
    {"A4_VlorQ_600Ret_212_64x64_GDI_1", 64, 64, 512, Levels::kWithZero, -1},
    {"Oskel_1200_168_64x64_GDI_1", 64, 64, 80, Levels::kUnspecified, -1},
    {"PimmetQ_600x300_141_96x48", 96, 48, 512, Levels::kOneTo255, -1},
    {"TBL_300_84_60_60_H", 60, 60, 72, Levels::kOneTo255, -1},
};

// Looks a tile up and fails the test when it is missing.
const ThresholdTile& Tile(const char* name) {
  const ThresholdTile* t = FindThresholdTile(name);
  if (!t) ADD_FAILURE() << "missing tile " << name;
  static const BYTE kEmpty[1] = {0};
  static const ThresholdTile kNone{"", 1, 1, kEmpty};
  return t ? *t : kNone;
}

// Entry of a cell, the tile repeating in both directions.
int At(const ThresholdTile& t, int x, int y) {
  x = ((x % t.width) + t.width) % t.width;
  y = ((y % t.height) + t.height) % t.height;
  return t.cells[y * t.width + x];
}

// Positions of the cells smaller than all eight neighbours.
std::vector<std::pair<int, int>> DotCentres(const ThresholdTile& t) {
  std::vector<std::pair<int, int>> out;
  for (int y = 0; y < t.height; ++y) {
    for (int x = 0; x < t.width; ++x) {
      bool lowest = true;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
          if ((dx || dy) && At(t, x + dx, y + dy) <= At(t, x, y)) lowest = false;
      if (lowest) out.push_back({x, y});
    }
  }
  return out;
}

// The density curve of ApplyHalftone for exponent gamma, computed in the
// precisions the halftoning stage uses.
std::vector<int> DensityCurve(float gamma) {
  std::vector<int> tbl(256);
  for (int i = 0; i < 256; ++i) {
    const float base = static_cast<float>(i) / 255.0f;
    const float p = static_cast<float>(std::pow(static_cast<double>(base), static_cast<double>(gamma)));
    tbl[i] = static_cast<int>(static_cast<double>(p * 255.0f) + 0.5);
  }
  return tbl;
}

// Threshold of a tile entry through a density curve: a pixel is light when
// its gray is at least this.
int Threshold(const std::vector<int>& curve, int entry) {
  const int g = curve[entry];
  if (g >= 254) return 1;
  if (g == 0) return 254;
  return 255 - g;
}

// Toner cells of the tile at one gray under the neutral density curve.
std::vector<char> DarkCells(const ThresholdTile& t, int gray) {
  static const std::vector<int> neutral = DensityCurve(1.0f);
  std::vector<char> dark(size_t(t.width) * t.height);
  for (size_t c = 0; c < dark.size(); ++c) dark[c] = gray < Threshold(neutral, t.cells[c]);
  return dark;
}

// 8-connected clusters of toner cells, the tile repeating at its edges.
int CountClusters(const ThresholdTile& t, const std::vector<char>& dark) {
  const int w = t.width, h = t.height;
  std::vector<char> seen(dark.size(), 0);
  std::vector<int> stack;
  int clusters = 0;
  for (int s = 0; s < w * h; ++s) {
    if (seen[s] || !dark[s]) continue;
    ++clusters;
    seen[s] = 1;
    stack.push_back(s);
    while (!stack.empty()) {
      const int c = stack.back();
      stack.pop_back();
      for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
          const int n = ((c / w + dy + h) % h) * w + (c % w + dx + w) % w;
          if (!seen[n] && dark[n]) seen[n] = 1, stack.push_back(n);
        }
      }
    }
  }
  return clusters;
}

// Shortest wrap-around Chebyshev distance between two different centres.
int NearestCentreSpacing(const ThresholdTile& t, const std::vector<std::pair<int, int>>& centres) {
  int best = t.width + t.height;
  for (size_t i = 0; i < centres.size(); ++i) {
    for (size_t j = i + 1; j < centres.size(); ++j) {
      int dx = std::abs(centres[i].first - centres[j].first);
      int dy = std::abs(centres[i].second - centres[j].second);
      dx = std::min(dx, t.width - dx);
      dy = std::min(dy, t.height - dy);
      best = std::min(best, std::max(dx, dy));
    }
  }
  return best;
}

TEST(ThresholdTiles, CatalogueHoldsEveryTileOnceAndFindsThemByName) {
  int n = 0;
  const ThresholdTile* all = AllThresholdTiles(&n);
  ASSERT_NE(all, nullptr);
  ASSERT_EQ(n, static_cast<int>(std::size(kExpected)));
  std::set<std::string> names;
  for (int i = 0; i < n; ++i) {
    names.insert(all[i].name);
    EXPECT_EQ(FindThresholdTile(all[i].name), &all[i]) << all[i].name;
  }
  for (const Expected& e : kExpected) EXPECT_EQ(names.count(e.name), 1u) << e.name;

  for (const char* bad : {"FINE_TAry_12", "fine_tary_128", "", static_cast<const char*>(nullptr)})
    EXPECT_EQ(FindThresholdTile(bad), nullptr);
}

TEST(ThresholdTiles, SizesDotCentresAndLevelCoverage) {
  for (const Expected& e : kExpected) {
    SCOPED_TRACE(e.name);
    const ThresholdTile& t = Tile(e.name);
    EXPECT_EQ(t.width, e.w);
    EXPECT_EQ(t.height, e.h);
    ASSERT_NE(t.cells, nullptr);
    EXPECT_EQ(DotCentres(t).size(), static_cast<size_t>(e.dots));
    std::vector<int> hist(256, 0);
    for (int c = 0; c < t.width * t.height; ++c) ++hist[t.cells[c]];
    int missing = 0;
    for (int v = 1; v <= 254; ++v) missing += hist[v] == 0;
    if (e.levels != Levels::kUnspecified) {
      EXPECT_EQ(missing, 0);
      EXPECT_EQ(hist[255] > 0, e.levels != Levels::kFine);
    }
    if (e.levels == Levels::kFine) {
      EXPECT_EQ(hist[0], 33);
    }
    if (e.levels == Levels::kOneTo255) {
      EXPECT_EQ(hist[0], 0);
    }
    if (e.levels == Levels::kWithZero) {
      EXPECT_GT(hist[0], 0);
    }
    if (e.at255 > 0) {
      EXPECT_EQ(hist[255], e.at255);
    }
    if (e.at255 == 0) {
      EXPECT_GE(hist[255], 200);
      EXPECT_LT(hist[255], 1000);
    }
  }
}

TEST(ThresholdTiles, SampleValuesOfRowZero) {
  const int fine[] = {67, 51, 59, 114, 190, 206, 198, 143};
  const int tbl[] = {1, 12, 52, 199, 239, 255, 244, 204};
  const ThresholdTile& f = Tile("FINE_TAry_128");
  const ThresholdTile& b = Tile("TBL_300_84_60_60_H");
  for (int x = 0; x < 8; ++x) {
    EXPECT_EQ(f.cells[x], fine[x]) << "FINE_TAry_128 column " << x;
    EXPECT_EQ(b.cells[x], tbl[x]) << "TBL_300_84_60_60_H column " << x;
  }
}

// Never more clusters than dots (a dot never falls apart, no cell turns dark
// away from a dot). At 10% / 30% coverage at least 90% / 80% of the dots
// stand apart (the finest screens have a few touching three-cell dots); at
// 50% screens with centres 6 or more cells apart keep 90% apart (a round dot
// of half the cell leaves a gap of a fifth of the spacing, plus rounding).
TEST(ThresholdTiles, DotsGrowAsSeparateClusters) {
  for (const Expected& e : kExpected) {
    const ThresholdTile& t = Tile(e.name);
    const int n = t.width * t.height;
    const int spacing = NearestCentreSpacing(t, DotCentres(t));
    for (double cover : {0.1, 0.3, 0.5}) {
      const int gray = static_cast<int>(std::lround(255 * (1 - cover)));
      const std::vector<char> dark = DarkCells(t, gray);
      const int darkCells = static_cast<int>(std::count(dark.begin(), dark.end(), 1));
      ASSERT_NEAR(double(darkCells) / n, cover, 0.01) << e.name;
      const int clusters = CountClusters(t, dark);
      EXPECT_LE(clusters, e.dots) << e.name << " at " << cover;
      const int expect = std::min(e.dots, darkCells);
      if (cover < 0.2) {
        EXPECT_GE(clusters, 0.9 * expect) << e.name << " at " << cover;
      }
      if (cover > 0.2 && cover < 0.4) {
        EXPECT_GE(clusters, 0.8 * expect) << e.name << " at " << cover;
      }
      if (cover > 0.4 && spacing >= 6) {
        EXPECT_GE(clusters, 0.9 * expect) << e.name << " at " << cover;
      }
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
  for (const Expected& e : kExpected) {
    const ThresholdTile& t = Tile(e.name);
    const int n = t.width * t.height;
    const int at255 = static_cast<int>(std::count(t.cells, t.cells + n, 255));

    int previous = n + 1;
    for (int gray = 0; gray <= 255; ++gray) {
      const std::vector<char> dark = DarkCells(t, gray);
      const int count = static_cast<int>(std::count(dark.begin(), dark.end(), 1));
      if (gray <= 254) {
        EXPECT_LT(count, previous) << e.name << " gray " << gray;
      }
      previous = count;
      const double line = (255.0 - gray) / 255.0;
      const double reach = double(n - at255 - std::max(0, gray - 1)) / n;
      const double bound = 2.0 / 255 + (gray > 0 ? std::max(0.0, line - reach) : 0.0);
      EXPECT_LE(std::fabs(double(count) / n - line), bound) << e.name << " gray " << gray;
    }
    EXPECT_EQ(DarkCells(t, 0), std::vector<char>(n, 1)) << e.name;
    EXPECT_EQ(DarkCells(t, 255), std::vector<char>(n, 0)) << e.name;
  }
}

// The two strongest independent spatial frequencies of a tile's entries, in
// cycles per inch across and down at resolution rx x ry: the first-order
// frequencies of its dot lattice (a lattice repeating with the tile has them
// exactly on the tile's frequency grid). The tile is transformed row by row,
// then column by column.
std::vector<std::pair<double, double>> ScreenFrequencies(const ThresholdTile& t, double rx, double ry) {
  const int w = t.width, h = t.height, n = w * h;
  double mean = 0;
  for (int c = 0; c < n; ++c) mean += t.cells[c];
  mean /= n;
  std::vector<double> rowRe(static_cast<size_t>(n)), rowIm(static_cast<size_t>(n));
  for (int y = 0; y < h; ++y) {
    for (int k = 0; k < w; ++k) {
      double re = 0, im = 0;
      for (int x = 0; x < w; ++x) {
        const double a = -2 * M_PI * double(k) * x / w, v = t.cells[y * w + x] - mean;
        re += v * std::cos(a);
        im += v * std::sin(a);
      }
      rowRe[y * w + k] = re;
      rowIm[y * w + k] = im;
    }
  }
  std::vector<double> power(static_cast<size_t>(n));
  for (int k = 0; k < w; ++k) {
    for (int l = 0; l < h; ++l) {
      double re = 0, im = 0;
      for (int y = 0; y < h; ++y) {
        const double a = -2 * M_PI * double(l) * y / h, c = std::cos(a), s = std::sin(a);
        re += rowRe[y * w + k] * c - rowIm[y * w + k] * s;
        im += rowRe[y * w + k] * s + rowIm[y * w + k] * c;
      }
      power[l * w + k] = re * re + im * im;
    }
  }
  // Signed frequency of a bin, cycles per inch.
  auto freq = [&](int bin) {
    int k = bin % w, l = bin / w;
    if (k > w / 2) k -= w;
    if (l > h / 2) l -= h;
    return std::pair<double, double>{k * rx / w, l * ry / h};
  };
  std::vector<int> bins(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) bins[i] = i;
  bins.erase(bins.begin());  // the mean
  std::sort(bins.begin(), bins.end(), [&](int a, int b) { return power[a] > power[b]; });
  const auto first = freq(bins[0]);
  for (int bin : bins) {
    const auto f = freq(bin);
    if (std::fabs(f.first * first.second - f.second * first.first) > 1e-9) return {{first, f}};
  }
  return {{first}};
}

// The planes of a colour set must not share a screen frequency: every
// first-order frequency of one plane differs from every one of another by at
// least a quarter of its size (about 14 degrees, or 25% in ruling), so the
// planes form a rosette rather than a visible beat.
TEST(ThresholdTiles, ColourPlanesUseDifferentScreens) {
  struct Set {
    double rx, ry;
    const char* planes[4];
  };
  const Set sets[] = {
      {600, 600, {"cmyk_96_96_k", "cmyk_128_128_y", "cmyk_128_128_m", "cmyk_128_128_c"}},
      {600, 2400, {"COLOR_K_600_2400", "COLOR_Y_600_2400", "COLOR_M_600_2400", "COLOR_C_600_2400"}},
      {600, 1200, {"COLOR_K_600_1200", "COLOR_Y_600_1200", "COLOR_M_600_1200", "COLOR_C_600_1200"}},
      {600, 600, {"COLOR_K_180_180", "COLOR_Y_180_180", "COLOR_M_180_180", "COLOR_C_180_180"}},
  };
  for (const Set& set : sets) {
    std::vector<std::vector<std::pair<double, double>>> f;
    for (const char* name : set.planes) {
      f.push_back(ScreenFrequencies(Tile(name), set.rx, set.ry));
      ASSERT_EQ(f.back().size(), 2u) << name;
    }
    for (int i = 0; i < 4; ++i) {
      for (int j = i + 1; j < 4; ++j) {
        double closest = 1e9;
        for (const auto& a : f[i]) {
          for (const auto& b : f[j]) {
            for (int sign : {1, -1}) {
              const double d = std::hypot(a.first - sign * b.first, a.second - sign * b.second);
              closest = std::min(closest,
                                 d / std::max(std::hypot(a.first, a.second), std::hypot(b.first, b.second)));
            }
          }
        }
        EXPECT_GE(closest, 0.25) << set.planes[i] << " and " << set.planes[j];
      }
    }
  }
}

// Reads a whole file; empty when it cannot be read.
std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ThresholdTiles, GeneratorWritesTheSameBytesEveryRun) {
  char dir[] = "/tmp/tilegen.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string a = std::string(dir) + "/a.cpp", b = std::string(dir) + "/b.cpp";
  ASSERT_EQ(std::system((std::string(GEN_TILES_BIN) + " " + a).c_str()), 0);
  ASSERT_EQ(std::system((std::string(GEN_TILES_BIN) + " " + b).c_str()), 0);
  const std::string first = ReadAll(a), second = ReadAll(b);
  EXPECT_GT(first.size(), 500000u);
  EXPECT_TRUE(first == second);
  std::remove(a.c_str());
  std::remove(b.c_str());
  rmdir(dir);
}

}  // namespace
