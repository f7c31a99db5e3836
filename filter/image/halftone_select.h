// Halftone selection: which screen a page gets (the selection table, by
// resolution and engine), which threshold tiles that screen uses per plane,
// and the density curve folded into the tiles. Read-only tables; the
// halftoning stage and its tests use them.
#pragma once

#include <cups/raster.h>

#include "page_slot.h"
#include "wintypes.h"

// One row of the selection table: a HalftoneType per resolution and engine
// (LPH = LED print head, LSU = laser scanning unit).
struct PrinterHalftoneSelect {
  short LPH600;
  short LSU600;
  short LPH600RET;
  short LSU600RET;
  short LPH1200;
  short LSU1200;
  short LPH2400x600;
  short LSU2400x600;
  short LPH2400x1200;
  short LSU2400x1200;
  short LPH1200x600;
  short LSU1200x600;
  short LPH600x1200;
  short LSU600x1200;
  short LPH600x2400;
  short LSU600x2400;
  short LPH2400x2400;
  short LSU2400x2400;
  short LPH600x400;
  short LSU600x400;
  short LPH600x300;
  short LSU600x300;
  short LPH300RET;
  short LSU300RET;
};
static_assert(sizeof(PrinterHalftoneSelect) == 48, "24 signed 16-bit fields");

inline constexpr int kHalftoneSelectRows = 7;
extern const PrinterHalftoneSelect DrvHalftoneSelect[kHalftoneSelectRows];

// Density exponents by density index 0..9.
inline constexpr int kDensityLevels = 10;
extern const float gammaVal[kDensityLevels];

// Tile of one plane: its name in the tile library and the size it must have.
struct HalftonePlaneTile {
  const char* name;  // nullptr: the plane keeps the default tile
  int h_x;           // cells per row
  int h_y;           // rows
};

// Screen of one HalftoneType: tiles of plane 0 (K or the only plane) and of
// planes 1 to 3 (Y, M, C), the density offset and the trace lines it writes.
struct HalftoneTileSet {
  int HalftoneType;            // 0 marks the fallback for unknown types
  HalftonePlaneTile plane[4];  // K, Y, M, C
  float FixVal;                // added to the density exponent
  bool FixValOffOnA3;          // the offset is 0 on "A3" printers
  const char* trace[4];        // "using ..." lines in the order written; nullptr ends
};

// The default tile every plane starts with.
inline constexpr HalftonePlaneTile kDefaultPlaneTile = {"FINE_TAry_128", 128, 128};

// Tile set of a HalftoneType; unknown types get the fallback set.
const HalftoneTileSet& FindHalftoneTileSet(int HalftoneType);
// All tile sets (the 23 types and the fallback last); count in *n.
const HalftoneTileSet* AllHalftoneTileSets(int* n);

// Result of choosing a screen for a page.
struct HalftoneChoice {
  int resolution;  // horizontal dpi, raised to 600 when lower
  int HalftoneType;
  bool changeTable;  // a 1200-dpi page took the 600RET column
};

// Chooses the HalftoneType for a page from its selection row, horizontal
// resolution, "LSU" capability bit and SCALE1200; the row is clamped to 0..6.
HalftoneChoice SelectHalftoneType(int cupsHTable, unsigned hwResolution, bool lsu, bool scale1200);

// Selection row of a slot's cupsHTable, clamped to 0..6.
int ClampHalftoneRow(int cupsHTable);
// Density index of a page: 2 under TonerSave, else Density clamped to 0..9.
int DensityIndex(const cups_page_header2_t& h);
// Quality mode of a page: 1 (border) or 2 (text enhance); anything else is 0.
int HalftoneQualityMode(const cups_page_header2_t& h);

// Fills gammatbl[0..255] with the density curve for exponent gamma:
// trunc(float(float(i/255)^gamma) * 255 + 0.5), the power in double.
void BuildDensityCurve(float gamma, int gammatbl[256]);
// Threshold of a tile cell after the density curve: always 1 to 254.
BYTE CellThreshold(int g);

// Screens a slot's gray page with the tiles of one HalftoneType, exactly as
// ApplyHalftone does once it has chosen that type (any int: unknown types
// take the fallback tile).
BOOL ApplyHalftoneType(PageSlot* slot, int HalftoneType);
