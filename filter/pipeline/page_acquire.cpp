// Page acquisition: reads one raster page into its slot's page buffer,
// separates colour pages into planes as they are read, brings every other
// depth to one byte per pixel in gray and runs the page geometry where the
// pixels already have their final polarity.
#include <cups/raster.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "acquire_lines.h"
#include "colour_pages.h"
#include "image.h"
#include "page_pipeline.h"
#include "shims.h"
#include "trace.h"

namespace acquire_detail {

// A single-colour space whose sample value 1 means white (light), not ink.
bool LightIsOne(unsigned cspace) {
  return cspace == CUPS_CSPACE_W || cspace == CUPS_CSPACE_SW;
}

// 8-bit pages in the K space hold ink amounts: 0 is white until the worker
// turns them into gray. Such pages keep that polarity through acquisition.
bool InkPolarityPage(const cups_page_header2_t& h) {
  return h.cupsColorSpace == CUPS_CSPACE_K && h.cupsBitsPerPixel == 8;
}

void ReportRefusedPage(const PageSlot* slot, const char* why) {
  const cups_page_header2_t& h = slot->inheader;
  CupsMessage(slot->Err(), "ERROR: ",
              "Page %u cannot be printed: %s (%u x %u pixels, %u bits per pixel, %u bytes per line)",
              static_cast<unsigned>(slot->PageIndex) + 1, why, h.cupsWidth, h.cupsHeight, h.cupsBitsPerPixel,
              h.cupsBytesPerLine);
}

void ExpandLowBitLine(const BYTE* src, BYTE* dst, unsigned width, unsigned bits, bool lightIsOne) {
  const unsigned maxv = (1u << bits) - 1;
  const unsigned perByte = 8 / bits;
  for (unsigned x = 0; x < width; ++x) {
    const unsigned shift = 8 - bits * (x % perByte + 1);
    const unsigned v = (src[x / perByte] >> shift) & maxv;
    const unsigned light = v * 255 / maxv;
    dst[x] = static_cast<BYTE>(lightIsOne ? light : 255 - light);
  }
}

void CmykLineToGray(const BYTE* s, BYTE* d, std::size_t width, std::size_t lineBytes) {
  for (std::size_t x = 0; x < lineBytes; ++x) {
    unsigned gray = 255;
    if (x < width) {
      const BYTE* p = s + x * 4;
      unsigned ink = p[3] + (30u * p[0] + 59u * p[1] + 11u * p[2]) / 100u;
      gray = ink >= 255 ? 0 : 255 - ink;
    }
    d[x] = static_cast<BYTE>(gray);
  }
}

// Byte lanes count the matches, and are summed before they can overflow.
DWORD CountOtherThan(const BYTE* p, std::size_t n, BYTE value) {
  std::size_t x = 0;
  std::uint64_t same = 0;
#if defined(__SSE2__)
  const __m128i v = _mm_set1_epi8(static_cast<char>(value));
  const __m128i zero = _mm_setzero_si128();
  __m128i total = zero;
  while (x + 16 <= n) {
    __m128i lanes = zero;
    for (int k = 0; k < 255 && x + 16 <= n; ++k, x += 16) {
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + x));
      lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(b, v));
    }
    total = _mm_add_epi64(total, _mm_sad_epu8(lanes, zero));
  }
  same = static_cast<std::uint64_t>(_mm_cvtsi128_si64(total)) +
         static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(total, total)));
#endif
  for (; x < n; ++x) same += p[x] == value;
  return static_cast<DWORD>(n - same);
}

}  // namespace acquire_detail

