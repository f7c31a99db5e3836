// Page geometry: the zero-edge border, user scaling and resolution change,
// and the fit to the paper's printable area. Each stage replaces the slot's
// page buffer and its geometry fields, or shrinks the page in place.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "feature_bits.h"
#include "geometry_internal.h"
#include "image.h"
#include "paper_table.h"
#include "shims.h"
#include "trace.h"

using image_detail::AlignUp32;
using image_detail::CheckedMul;
using image_detail::SlotHolds;

namespace {

// A zero-edge (full-bleed) page has its imaging box at the paper's corner.
bool IsZeroEdge(const cups_page_header2_t& h) {
  return h.ImagingBoundingBox[0] == 0 && h.ImagingBoundingBox[1] == 0;
}

// Checks that the slot holds a one-byte-per-pixel page of whole planes that
// its buffer really covers; traces the reason otherwise.
bool GrayPageUsable(const char* funcName, const PageSlot& job, DWORD ColorPlane) {
  if (!job.page || job.page_width == 0 || job.page_height < ColorPlane) {
    DbgMessage(funcName, "no page");
    return false;
  }
  if (job.linebyte != job.page_width) {
    DbgMessage(funcName, "page is not one byte per pixel, linebyte = %u", job.linebyte);
    return false;
  }
  if (!SlotHolds(job, job.page_width, job.page_height)) {
    DbgMessage(funcName, "page buffer smaller than %u x %u", job.page_width, job.page_height);
    return false;
  }
  return true;
}

// Sets the slot's one-byte-per-pixel geometry for its (new) page.
void SetGrayGeometry(PageSlot* slot, DWORD width, DWORD height, DWORD ColorPlane) {
  slot->page_width = width;
  slot->linebyte = width;
  slot->page_height = ColorPlane * height;
}

// What Lib_DoScaling does to a page: whether it makes a new page at all,
// and the percentage it scales by (0 when the page has no resolution).
struct PageScaling {
  bool acts = false;
  std::uint64_t percent = 100;
};

PageScaling ScalingOf(const PageSlot& job) {
  const DWORD Xresolution = job.inheader.HWResolution[0];
  std::uint64_t ratio = job.inheader.cupsInteger[7];
  const bool DoScale = ratio != 100 && ratio != 0;
  if (!DoScale) ratio = 100;
  const bool halve1200 = job.SCALE1200() != 0 && Xresolution == 1200;
  if (!(halve1200 || Xresolution < 600 || DoScale)) return {};
  // At 1200 dpi without SCALE1200 the page stays at 1200 dpi and only the
  // user's percentage applies.
  if (!(job.SCALE1200() == 0 && Xresolution == 1200)) ratio = Xresolution ? ratio * 600 / Xresolution : 0;
  return {true, ratio};
}

// The resolution the whole-page step lays the page out at.
std::uint64_t OutputResolution(const PageSlot& job) {
  const cups_page_header2_t& own = job.inheader;
  return job.SCALE1200() ? 600 : (own.HWResolution[0] < 600 ? 600 : own.HWResolution[0]);
}

}  // namespace

const char* PageBeyondPrinter(const PageSlot& job) {
  const cups_page_header2_t& h = job.inheader;
  // The largest paper: the PPD's largest media size, when it is a size at
  // all, or the largest paper of the table the PPD offers.
  double paperW = 0, paperH = 0;
  auto take = [&paperW, &paperH](double w, double h) {
    if (w > 0 && w <= kLargestMediaPoints && h > 0 && h <= kLargestMediaPoints) {
      if (w > paperW) paperW = w;
      if (h > paperH) paperH = h;
    }
  };
  take(job.MaxMediaWidth, job.MaxMediaHeight);
  if (job.Settings().paperTable)
    for (const PAPERFORMAT& row : *job.Settings().paperTable)
      if (row.enable) take(row.w, row.h);
  if (paperW == 0) take(595, 842);

  // Twice that paper at the job's resolution, which is at least the 600 dpi
  // every page is brought to and at most the engine's 1200 dpi.
  const double dpi = h.HWResolution[0] < 600 ? 600 : h.HWResolution[0] > 1200 ? 1200 : h.HWResolution[0];
  const double capW = 2 * paperW * dpi / 72, capH = 2 * paperH * dpi / 72;

  if (h.cupsWidth > capW || h.cupsHeight > capH) return "page larger than twice the largest paper";
  const PageScaling scaling = ScalingOf(job);
  const double scale = scaling.acts ? static_cast<double>(scaling.percent) / 100 : 1;
  if (h.cupsWidth * scale > capW || h.cupsHeight * scale > capH)
    return "page larger than twice the largest paper once scaled";
  const double out = static_cast<double>(OutputResolution(job));
  if (paperW * out / 72 > capW || paperH * out / 72 > capH) return "resolution too high for the paper";
  return nullptr;
}

