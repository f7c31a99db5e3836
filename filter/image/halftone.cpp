// Halftoning of gray pages with the built-in threshold tiles, and the plain
// fixed-threshold conversion used by the border path.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "bitmap_tables.h"
#include "feature_bits.h"
#include "halftone_select.h"
#include "halftone_tiles.h"
#include "image.h"
#include "line_screen.h"
#include "shims.h"
#include "trace.h"

namespace {

using image_detail::kBitReverse;  // SSE's mask has the first pixel in bit 0, the printer in bit 7

using HeapBytes = std::unique_ptr<BYTE[], FreeDeleter>;

// Sixteen pixels against their thresholds: bit i of the result is set when
// pixel i is at or above its threshold.
inline unsigned Screen16(const BYTE* gray, const BYTE* thr) {
#if defined(__SSE2__)
  const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(gray));
  const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(thr));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(g, t), g)));
#else
  unsigned bits = 0;
  for (unsigned i = 0; i < 16; ++i) bits |= static_cast<unsigned>(gray[i] >= thr[i]) << i;
  return bits;
#endif
}

// Screens one gray line into a 1-bit line of linebyteHft bytes (zeros past
// the last pixel).
void ScreenLine(const BYTE* gray, BYTE* out, std::size_t linebyteHft, std::size_t pixels, const BYTE* row,
                std::size_t period) {
  std::size_t x = 0, cx = 0;
  for (; x + 16 <= pixels; x += 16) {
    const unsigned bits = Screen16(gray + x, row + cx);
    out[x >> 3] = kBitReverse[bits & 0xff];
    out[(x >> 3) + 1] = kBitReverse[bits >> 8];
    cx += 16;
    if (cx >= period) cx -= period;
  }
  std::memset(out + (x >> 3), 0, linebyteHft - (x >> 3));
  for (; x < pixels; ++x, ++cx)
    if (gray[x] >= row[cx]) out[x >> 3] |= static_cast<BYTE>(0x80u >> (x & 7));
}

// Screens one plane of gray lines into 1-bit lines through the screen.
// out may be gray itself: each line is screened into line before it
// lands, and a 1-bit line never reaches past its gray line. Returns false
// when the job was cancelled; the page is dropped then.
bool ScreenPlane(const BYTE* gray, std::size_t linebyte, BYTE* out, std::size_t linebyteHft,
                 std::size_t lines, std::size_t pixels, const LineScreen& screen, DWORD plane, BYTE* line,
                 const PageSlot& slot) {
  static const char FUNCNAME[] = "ApplyHalftone";
  for (std::size_t y = 0; y < lines; ++y, gray += linebyte, out += linebyteHft) {
    if (slot.Cancelled()) {
      DbgMessage(FUNCNAME, "Cancel job");
      return false;
    }
    screen.Line(plane, y, gray, pixels, line, linebyteHft);
    std::memcpy(out, line, linebyteHft);
  }
  return true;
}

// The HalftoneType ApplyHalftone screens a slot's page with: selection row,
// resolution and engine type.
int ChooseHalftoneType(const PageSlot& slot) {
  static const char FUNCNAME[] = "ApplyHalftone";
  const cups_page_header2_t& h = slot.inheader;
  HalftoneChoice choice = SelectHalftoneType(slot.cupsHTable, h.HWResolution[0],
                                             (slot.Feature[0] & F0_LSU) != 0, slot.SCALE1200 != 0);
  DbgMessage(FUNCNAME, "resolution = %d", choice.resolution);
  DbgMessage(FUNCNAME, "SCALE1200 = %d", slot.SCALE1200);
  if (ClampHalftoneRow(slot.cupsHTable) != slot.cupsHTable)
    DbgMessage(FUNCNAME, "cupsHTable %d out of range, using %d", slot.cupsHTable,
               ClampHalftoneRow(slot.cupsHTable));
  if (choice.changeTable) DbgMessage(FUNCNAME, "change table");
  DbgMessage(FUNCNAME, "HalftoneType = %d", choice.HalftoneType);
  return choice.HalftoneType;
}

}  // namespace

LineScreen::LineScreen(const PageSlot& slot) : LineScreen(slot, ChooseHalftoneType(slot)) {}

