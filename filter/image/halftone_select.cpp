// Halftone selection table, tile sets per HalftoneType, density exponents
// and the density curve.
#include "halftone_select.h"

#include <cmath>

// clang-format off
const PrinterHalftoneSelect DrvHalftoneSelect[kHalftoneSelectRows] = {
  // 600  600  600RET 1200  2400x600 2400x1200 1200x600 600x1200 600x2400 2400x2400 600x400 600x300 300RET
  //  LPH LSU  LPH LSU LPH LSU LPH LSU  LPH LSU  LPH LSU  LPH LSU  LPH LSU  LPH LSU  LPH LSU  LPH LSU  LPH LSU
  {   1,  2,   3,  8,  7,  7, 10, 10,  11, 11,  14, 14,  13, 13,  13, 13,  11, 11,  18, 18,  18, 18,   1,  2},
  {   5,  5,   3,  8,  7,  7, 10, 10,  11, 11,  14, 14,  13, 13,  13, 13,  11, 11,  18, 18,  18, 18,   5,  5},
  {   1,  2,   3,  8,  7,  7, 10, 10,  11, 11,  14, 14,  13, 13,  13, 13,  11, 11,  18, 18,  18, 18,   1,  2},
  {   1,  5,   4,  8, 21, 21, 10, 10,  11, 11,  14, 14,  13, 13,  13, 13,  11, 11,  18, 18,  18, 18,   1,  5},
  {  17, 17,   9,  9,  9,  9,  9,  9,   9,  9,   9,  9,  16, 16,  15, 15,   9,  9,   9,  9,  17, 17,  17, 17},
  {   5,  5,   3, 19,  7,  7, 10, 10,  11, 11,  14, 14,  13, 13,  13, 13,  11, 11,  18, 18,  18, 18,  23, 23},
  {   5,  5,   3, 20,  7,  7, 10, 10,  11, 11,  14, 14,  13, 13,  13, 13,  11, 11,  18, 18,  22, 22,   5,  5},
};
// clang-format on

const float gammaVal[kDensityLevels] = {0.4f, 0.6f, 1.0f, 1.35f, 2.0f, 2.35f, 3.5f, 4.5f, 6.0f, 8.0f};

namespace {

constexpr HalftonePlaneTile kNone = {nullptr, 0, 0};

// Single-tile screen: plane 0 replaced, planes 1 to 3 keep the default.
constexpr HalftoneTileSet Mono(int type, const char* name, int w, int h, float fix = 0.0f,
                               bool offOnA3 = false, const char* trace = nullptr) {
  return {type, {{name, w, h}, kNone, kNone, kNone}, fix, offOnA3, {trace, nullptr, nullptr, nullptr}};
}

// Four-tile colour screen: traces Y, M, C, then K.
constexpr HalftoneTileSet Colour(int type, const char* k, int kw, int kh, const char* y, const char* m,
                                 const char* c, int cw, int ch, const char* ty, const char* tm,
                                 const char* tc, const char* tk) {
  return {type, {{k, kw, kh}, {y, cw, ch}, {m, cw, ch}, {c, cw, ch}}, 0.0f, false, {ty, tm, tc, tk}};
}

// clang-format off
const HalftoneTileSet kTileSets[] = {
  Mono(1, "FINE_TAry_128", 128, 128, 0.3f, true, "using FINE_TAry_128"),
  Mono(2, "LSU_106_K60", 64, 64, 0.3f, true, "using LSU_106_K60"),
  Mono(3, "Pimmet2_212", 64, 64, 0.0f, false, "using Pimmet2_212"),
  Mono(4, "Oskel_212", 64, 64, 0.0f, false, "using Oskel_212"),
  Mono(5, "Oskel_106", 64, 64, 0.0f, false, "using Oskel_106"),
  Mono(6, "Oskel_1200_160", 64, 64, 0.0f, false, "using Oskel_1200_160"),
  Mono(7, "ZQ3_A4_1200_106LPI", 64, 64, 0.0f, false, "using ZQ3_A4_1200_106LPI"),
  Mono(8, "A4_Vlor2_600Ret_212_64x64_GDI", 64, 64, 1.0f, false, "using A4_Vlor2_600Ret_212_64x64_GDI"),
  Colour(9, "cmyk_96_96_k", 96, 96, "cmyk_128_128_y", "cmyk_128_128_m", "cmyk_128_128_c", 128, 128,
         "using cmyk_128_128_y", "using cmyk_128_128_m", "using cmyk_128_128_c", "using cmyk_96_96_k"),
  Mono(10, "Identity_141_2400x600_240x60", 240, 60, 0.0f, false, "using Identity_141_2400x600_240x60"),
  Mono(11, "K141_2400x1200_240x120", 240, 120, 0.0f, false, "using K141_2400x1200_240x120"),
  Mono(12, "K212_1200_600", 128, 64, 0.0f, false, "using K212_1200_600"),
  Mono(13, "K141_600_1200", 60, 120, 0.0f, false, "using K141_600_1200"),
  Mono(14, "K141_1200x600_192x96", 192, 96, 0.0f, false, "using K141_1200x600_192x96"),
  Colour(15, "COLOR_K_600_2400", 64, 256, "COLOR_Y_600_2400", "COLOR_M_600_2400", "COLOR_C_600_2400", 64, 256,
         "using COLOR_Y_600_2400", "using COLOR_M_600_2400", "using COLOR_C_600_2400", "using COLOR_K_600_2400"),
  Colour(16, "COLOR_K_600_1200", 96, 192, "COLOR_Y_600_1200", "COLOR_M_600_1200", "COLOR_C_600_1200", 128, 256,
         "using COLOR_Y_600_1200", "using COLOR_M_600_1200", "using COLOR_C_600_1200", "using COLOR_K_600_1200"),
  Colour(17, "COLOR_K_180_180", 180, 180, "COLOR_Y_180_180", "COLOR_M_180_180", "COLOR_C_180_180", 180, 180,
         "using COLOR_Y_180_180", "using COLOR_M_180_180", "using COLOR_C_180_180", "using COLOR_K_180_180"),
  Mono(18, "K600x400L_180x120", 180, 120, 0.0f, false, "using K600x400L_180x120"),
  Mono(19, "A4_Vlor3_600Ret_212_64x64_GDI_5", 64, 64, 0.0f, false, "using A4_Vlor3_600Ret_212_64x64_GDI_5"),
  Mono(20, "A4_VlorQ_600Ret_212_64x64_GDI_1", 64, 64, 0.0f, false, "using A4_VlorQ_600Ret_212_64x64_GDI_1"),
  Mono(21, "Oskel_1200_168_64x64_GDI_1", 64, 64, 0.0f, false, "using Oskel_1200_168_64x64_GDI_1"),
  Mono(22, "PimmetQ_600x300_141_96x48", 96, 48, 0.0f, false, "using HALFTONE_PimmetQ_600x300_141_96x48_H"),
  Mono(23, "TBL_300_84_60_60_H", 60, 60, 0.0f, false, "using TBL_300_84_60_60_H"),
  // Fallback for any other type: the default tile, no offset.
  Mono(0, "FINE_TAry_128", 128, 128, 0.0f, false, "using FINE_TAry_128"),
};
// clang-format on

constexpr int kTileSetCount = static_cast<int>(sizeof kTileSets / sizeof kTileSets[0]);

}  // namespace

