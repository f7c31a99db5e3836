// Separation of colour pages into stacked 8-bit planes, line by line.
#include <atomic>
#include <cstdint>
#include <cstring>

#include "colour_pages.h"
#include "colour_plugin.h"
#include "feature_bits.h"
#include "image.h"
#include "ink_rules.h"
#include "shims.h"
#include "trace.h"

namespace {

// A pixel is red when its red, less the ColorLevel, is above both green and
// blue, and its red is above this.
constexpr int kRedFloor = 150;

const char* NameOf(Separation s) {
  switch (s) {
    case Separation::RgbToCmyk:
      return "Page_24BitProcessAndSaveCMYK";
    case Separation::CmykRaster:
      return "Page_32BitProcessCMYK";
    case Separation::BlackRed:
      return "Page_24BitProcessRedColor";
    default:
      return "GetCUPSPageDataEx";
  }
}

// Spreads C, M, Y, K pixels (step bytes apart, 255 full colorant) over the
// four planes, each with 255 for no colorant; returns the pixels with ink.
std::uint64_t SplitInks(const BYTE* p, DWORD pixels, std::size_t step, BYTE* K, BYTE* Y, BYTE* M, BYTE* C) {
  std::uint64_t inked = 0;
  for (DWORD k = 0; k < pixels; ++k, p += step) {
    K[k] = static_cast<BYTE>(255 - p[3]);
    Y[k] = static_cast<BYTE>(255 - p[2]);
    M[k] = static_cast<BYTE>(255 - p[1]);
    C[k] = static_cast<BYTE>(255 - p[0]);
    inked += (p[0] | p[1] | p[2] | p[3]) != 0;
  }
  return inked;
}

// Red, green, blue of C, M, Y, K pixels (step bytes apart): each ink takes
// away its share of the light the others left.
void CmykToRgb(const BYTE* p, DWORD pixels, std::size_t step, BYTE* rgb) {
  for (DWORD k = 0; k < pixels; ++k, p += step, rgb += 3) {
    const int white = 255 - p[3];
    for (int i = 0; i < 3; ++i) rgb[i] = static_cast<BYTE>(((255 - p[i]) * white + 127) / 255);
  }
}

// The built-in rule over a line of packed RGB pixels, finished as the
// plug-in finishes its own.
void RuleLine(const BYTE* rgb, DWORD pixels, BYTE* cmyk) {
  for (DWORD k = 0; k < pixels; ++k, rgb += 3, cmyk += 4) {
    ink_rules::RuleInks(rgb, cmyk);
    ink_rules::NeutralBlackAndLimit(rgb, cmyk);
  }
}

void Invert(BYTE* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<BYTE>(255 - p[i]);
}

}  // namespace

Separation SeparationFor(const cups_page_header2_t& h, ColourMode mode) {
  if (h.cupsBitsPerColor != 8) return Separation::None;
  // A CMYK raster for the black-and-red model goes through RGB to the red
  // rule, so that its red is not printed black.
  if (h.cupsColorSpace == CUPS_CSPACE_CMYK) {
    if (h.cupsBitsPerPixel != 32) return Separation::None;
    return IsFourColour(mode) ? Separation::CmykRaster
           : IsBlackRed(mode) ? Separation::BlackRed
                              : Separation::None;
  }
  if (h.cupsBitsPerPixel != 24 && h.cupsBitsPerPixel != 32) return Separation::None;
  if (IsBlackRed(mode)) return Separation::BlackRed;
  if (IsFourColour(mode)) return Separation::RgbToCmyk;
  return Separation::None;
}

DWORD SeparationPlanes(Separation s) {
  return s == Separation::BlackRed ? 2 : s == Separation::None ? 1 : 4;
}

PageSeparation::PageSeparation(PageSlot* slot, Separation kind, bool lineByLine)
    : slot_(slot), kind_(kind), name_(NameOf(kind)), tick_(GetTickCount()), lineByLine_(lineByLine) {}

PageSeparation::~PageSeparation() {
  if (!finished_) Finish(0);
}

void PageSeparation::Finish(int rc) {
  if (lpTetra_ && plugin_ && plugin_->fnKR_IccP_Del) plugin_->fnKR_IccP_Del(lpTetra_);
  lpTetra_ = nullptr;
  if (rawDump_) std::fclose(rawDump_);
  rawDump_ = nullptr;
  finished_ = true;
  DbgMessage(name_, "Out, using %f sec, rc = %d", SecondsSince(tick_), rc);
}