namespace {

using namespace acquire_detail;
using RowBuffer = std::unique_ptr<BYTE, FreeDeleter>;

std::uint64_t RoundUp32(std::uint64_t v) {
  return (v + 31) / 32 * 32;
}

// Gray conversion of a chunky 32-bit CMYK page for a printer without four
// colours, in place: each gray line lands at or before the CMYK bytes it
// comes from, which have been read by then.
void CmykToGray(PageSlot* slot, unsigned width) {
  static const char FUNCNAME[] = "CmykToGray";
  const std::uint64_t lines = slot->page_height;
  const std::uint64_t srcStep = slot->linebyte;
  const std::uint64_t dstStep = slot->page_width;
  BYTE* const page = slot->page.data();
  for (std::uint64_t y = 0; y < lines; ++y)
    CmykLineToGray(page + y * srcStep, page + y * dstStep, width, dstStep);
  slot->linebyte = slot->page_width;
  slot->page.Truncate(std::size_t{slot->linebyte} * slot->page_height);
  DbgMessage(FUNCNAME, "CMYK page converted to gray, linebyte = %u", static_cast<unsigned>(slot->linebyte));
}

// Gray conversion of a page that is not separated into colour planes: deep
// pages become one gray plane, and a colour mode the page cannot fill (a
// gray page, or a CMYK raster for a printer without four colours) is set to
// one plane so that no stage looks for planes that are not there.
BOOL ConvertToGray(PageSlot* slot) {
  static const char FUNCNAME[] = "GetCUPSPageDataEx";
  cups_page_header2_t& h = slot->inheader;
  const ColourMode mode = slot->colourMode;

  if (h.cupsColorSpace == CUPS_CSPACE_CMYK && h.cupsBitsPerPixel == 32) {
    CmykToGray(slot, h.cupsWidth);
  } else if (h.cupsBitsPerPixel > 8) {
    const DWORD grayLine = GetBMPBytesPerLine(8, static_cast<LONG>(slot->page_width));
    ImageToGray(slot);
    if (!slot->page || slot->linebyte != grayLine) {
      DbgMessage(FUNCNAME, "ImageToGray fail!");
      return FALSE;
    }
  }
  if (PlaneCount(mode) > 1) {
    slot->colourMode = ColourMode::Mono;
    DbgMessage(FUNCNAME, "ColorMode %u on a page without colour planes: one gray plane",
               static_cast<unsigned>(mode));
  }
  return TRUE;
}

// Reads a colour page and separates it into its planes line by line, so
// that the colour page as read is never held whole. FALSE (with an
// "ERROR:" line) when the separation cannot be had or the raster ends
// early; the slot then holds no page.
BOOL AcquireColourPage(PageSlot* slot, Separation kind, BOOL blank, DWORD* BlackDot) {
  static const char FUNCNAME[] = "GetCUPSPageDataEx";
  const cups_page_header2_t& h = slot->inheader;
  const unsigned bpl = h.cupsBytesPerLine;
  slot->page.Reset();
  RowBuffer row(static_cast<BYTE*>(std::malloc(bpl)));
  PageSeparation sep(slot, kind);
  if (!row || !sep.Begin()) {
    ReportRefusedPage(slot, "colour separation failed (not enough memory)");
    return FALSE;
  }
  if (!blank) {
    DbgMessage(FUNCNAME, "App data");
    for (unsigned y = 0; y < h.cupsHeight; ++y) {
      if (cupsRasterReadPixels(slot->Settings().inras, row.get(), bpl) != bpl) {
        DbgMessage(FUNCNAME, "raster ends at line %u of %u", y, h.cupsHeight);
        ReportRefusedPage(slot, "raster data ends early");
        return FALSE;
      }
      sep.Line(row.get(), h.cupsWidth, h.cupsBitsPerPixel / 8);
    }
  }
  if (!blank) {
    const DWORD dots = static_cast<DWORD>(sep.Inked());
    *BlackDot = dots;
    DbgMessage(FUNCNAME, "Black dot = %u", static_cast<unsigned>(dots));
  }
  sep.Install();
  return TRUE;
}

// Reads the page's raster lines into the page buffer, straight into place
// where a raster line fits the buffer's line, and makes the padding of each
// line and the rows below the raster white. Counts the pixels that are not
// white on the way, while each line is still in the cache.
BOOL ReadPageLines(PageSlot* slot, const PageGeometry& g, BYTE* row, BYTE white, DWORD* dots) {
  static const char FUNCNAME[] = "GetCUPSPageDataEx";
  const cups_page_header2_t& h = slot->inheader;
  const unsigned bpl = h.cupsBytesPerLine;
  const bool lowBit = h.cupsBitsPerPixel < 8;
  const bool lightIsOne = LightIsOne(h.cupsColorSpace);
  const bool direct = !lowBit && bpl <= g.linebyte;
  const std::size_t filled = lowBit ? h.cupsWidth : g.dataBytes;
  if (bpl > g.dataBytes)
    DbgMessage(FUNCNAME, "line of %u bytes, %u bytes of pixels: excess dropped", bpl,
               static_cast<unsigned>(g.dataBytes));
  DWORD count = 0;
  BYTE* const page = slot->page.data();
  for (unsigned y = 0; y < h.cupsHeight; ++y) {
    BYTE* dst = page + static_cast<std::uint64_t>(y) * g.linebyte;
    if (cupsRasterReadPixels(slot->Settings().inras, direct ? dst : row, bpl) != bpl) {
      DbgMessage(FUNCNAME, "raster ends at line %u of %u", y, h.cupsHeight);
      return FALSE;
    }
    if (lowBit)
      ExpandLowBitLine(row, dst, h.cupsWidth, h.cupsBitsPerPixel, lightIsOne);
    else if (!direct)
      std::memcpy(dst, row, g.dataBytes);
    std::memset(dst + filled, white, g.linebyte - filled);
    count += CountOtherThan(dst, filled, white);
  }
  const std::uint64_t done = std::uint64_t{h.cupsHeight} * g.linebyte;
  std::memset(page + done, white, g.pagesize - done);
  *dots = count;
  return TRUE;
}

// Runs crop, scaling and whole-page fit on the slot, tracing the failed step.
BOOL RunGeometry(PageSlot* slot, const char* FUNCNAME) {
  if (!Lib_DoImageCrop(slot)) {
    DbgMessage(FUNCNAME, "Lib_DoImageCrop fail!");
    return FALSE;
  }
  if (!Lib_DoScaling(slot)) {
    DbgMessage(FUNCNAME, "Lib_DoScaling fail!");
    return FALSE;
  }
  if (!Lib_DoWholePage(slot)) {
    DbgMessage(FUNCNAME, "Lib_DoWholePage fail!");
    return FALSE;
  }
  return TRUE;
}

// Colour spaces whose samples the filter can read at a depth: gray and
// black in one colour, RGB in three or four bytes, CMYK in four. Others
// (CIE, ICC-based, DeviceN, the deprecated orders) would be misread.
bool KnownColourSpace(unsigned cspace, unsigned bpp, bool oneColour) {
  switch (cspace) {
    case CUPS_CSPACE_W:
    case CUPS_CSPACE_SW:
    case CUPS_CSPACE_K:
      return oneColour;
    case CUPS_CSPACE_RGB:
    case CUPS_CSPACE_SRGB:
    case CUPS_CSPACE_ADOBERGB:
      return bpp == 24;
    case CUPS_CSPACE_RGBA:
    case CUPS_CSPACE_RGBW:
    case CUPS_CSPACE_CMYK:
      return bpp == 32;
    default:
      return false;
  }
}

}  // namespace

