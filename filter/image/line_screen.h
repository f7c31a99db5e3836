// Screening line by line: the threshold tiles of a page's screen, built
// once, so that a page can be screened as its lines are read as well as
// whole (ApplyHalftone screens through the same tiles, so both give the
// same bits).
#pragma once

#include <cstddef>
#include <vector>

#include "page_slot.h"
#include "wintypes.h"

class LineScreen {
 public:
  // The screen ApplyHalftone chooses for the slot's page (selection row,
  // resolution, engine, density from its header and job settings).
  explicit LineScreen(const PageSlot& slot);
  // The screen of one HalftoneType, as ApplyHalftoneType uses it.
  LineScreen(const PageSlot& slot, int HalftoneType);

  // False when a tile is missing or misfit, or there was no memory.
  bool Ok() const { return tiles_.size() == planes_; }
  // Screened planes: 4 for a four-colour page, else 1 (the black and the
  // red plane of a black-and-red page are screened as one plane, its tile
  // rows running on from the black into the red).
  DWORD Planes() const { return planes_; }
  // Screens `pixels` gray bytes (0 black, 255 white) of line `row` of
  // screened plane `plane` into `bytes` bytes of 1 bit a pixel, 1 for light
  // pixels and 0 past the last pixel. out must not alias gray.
  void Line(DWORD plane, std::size_t row, const BYTE* gray, std::size_t pixels, BYTE* out,
            std::size_t bytes) const;

 private:
  struct Tile {
    std::size_t period = 0;  // thresholds a row repeats after (a multiple of the tile's width, >= 16)
    std::size_t stride = 0;  // bytes of a row: the period and 16 more
    std::size_t height = 0;  // rows of the tile
    std::vector<BYTE> rows;
  };
  std::vector<Tile> tiles_;
  DWORD planes_ = 1;
};