// Tile set of a HalftoneType; unknown types get the fallback set.
const HalftoneTileSet& FindHalftoneTileSet(int HalftoneType) {
  for (int i = 0; i < kTileSetCount - 1; ++i)
    if (kTileSets[i].HalftoneType == HalftoneType) return kTileSets[i];
  return kTileSets[kTileSetCount - 1];
}

// All tile sets, the fallback last.
const HalftoneTileSet* AllHalftoneTileSets(int* n) {
  *n = kTileSetCount;
  return kTileSets;
}

// Selection row of a slot's cupsHTable, clamped to 0..6.
int ClampHalftoneRow(int cupsHTable) {
  if (cupsHTable < 0) return 0;
  if (cupsHTable >= kHalftoneSelectRows) return kHalftoneSelectRows - 1;
  return cupsHTable;
}

// Chooses the HalftoneType for a page from the selection table.
HalftoneChoice SelectHalftoneType(int cupsHTable, unsigned hwResolution, bool lsu, bool scale1200) {
  const PrinterHalftoneSelect& row = DrvHalftoneSelect[ClampHalftoneRow(cupsHTable)];
  HalftoneChoice c{};
  // Lower resolutions are screened with the 600-dpi tiles; dpi above any
  // table column keep the int range by saturating.
  c.resolution =
      hwResolution < 600 ? 600 : (hwResolution > 0x7fffffffu ? 0x7fffffff : static_cast<int>(hwResolution));
  if (c.resolution == 600) {
    c.HalftoneType = lsu ? row.LSU600 : row.LPH600;
  } else if (c.resolution == 1200) {
    c.HalftoneType = lsu ? row.LSU1200 : row.LPH1200;
    if (scale1200) {
      c.changeTable = true;
      c.HalftoneType = lsu ? row.LSU600RET : row.LPH600RET;
    }
  } else {
    c.HalftoneType = 1;
  }
  return c;
}

// Density index of a page: 2 under TonerSave, else Density clamped to 0..9.
int DensityIndex(const cups_page_header2_t& h) {
  if (h.cupsInteger[0] != 0) return 2;
  // The option slots are unsigned; a negative value written by a front end
  // arrives as a huge number and counts as below range.
  int d = static_cast<int>(h.cupsInteger[11]);
  if (d < 0) return 0;
  if (d >= kDensityLevels) return kDensityLevels - 1;
  return d;
}

// Quality mode of a page: 1 (border) or 2 (text enhance); anything else is 0.
int HalftoneQualityMode(const cups_page_header2_t& h) {
  unsigned q = h.cupsInteger[10];
  return (q == 1 || q == 2) ? static_cast<int>(q) : 0;
}

// Fills gammatbl with the density curve for exponent gamma.
void BuildDensityCurve(float gamma, int gammatbl[256]) {
  for (int i = 0; i < 256; ++i) {
    // Mixed precision on purpose: the base and the scaled power are single,
    // the power itself and the rounding addend double.
    float base = static_cast<float>(i) / 255.0f;
    float power = static_cast<float>(std::pow(static_cast<double>(base), static_cast<double>(gamma)));
    float scaled = power * 255.0f;
    gammatbl[i] = static_cast<int>(static_cast<double>(scaled) + 0.5);
  }
}

// Threshold of a tile cell after the density curve: always 1 to 254.
BYTE CellThreshold(int g) {
  if (g >= 254) return 1;
  if (g <= 0) return 254;
  return static_cast<BYTE>(255 - g);
}