// Runs the page geometry on a slot for the worker thread.
BOOL RunPageGeometry(PageSlot* slot, const char* FUNCNAME) {
  return RunGeometry(slot, FUNCNAME);
}

bool ComputePageGeometry(const cups_page_header2_t& h, PageGeometry* g, const char** why) {
  const unsigned bpp = h.cupsBitsPerPixel;
  const unsigned bpc = h.cupsBitsPerColor;
  *g = PageGeometry{};
  if (h.cupsWidth == 0 || h.cupsHeight == 0) {
    *why = "empty page";
    return false;
  }
  const bool oneColour = bpp == bpc;
  const bool supported =
      ((bpp == 1 || bpp == 2 || bpp == 4 || bpp == 8) && oneColour) || ((bpp == 24 || bpp == 32) && bpc == 8);
  if (!supported) {
    *why = "unsupported pixel depth";
    return false;
  }
  // Taken as the number the stream holds: a value outside the enumeration
  // would be no valid cups_cspace_t to load.
  unsigned cspace;
  static_assert(sizeof cspace == sizeof h.cupsColorSpace);
  std::memcpy(&cspace, &h.cupsColorSpace, sizeof cspace);
  if (!KnownColourSpace(cspace, bpp, oneColour)) {
    *why = "unsupported colour space";
    return false;
  }
  if (!oneColour && h.cupsColorOrder != CUPS_ORDER_CHUNKED) {
    *why = "unsupported colour order";
    return false;
  }
  g->dataBytes = (static_cast<std::uint64_t>(h.cupsWidth) * bpp + 7) / 8;
  if (h.cupsBytesPerLine < g->dataBytes) {
    *why = "line length shorter than width and depth";
    return false;
  }
  if (h.cupsBytesPerLine > kMaxLineBytes) {
    *why = "line too long";
    return false;
  }
  g->bitsPerPixel = bpp < 8 ? 8 : bpp;
  g->page_width = RoundUp32(h.cupsWidth);
  g->page_height = RoundUp32(h.cupsHeight);
  g->padPixels = g->page_width - h.cupsWidth;
  g->linebyte = g->bitsPerPixel * g->page_width / 8;
  if (g->linebyte > kMaxPageBytes || g->page_height > kMaxPageBytes / g->linebyte) {
    *why = "page too large";
    return false;
  }
  g->pagesize = g->linebyte * g->page_height;
  return true;
}

