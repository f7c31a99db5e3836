// gen_tiles: designs the clustered-dot threshold tiles of the halftoning stage
// and writes them as a C++ source file.
//
//   gen_tiles OUTPUT.cpp          write the tiles (the build does this)
//   gen_tiles --summary           ruling, angle and lattice of every tile
//   gen_tiles --survey            dot clusters per hole weight and half-cell
//                                 shift (on top of kTuning), to tune a tile
//   gen_tiles --search NAME STEP RANGE
//                                 lattice positions for a tile with required
//                                 row-0 values, with how far they move
//
// Every tile is built the same way. Dot centres sit on a lattice (in physical
// units, so that asymmetric resolutions stretch it) that repeats with the
// tile; every pixel belongs to the nearest centre and is ranked inside its dot
// by a spot function that grows a round dot from the centre and, past the
// middle tones, shrinks the remaining white hole towards the point farthest
// from all centres. The dots take turns (a spread-out order over the dots) so
// that at every gray level they differ by at most one pixel, and the global
// order is cut into the tile's levels. The program then checks every property
// the halftoning code relies on and fails the build when one does not hold.
//
// The output depends only on this file: no clock, no randomness, and floating
// point keys are quantised before they are compared.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "tile_clusters.h"

namespace {

// A lattice of dot centres in pixel coordinates: centres at o + i*u + j*v.
struct Lattice {
  double ux, uy;  // first basis vector, pixels
  double vx, vy;  // second basis vector, pixels
  double ox, oy;  // position of one centre, pixels
};

// One tile to design.
struct TileSpec {
  const char* name;                       // identifier used by the halftoning code
  int w, h;                               // cells per row, rows
  double rx, ry;                          // resolution the tile serves, dpi across and down
  int dots;                               // dot centres the tile must hold
  Lattice lat;                            // dot centres
  int lo, hi;                             // lowest and highest level in the tile
  int nLo;                                // cells fixed at level lo (0: just their share)
  int nHi;                                // cells fixed at level hi (0: just their share)
  std::vector<std::pair<int, int>> row0;  // required (column, value) pairs in row 0
  double beta = 0.25;                     // pull of the white hole on the order (see Build)
};

// Square lattice given by an integer vector (a, b) and its right angle turn
// (-b, a), scaled by s physical units; kx and ky are units per pixel across
// and down.
Lattice Square(int a, int b, double s, double kx, double ky, double ox = 0, double oy = 0) {
  return {a * s / kx, b * s / ky, -b * s / kx, a * s / ky, ox, oy};
}

// Lattice from two basis vectors in physical units; kx and ky are units per
// pixel across and down.
Lattice Units(double ax, double ay, double bx, double by, double kx, double ky) {
  return {ax / kx, ay / ky, bx / kx, by / ky, 0, 0};
}

// Per-tile dot shape and lattice shift (added to the catalogue's), chosen
// with --survey for the fewest merged or missing dots at 10, 30, 50 and 70%
// coverage. A half-pixel shift puts the centre between two cells, which
// keeps fine dots apart longer on some lattices.
struct Tuning {
  const char* name;
  double beta, ox, oy;
};
const Tuning kTuning[] = {
    {"LSU_106_K60", 0.40, 0.5, 0.0},
    {"Pimmet2_212", 0.40, 0.0, 0.0},
    {"Oskel_212", 0.40, 0.0, 0.0},
    {"Oskel_106", 0.40, 0.5, 0.0},
    {"Oskel_1200_160", 0.10, 0.5, 0.0},
    {"ZQ3_A4_1200_106LPI", 0.10, 0.0, 0.5},
    {"A4_Vlor2_600Ret_212_64x64_GDI", 0.25, 0.0, 0.0},
    {"cmyk_96_96_k", 0.40, 0.5, 0.0},
    {"cmyk_128_128_y", 0.40, 0.0, 0.0},
    {"cmyk_128_128_m", 0.10, 0.0, 0.0},
    {"cmyk_128_128_c", 0.10, 0.0, 0.0},
    {"Identity_141_2400x600_240x60", 0.40, 0.0, 0.5},
    {"K141_2400x1200_240x120", 0.10, 0.0, 0.0},
    {"K212_1200_600", 0.40, 0.5, 0.0},
    {"K141_600_1200", 0.40, 0.5, 0.0},
    {"K141_1200x600_192x96", 0.40, 0.0, 0.5},
    {"COLOR_K_600_2400", 0.00, 0.5, 0.0},
    {"COLOR_Y_600_2400", 0.00, 0.5, 0.0},
    {"COLOR_M_600_2400", 0.10, 0.0, 0.5},
    {"COLOR_C_600_2400", 0.10, 0.0, 0.5},
    {"COLOR_K_600_1200", 0.40, 0.5, 0.0},
    {"COLOR_Y_600_1200", 0.10, 0.0, 0.0},
    {"COLOR_M_600_1200", 0.10, 0.5, 0.0},
    {"COLOR_C_600_1200", 0.10, 0.5, 0.0},
    {"COLOR_K_180_180", 0.40, 0.5, 0.0},
    {"COLOR_Y_180_180", 0.40, 0.0, 0.0},
    {"COLOR_M_180_180", 0.10, 0.5, 0.0},
    {"COLOR_C_180_180", 0.10, 0.0, 0.0},
    {"K600x400L_180x120", 0.40, 0.0, 0.0},
    {"A4_Vlor3_600Ret_212_64x64_GDI_5", 0.40, 0.0, 0.0},
    {"A4_VlorQ_600Ret_212_64x64_GDI_1", 0.40, 0.0, 0.0},
    {"Oskel_1200_168_64x64_GDI_1", 0.10, 0.0, 0.0},
    {"PimmetQ_600x300_141_96x48", 0.40, 0.0, 0.0},
    // Shifts and shapes that leave the required row-0 values nearest their
    // natural place, found with --search.
    {"FINE_TAry_128", 0.80, 0.0, -0.5},
    {"TBL_300_84_60_60_H", 0.80, 0.0, 0.5},
};

// The tile catalogue. Screen angles are counted anticlockwise on the page
// (rows run down); a ruling is one over the square root of a dot's area.
// Where a dot count is not a power of two fraction of the tile, no lattice
// of whole cells fits, so the lattice is continuous (its centres rounded to
// cells) and its ruling is what the count gives: 31 dots make 104 lpi,
// 445 make 198, 174 make 132 and 72 make 159. Tiles that hold back a block
// of cells at 255 (dark only at solid black) keep one such cell per dot:
// the hole centres of the 8-cell screens.
std::vector<TileSpec> Catalogue() {
  std::vector<TileSpec> t;
  const double m905 = 128.0 / 905, m1802 = 180.0 / 1802, z31 = 64.0 / 31, s174 = 240.0 / 174;
  // clang-format off
  // 600 dpi black screens, 45 degrees: 106 lpi (32 cells a dot) and 212 lpi
  // (8 cells); FINE_TAry_128 keeps 33 cells at 0 and stops at 254.
  t.push_back({"FINE_TAry_128", 128, 128, 600, 600, 512, Square(4, 4, 1, 1, 1, 1, 2), 0, 254, 33, 0,
               {{0, 67}, {1, 51}, {2, 59}, {3, 114}, {4, 190}, {5, 206}, {6, 198}, {7, 143}}});
  t.push_back({"LSU_106_K60", 64, 64, 600, 600, 128, Square(4, 4, 1, 1, 1), 0, 255, 0, 0, {}});
  t.push_back({"Pimmet2_212", 64, 64, 600, 600, 512, Square(2, 2, 1, 1, 1), 0, 255, 0, 512, {}});
  t.push_back({"Oskel_212", 64, 64, 600, 600, 512, Square(2, 2, 1, 1, 1), 0, 255, 0, 0, {}});
  t.push_back({"Oskel_106", 64, 64, 600, 600, 128, Square(4, 4, 1, 1, 1), 1, 255, 0, 0, {}});
  // 1200 dpi: 159 lpi at 45 degrees; 104 lpi on a near-square lattice
  // (sides 8% apart) at 68 degrees.
  t.push_back({"Oskel_1200_160", 64, 64, 1200, 1200, 72, Square(1, 1, 64.0 / 12, 1, 1), 1, 255, 0, 547, {}});
  t.push_back({"ZQ3_A4_1200_106LPI", 64, 64, 1200, 1200, 31, Units(5 * z31, 2 * z31, -3 * z31, 5 * z31, 1, 1),
               1, 255, 0, 0, {}});
  // 198 lpi at 5.4 degrees: of the square lattices holding 445 dots this one
  // keeps the three-cell dots of 30% coverage apart.
  t.push_back({"A4_Vlor2_600Ret_212_64x64_GDI", 64, 64, 600, 600, 445, Square(21, 2, 64.0 / 445, 1, 1), 0, 255,
               0, 445, {}});
  // Four-colour set at 600 dpi: K 45, Y 0 (150 lpi), M 74.6, C 15.4 degrees.
  t.push_back({"cmyk_96_96_k", 96, 96, 600, 600, 512, Square(3, 3, 1, 1, 1), 1, 255, 0, 0, {}});
  t.push_back({"cmyk_128_128_y", 128, 128, 600, 600, 1024, Square(4, 0, 1, 1, 1), 1, 255, 0, 0, {}});
  t.push_back({"cmyk_128_128_m", 128, 128, 600, 600, 905, Square(29, 8, m905, 1, 1), 1, 255, 0, 0, {}});
  t.push_back({"cmyk_128_128_c", 128, 128, 600, 600, 905, Square(8, 29, m905, 1, 1), 1, 255, 0, 0, {}});
  // Black screens at asymmetric resolutions, 45 degrees on the page; units
  // are 2400ths or 1200ths of an inch. 174 dots fit no square lattice: the
  // near-square one (10, 8), (-8, 11) has sides 6% apart.
  t.push_back({"Identity_141_2400x600_240x60", 240, 60, 2400, 600, 200, Square(12, 12, 1, 1, 4), 1, 255, 0, 0,
               {}});
  t.push_back({"K141_2400x1200_240x120", 240, 120, 2400, 1200, 174, Units(10 * s174, 8 * s174, -8 * s174,
               11 * s174, 1, 2), 1, 255, 0, 0, {}});
  t.push_back({"K212_1200_600", 128, 64, 1200, 600, 512, Square(4, 4, 1, 1, 2), 1, 255, 0, 0, {}});
  t.push_back({"K141_600_1200", 60, 120, 600, 1200, 200, Square(6, 6, 1, 2, 1), 1, 255, 0, 0, {}});
  t.push_back({"K141_1200x600_192x96", 192, 96, 1200, 600, 512, Square(6, 6, 1, 1, 2), 1, 255, 0, 0, {}});
  // 600 x 2400 colour set, 320 dots each (168 lpi). Of the lattices holding
  // 320 dots only the 26.6 degree one is square, so the planes use rhombic
  // ones whose first-order frequencies lie far apart: K 51.8 and Y 38.2
  // degrees (sides 1.3% apart), M 14.0 and C 76.0 degrees (sides 18% apart);
  // units are 2400ths.
  t.push_back({"COLOR_K_600_2400", 64, 256, 600, 2400, 320, Units(-11.2, -8.8, 8, -12, 4, 1), 1, 255, 0, 0, {}});
  t.push_back({"COLOR_Y_600_2400", 64, 256, 600, 2400, 320, Units(11.2, -8.8, 8, 12, 4, 1), 1, 255, 0, 0, {}});
  t.push_back({"COLOR_M_600_2400", 64, 256, 600, 2400, 320, Units(-12.8, 3.2, 3.2, 15.2, 4, 1), 1, 255, 0, 0, {}});
  t.push_back({"COLOR_C_600_2400", 64, 256, 600, 2400, 320, Units(12.8, 3.2, -3.2, 15.2, 4, 1), 1, 255, 0, 0, {}});
  // 600 x 1200 colour set, angles as the 600 dpi set; units are 1200ths.
  t.push_back({"COLOR_K_600_1200", 96, 192, 600, 1200, 512, Square(6, 6, 1, 2, 1), 1, 255, 0, 0, {}});
  t.push_back({"COLOR_Y_600_1200", 128, 256, 600, 1200, 1024, Square(8, 0, 1, 2, 1), 1, 255, 0, 0, {}});
  t.push_back({"COLOR_M_600_1200", 128, 256, 600, 1200, 905, Square(29, 8, 256.0 / 905, 2, 1), 1, 255, 0, 0, {}});
  t.push_back({"COLOR_C_600_1200", 128, 256, 600, 1200, 905, Square(8, 29, 256.0 / 905, 2, 1), 1, 255, 0, 0, {}});
  // 180 x 180 colour set at 600 dpi: K 45, Y 0 (150 lpi), M 75, C 15 degrees.
  t.push_back({"COLOR_K_180_180", 180, 180, 600, 600, 1800, Square(3, 3, 1, 1, 1), 1, 255, 0, 0, {}});
  t.push_back({"COLOR_Y_180_180", 180, 180, 600, 600, 2025, Square(4, 0, 1, 1, 1), 1, 255, 0, 0, {}});
  t.push_back({"COLOR_M_180_180", 180, 180, 600, 600, 1802, Square(41, 11, m1802, 1, 1), 1, 255, 0, 0, {}});
  t.push_back({"COLOR_C_180_180", 180, 180, 600, 600, 1802, Square(11, 41, m1802, 1, 1), 1, 255, 0, 0, {}});
  // Further black screens: 141 lpi at 600 x 400 and 600 x 300, 212 lpi at
  // 600, 168 lpi at 1200 (63.4 degrees: no 45 degree lattice holds 80 dots)
  // and 85 lpi at 600 (50 cells a dot).
  t.push_back({"K600x400L_180x120", 180, 120, 600, 400, 1800, Square(6, 6, 1, 2, 3), 1, 255, 0, 0, {}});
  t.push_back({"A4_Vlor3_600Ret_212_64x64_GDI_5", 64, 64, 600, 600, 512, Square(2, 2, 1, 1, 1), 0, 255, 0, 0,
               {}});
  t.push_back({"A4_VlorQ_600Ret_212_64x64_GDI_1", 64, 64, 600, 600, 512, Square(2, 2, 1, 1, 1, 1, 0), 0, 255, 0,
               0, {}});
  t.push_back({"Oskel_1200_168_64x64_GDI_1", 64, 64, 1200, 1200, 80, Square(2, 1, 3.2, 1, 1), 1, 255, 0, 0, {}});
  t.push_back({"PimmetQ_600x300_141_96x48", 96, 48, 600, 300, 512, Square(3, 3, 1, 1, 2), 1, 255, 0, 0, {}});
  t.push_back({"TBL_300_84_60_60_H", 60, 60, 600, 600, 72, Square(5, 5, 1, 1, 1), 1, 255, 0, 0,
               {{0, 1}, {1, 12}, {2, 52}, {3, 199}, {4, 239}, {5, 255}, {6, 244}, {7, 204}}});
  // clang-format on
  for (TileSpec& tile : t) {
    for (const Tuning& tune : kTuning) {
      if (std::string(tune.name) != tile.name) continue;
      tile.beta = tune.beta;
      tile.lat.ox += tune.ox;
      tile.lat.oy += tune.oy;
    }
  }
  return t;
}

// Rounds a key so that ties do not depend on the last bits of a computation.
int64_t Quantise(double x) {
  return std::llround(x * 1e9);
}

// The designed tile: a level per cell plus what the checks need.
struct Design {
  std::vector<int> level;      // level per cell
  std::vector<int> dotOf;      // dot index per cell
  std::vector<int> rankIn;     // rank of the cell inside its dot
  std::vector<int> dotSize;    // cells per dot
  std::vector<double> key;     // spot value per cell
  std::vector<int64_t> depth;  // relative depth of the cell in its dot, 0 to 2^20
  int64_t moved = 0;           // total depth the row-0 samples were moved by
};

// Tells whether the vector (x, y) in pixels is an integer combination of the
// lattice basis.
bool InLattice(const Lattice& l, double x, double y) {
  const double det = l.ux * l.vy - l.uy * l.vx;
  const double a = (x * l.vy - y * l.vx) / det;
  const double b = (l.ux * y - l.uy * x) / det;
  return std::fabs(a - std::round(a)) < 1e-7 && std::fabs(b - std::round(b)) < 1e-7;
}

// Designs one tile on lattice l; exits with a message when the lattice does
// not fit. The spot value of a cell is its distance to the dot centre minus
// beta times its distance to the nearest white hole (both in lattice
// periods): beta 0 grows round dots until they touch, beta 1 makes dots and
// holes mirror images that meet at 50% coverage.
Design Build(const TileSpec& t, const Lattice& l, double beta) {
  const int n = t.w * t.h;
  const double det = l.ux * l.vy - l.uy * l.vx;
  const double lat_dots = n / std::fabs(det);
  if (std::fabs(lat_dots - t.dots) > 1e-6 || !InLattice(l, t.w, 0) || !InLattice(l, 0, t.h)) {
    std::fprintf(stderr, "gen_tiles: %s: lattice gives %.3f dots or does not repeat with the tile\n", t.name,
                 lat_dots);
    std::exit(1);
  }
  // Physical distance, normalised to the lattice period.
  const double sx = 1.0 / t.rx, sy = 1.0 / t.ry;
  const double period = std::sqrt(std::fabs(det) * sx * sy);
  auto dist = [&](double dx, double dy) { return std::hypot(dx * sx, dy * sy) / period; };

  // Nearest centre and nearest hole of every cell.
  Design d;
  d.level.assign(n, 0);
  d.dotOf.assign(n, -1);
  d.rankIn.assign(n, 0);
  d.key.assign(n, 0);
  std::map<std::pair<int64_t, int64_t>, int> dotIndex;
  std::vector<std::pair<double, double>> centres;
  std::vector<double> angle(n, 0);
  for (int y = 0; y < t.h; ++y) {
    for (int x = 0; x < t.w; ++x) {
      const double px = x - l.ox, py = y - l.oy;
      const double a = (px * l.vy - py * l.vx) / det;
      const double b = (l.ux * py - l.uy * px) / det;
      const int a0 = static_cast<int>(std::floor(a)), b0 = static_cast<int>(std::floor(b));
      double best = 1e300, bestHole = 1e300, cx = 0, cy = 0;
      int64_t bestQ = INT64_MAX;
      for (int i = a0 - 2; i <= a0 + 3; ++i) {
        for (int j = b0 - 2; j <= b0 + 3; ++j) {
          const double qx = l.ox + i * l.ux + j * l.vx, qy = l.oy + i * l.uy + j * l.vy;
          const double dd = dist(x - qx, y - qy);
          const int64_t q = Quantise(dd);
          // Ties go to the candidate met first, the same for every cell.
          if (q < bestQ) {
            bestQ = q;
            best = dd;
            cx = qx;
            cy = qy;
          }
          const double hx = qx + 0.5 * (l.ux + l.vx), hy = qy + 0.5 * (l.uy + l.vy);
          bestHole = std::min(bestHole, dist(x - hx, y - hy));
        }
      }
      // Identify the centre modulo the tile.
      double mx = std::fmod(cx, t.w), my = std::fmod(cy, t.h);
      if (mx < 0) mx += t.w;
      if (my < 0) my += t.h;
      std::pair<int64_t, int64_t> id{std::llround(mx * 1e6) % (int64_t(t.w) * 1000000),
                                     std::llround(my * 1e6) % (int64_t(t.h) * 1000000)};
      auto it = dotIndex.find(id);
      if (it == dotIndex.end()) {
        it = dotIndex.emplace(id, static_cast<int>(centres.size())).first;
        centres.push_back({mx, my});
      }
      const int c = y * t.w + x;
      d.dotOf[c] = it->second;
      d.key[c] = best - beta * bestHole;
      angle[c] = std::atan2((y - cy) * sy, (x - cx) * sx);
    }
  }
  const int dots = static_cast<int>(centres.size());
  if (dots != t.dots) {
    std::fprintf(stderr, "gen_tiles: %s: %d dots found, %d expected\n", t.name, dots, t.dots);
    std::exit(1);
  }

  // Rank the cells inside each dot by spot value; among equals, opposite
  // cells follow each other so that a dot stays centred and grows as a bar
  // rather than an L that reaches for the next dot.
  std::vector<std::vector<int>> members(dots);
  for (int c = 0; c < n; ++c) members[d.dotOf[c]].push_back(c);
  d.dotSize.assign(dots, 0);
  for (int k = 0; k < dots; ++k) {
    auto& m = members[k];
    std::sort(m.begin(), m.end(), [&](int p, int q) {
      const int64_t kp = Quantise(d.key[p]), kq = Quantise(d.key[q]);
      if (kp != kq) return kp < kq;
      const int64_t hp = Quantise(std::fmod(angle[p] + 2 * M_PI, M_PI));
      const int64_t hq = Quantise(std::fmod(angle[q] + 2 * M_PI, M_PI));
      if (hp != hq) return hp < hq;
      const int64_t ap = Quantise(angle[p]), aq = Quantise(angle[q]);
      if (ap != aq) return ap < aq;
      return p < q;
    });
    for (size_t r = 0; r < m.size(); ++r) d.rankIn[m[r]] = static_cast<int>(r);
    d.dotSize[k] = static_cast<int>(m.size());
  }

  // Turn order of the dots: start at the dot nearest the tile origin, then
  // always take the dot farthest from those already taken.
  auto wrapDist = [&](int p, int q) {
    double dx = std::fabs(centres[p].first - centres[q].first);
    double dy = std::fabs(centres[p].second - centres[q].second);
    dx = std::min(dx, t.w - dx);
    dy = std::min(dy, t.h - dy);
    return Quantise(dist(dx, dy));
  };
  std::vector<int> turn(dots, -1);
  {
    int first = 0;
    int64_t bestQ = INT64_MAX;
    for (int k = 0; k < dots; ++k) {
      double dx = std::min(centres[k].first, t.w - centres[k].first);
      double dy = std::min(centres[k].second, t.h - centres[k].second);
      const int64_t q = Quantise(dist(dx, dy));
      if (q < bestQ) bestQ = q, first = k;
    }
    std::vector<int64_t> near(dots, INT64_MAX);
    int cur = first;
    for (int step = 0; step < dots; ++step) {
      turn[cur] = step;
      int next = -1;
      int64_t far = -1;
      for (int k = 0; k < dots; ++k) {
        if (turn[k] >= 0) continue;
        near[k] = std::min(near[k], wrapDist(k, cur));
        if (near[k] > far) far = near[k], next = k;
      }
      cur = next;
    }
  }

  // Global order: the cells' relative depth in their dot, the dots taking
  // turns at equal depth.
  std::vector<int> order(n);
  std::iota(order.begin(), order.end(), 0);
  d.depth.resize(n);
  for (int c = 0; c < n; ++c)
    d.depth[c] = (2 * d.rankIn[c] + 1) * int64_t(1 << 20) / (2 * d.dotSize[d.dotOf[c]]);
  auto depth = [&](int c) { return d.depth[c]; };
  std::sort(order.begin(), order.end(), [&](int p, int q) {
    const int64_t dp = depth(p), dq = depth(q);
    if (dp != dq) return dp < dq;
    return turn[d.dotOf[p]] < turn[d.dotOf[q]];
  });

  // Cut the order into levels. cum[L] is the number of cells at level L or
  // below; it follows the straight tone line (equal shares per level), with
  // nLo cells at the lowest level, nHi held back at the highest, at least
  // one cell per level, and a level boundary right after the dot centres so
  // that every centre stays below all its neighbours. Cells held back at the
  // highest level turn dark only at gray 0, so the darkest levels crowd into
  // what is left rather than bending the whole curve.
  const int levels = t.hi - t.lo + 1;
  std::vector<int64_t> cum(levels);
  const int64_t base = t.nLo, spread = levels - (t.nLo > 0 ? 1 : 0);
  for (int i = 0; i < levels; ++i) {
    const int64_t k = i + 1 - (t.nLo > 0 ? 1 : 0);  // levels shared out so far
    cum[i] = base + ((n - base) * k + spread / 2) / spread;
  }
  if (t.nLo > 0) cum[0] = t.nLo;
  cum[levels - 1] = n;
  if (t.nHi > 0) {
    for (int i = levels - 2; i >= 0; --i) cum[i] = std::min<int64_t>(cum[i], n - t.nHi - (levels - 2 - i));
  }
  {
    int best = 0;
    for (int i = 0; i < levels - 1; ++i)
      if (std::llabs(cum[i] - dots) < std::llabs(cum[best] - dots)) best = i;
    cum[best] = dots;
  }
  for (int i = 1; i < levels; ++i) {
    if (cum[i] <= cum[i - 1]) {
      std::fprintf(stderr, "gen_tiles: %s: level %d is empty\n", t.name, t.lo + i);
      std::exit(1);
    }
  }
  for (int r = 0, i = 0; r < n; ++r) {
    while (r >= cum[i]) ++i;
    d.level[order[r]] = t.lo + i;
  }

  // Required row-0 values: trade levels with the cell of that level whose
  // place in its own dot is closest, so that the histogram stays the same.
  std::vector<bool> pinned(n, false);
  for (const auto& [x, v] : t.row0) pinned[x] = true;
  for (const auto& [x, v] : t.row0) {
    if (d.level[x] == v) continue;
    int bestC = -1;
    int64_t bestCost = INT64_MAX;
    for (int c = 0; c < n; ++c) {
      if (pinned[c] || d.level[c] != v) continue;
      const int64_t cost =
          std::llabs(depth(c) - depth(x)) * 1000 + std::llabs(Quantise(d.key[c] - d.key[x])) / 1000000;
      if (cost < bestCost) bestCost = cost, bestC = c;
    }
    if (bestC < 0) {
      std::fprintf(stderr, "gen_tiles: %s: no cell at level %d\n", t.name, v);
      std::exit(1);
    }
    d.moved += std::llabs(depth(bestC) - depth(x));
    std::swap(d.level[x], d.level[bestC]);
  }
  return d;
}

// Counts cells smaller than all eight neighbours, the tile repeating.
int CountDotCentres(const std::vector<int>& v, int w, int h) {
  int count = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const int c = v[y * w + x];
      bool lowest = true;
      for (int dy = -1; dy <= 1 && lowest; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
          if (!dx && !dy) continue;
          if (v[((y + dy + h) % h) * w + (x + dx + w) % w] <= c) {
            lowest = false;
            break;
          }
        }
      }
      count += lowest;
    }
  }
  return count;
}