LineScreen::LineScreen(const PageSlot& slot, int HalftoneType) {
  static const char FUNCNAME[] = "ApplyHalftone";
  const cups_page_header2_t& h = slot.inheader;

  // Tiles per plane: every plane starts with the default, the type's set
  // replaces what it names.
  const HalftoneTileSet& set = FindHalftoneTileSet(HalftoneType);
  HalftonePlaneTile planes[4];
  for (int j = 0; j < 4; ++j) planes[j] = set.plane[j].name ? set.plane[j] : kDefaultPlaneTile;
  float FixVal = (set.FixValOffOnA3 && (slot.DriverFeature & DF_A3)) ? 0.0f : set.FixVal;
  for (const char* line : set.trace)
    if (line) DbgMessage(FUNCNAME, "%s", line);
  DbgMessage(FUNCNAME, "h_x[0] = %d", planes[0].h_x);
  DbgMessage(FUNCNAME, "h_y[0] = %d", planes[0].h_y);
  DbgMessage(FUNCNAME, "HalftoneType = %d", HalftoneType);

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

  planes_ = h.cupsInteger[4] == 3 ? 4 : 1;
  try {
    for (DWORD j = 0; j < planes_; ++j) {
      const ThresholdTile* tile = FindThresholdTile(planes[j].name);
      if (!tile || !tile->cells || tile->width != planes[j].h_x || tile->height != planes[j].h_y) {
        DbgMessage(FUNCNAME, "threshold tile %s missing or not %d x %d", planes[j].name, planes[j].h_x,
                   planes[j].h_y);
        tiles_.clear();
        return;
      }
      const std::size_t h_x = static_cast<std::size_t>(tile->width);
      const std::size_t h_y = static_cast<std::size_t>(tile->height);
      DbgMessage(FUNCNAME, "h_x = %d", planes[j].h_x);
      DbgMessage(FUNCNAME, "h_y = %d", planes[j].h_y);
      // Each row repeated to a period of at least 16 thresholds and followed
      // by 16 more, so that any 16 pixels from a column inside the period
      // find their thresholds side by side.
      Tile t;
      t.period = h_x * ((16 + h_x - 1) / h_x);
      t.stride = t.period + 16;
      t.height = h_y;
      t.rows.resize(t.stride * h_y);
      for (std::size_t y = 0; y < h_y; ++y)
        for (std::size_t x = 0; x < t.stride; ++x)
          t.rows[y * t.stride + x] = CellThreshold(gammatbl[tile->cells[y * h_x + x % h_x]]);
      tiles_.push_back(std::move(t));
    }
  } catch (const std::bad_alloc&) {
    tiles_.clear();
  }
}

void LineScreen::Line(DWORD plane, std::size_t row, const BYTE* gray, std::size_t pixels, BYTE* out,
                      std::size_t bytes) const {
  const Tile& t = tiles_[plane];
  ScreenLine(gray, out, bytes, pixels, t.rows.data() + (row % t.height) * t.stride, t.period);
}

// Screens the page with the tiles of one HalftoneType, once the type is
// chosen; tick is the caller's entry time for the exit trace.
static BOOL ScreenWithType(PageSlot* slot, int HalftoneType, DWORD tick) {
  static const char FUNCNAME[] = "ApplyHalftone";

  // Output page, sized in 64 bits: the 1-bit line must fit the 16-bit line
  // length and the page must fit pagesize.
  const std::uint64_t width = slot->page_width;
  const std::uint64_t height = slot->page_height;
  const std::uint64_t line64 = ((width + 7) / 8 + 3) / 4 * 4;
  const DWORD linebyteHft = width > 0x7fffffffu ? 0 : GetBMPBytesPerLine(1, static_cast<LONG>(width));
  const std::uint64_t outSize = line64 * height;
  if (!slot->lpbuf || slot->linebyte == 0 || linebyteHft == 0 || height == 0 || line64 != linebyteHft ||
      outSize > 0xffffffffu) {
    DbgMessage(FUNCNAME, "Argument Incorrect");
    DbgMessage(FUNCNAME, "Out, using = %f", SecondsSince(tick));
    return FALSE;
  }

  // Every tile is checked and prepared before the first line is touched, so
  // that a refusal leaves the gray page as it was.
  const LineScreen screen(*slot, HalftoneType);
  const DWORD ColorPlane = screen.Planes();
  const DWORD MultiPlaneHeight = slot->page_height;
  const DWORD SinglePlaneHeight = MultiPlaneHeight / ColorPlane;
  DbgMessage(FUNCNAME, "ColorPlane = %d", static_cast<int>(ColorPlane));
  DbgMessage(FUNCNAME, "MultiPlaneHeight = %d", static_cast<int>(MultiPlaneHeight));
  DbgMessage(FUNCNAME, "SinglePlaneHeight = %d", static_cast<int>(SinglePlaneHeight));

  // Every gray byte of a line is screened, as far as the 1-bit line reaches.
  const std::size_t linebyte = slot->linebyte;
  const std::size_t pixels =
      linebyte < std::size_t{linebyteHft} * 8 ? linebyte : std::size_t{linebyteHft} * 8;

  std::vector<BYTE> line(linebyteHft);
  // The 1-bit page is written over the gray one when it fits (it does for
  // every page wider than a few pixels); otherwise into a page of its own.
  const bool inPlace = outSize <= std::uint64_t{linebyte} * height;
  HeapBytes own;
  if (!inPlace) own.reset(static_cast<BYTE*>(std::calloc(static_cast<std::size_t>(outSize), 1)));
  if (!screen.Ok() || line.empty() || (!inPlace && !own)) {
    DbgMessage(FUNCNAME, "Halftone_tbl is NULL");
    DbgMessage(FUNCNAME, "Out, using = %f", SecondsSince(tick));
    return FALSE;
  }
  BYTE* const out = inPlace ? slot->lpbuf : own.get();

  for (DWORD j = 0; j < ColorPlane; ++j) {
    DbgMessage(FUNCNAME, "Apply Halftone %d Start", static_cast<int>(j));
    DbgMessage(FUNCNAME, "linebyte = %d", static_cast<int>(slot->linebyte));

    const BYTE* src = slot->lpbuf + std::size_t{j} * linebyte * SinglePlaneHeight;
    BYTE* dst = out + std::size_t{j} * linebyteHft * SinglePlaneHeight;
    if (!ScreenPlane(src, linebyte, dst, linebyteHft, SinglePlaneHeight, pixels, screen, j, line.data(),
                     *slot)) {
      DbgMessage(FUNCNAME, "Out, using = %f", SecondsSince(tick));
      return FALSE;
    }
  }

  DbgMessage(FUNCNAME, "Apply Halftone Finish");
  if (!inPlace) {
    std::free(slot->lpbuf);
    slot->lpbuf = own.release();
  }
  slot->linebyte = linebyteHft;
  slot->pagesize = static_cast<DWORD>(outSize);
  DbgMessage(FUNCNAME, "Out, using = %f", SecondsSince(tick));
  return TRUE;
}

