// The border and text-enhancement path of printers with the "Border filter"
// feature: the gray page is halftoned as usual, and the rims of dark areas
// found by a 3 x 3 filter are forced to toner.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

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

WORD ApplyFilter3x3(const PlaneView& gray, const JobEvents* job, WORD bits, const int* filterArray,
                    short filterArrayWidth) {
  static const char FUNCNAME[] = "ApplyFilter3x3";
  const DWORD tick = GetTickCount();
  const std::size_t width = gray.width;
  const std::size_t lines = gray.rows;
  DbgMessage(FUNCNAME, "In, width = %d, height = %d, lines = %d, bits = %d, ArrayWidth = %d",
             static_cast<int>(width), static_cast<int>(lines), static_cast<int>(lines), bits,
             filterArrayWidth);
  // Only gray pages and 3 x 3 kernels are defined.
  if (gray.bits == nullptr || filterArray == nullptr || bits != 8 || filterArrayWidth != 3 ||
      gray.stride < width) {
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

  // The plane is filtered in place, top down: two saved lines (the
  // unfiltered line above and the current line) are all the window needs,
  // since the line below is still unfiltered in the plane.
  DbgMessage(FUNCNAME, "Allocate s_imgbuf");
  const std::size_t bufsize = 2 * line_bytes;
  DbgMessage(FUNCNAME, "bufsize = %d", static_cast<int>(bufsize));
  std::vector<BYTE> s_imgbuf;
  try {
    s_imgbuf.resize(bufsize);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  const std::size_t HelfKeepMatrixLines = 1;
  DbgMessage(FUNCNAME, "First Block");
  DbgMessage(FUNCNAME, "HelfKeepMatrixLines = %d, line_bytes = %d, lines = %d",
             static_cast<int>(HelfKeepMatrixLines), static_cast<int>(line_bytes), static_cast<int>(lines));

  BYTE* above = s_imgbuf.data();
  BYTE* current = s_imgbuf.data() + line_bytes;
  for (DWORD y = 0; y < lines; ++y) {
    if (job && job->Cancelled()) {
      DbgMessage(FUNCNAME, "Cancel job");
      return 0;
    }
    BYTE* row = gray.Row(y);
    std::memcpy(current, row, line_bytes);
    const bool last = y + 1 == lines;
    if (last) {
      DbgMessage(FUNCNAME, "Last Block");
      DbgMessage(FUNCNAME, "HelfKeepMatrixLines = %d, lines = %d", static_cast<int>(HelfKeepMatrixLines),
                 static_cast<int>(lines));
    }
    // The first and last line of the plane stand in for the lines beyond it.
    const BYTE* below = last ? current : gray.Row(y + 1);
    FilterLine(y == 0 ? current : above, current, below, row, line_bytes, filterArray, MatrixCount);
    std::swap(above, current);
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
  DbgMessage(FUNCNAME, "SCALE1200 = %d", slot->SCALE1200());
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
  const DWORD width = slot->page_width;
  const DWORD height = slot->page_height;
  PageBuffer mask;
  if (kernel) {
    const PlaneView page = slot->WholePage();
    if (!page || slot->linebyte < width) return done(FALSE);
    mask = PageBuffer::Allocate(std::size_t{width} * height + 1);
    if (!mask) return done(FALSE);
    DbgMessage(FUNCNAME, "Copy Image Data");
    for (DWORD y = 0; y < height; ++y) std::memcpy(mask.data() + std::size_t{y} * width, page.Row(y), width);
    // The planes of a colour page are separate images, each with its own
    // first and last line: a window reaching across a join would see
    // another colorant's edge.
    const DWORD planes = height % slot->Planes() == 0 ? slot->Planes() : 1;
    const DWORD planeRows = height / planes;
    DbgMessage(FUNCNAME, mode == 1 ? "Apply border Filter" : "Apply text enhance Filter");
    for (DWORD p = 0; p < planes; ++p) {
      const PlaneView plane{mask.data() + std::size_t{p} * planeRows * width, width, planeRows, width};
      if (!ApplyFilter3x3(plane, slot->events, 8, kernel, 3)) return done(FALSE);
    }
    DbgMessage(FUNCNAME, "Convert to Lineart");
    if (!GrayToLineart(PlaneView{mask.data(), width, height, width}, kLineartThreshold)) return done(FALSE);
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
      BYTE* page = slot->page.data() + y * slot->linebyte;
      const BYTE* m = mask.data() + y * BWlinebytes;
      for (std::size_t i = 0; i < n; ++i) page[i] &= static_cast<BYTE>(~m[i]);
    }
  }
  return done(TRUE);
}