bool PageSeparation::Begin() {
  const char* FUNCNAME = name_;
  DbgMessage(FUNCNAME, "In");
  width_ = slot_->page_width;
  height_ = slot_->page_height;
  const std::uint64_t planeSize = static_cast<std::uint64_t>(width_) * height_;
  const std::uint64_t total = (lineByLine_ ? width_ : planeSize) * SeparationPlanes(kind_);
  DbgMessage(FUNCNAME, "block_width = %u", static_cast<unsigned>(width_));
  DbgMessage(FUNCNAME, "block_height = %u", static_cast<unsigned>(height_));
  DbgMessage(FUNCNAME, "linebytes = %u", static_cast<unsigned>(slot_->linebyte));
  DbgMessage(FUNCNAME, "pagesize = %llu", static_cast<unsigned long long>(planeSize));
  if (kind_ == Separation::BlackRed)
    DbgMessage(FUNCNAME, "TwinColorDiff = %d", static_cast<BYTE>(slot_->inheader.cupsInteger[5]));
  DbgMessage(FUNCNAME, "SCALE1200 = %d", slot_->SCALE1200());
  if (kind_ == Separation::None || total == 0 || total > 0x7FFFFFFFu) {
    DbgMessage(FUNCNAME, "no planes for this page");
    Finish(0);
    return false;
  }

  cmykSource_ = slot_->inheader.cupsColorSpace == CUPS_CSPACE_CMYK;
  // A negative of four colours is taken in RGB, before the inks are made:
  // white paper becomes black toner, not four inks on top of each other.
  negative_ = kind_ != Separation::BlackRed && slot_->inheader.cupsInteger[1] != 0;
  if (negative_) DbgMessage(FUNCNAME, "negative: RGB inverted before separation");
  if (kind_ == Separation::RgbToCmyk) {
    plugin_ = slot_->Settings().colourPlugin;
    if (!plugin_ || !plugin_->Loaded() || !plugin_->fnKR_IccP_SetProfile || !plugin_->fnKR_IccP_Convert) {
      DbgMessage(FUNCNAME, "colour plug-in or its entries missing: built-in rule");
      plugin_ = nullptr;
    }
  }
  planes_ = PageBuffer::Allocate(static_cast<std::size_t>(total));
  line_.reset(static_cast<BYTE*>(std::malloc(std::size_t{width_} * 7 + 4)));
  if (!planes_ || !line_) {
    DbgMessage(FUNCNAME, "malloc error");
    Finish(0);
    return false;
  }

  if (plugin_) {
    short Option[IccOptionMax] = {};
    lpTetra_ = plugin_->fnKR_IccP_SetProfile(plugin_->Profile(), Option);
    if (lpTetra_)
      DbgMessage(FUNCNAME, "set icc success");
    else
      DbgMessage(FUNCNAME, "lpTetra is NULL=====> built-in rule");
  }
  if (kind_ == Separation::CmykRaster) {
    std::string raw;
    rawDump_ = CreatePageDump(PageDumpName(slot_->Settings().jobID, slot_->PageIndex, "raw"), &raw);
    if (!raw.empty()) DbgMessage(FUNCNAME, "save image to %s", raw.c_str());
    if (!raw.empty() && !rawDump_) DbgMessage(FUNCNAME, "cannot create %s", raw.c_str());
  }
  return true;
}

void PageSeparation::Line(const BYTE* src, DWORD pixels, DWORD srcStep) {
  if (rows_ >= height_ || !planes_) return;
  const DWORD y = rows_++;
  if (pixels > width_) pixels = width_;
  const std::size_t plane = std::size_t{width_} * (lineByLine_ ? 1 : height_);
  BYTE* K = planes_.data() + (lineByLine_ ? 0 : std::size_t{y} * width_);
  BYTE* Y = K + plane;
  BYTE* M = Y + plane;
  BYTE* C = M + plane;
  BYTE* tmp = line_.get();

  switch (kind_) {
    case Separation::RgbToCmyk: {
      // The converter writes the first 4 x width bytes of the line buffer;
      // a 32-bit pixel, or a negative, is packed to 3 bytes behind them.
      BYTE* out = tmp;
      const BYTE* rgb = src;
      if (srcStep != 3 || negative_) {
        BYTE* packed = tmp + std::size_t{width_} * 4;
        for (DWORD k = 0; k < pixels; ++k)
          std::memcpy(packed + 3 * std::size_t{k}, src + std::size_t{k} * srcStep, 3);
        if (negative_) Invert(packed, 3 * std::size_t{pixels});
        rgb = packed;
      }
      if (lpTetra_)
        plugin_->fnKR_IccP_Convert(lpTetra_, rgb, out, static_cast<long>(pixels));
      else
        RuleLine(rgb, pixels, out);
      inked_ += SplitInks(out, pixels, 4, K, Y, M, C);
      break;
    }
    case Separation::CmykRaster: {
      if (rawDump_) std::fwrite(src, 1, std::size_t{pixels} * srcStep, rawDump_);
      if (negative_) {
        // The inks' negative: through RGB, inverted, back by the rule.
        BYTE* packed = tmp + std::size_t{width_} * 4;
        CmykToRgb(src, pixels, srcStep, packed);
        Invert(packed, 3 * std::size_t{pixels});
        RuleLine(packed, pixels, tmp);
        inked_ += SplitInks(tmp, pixels, 4, K, Y, M, C);
      } else {
        inked_ += SplitInks(src, pixels, srcStep, K, Y, M, C);
      }
      break;
    }
    case Separation::BlackRed: {
      if (cmykSource_) {
        BYTE* packed = tmp + std::size_t{width_} * 4;
        CmykToRgb(src, pixels, srcStep, packed);
        src = packed;
        srcStep = 3;
      }
      const cups_page_header2_t& h = slot_->inheader;
      const int TwinColorDiff = static_cast<BYTE>(h.cupsInteger[5]);
      const bool screened = (slot_->DriverFeature & DF_HALFTONE_RED) || h.cupsInteger[10];
      RgbLineToGray(src, tmp, pixels, srcStep);
      BYTE* black = K;
      BYTE* red = K + plane;
      const BYTE* p = src;
      for (DWORD k = 0; k < pixels; ++k, p += srcStep) {
        const int red_raw = p[0];
        const int r = red_raw > TwinColorDiff ? red_raw - TwinColorDiff : 0;
        const bool isRed = r > p[1] && r > p[2] && red_raw > kRedFloor;
        const BYTE g = isRed && !screened ? 0 : tmp[k];
        black[k] = isRed ? 255 : g;
        red[k] = isRed ? g : 255;
        inked_ += g != 255;  // one plane holds the pixel
      }
      break;
    }
    case Separation::None:
      break;
  }
  // Padding pixels of the line are white in every plane.
  for (DWORD p = 0; p < SeparationPlanes(kind_); ++p)
    std::memset(K + p * plane + pixels, 255, width_ - pixels);
}