// Checks the facts the halftoning code depends on; returns false and says
// why when one fails.
bool Check(const TileSpec& t, const Design& d) {
  bool ok = true;
  auto fail = [&](const char* what) {
    std::fprintf(stderr, "gen_tiles: %s: %s\n", t.name, what);
    ok = false;
  };
  const int centres = CountDotCentres(d.level, t.w, t.h);
  if (centres != t.dots) {
    std::fprintf(stderr, "gen_tiles: %s: %d dot centres, %d expected\n", t.name, centres, t.dots);
    ok = false;
  }
  std::vector<int> hist(256, 0);
  for (int v : d.level) {
    if (v < 0 || v > 255) return fail("level out of range"), false;
    ++hist[v];
  }
  for (int v = 0; v < 256; ++v) {
    const bool want = v >= t.lo && v <= t.hi;
    if (want != (hist[v] > 0)) fail("level coverage");
  }
  if (t.nLo > 0 && hist[t.lo] != t.nLo) fail("count at the lowest level");
  if (t.nHi > 0 && hist[t.hi] != t.nHi) fail("count at the highest level");
  for (const auto& [x, v] : t.row0)
    if (d.level[x] != v) fail("row 0 sample");
  return ok;
}

// Counts the 8-connected clusters of cells below a level (the toner dots
// at the gray 255 - level), the tile repeating at its edges.
int CountClusters(const std::vector<int>& v, int w, int h, int below) {
  return CountWrappedClusters(w, h, [&](int c) { return v[c] < below; });
}

