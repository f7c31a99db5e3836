// Clustered-dot threshold tiles of the halftoning stage. A tile is a
// width x height array of thresholds, row by row, repeated over the page.
#pragma once

#include "wintypes.h"

struct ThresholdTile {
  const char* name;   // e.g. "FINE_TAry_128"
  int width;          // cells per row
  int height;         // rows
  const BYTE* cells;  // width * height thresholds
};

// The tile of that name, or nullptr when there is none.
const ThresholdTile* FindThresholdTile(const char* name);
// All tiles, for tests and tools; count in *n.
const ThresholdTile* AllThresholdTiles(int* n);