// Makes the unprintable border of a zero-edge page: crops a band around it,
// or shrinks the page into the smaller area when zero edge is 1.
BOOL Lib_DoImageCrop(PageSlot* slot) {
  static const char FUNCNAME[] = "Lib_DoImageCrop";
  const FunctionTrace trace(FUNCNAME);
  const cups_page_header2_t& hdr = slot->inheader;
  if (!IsZeroEdge(hdr)) {
    DbgMessage(FUNCNAME, "not zero edge model");
    return TRUE;
  }

  const DWORD ColorPlane = slot->Planes();
  if (!GrayPageUsable(FUNCNAME, *slot, ColorPlane)) {
    return FALSE;
  }
  const std::int64_t srcWidth = slot->page_width;
  const std::int64_t srcHeight = slot->page_height / ColorPlane;

  // A third of an inch taken off each dimension, rounded to 32 pixels.
  const std::int64_t margin = (static_cast<std::int64_t>(hdr.HWResolution[0]) * 24) / -72;
  const std::int64_t width = (srcWidth + margin + 31) / 32 * 32;
  const std::int64_t height = (srcHeight + margin + 31) / 32 * 32;
  DbgMessage(FUNCNAME, "width = %d", static_cast<int>(width));
  DbgMessage(FUNCNAME, "height = %d", static_cast<int>(height));
  DbgMessage(FUNCNAME, "CUSP_Width = %d", static_cast<int>(srcWidth));
  DbgMessage(FUNCNAME, "CUSP_Height = %d", static_cast<int>(srcHeight));
  DbgMessage(FUNCNAME, "page_width = %d", static_cast<int>(slot->page_width));
  DbgMessage(FUNCNAME, "page_height = %d", static_cast<int>(slot->page_height));
  if (width <= 0 || height <= 0) {
    DbgMessage(FUNCNAME, "page smaller than its border");
    return FALSE;
  }

  const std::uint64_t srcPlane = static_cast<std::uint64_t>(srcWidth) * srcHeight;
  const std::uint64_t trgPlane = static_cast<std::uint64_t>(width) * height;

  // A plain crop of a band no larger than the page is done in place: each
  // line moves towards the start of the buffer, never onto a line not yet
  // moved, so no second page buffer is needed.
  if (hdr.cupsInteger[3] != 1 && width <= srcWidth && height <= srcHeight) {
    DbgMessage(FUNCNAME, "crop process in place");
    const std::int64_t xMargin = (srcWidth - width) / 2;
    const std::int64_t yMargin = (srcHeight - height) / 2;
    DbgMessage(FUNCNAME, "xMargin = %d", static_cast<int>(xMargin));
    DbgMessage(FUNCNAME, "yMargin = %d", static_cast<int>(yMargin));
    BYTE* buf = slot->page.data();
    for (DWORD i = 0; i < ColorPlane; ++i)
      for (std::int64_t y = 0; y < height; ++y)
        std::memmove(buf + i * trgPlane + y * width, buf + i * srcPlane + (yMargin + y) * srcWidth + xMargin,
                     static_cast<std::size_t>(width));
    slot->page.ShrinkTo(trgPlane * ColorPlane);
    SetGrayGeometry(slot, static_cast<DWORD>(width), static_cast<DWORD>(height), ColorPlane);
    DbgMessage(FUNCNAME, "crop process finish");
    return TRUE;
  }

  // The scaler may round one line past a plane; the spare lines absorb it.
  auto cropBytes =
      CheckedMul(static_cast<std::uint64_t>(height) + 100, static_cast<std::uint64_t>(width), ColorPlane);
  PageBuffer cropped = cropBytes ? PageBuffer::Filled(*cropBytes, 255) : PageBuffer{};
  if (!cropped) {
    DbgMessage(FUNCNAME, "malloc error");
    return FALSE;
  }
  BYTE* lpCrop = cropped.data();

  if (hdr.cupsInteger[3] == 1) {
    DbgMessage(FUNCNAME, "scale process");
    const float xRatio = static_cast<float>(width) / static_cast<float>(srcWidth);
    const float yRatio = static_cast<float>(height) / static_cast<float>(srcHeight);
    DbgMessage(FUNCNAME, "xRate = %f", xRatio);
    DbgMessage(FUNCNAME, "yRate = %f", yRatio);
    for (DWORD i = 0; i < ColorPlane; ++i) {
      image_detail::ScaleImageLimited(slot->page.data() + i * srcPlane, static_cast<DWORD>(srcWidth),
                                      static_cast<DWORD>(srcHeight), static_cast<DWORD>(srcHeight),
                                      lpCrop + i * trgPlane, static_cast<DWORD>(width),
                                      static_cast<int>(xRatio * 1000), static_cast<int>(yRatio * 1000), 8,
                                      static_cast<DWORD>(height), slot->events);
    }
    DbgMessage(FUNCNAME, "scale process finish");
  } else {
    DbgMessage(FUNCNAME, "crop process");
    // The band is centred; a margin that would start before the page (a
    // plane not a multiple of 32) starts at its edge instead.
    std::int64_t xMargin = (srcWidth - width) / 2;
    std::int64_t yMargin = (srcHeight - height) / 2;
    DbgMessage(FUNCNAME, "xMargin = %d", static_cast<int>(xMargin));
    DbgMessage(FUNCNAME, "yMargin = %d", static_cast<int>(yMargin));
    if (xMargin < 0) xMargin = 0;
    if (yMargin < 0) yMargin = 0;
    const std::int64_t copyBytes = width < srcWidth - xMargin ? width : srcWidth - xMargin;
    const std::int64_t copyLines = height < srcHeight - yMargin ? height : srcHeight - yMargin;
    for (DWORD i = 0; i < ColorPlane; ++i) {
      const BYTE* src = slot->page.data() + i * srcPlane + yMargin * srcWidth + xMargin;
      BYTE* dst = lpCrop + i * trgPlane;
      for (std::int64_t y = 0; y < copyLines; ++y) {
        std::memcpy(dst + y * width, src + y * srcWidth, static_cast<std::size_t>(copyBytes));
      }
    }
    DbgMessage(FUNCNAME, "crop process finish");
  }

  // The spare lines are no part of the page.
  cropped.Truncate(trgPlane * ColorPlane);
  slot->page = std::move(cropped);
  SetGrayGeometry(slot, static_cast<DWORD>(width), static_cast<DWORD>(height), ColorPlane);
  return TRUE;
}