BOOL GetCUPSPageDataEx(PageSlot* slot, BOOL blank, DWORD* BlackDot) {
  static const char FUNCNAME[] = "GetCUPSPageDataEx";
  const DWORD tick = GetTickCount();
  cups_page_header2_t& h = slot->inheader;
  BOOL rc = FALSE;

  PageGeometry g;
  const char* why = "";
  if (!ComputePageGeometry(h, &g, &why) || (why = PageBeyondPrinter(*slot)) != nullptr) {
    DbgMessage(FUNCNAME, "page %u refused: %s", static_cast<unsigned>(slot->PageIndex), why);
    ReportRefusedPage(slot, why);
    DbgMessage(FUNCNAME, "get CUPS data using %f sec, rc = %d", SecondsSince(tick), rc);
    return FALSE;
  }
  slot->page_width = static_cast<DWORD>(g.page_width);
  slot->page_height = static_cast<DWORD>(g.page_height);
  DbgMessage(FUNCNAME, "page_width = %u", static_cast<unsigned>(slot->page_width));
  DbgMessage(FUNCNAME, "page_height = %u", static_cast<unsigned>(slot->page_height));
  slot->padPixels = static_cast<DWORD>(g.padPixels);
  slot->linebyte = static_cast<DWORD>(g.linebyte);
  DbgMessage(FUNCNAME, "lpJob->linebyte = %u", static_cast<unsigned>(slot->linebyte));
  DbgMessage(FUNCNAME, "pagesize = %u bytes", static_cast<unsigned>(g.pagesize));

  const Separation kind = SeparationFor(h, slot->colourMode);
  const int streamed = AcquireScreenedPage(slot, g, kind, blank, BlackDot);
  if (streamed >= 0) {
    rc = streamed;
    DbgMessage(FUNCNAME, "get CUPS data using %f sec, rc = %d", SecondsSince(tick), rc);
    return rc;
  }
  if (kind != Separation::None) {
    rc = AcquireColourPage(slot, kind, blank, BlackDot);
    if (rc && RunGeometry(slot, FUNCNAME)) {
      slot->StoreFlag(slot->LoadFlag() | SLOT_GEOMETRY_DONE);
    } else if (rc) {
      rc = FALSE;
      ReportRefusedPage(slot, "page geometry failed");
    }
    DbgMessage(FUNCNAME, "get CUPS data using %f sec, rc = %d", SecondsSince(tick), rc);
    return rc;
  }

  RowBuffer row(static_cast<BYTE*>(std::malloc(h.cupsBytesPerLine)));
  slot->page = PageBuffer::Allocate(g.pagesize);
  if (!slot->page || !row) {
    DbgMessage(FUNCNAME, "malloc error");
    ReportRefusedPage(slot, "not enough memory for the page");
    DbgMessage(FUNCNAME, "get CUPS data using %f sec, rc = %d", SecondsSince(tick), rc);
    return FALSE;
  }

  const bool inkPolarity = InkPolarityPage(h);
  const BYTE white = inkPolarity ? 0x00 : 0xFF;
  if (blank) {
    std::memset(slot->page.data(), white, g.pagesize);
  } else {
    DbgMessage(FUNCNAME, "App data");
    DWORD dots = 0;
    if (!ReadPageLines(slot, g, row.get(), white, &dots)) {
      ReportRefusedPage(slot, "raster data ends early");
      DbgMessage(FUNCNAME, "get CUPS data using %f sec, rc = %d", SecondsSince(tick), rc);
      return FALSE;
    }
    *BlackDot = dots;
    DbgMessage(FUNCNAME, "Black dot = %u", static_cast<unsigned>(dots));
  }

  // The buffer now holds one byte per pixel for every depth below 8.
  if (h.cupsBitsPerPixel < 8) {
    DbgMessage(FUNCNAME, "%u-bit page expanded to 8-bit gray", h.cupsBitsPerPixel);
    h.cupsBitsPerPixel = 8;
    h.cupsBitsPerColor = 8;
    h.cupsBytesPerLine = h.cupsWidth;
    h.cupsColorSpace = CUPS_CSPACE_W;
  }

  rc = ConvertToGray(slot);
  if (rc) {
    if (h.cupsBitsPerPixel < 8 || inkPolarity) {
      // Ink-polarity pages are turned into gray by the worker first; the
      // white areas the geometry creates must come after that.
      DbgMessage(FUNCNAME, "geometry left to the image thread");
    } else if (RunGeometry(slot, FUNCNAME)) {
      slot->StoreFlag(slot->LoadFlag() | SLOT_GEOMETRY_DONE);
    } else {
      rc = FALSE;
    }
  }
  if (!rc) ReportRefusedPage(slot, "gray conversion or page geometry failed");
  DbgMessage(FUNCNAME, "get CUPS data using %f sec, rc = %d", SecondsSince(tick), rc);
  return rc;
}
