// The image library. Every stage takes the page's slot and works on
// its `lpbuf` and geometry fields in place, replacing `lpbuf` when the size
// changes. Pixel conventions: gray is one byte per pixel, 0 black, 255
// white; a 1-bit page is 8 pixels per byte, leftmost in the most significant
// bit. Halftoning yields 1 for light pixels; the image thread inverts right
// after, so from then on 1 is a toner dot.
#pragma once

#include <cstddef>

#include "page_slot.h"
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
BOOL GrayToLineart(PageSlot* slot, BYTE* lpbuf, int threshold);

// Border and text enhancement for printers with the "Border filter"
// feature: halftones the gray page like ApplyHalftone and, in Quality mode
// 1 or 2, forces the inner or outer rims of dark areas to toner. FALSE when
// a step failed or the job was cancelled.
BOOL DoBorderQuality(PageSlot* slot);
// Filters the gray image lpbuf (the slot's page_width x page_height bytes)
// in place with a 3 x 3 kernel (row by row), dividing by the kernel's sum
// when it is positive and clamping to 0..255; pixels beyond the edges are
// copies of the edge lines and columns. 1 when done; 0 for bits other than
// 8, a kernel side other than 3, no memory or a cancelled job (the lines
// filtered so far stay filtered).
WORD ApplyFilter3x3(PageSlot* slot, BYTE* lpbuf, WORD bits, const int* filterArray, short filterArrayWidth);
extern const int FilterInsideBorder[9];
extern const int FilterOutsideBorder[9];

// Bitmap operations on 1-bit pages. Buffers they return are malloc'd (free()).
void DoNegative(PageSlot* slot, int InvertHalfImage);
void ReverseBuf(BYTE* lpbuf, long len);
void DoMirror(PageSlot* slot);
void Transpose_1BPP180(LPBYTE bufPtr, long widthBytes, long height);
void MISC_1BPP90(LPBYTE src, LPBYTE dst, long srcstep, long dststep, long srcW, long srcH);
BYTE* Prnt_AdjustData(BYTE* data, long length);
void Prnt_SimulateTonerSaving(PageSlot* slot);
BYTE* Prnt_CreateBkDotsTbl();
DWORD Prnt_CountBlackDots(unsigned char* inbuf, long ByteNo);
DWORD DataPatternChkSum(PageSlot* slot);
DWORD DataPatternChkSum_new(PageSlot* slot);
