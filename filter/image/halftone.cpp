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

// Screens the first `pixels` of each gray row into the 1-bit rows of out
// through the screen. out may share gray's memory: each line is screened
// into line before it lands, and a 1-bit row never reaches past its gray
// row. Returns false when the job was cancelled; the page is dropped then.
bool ScreenPlane(const PlaneView& gray, const PlaneView& out, std::size_t pixels, const LineScreen& screen,
                 DWORD plane, BYTE* line, const PageSlot& slot) {
  static const char FUNCNAME[] = "ApplyHalftone";
  for (DWORD y = 0; y < gray.rows; ++y) {
    if (slot.Cancelled()) {
      DbgMessage(FUNCNAME, "Cancel job");
      return false;
    }
    screen.Line(plane, y, gray.Row(y), pixels, line, out.stride);
    std::memcpy(out.Row(y), line, out.stride);
  }
  return true;
}

// The HalftoneType ApplyHalftone screens a slot's page with: selection row,
// resolution and engine type.
int ChooseHalftoneType(const PageSlot& slot) {
  static const char FUNCNAME[] = "ApplyHalftone";
  const cups_page_header2_t& h = slot.inheader;
  const PageSettings& job = slot.Settings();
  HalftoneChoice choice = SelectHalftoneType(job.cupsHTable, h.HWResolution[0],
                                             (job.Feature[0] & F0_LSU) != 0, job.SCALE1200() != 0);
  DbgMessage(FUNCNAME, "resolution = %d", choice.resolution);
  DbgMessage(FUNCNAME, "SCALE1200 = %d", job.SCALE1200());
  if (ClampHalftoneRow(job.cupsHTable) != job.cupsHTable)
    DbgMessage(FUNCNAME, "cupsHTable %d out of range, using %d", job.cupsHTable,
               ClampHalftoneRow(job.cupsHTable));
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

  planes_ = IsFourColour(slot.colourMode) ? 4 : 1;
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
  // length and the page must fit 32 bits.
  const std::uint64_t width = slot->page_width;
  const std::uint64_t height = slot->page_height;
  const std::uint64_t line64 = ((width + 7) / 8 + 3) / 4 * 4;
  const DWORD linebyteHft = width > 0x7fffffffu ? 0 : GetBMPBytesPerLine(1, static_cast<LONG>(width));
  const std::uint64_t outSize = line64 * height;
  if (!slot->page || slot->linebyte == 0 || linebyteHft == 0 || height == 0 || line64 != linebyteHft ||
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
  PageBuffer own;
  if (!inPlace) own = PageBuffer::Filled(static_cast<std::size_t>(outSize), 0);
  if (!screen.Ok() || line.empty() || (!inPlace && !own)) {
    DbgMessage(FUNCNAME, "Halftone_tbl is NULL");
    DbgMessage(FUNCNAME, "Out, using = %f", SecondsSince(tick));
    return FALSE;
  }
  BYTE* const out = inPlace ? slot->page.data() : own.data();

  for (DWORD j = 0; j < ColorPlane; ++j) {
    DbgMessage(FUNCNAME, "Apply Halftone %d Start", static_cast<int>(j));
    DbgMessage(FUNCNAME, "linebyte = %d", static_cast<int>(slot->linebyte));

    const PlaneView gray = slot->Plane(j, ColorPlane);
    const PlaneView bits{out + std::size_t{j} * linebyteHft * SinglePlaneHeight, slot->page_width,
                         SinglePlaneHeight, linebyteHft};
    if (!gray || !ScreenPlane(gray, bits, pixels, screen, j, line.data(), *slot)) {
      DbgMessage(FUNCNAME, "Out, using = %f", SecondsSince(tick));
      return FALSE;
    }
  }

  DbgMessage(FUNCNAME, "Apply Halftone Finish");
  if (inPlace)
    slot->page.Truncate(static_cast<std::size_t>(outSize));
  else
    slot->page = std::move(own);
  slot->linebyte = linebyteHft;
  DbgMessage(FUNCNAME, "Out, using = %f", SecondsSince(tick));
  return TRUE;
}

// Screens the 8-bit gray page in the slot (one plane, or K, Y, M, C stacked)
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

BOOL GrayToLineart(const PlaneView& gray, int threshold) {
  static const char FUNCNAME[] = "GrayToLineart";
  DWORD tick = GetTickCount();
  DbgMessage(FUNCNAME, "In, threshold = %d", threshold);
  const std::size_t width = gray.width;
  const std::size_t height = gray.rows;
  const std::size_t outLine = width / 8;
  const std::size_t outSize = outLine * height;  // both below 2^32: no overflow in 64 bits

  // Output image and the per-column byte index and bit position.
  static const BYTE ShiftTbl[8] = {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01};
  if (!gray.bits || outLine == 0) {
    DbgMessage(FUNCNAME, "%s", gray.bits ? "nothing to convert" : "no image");
    DbgMessage(FUNCNAME, "Out, using = %f", SecondsSince(tick));
    return gray.bits ? TRUE : FALSE;
  }
  const std::size_t pixels = outLine * 8;
  std::vector<BYTE> outImage;
  std::vector<DWORD> tables;
  try {
    outImage.assign(outSize, 0);
    tables.resize(2 * pixels);
  } catch (const std::bad_alloc&) {
    DbgMessage(FUNCNAME, "malloc error");
    DbgMessage(FUNCNAME, "Out, using = %f", SecondsSince(tick));
    return FALSE;
  }
  DWORD* s_Tbli = tables.data();
  DWORD* s_Tblr = s_Tbli + pixels;
  for (std::size_t x = 0; x < pixels; ++x) {
    s_Tbli[x] = static_cast<DWORD>(x / 8);
    s_Tblr[x] = static_cast<DWORD>(x % 8);
  }

  BYTE* dst = outImage.data();
  for (DWORD y = 0; y < height; ++y, dst += outLine) {
    const BYTE* src = gray.Row(y);
    for (std::size_t x = 0; x < pixels; ++x)
      if (src[x] > threshold) dst[s_Tbli[x]] |= ShiftTbl[s_Tblr[x]];
  }

  std::memcpy(gray.bits, outImage.data(), outSize);
  DbgMessage(FUNCNAME, "Out, using = %f", SecondsSince(tick));
  return TRUE;
}
