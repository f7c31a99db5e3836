// The border and text-enhancement path of printers with the "Border filter"
// feature: the gray page is halftoned as usual, and the rims of dark areas
// found by a 3 x 3 filter are forced to toner.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "geometry_internal.h"
#include "image.h"
#include "shims.h"
#include "trace.h"

// Quality mode 1: inner rims, dark pixels darker than their surroundings.
const int FilterInsideBorder[9] = {2, 1, 2, 1, -12, 1, 2, 1, 2};
// Quality mode 2: outer rims, light pixels next to darker ones.
const int FilterOutsideBorder[9] = {-2, -1, -2, -1, 12, -1, -2, -1, -2};

namespace {

// Filter responses above this become toner in the mask.
constexpr int kLineartThreshold = 80;

using HeapBytes = std::unique_ptr<BYTE[], FreeDeleter>;

inline BYTE Clamp(int v) {
  return static_cast<BYTE>(v < 0 ? 0 : v > 255 ? 255 : v);
}

// Filters one line of n pixels into out from the line above, the line and
// the line below; the first and last pixel see copies of themselves beyond
// the edge. out may not alias the inputs.
void FilterLine(const BYTE* up, const BYTE* mid, const BYTE* down, BYTE* out, std::size_t n, const int* k,
                int divisor) {
  auto at = [&](std::size_t l, std::size_t c, std::size_t r) {
    int sum = k[0] * up[l] + k[1] * up[c] + k[2] * up[r] + k[3] * mid[l] + k[4] * mid[c] + k[5] * mid[r] +
              k[6] * down[l] + k[7] * down[c] + k[8] * down[r];
    if (divisor != 1) sum /= divisor;
    return Clamp(sum);
  };
  if (n == 1) {
    out[0] = at(0, 0, 0);
    return;
  }
  out[0] = at(0, 0, 1);
  for (std::size_t x = 1; x + 1 < n; ++x) out[x] = at(x - 1, x, x + 1);
  out[n - 1] = at(n - 2, n - 1, n - 1);
}

}  // namespace

WORD ApplyFilter3x3(PageSlot* slot, BYTE* lpbuf, WORD bits, const int* filterArray, short filterArrayWidth) {
  static const char FUNCNAME[] = "ApplyFilter3x3";
  const DWORD tick = GetTickCount();
  const std::size_t width = slot->page_width;
  const std::size_t lines = slot->page_height;
  DbgMessage(FUNCNAME, "In, width = %d, height = %d, lines = %d, bits = %d, ArrayWidth = %d",
             static_cast<int>(width), static_cast<int>(lines), static_cast<int>(lines), bits,
             filterArrayWidth);
  DbgMessage(FUNCNAME, "SCALE1200 = %d", slot->SCALE1200);
  // Only gray pages and 3 x 3 kernels are defined.
  if (lpbuf == nullptr || filterArray == nullptr || bits != 8 || filterArrayWidth != 3) {
    DbgMessage(FUNCNAME, "Argument Incorrect");
    return 0;
  }
  int MatrixCount = 0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      DbgMessage(FUNCNAME, "Matrix[%d][%d] = %d", i, j, filterArray[i * 3 + j]);
      DbgMessage(FUNCNAME, "filterArray = %d", filterArray[i * 3 + j]);
      MatrixCount += filterArray[i * 3 + j];
    }
  if (MatrixCount <= 0) MatrixCount = 1;
  DbgMessage(FUNCNAME, "MatrixCount = %d", MatrixCount);
  const std::size_t line_bytes = width;
  if (lines == 0 || line_bytes == 0) return 1;

  // The page is filtered in place, top down: two saved lines (the
  // unfiltered line above and the current line) are all the window needs,
  // since the line below is still unfiltered in lpbuf. The planes of a
  // colour page are separate images, each with its own first and last line:
  // a window reaching across a join would see another colorant's edge.
  DbgMessage(FUNCNAME, "Allocate s_imgbuf");
  const std::size_t bufsize = 2 * line_bytes;
  DbgMessage(FUNCNAME, "bufsize = %d", static_cast<int>(bufsize));
  HeapBytes s_imgbuf(static_cast<BYTE*>(std::malloc(bufsize)));
  if (!s_imgbuf) return 0;
  const std::size_t colourPlanes = image_detail::ColorPlaneOf(*slot);
  const std::size_t planes = lines % colourPlanes == 0 ? colourPlanes : 1;
  const std::size_t planeLines = lines / planes;
  const std::size_t HelfKeepMatrixLines = 1;
  DbgMessage(FUNCNAME, "First Block");
  DbgMessage(FUNCNAME, "HelfKeepMatrixLines = %d, line_bytes = %d, lines = %d",
             static_cast<int>(HelfKeepMatrixLines), static_cast<int>(line_bytes), static_cast<int>(lines));

  for (std::size_t p = 0; p < planes; ++p) {
    BYTE* above = s_imgbuf.get();
    BYTE* current = s_imgbuf.get() + line_bytes;
    BYTE* plane = lpbuf + p * planeLines * line_bytes;
    for (std::size_t y = 0; y < planeLines; ++y) {
      if (slot->Cancelled()) {
        DbgMessage(FUNCNAME, "Cancel job");
        return 0;
      }
      BYTE* row = plane + y * line_bytes;
      std::memcpy(current, row, line_bytes);
      const bool last = y + 1 == planeLines;
      if (last && p + 1 == planes) {
        DbgMessage(FUNCNAME, "Last Block");
        DbgMessage(FUNCNAME, "HelfKeepMatrixLines = %d, lines = %d", static_cast<int>(HelfKeepMatrixLines),
                   static_cast<int>(lines));
      }
      // The first and last line of a plane stand in for the lines beyond it.
      const BYTE* below = last ? current : row + line_bytes;
      FilterLine(y == 0 ? current : above, current, below, row, line_bytes, filterArray, MatrixCount);
      std::swap(above, current);
    }
  }
  DbgMessage(FUNCNAME, "Final Copy Memory");
  DbgMessage(FUNCNAME, "Out, using = %f", SecondsSince(tick));
  return 1;
}

