// Screening as the page is read: a page that needs no whole-page step
// before its screen (not zero-edge, not scaled, laid out on its printable
// area only by clipping and padding, no border filter) goes from each
// raster line through gray conversion or colour separation, the layout and
// the screen straight into its 1-bit planes. The slot never holds the page
// in 8 bits, only a few lines of it. Every line takes the steps the
// whole-page path takes, in the same order and through the same
// functions, so both paths give the same bits.
#include <cups/raster.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "acquire_lines.h"
#include "colour_pages.h"
#include "feature_bits.h"
#include "image.h"
#include "line_screen.h"
#include "shims.h"
#include "trace.h"

namespace acquire_detail {

namespace {

using Buffer = std::unique_ptr<BYTE, FreeDeleter>;

// Turns one raster line of a page that is not separated into page_width
// gray bytes, as the whole-page read and the gray conversion (with the ink
// inversion) do; counts its pixels that are not white. raw == nullptr: a
// line the raster does not have (padding rows, a blank page).
void GrayLine(const cups_page_header2_t& h, const PageGeometry& g, const BYTE* raw, BYTE* gray, DWORD* dots) {
  const std::size_t width = h.cupsWidth, lineBytes = g.page_width;
  const unsigned bpp = h.cupsBitsPerPixel;
  const bool cmyk = h.cupsColorSpace == CUPS_CSPACE_CMYK && bpp == 32;
  if (!raw) {
    // The whole-page read fills such rows with the format's white; only a
    // CMYK raster's white (all inks) is not white once converted.
    if (cmyk) {
      std::vector<BYTE> inks(width * 4, 0xFF);
      CmykLineToGray(inks.data(), gray, width, lineBytes);
    } else {
      std::memset(gray, 255, lineBytes);
    }
    return;
  }
  if (bpp < 8) {
    ExpandLowBitLine(raw, gray, h.cupsWidth, bpp, LightIsOne(h.cupsColorSpace));
    std::memset(gray + width, 255, lineBytes - width);
    *dots += CountOtherThan(gray, width, 0xFF);
  } else if (bpp == 8) {
    const bool ink = InkPolarityPage(h);
    const BYTE white = ink ? 0x00 : 0xFF;
    std::memcpy(gray, raw, width);
    std::memset(gray + width, white, lineBytes - width);
    *dots += CountOtherThan(gray, width, white);
    if (ink)
      for (std::size_t x = 0; x < lineBytes; ++x) gray[x] = static_cast<BYTE>(255 - gray[x]);
  } else {
    *dots += CountOtherThan(raw, static_cast<std::size_t>(g.dataBytes), 0xFF);
    if (cmyk) {
      CmykLineToGray(raw, gray, width, lineBytes);
    } else {
      RgbLineToGray(raw, gray, width, bpp / 8);
      std::memset(gray + width, 255, lineBytes - width);
    }
  }
}

}  // namespace

int AcquireScreenedPage(PageSlot* slot, const PageGeometry& g, Separation kind, BOOL blank, DWORD* BlackDot) {
  static const char FUNCNAME[] = "GetCUPSPageDataEx";
  cups_page_header2_t& h = slot->inheader;
  cups_raster_t* const ras = slot->Settings().inras;
  DWORD width = 0, height = 0;
  if ((slot->DriverFeature & DF_BORDER_FILTER) || !GeometryOnlyPlaces(*slot, &width, &height) ||
      (kind == Separation::CmykRaster && PageDumpsEnabled()))
    return -1;

  // A colour mode the page cannot fill is one gray plane, as on the
  // whole-page path.
  const ColourMode mode = slot->colourMode;
  if (kind == Separation::None && PlaneCount(mode) > 1) {
    slot->colourMode = ColourMode::Mono;
    DbgMessage(FUNCNAME, "ColorMode %u on a page without colour planes: one gray plane",
               static_cast<unsigned>(mode));
  }
  const LineScreen screen(*slot);
  if (!screen.Ok()) {
    slot->colourMode = mode;
    return -1;
  }

  // The planes as laid out: width x height per plane, 1 bit a pixel.
  const DWORD planes = SeparationPlanes(kind);
  const std::size_t outLine = width / 8;
  const std::size_t planeBytes = outLine * height;
  const std::size_t srcWidth = slot->page_width, srcHeight = slot->page_height;
  const std::size_t grayWidth = srcWidth > width ? srcWidth : width;
  PageBuffer bits = PageBuffer::Allocate(planeBytes * planes);
  Buffer row(static_cast<BYTE*>(std::malloc(h.cupsBytesPerLine)));
  // Gray lines of the planes, each white past the page's own width.
  Buffer gray(static_cast<BYTE*>(std::malloc(grayWidth * planes)));
  if (!bits || !row || !gray) {
    ReportRefusedPage(slot, "not enough memory for the page");
    return 0;
  }
  std::memset(gray.get(), 255, grayWidth * planes);
  std::unique_ptr<PageSeparation> sep;
  if (kind != Separation::None) {
    sep = std::make_unique<PageSeparation>(slot, kind, true);
    if (!sep->Begin()) {
      ReportRefusedPage(slot, "colour separation failed (memory, colour plug-in or its profile missing)");
      return 0;
    }
  }
  DbgMessage(FUNCNAME, "screened as read: %u x %u pixels, %u planes", static_cast<unsigned>(width),
             static_cast<unsigned>(height), static_cast<unsigned>(planes));

  // Every raster line is read, also those the layout clips; rows past the
  // raster are white.
  DWORD dots = 0;
  bool cancelled = false;
  const std::size_t rows = height > h.cupsHeight ? height : h.cupsHeight;
  for (std::size_t y = 0; y < rows; ++y) {
    const bool fromRaster = !blank && y < h.cupsHeight;
    if (fromRaster && cupsRasterReadPixels(ras, row.get(), h.cupsBytesPerLine) != h.cupsBytesPerLine) {
      DbgMessage(FUNCNAME, "raster ends at line %u of %u", static_cast<unsigned>(y), h.cupsHeight);
      ReportRefusedPage(slot, "raster data ends early");
      return 0;
    }
    // A cancelled job's page is read to its end, so that the raster stays
    // in step, but no longer screened: the worker hands it on empty.
    if (!cancelled && slot->Cancelled()) {
      DbgMessage(FUNCNAME, "Cancel job");
      cancelled = true;
    }
    if (y >= height || cancelled) continue;
    if (sep) {
      // Lines the separation is not given are white in every plane.
      if (fromRaster) {
        sep->Line(row.get(), h.cupsWidth, h.cupsBitsPerPixel / 8);
        for (DWORD p = 0; p < planes; ++p)
          std::memcpy(gray.get() + p * grayWidth, sep->PlaneLine(p), srcWidth);
      } else if (y == h.cupsHeight) {
        std::memset(gray.get(), 255, grayWidth * planes);
      }
    } else if (y < srcHeight) {
      GrayLine(h, g, fromRaster ? row.get() : nullptr, gray.get(), &dots);
    } else if (y == srcHeight) {
      std::memset(gray.get(), 255, grayWidth);
    }
    for (DWORD p = 0; p < planes; ++p) {
      // A four-colour page has a screen per plane; the two planes of a
      // black-and-red page are screened as one plane of twice the rows.
      const bool own = screen.Planes() == planes;
      BYTE* out = bits.data() + p * planeBytes + y * outLine;
      screen.Line(own ? p : 0, own ? y : p * height + y, gray.get() + p * grayWidth, width, out, outLine);
      for (std::size_t k = 0; k < outLine; ++k)
        out[k] = static_cast<BYTE>(~out[k]);  // 1 = toner from here on
    }
  }
  if (sep) {
    sep->Install();
    dots = static_cast<DWORD>(sep->Inked());
  }
  if (!blank) {
    *BlackDot = dots;
    DbgMessage(FUNCNAME, "Black dot = %u", static_cast<unsigned>(dots));
  }

  // The header as the whole-page read leaves it: expanded pages are 8-bit gray.
  if (h.cupsBitsPerPixel < 8) {
    h.cupsBitsPerPixel = 8;
    h.cupsBitsPerColor = 8;
    h.cupsBytesPerLine = h.cupsWidth;
    h.cupsColorSpace = CUPS_CSPACE_W;
  }
  if (cancelled) bits.Reset();
  slot->page = std::move(bits);
  slot->page_width = width;
  slot->page_height = height * planes;
  slot->linebyte = static_cast<DWORD>(outLine);
  slot->StoreFlag(slot->LoadFlag() | SLOT_GEOMETRY_DONE | SLOT_SCREENED);
  return 1;
}

}  // namespace acquire_detail
