// Line operations of page acquisition, shared by the whole-page read and
// the read that screens each line as it comes (page_stream.cpp), so that
// both turn a raster line into the same gray pixels.
#pragma once

#include <cups/raster.h>

#include <cstddef>

#include "colour_pages.h"
#include "page_pipeline.h"
#include "page_slot.h"
#include "wintypes.h"

namespace acquire_detail {

// A single-colour space whose sample value 1 means white (light), not ink.
bool LightIsOne(unsigned cspace);
// 8-bit pages in the K space hold ink amounts: 0 is white until they are
// turned into gray.
bool InkPolarityPage(const cups_page_header2_t& h);
// Writes one "ERROR:" line for the scheduler about a page that cannot be printed.
void ReportRefusedPage(const PageSlot* slot, const char* why);
// Expands one raster line of 1, 2 or 4 bits per sample into gray bytes
// (0 black, 255 white), honouring the colour space's polarity.
void ExpandLowBitLine(const BYTE* src, BYTE* dst, unsigned width, unsigned bits, bool lightIsOne);
// Gray line of lineBytes bytes from a chunky 32-bit CMYK line of width
// pixels, for a printer without four colours: the colour inks are weighed
// like the RGB luminance, black adds in full; pixels past width are white.
// d may be s itself.
void CmykLineToGray(const BYTE* s, BYTE* d, std::size_t width, std::size_t lineBytes);
// Bytes of a line other than value, sixteen at a time where SSE2 is there.
DWORD CountOtherThan(const BYTE* p, std::size_t n, BYTE value);

// Reads the slot's page (geometry g, separated by kind) and screens each
// line as it comes, straight into the page's 1-bit planes, when the page
// needs no whole-page step before screening: 1 when the slot holds the
// screened page (flag SLOT_SCREENED), 0 when the page failed (with an
// "ERROR:" line), -1 when the page is not one for this path (nothing read).
int AcquireScreenedPage(PageSlot* slot, const PageGeometry& g, Separation kind, BOOL blank, DWORD* BlackDot);

}  // namespace acquire_detail