BOOL DoBorderQuality(PageSlot* slot) {
  static const char FUNCNAME[] = "DoBorderQuality";
  const DWORD tick = GetTickCount();
  DbgMessage(FUNCNAME, "In, imgWidth = %d, imgHeight = %d", static_cast<int>(slot->page_width),
             static_cast<int>(slot->page_height));
  DbgMessage(FUNCNAME, "SCALE1200 = %d", slot->SCALE1200);
  auto done = [&](BOOL rc) {
    DbgMessage(FUNCNAME, "Out, using %f sec, rc = %d", SecondsSince(tick), rc);
    return rc;
  };

  // Modes without a kernel of their own are halftoned plainly.
  const unsigned mode = slot->inheader.cupsInteger[10];
  const int* kernel = mode == 1 ? FilterInsideBorder : mode == 2 ? FilterOutsideBorder : nullptr;
  if (mode > 2) DbgMessage(FUNCNAME, "Quality mode %u unknown, no filter", mode);

  // The mask comes from the unfiltered gray page, so it is made before the
  // page is halftoned in place: lines of page_width bytes, as the gray page
  // has when linebyte says so.
  const std::size_t width = slot->page_width;
  const std::size_t height = slot->page_height;
  HeapBytes mask;
  if (kernel) {
    if (!slot->lpbuf || slot->linebyte < width) return done(FALSE);
    mask.reset(static_cast<BYTE*>(std::malloc(width * height + 1)));
    if (!mask) return done(FALSE);
    DbgMessage(FUNCNAME, "Copy Image Data");
    for (std::size_t y = 0; y < height; ++y)
      std::memcpy(mask.get() + y * width, slot->lpbuf + y * slot->linebyte, width);
    DbgMessage(FUNCNAME, mode == 1 ? "Apply border Filter" : "Apply text enhance Filter");
    if (!ApplyFilter3x3(slot, mask.get(), 8, kernel, 3)) return done(FALSE);
    DbgMessage(FUNCNAME, "Convert to Lineart");
    if (!GrayToLineart(slot, mask.get(), kLineartThreshold)) return done(FALSE);
  }

  if (!ApplyHalftone(slot)) return done(FALSE);

  // A mask bit clears the halftoned (light) bit: toner after the inversion.
  const std::size_t BWlinebytes = width / 8;
  if (kernel) {
    DbgMessage(FUNCNAME, "Merge Halftone and Filter");
    DbgMessage(FUNCNAME, "BWlinebytes = %d", static_cast<int>(BWlinebytes));
    DbgMessage(FUNCNAME, "lpJob->page_height = %d", static_cast<int>(height));
    DbgMessage(FUNCNAME, "bufsize = %d", static_cast<int>(BWlinebytes * height));
    const std::size_t n = BWlinebytes < slot->linebyte ? BWlinebytes : slot->linebyte;
    for (std::size_t y = 0; y < height; ++y) {
      BYTE* page = slot->lpbuf + y * slot->linebyte;
      const BYTE* m = mask.get() + y * BWlinebytes;
      for (std::size_t i = 0; i < n; ++i) page[i] &= static_cast<BYTE>(~m[i]);
    }
  }
  return done(TRUE);
}