// Applies the user's scaling and brings the page to 600 dpi.
BOOL Lib_DoScaling(PageSlot* slot) {
  static const char FUNCNAME[] = "Lib_DoScaling";
  DbgMessage(FUNCNAME, "In");
  DbgMessage(FUNCNAME, "Xresolution = %d", static_cast<int>(slot->inheader.HWResolution[0]));
  DbgMessage(FUNCNAME, "ratio = %d", static_cast<int>(slot->inheader.cupsInteger[7]));

  const PageScaling scaling = ScalingOf(*slot);
  if (!scaling.acts) {
    DbgMessage(FUNCNAME, "out, rc = %d", TRUE);
    return TRUE;
  }
  if (scaling.percent == 0) {
    DbgMessage(FUNCNAME, "no resolution in the page header");
    DbgMessage(FUNCNAME, "out, rc = %d", FALSE);
    return FALSE;
  }
  const std::uint64_t ratio = scaling.percent;
  DbgMessage(FUNCNAME, "ratio = %d", static_cast<int>(ratio));

  const DWORD ColorPlane = slot->Planes();
  DbgMessage(FUNCNAME, "ColorPlane = %d", static_cast<int>(ColorPlane));
  if (!GrayPageUsable(FUNCNAME, *slot, ColorPlane)) {
    DbgMessage(FUNCNAME, "out, rc = %d", FALSE);
    return FALSE;
  }
  const std::uint64_t src_width = slot->page_width;
  const std::uint64_t src_height = slot->page_height / ColorPlane;
  // ratio × 10 is the scaler's factor in thousandths and must stay an int;
  // the scaled size must fit a page buffer.
  auto scaledW = CheckedMul(src_width, ratio);
  auto scaledH = CheckedMul(src_height, ratio);
  if (ratio == 0 || ratio > INT32_MAX / 10 || !scaledW || !scaledH) {
    DbgMessage(FUNCNAME, "scaling %llu out of range", static_cast<unsigned long long>(ratio));
    DbgMessage(FUNCNAME, "out, rc = %d", FALSE);
    return FALSE;
  }
  const std::uint64_t width = AlignUp32(*scaledW / 100);
  const std::uint64_t height = AlignUp32(*scaledH / 100);
  DbgMessage(FUNCNAME, "width = %d", static_cast<int>(width));
  DbgMessage(FUNCNAME, "height = %d", static_cast<int>(height));
  DbgMessage(FUNCNAME, "ratioX = %d", static_cast<int>(width * 100 / src_width));
  DbgMessage(FUNCNAME, "ratioY = %d", static_cast<int>(height * 100 / src_height));
  DbgMessage(FUNCNAME, "ratio = %d", static_cast<int>(ratio));

  auto pageBytes = CheckedMul(ColorPlane, height, width);
  PageBuffer scaled = pageBytes ? PageBuffer::Allocate(*pageBytes) : PageBuffer{};
  if (!scaled) {
    DbgMessage(FUNCNAME, "out, rc = %d", FALSE);
    return FALSE;
  }

  const std::uint64_t srcPlane = src_width * src_height;
  const std::uint64_t trgPlane = width * height;
  const int factor = static_cast<int>(ratio * 10);
  for (DWORD i = 0; i < ColorPlane; ++i) {
    DbgMessage(FUNCNAME, "out, i = %d", static_cast<int>(i));
    BYTE* lpScale = scaled.data();
    std::memset(lpScale + i * trgPlane, 255, trgPlane);
    image_detail::ScaleImageLimited(slot->page.data() + i * srcPlane, static_cast<DWORD>(src_width),
                                    static_cast<DWORD>(src_height), static_cast<DWORD>(src_height),
                                    lpScale + i * trgPlane, static_cast<DWORD>(width), factor, factor, 8,
                                    static_cast<DWORD>(height), slot->events);
  }

  slot->page = std::move(scaled);
  SetGrayGeometry(slot, static_cast<DWORD>(width), static_cast<DWORD>(height), ColorPlane);
  DbgMessage(FUNCNAME, "out, rc = %d", TRUE);
  return TRUE;
}

