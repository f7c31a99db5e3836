// Lookup of the built-in threshold tiles by name.
#include "halftone_tiles.h"

#include <cstring>

#include "tile_data.h"

// Finds the tile of that name; nullptr for an unknown or missing name.
const ThresholdTile* FindThresholdTile(const char* name) {
  if (name == nullptr) return nullptr;
  for (int i = 0; i < kThresholdTileCount; ++i) {
    if (std::strcmp(kThresholdTiles[i].name, name) == 0) return &kThresholdTiles[i];
  }
  return nullptr;
}

// Hands out the whole catalogue and its length.
const ThresholdTile* AllThresholdTiles(int* n) {
  if (n != nullptr) *n = kThresholdTileCount;
  return kThresholdTiles;
}