void PageSeparation::Install() {
  const char* FUNCNAME = name_;
  if (!planes_) return;
  if (lineByLine_) {
    Finish(1);
    return;
  }
  // Lines the page did not have (padding, or all of a blank page) are white.
  const std::size_t plane = std::size_t{width_} * height_;
  for (DWORD p = 0; p < SeparationPlanes(kind_); ++p)
    std::memset(planes_.data() + p * plane + std::size_t{rows_} * width_, 255,
                std::size_t{height_ - rows_} * width_);
  slot_->page = std::move(planes_);
  slot_->linebyte = width_;
  slot_->page_height = height_ * SeparationPlanes(kind_);
  // The bitmap's lines are whole 32-bit words; a page of other widths
  // (never one the pipeline makes) gets no bitmap dump.
  const bool wordLines = slot_->page_width == GetBMPBytesPerLine(8, static_cast<LONG>(slot_->page_width));
  if (kind_ == Separation::CmykRaster && wordLines && PageDumpsEnabled()) {
    const std::string name = PageDumpName(slot_->Settings().jobID, slot_->PageIndex, "bmp");
    const cups_page_header2_t& h = slot_->inheader;
    const unsigned dpi = slot_->SCALE1200() ? 600 : (h.HWResolution[0] < 600 ? 600 : h.HWResolution[0]);
    DbgMessage(FUNCNAME, "save image to %s", (TraceDirectory() + "/" + name).c_str());
    // The directory is checked again when the file is made: one changed
    // since gets nothing.
    std::string bmp;
    CreateNullBMPWith([&] { return CreatePageDump(name, &bmp); }, 8, static_cast<short>(dpi),
                      static_cast<long>(slot_->page_width), static_cast<long>(slot_->page_height),
                      slot_->page.data());
  }
  Finish(1);
}

namespace {

// Runs a whole-page separation over the page held in the slot.
BOOL SeparateHeldPage(PageSlot* slot, Separation kind, DWORD srcStep) {
  if (!slot->page || slot->linebyte < std::uint64_t{slot->page_width} * srcStep) {
    DbgMessage(NameOf(kind), "page buffer does not hold %u-byte pixels", static_cast<unsigned>(srcStep));
    return FALSE;
  }
  PageSeparation sep(slot, kind);
  if (!sep.Begin()) return FALSE;
  const DWORD pixels = slot->page_width - (slot->padPixels < slot->page_width ? slot->padPixels : 0);
  const PlaneView page = slot->WholePage();
  for (DWORD y = 0; y < page.rows; ++y) sep.Line(page.Row(y), pixels, srcStep);
  sep.Install();
  return TRUE;
}

}  // namespace

BOOL Page_24BitProcessAndSaveCMYK(PageSlot* slot) {
  return SeparateHeldPage(slot, Separation::RgbToCmyk, slot->inheader.cupsBitsPerPixel == 32 ? 4 : 3);
}

BOOL Page_32BitProcessCMYK(PageSlot* slot) {
  return SeparateHeldPage(slot, Separation::CmykRaster, 4);
}

BOOL Page_24BitProcessRedColor(PageSlot* slot) {
  return SeparateHeldPage(slot, Separation::BlackRed, slot->inheader.cupsBitsPerPixel == 32 ? 4 : 3);
}
