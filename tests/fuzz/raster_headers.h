// The part of a raster stream the job target hands the filter. libcups
// sizes a compressed stream's line buffer from a page header before anyone
// can look at it (libcups 2.4.2 callocs cupsBytesPerLine bytes, up to 4 GB,
// and only then validates); the filter refuses such a header right after,
// but under libFuzzer's memory limit the allocation alone ends the run. So
// the target finds every header of a compressed stream where libcups will
// read it and asks the filter's own question (RefusedPageHeader) first.
#pragma once

#include <cups/raster.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "page_loop.h"

namespace fuzz {

// Bytes of the stream up to the first header the filter refuses, following
// a compressed stream as libcups reads it while the filter takes every row
// of every page it accepts. Uncompressed streams are passed whole (libcups
// allocates nothing from their headers), as is a stream that ends early
// (nor from a header it cannot read in full). Apple raster, which the
// filter is never given, is cut after its sync word.
inline std::size_t RasterTheFilterTakes(std::string_view in) {
  unsigned sync;
  if (in.size() < sizeof sync) return in.size();
  std::memcpy(&sync, in.data(), sizeof sync);
  if (sync == CUPS_RASTER_SYNCapple || sync == CUPS_RASTER_REVSYNCapple) return sizeof sync;
  if (sync != CUPS_RASTER_SYNCv2 && sync != CUPS_RASTER_REVSYNCv2) return in.size();
  const bool swapped = sync == CUPS_RASTER_REVSYNCv2;
  const std::size_t headerLen = sizeof(cups_page_header2_t);
  auto byte = [&in](std::uint64_t at) { return static_cast<unsigned char>(in[at]); };

  std::uint64_t pos = sizeof sync;
  while (pos + headerLen <= in.size()) {
    cups_page_header2_t h{};
    std::memcpy(&h, in.data() + pos, headerLen);
    if (swapped) {
      // As libcups swaps: the 81 numeric words from AdvanceDistance on.
      unsigned char* w =
          reinterpret_cast<unsigned char*>(&h) + offsetof(cups_page_header2_t, AdvanceDistance);
      for (int i = 0; i < 81; ++i, w += 4) {
        std::swap(w[0], w[3]);
        std::swap(w[1], w[2]);
      }
    }
    if (RefusedPageHeader(h)) return pos;
    pos += headerLen;

    const std::uint64_t bpl = h.cupsBytesPerLine;
    // Each coded line: a repeat count (the rows it stands for), then runs of
    // pixels until the line is full, as cupsRasterReadPixels decodes them.
    // libcups' pixel unit; a header the filter takes has one colour or
    // chunked pixels, so it is the pixel's bytes either way.
    const std::uint64_t bpp = (h.cupsBitsPerPixel + 7) / 8;
    for (std::uint64_t rows = 0; rows < h.cupsHeight;) {
      if (pos >= in.size()) return in.size();
      rows += byte(pos++) + 1u;
      for (std::uint64_t left = bpl; left > 0;) {
        if (pos >= in.size()) return in.size();
        const unsigned run = byte(pos++);
        if (run == 128) break;  // the rest of the line is blank
        if (run & 128) {        // literal pixels
          const std::uint64_t n = std::min<std::uint64_t>((257 - run) * bpp, left);
          pos += n;
          left -= n;
        } else {  // one pixel repeated
          const std::uint64_t n = std::min<std::uint64_t>((run + 1) * bpp, left);
          if (n < bpp) break;
          pos += bpp;
          left -= n;
        }
      }
    }
  }
  return in.size();
}

}  // namespace fuzz
