// The image library. The page stages (geometry, gray conversion,
// halftoning, border filter) take the page's slot and work on its `page`
// and geometry fields in place, moving a new PageBuffer in when the size
// changes. The bitmap operations take a view of one plane (PlaneView) and
// know nothing of slots. Pixel conventions: gray is one byte per pixel, 0
// black, 255 white; a 1-bit page is 8 pixels per byte, leftmost in the most
// significant bit. Halftoning yields 1 for light pixels; the image thread
// inverts right after, so from then on 1 is a toner dot.
//
// Errors: a stage returns false (FALSE) and traces the step that failed;
// it never writes to the scheduler. The caller decides: the worker drops
// the page with its "ERROR:" line. A stage that fails leaves the slot
// holding a page the caller can free, never a dangling buffer.
#pragma once

#include <cstddef>

#include "page_slot.h"
#include "plane_view.h"
#include "wintypes.h"

// Geometry: crop, scaling and whole-page fit. ScaleImage stops early when
// job (if given) is cancelled.
long ScaleImage(const BYTE* srclpbuf, DWORD srcWidth, DWORD srcHigh, DWORD lines, BYTE* trglpbuf,
                DWORD trgWidth, int Xratio, int Yratio, WORD colorbits, const JobEvents* job = nullptr);
BOOL Lib_DoImageCrop(PageSlot* slot);
BOOL Lib_DoScaling(PageSlot* slot);
BOOL Lib_DoWholePage(PageSlot* slot);
// True when crop and scaling leave the slot's page (by its header and job
// settings) as it is, so that the geometry only lays it out at the top left
// of its printable area, *width x *height pixels per plane (multiples of
// 32), clipping and padding with white: a step each line can take alone.
bool GeometryOnlyPlaces(const PageSlot& job, DWORD* width, DWORD* height);

// Largest paper side the page cap takes from a PPD, in points (200 inches):
// a larger or non-positive MaxMediaWidth/Height is no size at all.
inline constexpr double kLargestMediaPoints = 14400;
// Why the slot's page, going by its header alone, would be larger than the
// printer can take at any geometry stage (as read, once scaled, laid out on
// its paper): more than twice the largest paper the printer takes, at the
// job's resolution; nullptr when it stays within. Sizes in a raster header
// cost nothing to send, so this is decided before anything is allocated.
const char* PageBeyondPrinter(const PageSlot& job);

// Gray conversion and halftoning.
WORD GetBMPBytesPerLine(LONG bitcolor, LONG width);
void ImageToGray(PageSlot* slot);
// Gray values of pixels red, green, blue (step bytes apart), as ImageToGray
// computes them.
void RgbLineToGray(const BYTE* rgb, BYTE* gray, std::size_t pixels, std::size_t step);
BOOL ApplyHalftone(PageSlot* slot);
// Turns the gray image `gray` (width bytes a row) into a 1-bit mask in
// place: 1 where the gray value is above threshold, rows of width / 8 bytes
// (pixels past the last whole byte are dropped). FALSE only without memory;
// the image is then unchanged.
BOOL GrayToLineart(const PlaneView& gray, int threshold);

// Border and text enhancement for printers with the "Border filter"
// feature: halftones the gray page like ApplyHalftone and, in Quality mode
// 1 or 2, forces the inner or outer rims of dark areas to toner. FALSE when
// a step failed or the job was cancelled.
BOOL DoBorderQuality(PageSlot* slot);
// Filters one gray plane in place with a 3 x 3 kernel (row by row),
// dividing by the kernel's sum when it is positive and clamping to 0..255;
// pixels beyond the plane's edges are copies of its edge lines and columns.
// 1 when done; 0 for bits other than 8, a kernel side other than 3, no
// memory or a cancelled job (the lines filtered so far stay filtered).
WORD ApplyFilter3x3(const PlaneView& gray, const JobEvents* job, WORD bits, const int* filterArray,
                    short filterArrayWidth);
extern const int FilterInsideBorder[9];
extern const int FilterOutsideBorder[9];

// Bitmap operations on one 1-bit plane (a page of several planes is several
// views). An empty view is left alone.
// Inverts every byte of the plane's rows.
void DoNegative(const PlaneView& plane);
// Mirrors every row left to right.
void DoMirror(const PlaneView& plane);
// Turns the plane by 180 degrees in place.
void Transpose_1BPP180(const PlaneView& plane);
// Writes src turned 90 degrees clockwise into dst, which must be src.rows
// pixels wide and src.width rows high.
void MISC_1BPP90(const PlaneView& src, const PlaneView& dst);
// Two-bit mode: every pixel followed by a blank one, a new page of twice
// the bytes (empty without memory).
PageBuffer Prnt_AdjustData(const PlaneView& plane);
// Thins the plane's dots to save toner, with the map of the resolution the
// page is printed at (HWResolution[0] of its header, or 600 under SCALE1200).
void Prnt_SimulateTonerSaving(const PlaneView& plane, DWORD hwResolution, int SCALE1200);
// Toner dots (set bits) of the plane's rows.
DWORD Prnt_CountBlackDots(const PlaneView& plane);
// Sampled checksum: one byte of every 32nd row, walking one byte to the
// right per row, plus the plane's last byte; 0 for a plane narrower than a
// byte.
DWORD DataPatternChkSum(const PlaneView& plane);
// The plane's four corner bytes as one word (first corner on top); stamps
// each corner with the marker 0xAA. 0xAABBCCDD for a plane without corners.
DWORD DataPatternChkSum_new(const PlaneView& plane);