// Tries lattice offsets and hole weights for a tile with required row-0
// values and prints those that keep the values closest to their natural
// place in the dots.
void Search(const TileSpec& t, double step, double range) {
  for (double beta = 0.2; beta <= 1.001; beta += 0.2) {
    for (double oy = 0; oy < range; oy += step) {
      for (double ox = 0; ox < range; ox += step) {
        Lattice l = t.lat;
        l.ox = ox, l.oy = oy;
        const Design d = Build(t, l, beta);
        const int centres = CountDotCentres(d.level, t.w, t.h);
        std::printf("%.2f %.2f %.2f moved %.3f centres %d clusters50 %d\n", beta, ox, oy,
                    double(d.moved) / (1 << 20), centres, CountClusters(d.level, t.w, t.h, 128));
      }
    }
  }
}

// Turns a tile name into the identifier of its array.
std::string ArrayName(const std::string& name) {
  return "k" + name;
}

}  // namespace

// Designs, checks and writes every tile.
int main(int argc, char** argv) {
  const std::vector<TileSpec> cat = Catalogue();
  if (argc == 5 && std::string(argv[1]) == "--search") {
    for (const TileSpec& t : cat)
      if (t.name == std::string(argv[2])) Search(t, std::atof(argv[3]), std::atof(argv[4]));
    return 0;
  }
  if (argc == 2 && std::string(argv[1]) == "--summary") {
    for (const TileSpec& t : cat) {
      const Lattice& l = t.lat;
      const double ux = l.ux / t.rx, uy = l.uy / t.ry, vx = l.vx / t.rx, vy = l.vy / t.ry;
      const double area = std::fabs(ux * vy - uy * vx);
      const double lu = std::hypot(ux, uy), lv = std::hypot(vx, vy);
      const double ax = lu <= lv ? ux : vx, ay = lu <= lv ? uy : vy;
      double angle = std::fmod(std::atan2(-ay, ax) * 180 / M_PI + 360, 90);
      const Design d = Build(t, t.lat, t.beta);
      std::printf("%-34s %3dx%-3d %4.0fx%-4.0f dpi %4d dots %6.1f lpi %5.1f deg sides %.3f moved %.3f\n",
                  t.name, t.w, t.h, t.rx, t.ry, t.dots, 1 / std::sqrt(area), angle,
                  std::max(lu, lv) / std::min(lu, lv), double(d.moved) / (1 << 20));
    }
    return 0;
  }
  if (argc == 2 && std::string(argv[1]) == "--survey") {
    for (const TileSpec& t : cat) {
      if (!t.row0.empty()) continue;
      for (double beta : {0.0, 0.1, 0.25, 0.4, 0.6}) {
        for (double oy : {0.0, 0.5}) {
          for (double ox : {0.0, 0.5}) {
            Lattice l = t.lat;
            l.ox += ox, l.oy += oy;
            const Design d = Build(t, l, beta);
            std::printf("%-34s %.2f %.1f %.1f centres %4d/%4d clusters %d %d %d %d\n", t.name, beta, ox, oy,
                        CountDotCentres(d.level, t.w, t.h), t.dots, CountClusters(d.level, t.w, t.h, 26),
                        CountClusters(d.level, t.w, t.h, 77), CountClusters(d.level, t.w, t.h, 128),
                        CountClusters(d.level, t.w, t.h, 153));
          }
        }
      }
    }
    return 0;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: gen_tiles OUTPUT.cpp | --summary | --survey | --search NAME STEP RANGE\n");
    return 1;
  }
  std::string out;
  out += "// Generated by gen_tiles from tables/gen_tiles.cpp; do not edit.\n";
  out += "#include \"tile_data.h\"\n\nnamespace {\n\n";
  bool ok = true;
  for (const TileSpec& t : cat) {
    const Design d = Build(t, t.lat, t.beta);
    ok = Check(t, d) && ok;
    out += "const BYTE " + ArrayName(t.name) + "[" + std::to_string(t.w * t.h) + "] = {";
    for (size_t i = 0; i < d.level.size(); ++i) {
      out += (i % 24 == 0) ? "\n    " : " ";
      out += std::to_string(d.level[i]) + ",";
    }
    out += "\n};\n\n";
  }
  if (!ok) return 1;
  out += "}  // namespace\n\nconst ThresholdTile kThresholdTiles[] = {\n";
  for (const TileSpec& t : cat) {
    out += "    {\"" + std::string(t.name) + "\", " + std::to_string(t.w) + ", " + std::to_string(t.h) +
           ", " + ArrayName(t.name) + "},\n";
  }
  out += "};\n\nconst int kThresholdTileCount = " + std::to_string(cat.size()) + ";\n";
  FILE* f = std::fopen(argv[1], "wb");
  if (!f) {
    std::perror(argv[1]);
    return 1;
  }
  const bool written = std::fwrite(out.data(), 1, out.size(), f) == out.size();
  if (std::fclose(f) != 0 || !written) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