// The printable area of the slot's paper at the output resolution, both
// sides rounded up to 32 pixels (0 when the paper is smaller than its
// margins).
static void PrintableArea(const PageSlot& job, std::uint64_t* alignedWidth, std::uint64_t* alignedHeight) {
  static const char FUNCNAME[] = "Lib_DoWholePage";
  const cups_page_header2_t& own = job.inheader;
  const std::uint64_t resolution = OutputResolution(job);
  const cups_page_header2_t& work = (job.DriverFeature & DF_A3) ? own : job.referenceHeader;
  DbgMessage(FUNCNAME, "In");

  // Total margin in points: a third of an inch for zero-edge pages, else
  // both side margins with each limited to 12.
  const std::uint64_t M = IsZeroEdge(own) ? 24 : 2 * (own.Margins[0] > 12 ? 12 : own.Margins[0]);
  DbgMessage(FUNCNAME, "SCALE1200 = %d", job.SCALE1200());
  DbgMessage(FUNCNAME, "PageSize[0] = %d", static_cast<int>(work.PageSize[0]));
  DbgMessage(FUNCNAME, "PageSize[1] = %d", static_cast<int>(work.PageSize[1]));
  DbgMessage(FUNCNAME, "MaxMediaWidth = %f", job.MaxMediaWidth);
  DbgMessage(FUNCNAME, "MaxMediaHeight = %f", job.MaxMediaHeight);

  int NeedCrop = 2;
  const PaperTable noPaper{};
  for (const PAPERFORMAT& row : job.Settings().paperTable ? *job.Settings().paperTable : noPaper) {
    if (row.enable && row.w >= 0 && row.h >= 0 && static_cast<unsigned>(row.w) == work.PageSize[0] &&
        static_cast<unsigned>(row.h) == work.PageSize[1]) {
      NeedCrop = (own.cupsInteger[7] != 100 && own.cupsInteger[7] != 0) ? 1 : 0;
      break;
    }
  }
  DbgMessage(FUNCNAME, "NeedCrop = %d", NeedCrop);

  // Printable size in pixels. A paper size smaller than the margin would
  // wrap around in unsigned arithmetic; it is refused.
  std::int64_t width = 0, height = 0;
  if (NeedCrop == 2 && (static_cast<float>(work.PageSize[0]) > job.MaxMediaWidth ||
                        static_cast<float>(work.PageSize[1]) > job.MaxMediaHeight)) {
    const float w = (job.MaxMediaWidth - static_cast<float>(M)) * static_cast<float>(resolution) / 72;
    const float h = (job.MaxMediaHeight - static_cast<float>(M)) * static_cast<float>(resolution) / 72;
    width = w >= 1 && w < 4294967296.0f ? static_cast<std::int64_t>(w) : 0;
    height = h >= 1 && h < 4294967296.0f ? static_cast<std::int64_t>(h) : 0;
    DbgMessage(FUNCNAME, "width = %d", static_cast<int>(width));
    DbgMessage(FUNCNAME, "height = %d", static_cast<int>(height));
  } else {
    // PageSize and resolution are both below 2^32, so the products fit 64 bits.
    if (work.PageSize[0] > M) width = static_cast<std::int64_t>((work.PageSize[0] - M) * resolution / 72);
    if (work.PageSize[1] > M) height = static_cast<std::int64_t>((work.PageSize[1] - M) * resolution / 72);
    if (NeedCrop == 2) {
      DbgMessage(FUNCNAME, "width = %d", static_cast<int>(width));
      DbgMessage(FUNCNAME, "height = %d", static_cast<int>(height));
    }
  }
  *alignedWidth = AlignUp32(static_cast<std::uint64_t>(width));
  *alignedHeight = AlignUp32(static_cast<std::uint64_t>(height));
}

