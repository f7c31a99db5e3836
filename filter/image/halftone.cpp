// Halftoning of gray pages with the built-in threshold tiles, and the plain
// fixed-threshold conversion used by the border path.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "feature_bits.h"
#include "halftone_select.h"
#include "halftone_tiles.h"
#include "image.h"
#include "shims.h"
#include "trace.h"

namespace {

// Elapsed seconds since tick.
inline double Seconds(DWORD tick) {
  return static_cast<double>(GetTickCount() - tick) / 1000.0;
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using HeapBytes = std::unique_ptr<BYTE[], FreeDeleter>;

// Screens one plane of gray lines into 1-bit lines against a threshold tile
// (rows of h_x thresholds). Returns false when the job was cancelled.
bool ScreenPlane(const BYTE* gray, std::size_t linebyte, BYTE* out, std::size_t linebyteHft,
                 std::size_t lines, std::size_t pixels, const BYTE* Halftone_tbl, std::size_t h_x,
                 std::size_t h_y, const JobInfo& slot) {
  static const char FUNCNAME[] = "ApplyHalftone";
  for (std::size_t y = 0; y < lines; ++y, gray += linebyte, out += linebyteHft) {
    std::memset(out, 0, linebyteHft);
    if (slot.Cancelled()) {
      DbgMessage(FUNCNAME, "Cancel job");
      return false;
    }
    // A white line (most lines of a colour plane) is light everywhere:
    // every threshold is below 255.
    std::size_t lead = 0;
    while (lead < pixels && gray[lead] == 255) ++lead;
    if (lead == pixels) {
      std::memset(out, 0xFF, pixels / 8);
      if (pixels % 8) out[pixels / 8] = static_cast<BYTE>(0xFF00u >> (pixels % 8));
      continue;
    }
    const BYTE* row = Halftone_tbl + (y % h_y) * h_x;
    std::size_t cx = 0;
    std::size_t x = 0;
    // Eight white pixels are eight light bits, whatever their thresholds.
    for (; x + 8 <= pixels; x += 8) {
      std::uint64_t eight;
      std::memcpy(&eight, gray + x, 8);
      if (eight == ~std::uint64_t{0}) {
        out[x >> 3] = 0xFF;
        for (cx += 8; cx >= h_x;) cx -= h_x;
        continue;
      }
      for (std::size_t k = x; k < x + 8; ++k) {
        if (gray[k] >= row[cx]) out[k >> 3] |= static_cast<BYTE>(0x80u >> (k & 7));
        if (++cx == h_x) cx = 0;
      }
    }
    for (; x < pixels; ++x) {
      if (gray[x] >= row[cx]) out[x >> 3] |= static_cast<BYTE>(0x80u >> (x & 7));
      if (++cx == h_x) cx = 0;
    }
  }
  return true;
}

}  // namespace

// Screens the page with the tiles of one HalftoneType, once the type is
// chosen; tick is the caller's entry time for the exit trace.
static BOOL ScreenWithType(JobInfo* lpJob, int HalftoneType, DWORD tick) {
  static const char FUNCNAME[] = "ApplyHalftone";
  const cups_page_header2_t& h = lpJob->inheader;

  // Tiles per plane: every plane starts with the default, the type's set
  // replaces what it names.
  const HalftoneTileSet& set = FindHalftoneTileSet(HalftoneType);
  HalftonePlaneTile planes[4];
  for (int j = 0; j < 4; ++j) planes[j] = set.plane[j].name ? set.plane[j] : kDefaultPlaneTile;
  float FixVal = (set.FixValOffOnA3 && (lpJob->DriverFeature & DF_A3)) ? 0.0f : set.FixVal;
  for (const char* line : set.trace)
    if (line) DbgMessage(FUNCNAME, "%s", line);
  DbgMessage(FUNCNAME, "h_x[0] = %d", planes[0].h_x);
  DbgMessage(FUNCNAME, "h_y[0] = %d", planes[0].h_y);
  DbgMessage(FUNCNAME, "HalftoneType = %d", HalftoneType);

  // Output page, sized in 64 bits: the 1-bit line must fit the 16-bit line
  // length and the page must fit pagesize.
  const std::uint64_t width = lpJob->page_width;
  const std::uint64_t height = lpJob->page_height;
  const std::uint64_t line64 = ((width + 7) / 8 + 3) / 4 * 4;
  const DWORD linebyteHft = width > 0x7fffffffu ? 0 : GetBMPBytesPerLine(1, static_cast<LONG>(width));
  const std::uint64_t outSize = line64 * height;
  HeapBytes out;
  if (lpJob->lpbuf && lpJob->linebyte != 0 && linebyteHft != 0 && height != 0 && line64 == linebyteHft &&
      outSize <= 0xffffffffu)
    out.reset(static_cast<BYTE*>(std::calloc(static_cast<std::size_t>(outSize), 1)));
  if (!out) {
    DbgMessage(FUNCNAME, "Argument Incorrect");
    DbgMessage(FUNCNAME, "Out, using = %f", Seconds(tick));
    return FALSE;
  }

  // Density curve, folded into each plane's tile below.
  DbgMessage(FUNCNAME, "Calculate Brightness & Gamma Start");
  DbgMessage(FUNCNAME, "brightness = %d", 255);
  const int select = DensityIndex(h);
  if (!h.cupsInteger[0] && static_cast<unsigned>(select) != h.cupsInteger[11])
    DbgMessage(FUNCNAME, "Density %d out of range, using %d", static_cast<int>(h.cupsInteger[11]), select);
  DbgMessage(FUNCNAME, "select = %d", select);
  const float gamma = gammaVal[select] + FixVal;
  int gammatbl[256];
  BuildDensityCurve(gamma, gammatbl);
  DbgMessage(FUNCNAME, "Gamma = %f", static_cast<double>(gammaVal[select]));
  DbgMessage(FUNCNAME, "Calculate Brightness & Gamma Finish");

  const DWORD ColorPlane = h.cupsInteger[4] == 3 ? 4 : 1;
  const DWORD MultiPlaneHeight = lpJob->page_height;
  const DWORD SinglePlaneHeight = MultiPlaneHeight / ColorPlane;
  DbgMessage(FUNCNAME, "ColorPlane = %d", static_cast<int>(ColorPlane));
  DbgMessage(FUNCNAME, "MultiPlaneHeight = %d", static_cast<int>(MultiPlaneHeight));
  DbgMessage(FUNCNAME, "SinglePlaneHeight = %d", static_cast<int>(SinglePlaneHeight));

  // Every gray byte of a line is screened, as far as the 1-bit line reaches.
  const std::size_t linebyte = lpJob->linebyte;
  const std::size_t pixels =
      linebyte < std::size_t{linebyteHft} * 8 ? linebyte : std::size_t{linebyteHft} * 8;

  for (DWORD j = 0; j < ColorPlane; ++j) {
    DbgMessage(FUNCNAME, "Calculate Halftone Start");
    DbgMessage(FUNCNAME, "h_x = %d", planes[j].h_x);
    DbgMessage(FUNCNAME, "h_y = %d", planes[j].h_y);
    const ThresholdTile* tile = FindThresholdTile(planes[j].name);
    if (!tile || !tile->cells || tile->width != planes[j].h_x || tile->height != planes[j].h_y) {
      DbgMessage(FUNCNAME, "threshold tile %s missing or not %d x %d", planes[j].name, planes[j].h_x,
                 planes[j].h_y);
      DbgMessage(FUNCNAME, "Out, using = %f", Seconds(tick));
      return FALSE;
    }
    const std::size_t h_x = static_cast<std::size_t>(tile->width);
    const std::size_t h_y = static_cast<std::size_t>(tile->height);
    HeapBytes Halftone_tbl(static_cast<BYTE*>(std::malloc(h_x * h_y)));
    if (!Halftone_tbl) {
      DbgMessage(FUNCNAME, "Halftone_tbl is NULL");
      DbgMessage(FUNCNAME, "Out, using = %f", Seconds(tick));
      return FALSE;
    }
    for (std::size_t k = 0; k < h_x * h_y; ++k) Halftone_tbl[k] = CellThreshold(gammatbl[tile->cells[k]]);
    DbgMessage(FUNCNAME, "Calculate Halftone Finish");
    DbgMessage(FUNCNAME, "Apply Halftone %d Start", static_cast<int>(j));
    DbgMessage(FUNCNAME, "linebyte = %d", static_cast<int>(lpJob->linebyte));

    const BYTE* src = lpJob->lpbuf + std::size_t{j} * linebyte * SinglePlaneHeight;
    BYTE* dst = out.get() + std::size_t{j} * linebyteHft * SinglePlaneHeight;
    if (!ScreenPlane(src, linebyte, dst, linebyteHft, SinglePlaneHeight, pixels, Halftone_tbl.get(), h_x, h_y,
                     *lpJob)) {
      DbgMessage(FUNCNAME, "Out, using = %f", Seconds(tick));
      return FALSE;
    }
  }

  // The 1-bit page goes back into the gray buffer when it fits (it does for
  // every page wider than a few pixels); otherwise it replaces the buffer.
  DbgMessage(FUNCNAME, "Apply Halftone Finish");
  if (outSize <= std::uint64_t{linebyte} * height) {
    std::memcpy(lpJob->lpbuf, out.get(), static_cast<std::size_t>(outSize));
  } else {
    std::free(lpJob->lpbuf);
    lpJob->lpbuf = out.release();
  }
  lpJob->linebyte = linebyteHft;
  lpJob->pagesize = static_cast<DWORD>(outSize);
  DbgMessage(FUNCNAME, "Out, using = %f", Seconds(tick));
  return TRUE;
}

// Screens the 8-bit gray page in lpbuf (one plane, or K, Y, M, C stacked)
// into 1 bit per pixel, 1 for light pixels. FALSE leaves the gray page as it
// was: bad geometry, a missing or misfit tile, no memory, or a cancelled job.
BOOL ApplyHalftone(JobInfo* lpJob) {
  static const char FUNCNAME[] = "ApplyHalftone";
  DWORD tick = GetTickCount();
  DbgMessage(FUNCNAME, "In");
  const cups_page_header2_t& h = lpJob->inheader;

  // Which screen: selection row, resolution and engine type.
  HalftoneChoice choice = SelectHalftoneType(lpJob->cupsHTable, h.HWResolution[0],
                                             (lpJob->Feature[0] & F0_LSU) != 0, lpJob->SCALE1200 != 0);
  DbgMessage(FUNCNAME, "resolution = %d", choice.resolution);
  DbgMessage(FUNCNAME, "SCALE1200 = %d", lpJob->SCALE1200);
  if (ClampHalftoneRow(lpJob->cupsHTable) != lpJob->cupsHTable)
    DbgMessage(FUNCNAME, "cupsHTable %d out of range, using %d", lpJob->cupsHTable,
               ClampHalftoneRow(lpJob->cupsHTable));
  if (choice.changeTable) DbgMessage(FUNCNAME, "change table");
  DbgMessage(FUNCNAME, "HalftoneType = %d", choice.HalftoneType);
  return ScreenWithType(lpJob, choice.HalftoneType, tick);
}

// Screens the page with the tiles of a given HalftoneType, as ApplyHalftone
// does after choosing it.
BOOL ApplyHalftoneType(JobInfo* lpJob, int HalftoneType) {
  static const char FUNCNAME[] = "ApplyHalftone";
  DWORD tick = GetTickCount();
  DbgMessage(FUNCNAME, "In, HalftoneType = %d", HalftoneType);
  return ScreenWithType(lpJob, HalftoneType, tick);
}

// Turns a gray image of the slot's size (lines of page_width bytes) into a
// 1-bit mask in place: 1 where the gray value is above threshold. Lines are
// page_width / 8 bytes; pixels past the last whole byte are dropped. FALSE
// only when there is no image or no memory; the image is then unchanged.
BOOL GrayToLineart(JobInfo* lpJob, BYTE* lpbuf, int threshold) {
  static const char FUNCNAME[] = "GrayToLineart";
  DWORD tick = GetTickCount();
  DbgMessage(FUNCNAME, "In, threshold = %d", threshold);
  DbgMessage(FUNCNAME, "SCALE1200 = %d", lpJob->SCALE1200);
  const std::size_t width = lpJob->page_width;
  const std::size_t height = lpJob->page_height;
  const std::size_t outLine = width / 8;
  const std::size_t outSize = outLine * height;  // both below 2^32: no overflow in 64 bits

  // Output image and the per-column byte index and bit position.
  static const BYTE ShiftTbl[8] = {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01};
  if (!lpbuf || outLine == 0) {
    DbgMessage(FUNCNAME, "%s", lpbuf ? "nothing to convert" : "no image");
    DbgMessage(FUNCNAME, "Out, using = %f", Seconds(tick));
    return lpbuf ? TRUE : FALSE;
  }
  const std::size_t pixels = outLine * 8;
  HeapBytes outImage(static_cast<BYTE*>(std::calloc(outSize, 1)));
  std::unique_ptr<DWORD[], FreeDeleter> tables(static_cast<DWORD*>(std::malloc(2 * pixels * sizeof(DWORD))));
  if (!outImage || !tables) {
    DbgMessage(FUNCNAME, "malloc error");
    DbgMessage(FUNCNAME, "Out, using = %f", Seconds(tick));
    return FALSE;
  }
  DWORD* s_Tbli = tables.get();
  DWORD* s_Tblr = s_Tbli + pixels;
  for (std::size_t x = 0; x < pixels; ++x) {
    s_Tbli[x] = static_cast<DWORD>(x / 8);
    s_Tblr[x] = static_cast<DWORD>(x % 8);
  }

  const BYTE* src = lpbuf;
  BYTE* dst = outImage.get();
  for (std::size_t y = 0; y < height; ++y, src += width, dst += outLine)
    for (std::size_t x = 0; x < pixels; ++x)
      if (src[x] > threshold) dst[s_Tbli[x]] |= ShiftTbl[s_Tblr[x]];

  std::memcpy(lpbuf, outImage.get(), outSize);
  DbgMessage(FUNCNAME, "Out, using = %f", Seconds(tick));
  return TRUE;
}