// Screens the 8-bit gray page in lpbuf (one plane, or K, Y, M, C stacked)
// into 1 bit per pixel, 1 for light pixels. FALSE leaves the gray page as it
// was: bad geometry, a missing or misfit tile, no memory, or a cancelled job.
BOOL ApplyHalftone(PageSlot* slot) {
  static const char FUNCNAME[] = "ApplyHalftone";
  DWORD tick = GetTickCount();
  DbgMessage(FUNCNAME, "In");
  return ScreenWithType(slot, ChooseHalftoneType(*slot), tick);
}

// Screens the page with the tiles of a given HalftoneType, as ApplyHalftone
// does after choosing it.
BOOL ApplyHalftoneType(PageSlot* slot, int HalftoneType) {
  static const char FUNCNAME[] = "ApplyHalftone";
  DWORD tick = GetTickCount();
  DbgMessage(FUNCNAME, "In, HalftoneType = %d", HalftoneType);
  return ScreenWithType(slot, HalftoneType, tick);
}

// Turns a gray image of the slot's size (lines of page_width bytes) into a
// 1-bit mask in place: 1 where the gray value is above threshold. Lines are
// page_width / 8 bytes; pixels past the last whole byte are dropped. FALSE
// only when there is no image or no memory; the image is then unchanged.
BOOL GrayToLineart(PageSlot* slot, BYTE* lpbuf, int threshold) {
  static const char FUNCNAME[] = "GrayToLineart";
  DWORD tick = GetTickCount();
  DbgMessage(FUNCNAME, "In, threshold = %d", threshold);
  DbgMessage(FUNCNAME, "SCALE1200 = %d", slot->SCALE1200);
  const std::size_t width = slot->page_width;
  const std::size_t height = slot->page_height;
  const std::size_t outLine = width / 8;
  const std::size_t outSize = outLine * height;  // both below 2^32: no overflow in 64 bits

  // Output image and the per-column byte index and bit position.
  static const BYTE ShiftTbl[8] = {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01};
  if (!lpbuf || outLine == 0) {
    DbgMessage(FUNCNAME, "%s", lpbuf ? "nothing to convert" : "no image");
    DbgMessage(FUNCNAME, "Out, using = %f", SecondsSince(tick));
    return lpbuf ? TRUE : FALSE;
  }
  const std::size_t pixels = outLine * 8;
  HeapBytes outImage(static_cast<BYTE*>(std::calloc(outSize, 1)));
  std::unique_ptr<DWORD[], FreeDeleter> tables(static_cast<DWORD*>(std::malloc(2 * pixels * sizeof(DWORD))));
  if (!outImage || !tables) {
    DbgMessage(FUNCNAME, "malloc error");
    DbgMessage(FUNCNAME, "Out, using = %f", SecondsSince(tick));
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
  DbgMessage(FUNCNAME, "Out, using = %f", SecondsSince(tick));
  return TRUE;
}