bool GeometryOnlyPlaces(const PageSlot& job, DWORD* width, DWORD* height) {
  if (IsZeroEdge(job.inheader) || ScalingOf(job).acts) return false;
  std::uint64_t g = 0, h = 0;
  PrintableArea(job, &g, &h);
  // The whole-page step's limits for the gray page, and a 1-bit line that
  // fits the halftoning's 16-bit line length.
  if (g == 0 || h == 0 || g > 0xFFFF * 8 || !CheckedMul(g, h, job.Planes())) return false;
  *width = static_cast<DWORD>(g);
  *height = static_cast<DWORD>(h);
  return true;
}

// Places the page at the top left of a white page as large as the printable
// area of its paper, clipping what does not fit.
BOOL Lib_DoWholePage(PageSlot* slot) {
  static const char FUNCNAME[] = "Lib_DoWholePage";
  const cups_page_header2_t& own = slot->inheader;
  std::uint64_t g = 0, h = 0;
  PrintableArea(*slot, &g, &h);
  const bool oneBit = own.cupsBitsPerPixel <= 7;
  const std::uint64_t WholeLineBytes = oneBit ? g / 8 : g;
  const DWORD ColorPlane = slot->Planes();
  DbgMessage(FUNCNAME, "alignment width = %d", static_cast<int>(g));
  DbgMessage(FUNCNAME, "alignment height = %d", static_cast<int>(h));
  DbgMessage(FUNCNAME, "ColorPlane = %d", static_cast<int>(ColorPlane));

  const std::uint64_t oldLine = oneBit ? (std::uint64_t{slot->page_width} + 7) / 8 : slot->page_width;
  const std::uint64_t oldPlaneH = slot->page_height / ColorPlane;
  auto wholeBytes = CheckedMul(WholeLineBytes, h, ColorPlane);
  if (g == 0 || h == 0 || !wholeBytes || g > image_detail::kMaxPageBytes) {
    DbgMessage(FUNCNAME, "printable area out of range");
    DbgMessage(FUNCNAME, "out, rc = %d", FALSE);
    return FALSE;
  }
  if (oldLine == 0 || oldPlaneH == 0 || !SlotHolds(*slot, oldLine, oldPlaneH * ColorPlane)) {
    DbgMessage(FUNCNAME, "page buffer smaller than its geometry");
    DbgMessage(FUNCNAME, "out, rc = %d", FALSE);
    return FALSE;
  }
  // A printable area no wider and no taller than the page is laid out in the
  // page's own buffer: each line moves to an address no later than its own,
  // so no line is overwritten before it has moved. Otherwise a new buffer.
  const bool inPlace = WholeLineBytes <= oldLine && h <= oldPlaneH;
  PageBuffer whole = inPlace ? PageBuffer{} : PageBuffer::Allocate(*wholeBytes);
  if (!inPlace && !whole) {
    DbgMessage(FUNCNAME, "out, rc = %d", FALSE);
    return FALSE;
  }

  DbgMessage(FUNCNAME, "page_width = %d", static_cast<int>(slot->page_width));
  DbgMessage(FUNCNAME, "page_height = %d", static_cast<int>(oldPlaneH));
  const std::uint64_t copyLines = h < oldPlaneH ? h : oldPlaneH;
  std::uint64_t copyBytes = g < slot->page_width ? g : slot->page_width;
  BYTE* const lpWhole = inPlace ? slot->page.data() : whole.data();
  if (oneBit) copyBytes /= 8;
  for (DWORD i = 0; i < ColorPlane; ++i) {
    const BYTE* src = slot->page.data() + i * oldPlaneH * oldLine;
    BYTE* dst = lpWhole + i * h * WholeLineBytes;
    for (std::uint64_t y = 0; y < copyLines; ++y) {
      BYTE* line = dst + y * WholeLineBytes;
      std::memmove(line, src + y * oldLine, copyBytes);
      std::memset(line + copyBytes, 255, WholeLineBytes - copyBytes);
    }
    std::memset(dst + copyLines * WholeLineBytes, 255, (h - copyLines) * WholeLineBytes);
  }

  if (inPlace)
    slot->page.Truncate(*wholeBytes);
  else
    slot->page = std::move(whole);
  slot->page_height = static_cast<DWORD>(h * ColorPlane);
  slot->page_width = static_cast<DWORD>(g);
  slot->linebyte = static_cast<DWORD>(WholeLineBytes);
  DbgMessage(FUNCNAME, "page_width = %d", static_cast<int>(slot->page_width));
  DbgMessage(FUNCNAME, "page_height = %d", static_cast<int>(slot->page_height));
  DbgMessage(FUNCNAME, "out, rc = %d", TRUE);
  return TRUE;
}
