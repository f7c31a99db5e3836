// The generated tile catalogue, shared by the lookup functions only.
#pragma once

#include "halftone_tiles.h"

extern const ThresholdTile kThresholdTiles[];  // every tile, in catalogue order
extern const int kThresholdTileCount;          // entries in kThresholdTiles
