// Page geometry: the scaler, the zero-edge crop, scaling and the whole-page fit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "feature_bits.h"
#include "image.h"
#include "image_oracles.h"
#include "test_slot.h"

using namespace testing_support;

namespace {

// Scales a whole source with ScaleImage into a target of trgWidth x rows
// pixels of `bytes` bytes pre-filled with 0x77; returns the target.
Bytes Scale(const Bytes& src, DWORD w, DWORD h, DWORD trgWidth, DWORD rows, int xr, int yr, long* ret,
            unsigned bytes = 1) {
  Bytes trg(std::size_t{trgWidth} * rows * bytes, 0x77);
  *ret = ScaleImage(src.data(), w, h, h, trg.data(), trgWidth, xr, yr, static_cast<WORD>(8 * bytes));
  return trg;
}

// The scaler as a plain per-pixel loop: map the target pixel to a source
// position, take the four neighbours and sum the weighted bytes in single
// precision, truncating after every sum.
Bytes ReferenceScale(const Bytes& src, DWORD w, DWORD h, DWORD trgWidth, int xr, int yr) {
  const float xrate = static_cast<float>(xr) / 1000, yrate = static_cast<float>(yr) / 1000;
  const long rows = static_cast<long>(static_cast<float>(h) * yrate);
  Bytes out(std::size_t{trgWidth} * rows);
  for (long y = 0; y < rows; ++y) {
    const float py = static_cast<float>(y) / yrate + (yrate > 1 ? 0.0f : 1 - yrate);
    const DWORD iy = static_cast<DWORD>(py), ny = iy + 1 < h ? iy + 1 : h - 1;
    const float fy = py - static_cast<float>(iy), ry = 1 - fy;
    for (DWORD x = 0; x < trgWidth; ++x) {
      const float px =
          std::min(static_cast<float>(x) / xrate + (xrate > 1 ? 0.0f : 1 - xrate), static_cast<float>(w - 1));
      const DWORD ix = static_cast<DWORD>(px), nx = ix + 1 < w ? ix + 1 : ix;
      const float fx = px - static_cast<float>(ix), rx = 1 - fx;
      const float a = src[iy * w + ix], b = src[iy * w + nx], c = src[ny * w + ix], d = src[ny * w + nx];
      int sum = static_cast<int>(b * (ry * fx));
      sum = static_cast<int>(static_cast<float>(sum) + d * (fx * fy));
      sum = static_cast<int>(static_cast<float>(sum) + a * (ry * rx));
      sum = static_cast<int>(static_cast<float>(sum) + c * (rx * fy));
      // Truncation made up for by 2.99, within the four neighbours' range.
      const int r = static_cast<int>(static_cast<float>(sum) + 2.99f);
      const int lo = static_cast<int>(std::min({a, b, c, d})), hi = static_cast<int>(std::max({a, b, c, d}));
      out[y * trgWidth + x] = static_cast<std::uint8_t>(std::clamp(r, lo, hi));
    }
  }
  return out;
}

std::uint8_t Ramp(std::uint32_t p, std::uint32_t x, std::uint32_t y) {
  return static_cast<std::uint8_t>(p * 50 + x * 7 + y * 13);
}

}  // namespace

// Values chosen so that the weights are exact; 0x77 where nothing is written.
// A blend gains 2 for the truncations but never leaves its neighbours' range:
// a pixel between equal neighbours keeps its value (solid black stays 0).
TEST(ScaleImage, HandComputedPositionsWeightsAndPinnedEdges) {
  TraceCapture trace;
  long lines = 0;
  // Positions 0, .5, 1 ... 3.5 (pinned to column 3); a y ratio of 1 makes two lines.
  Bytes want = {2, 52, 102, 152, 200, 122, 40, 40, 2, 52, 102, 152, 200, 122, 40, 40};
  want.resize(32, 0x77);
  EXPECT_EQ(Scale({0, 100, 200, 40, 0, 100, 200, 40}, 4, 2, 8, 4, 2000, 1000, &lines), want);
  EXPECT_EQ(lines, 2);
  // Positions .5, 2.5, 4.5, 6.5: the mean of each pair plus 2.
  EXPECT_EQ(Scale({0, 100, 200, 40, 8, 16, 24, 32}, 8, 1, 4, 1, 500, 1000, &lines), (Bytes{52, 122, 14, 30}));
  // Two RGB pixels at positions 0, .5, 1, 1.5: each byte on its own.
  EXPECT_EQ(Scale({0, 100, 200, 40, 8, 16}, 2, 1, 4, 1, 2000, 1000, &lines, 3),
            (Bytes{2, 100, 200, 22, 56, 110, 40, 8, 16, 40, 8, 16}));
  // Solid black and solid white stay solid at any ratio.
  for (const DWORD ratio : {500, 1500, 2000})
    for (const std::uint8_t v : {0, 255}) {
      const DWORD n = 8 * ratio / 1000;
      EXPECT_EQ(Scale(Bytes(64, v), 8, 8, n, n, int(ratio), int(ratio), &lines), Bytes(n * n, v)) << ratio;
    }
}

TEST(ScaleImage, MissingSourceBadRatiosOrCancelLeaveTheTargetAlone) {
  struct Case {
    const char* what;
    bool source, cancel;
    DWORD w, lines;
    int xr, yr;
    long ret;
  } cases[] = {{"no source", false, false, 4, 4, 1000, 1000, 0},
               {"zero x ratio", true, false, 4, 4, 0, 1000, 0},
               {"zero width", true, false, 0, 4, 1000, 1000, 0},
               {"more lines than the source", true, false, 4, 5, 1000, 1000, 0},
               {"cancelled: reports the height", true, true, 4, 4, 1000, 1000, 4}};
  TraceCapture trace;
  const Bytes src(16, 9);
  for (const Case& c : cases) {
    JobState state;
    state.Cancel(c.cancel);
    Bytes trg(16, 0x55);
    EXPECT_EQ(ScaleImage(c.source ? src.data() : nullptr, c.w, 4, c.lines, trg.data(), 4, c.xr, c.yr, 8,
                         &state.events),
              c.ret)
        << c.what;
    EXPECT_EQ(trg, Bytes(16, 0x55)) << c.what;
  }
}

// Zero-edge pages lose the border (200 pixels at 600 dpi, 400 at 1200),
// are rounded down to 32 after adding 31 and keep their centre on every
// plane; bordered pages pass unchanged.
TEST(ImageCrop, ZeroEdgePagesAreCroppedAroundTheCentreOnEveryPlane) {
  struct Case {
    std::uint32_t w, h, planes;
    unsigned dpi;
    bool zeroEdge;
    std::uint32_t cw, ch, xm, ym;
  } cases[] = {{4960, 320, 1, 600, true, 4768, 128, 96, 96},
               {512, 320, 4, 600, true, 320, 128, 96, 96},
               {1024, 640, 1, 1200, true, 640, 256, 192, 192},
               {64, 64, 1, 600, false, 64, 64, 0, 0}};
  TraceCapture trace;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.w);
    TestSlot s;
    s.Gray(c.w, c.h, c.planes, Ramp);
    s.job.inheader.HWResolution[0] = c.dpi;
    s.job.inheader.ImagingBoundingBox[0] = s.job.inheader.ImagingBoundingBox[1] = c.zeroEdge ? 0 : 12;
    ASSERT_EQ(Lib_DoImageCrop(&s.job), TRUE);
    ASSERT_EQ(s.job.page_width, c.cw);
    EXPECT_EQ(s.job.linebyte, c.cw);
    ASSERT_EQ(s.job.page_height, c.planes * c.ch);
    for (std::uint32_t p = 0; p < c.planes; ++p)
      for (std::uint32_t y = 0; y < c.ch; ++y)
        for (std::uint32_t x = 0; x < c.cw; ++x)
          ASSERT_EQ(s.At(x, p * c.ch + y), Ramp(p, x + c.xm, y + c.ym)) << p << " " << x << "," << y;
  }
}

// The page is brought to 600 dpi (1200 dpi ones only under SCALE1200) and
// scaled by the user's percentage with the scaler, every plane on its own,
// into a page aligned to 32 pixels whose lines below the scaled ones are
// white; 600 dpi at 100% is left alone.
TEST(Scaling, ResolutionAndPercentageGiveTheScalersOutputOnEveryPlane) {
  struct Case {
    unsigned dpi;
    int scale1200;
    unsigned scaling, in, planes, out, factor;
  } cases[] = {{600, 0, 0, 64, 1, 64, 0},        {600, 0, 100, 64, 1, 64, 0},
               {1200, 0, 100, 640, 1, 640, 0},   {300, 0, 100, 248, 1, 512, 2000},
               {1200, 1, 100, 640, 1, 320, 500}, {1200, 1, 50, 640, 1, 160, 250},
               {1200, 0, 50, 640, 1, 320, 500},  {600, 0, 150, 32, 2, 64, 1500}};
  TraceCapture trace;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.dpi) + " dpi at " + std::to_string(c.scaling) + "%");
    TestSlot s;
    s.Gray(c.in, c.in, c.planes, Ramp);
    const Bytes before = s.Bytes();
    s.job.inheader.HWResolution[0] = c.dpi;
    s.Scale1200(c.scale1200);
    s.job.inheader.cupsInteger[7] = c.scaling;
    ASSERT_EQ(Lib_DoScaling(&s.job), TRUE);
    ASSERT_EQ(s.job.page_width, c.out);
    ASSERT_EQ(s.job.page_height, c.out * c.planes);
    if (!c.factor) {
      EXPECT_EQ(s.Bytes(), before);
      continue;
    }
    Bytes want;
    for (unsigned p = 0; p < c.planes; ++p) {
      Bytes plane(before.begin() + p * c.in * c.in, before.begin() + (p + 1) * c.in * c.in);
      plane = ReferenceScale(plane, c.in, c.in, c.out, c.factor, c.factor);
      plane.resize(std::size_t{c.out} * c.out, 255);
      want.insert(want.end(), plane.begin(), plane.end());
    }
    EXPECT_EQ(s.Bytes(), want);
  }
}

// The page is placed at the top left of a white page of the printable area
// of its paper: the paper less its margins (a third of an inch for zero-edge
// pages, else both side margins limited to 12 points each), clipped to the
// media limits when the paper is no size of the table. A3 printers take
// each page's paper, other printers the first page's (two by one inch here).
TEST(WholePage, ThePageIsClippedOrPaddedToThePrintableAreaOfItsPaper) {
  struct Case {
    const char* what;
    std::uint32_t inW, inH, planes = 1;  // page as read, pixels
    unsigned paperW, paperH, margin;     // PageSize and Margins[0], points
    bool zeroEdge = false, a3 = true;
    float maxW = 0, maxH = 0;  // MaxMediaWidth and MaxMediaHeight
    std::uint32_t w, h;        // 0: refused
  } cases[] = {
      // clang-format off
      // (595 - 24) x 600 / 72 = 4758 -> 4768; (842 - 24) x 600 / 72 = 6816.
      {.what = "larger than A4", .inW = 4992, .inH = 7040, .paperW = 595, .paperH = 842, .margin = 12,
       .w = 4768, .h = 6816},
      {.what = "two planes smaller than A4, margin limited", .inW = 320, .inH = 320, .planes = 2,
       .paperW = 595, .paperH = 842, .margin = 30, .w = 4768, .h = 6816},
      {.what = "custom size, zero edge", .inW = 64, .inH = 64, .paperW = 100, .paperH = 100, .margin = 0,
       .zeroEdge = true, .maxW = 595, .maxH = 842, .w = 640, .h = 640},
      // (842 - 24) x 600 / 72 = 6816.67 and (1191 - 24) x 600 / 72 = 9725.
      {.what = "custom size beyond the media", .inW = 64, .inH = 64, .paperW = 1000, .paperH = 1500,
       .margin = 12, .maxW = 842, .maxH = 1191, .w = 6816, .h = 9728},
      {.what = "other printers: the first page's paper", .inW = 64, .inH = 64, .paperW = 1000, .paperH = 1000,
       .margin = 0, .a3 = false, .maxW = 2000, .maxH = 2000, .w = 1216, .h = 608},
      {.what = "paper smaller than the zero-edge margin", .inW = 64, .inH = 64, .paperW = 20, .paperH = 100,
       .margin = 0, .zeroEdge = true, .maxW = 595, .maxH = 842, .w = 0, .h = 0},
      // clang-format on
  };
  TraceCapture trace;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    JobState state;
    state.OfferPaper(4);  // A4
    state.first.PageSize[0] = 144;
    state.first.PageSize[1] = 72;
    TestSlot s;
    s.Gray(c.inW, c.inH, c.planes, Ramp);
    s.job.inheader.ImagingBoundingBox[0] = s.job.inheader.ImagingBoundingBox[1] = c.zeroEdge ? 0 : 12;
    s.job.DriverFeature = c.a3 ? DF_A3 : 0;
    s.job.inheader.PageSize[0] = c.paperW;
    s.job.inheader.PageSize[1] = c.paperH;
    s.job.inheader.Margins[0] = c.margin;
    s.job.MaxMediaWidth = c.maxW;
    s.job.MaxMediaHeight = c.maxH;
    state.Attach(s.job, s.settings);
    const BYTE* before = s.job.page.data();
    ASSERT_EQ(Lib_DoWholePage(&s.job), c.w ? TRUE : FALSE);
    if (!c.w) {
      EXPECT_EQ(s.job.page.data(), before);
      continue;
    }
    EXPECT_EQ(s.job.page_width, c.w);
    EXPECT_EQ(s.job.linebyte, c.w);
    EXPECT_EQ(s.job.page_height, c.h * c.planes);
    EXPECT_EQ(s.job.page.size(), c.w * c.h * c.planes);
    for (std::uint32_t p = 0; p < c.planes; ++p)
      for (std::uint32_t y = 0; y < c.h; ++y)
        for (std::uint32_t x = 0; x < c.w; ++x)
          ASSERT_EQ(s.At(x, p * c.h + y), x >= c.inW || y >= c.inH ? 255 : Ramp(p, x, y))
              << p << ":" << x << "," << y;
  }
}

// The cap sits at twice the largest paper (here the PPD's Legal, larger
// than the table's A4): every scaling the PPD offers (up to 200 %) of that
// paper is taken at every resolution CUPS may send, anything beyond it is
// refused before a byte is allocated.
TEST(PageCap, TwiceTheLargestPaperAtTheJobsResolutionIsTheLimit) {
  struct {
    const char* what;
    unsigned w, h, dpi, scale;
    int scale1200;
    float maxW, maxH;
    bool refused;
  } cases[] = {
      {"Legal at 200 % and 600 dpi", 5100, 8400, 600, 200, 0, 612, 1008, false},
      {"Legal at 200 % and true 1200 dpi", 10200, 16800, 1200, 200, 0, 612, 1008, false},
      {"90 x 90 pixels at 1 dpi", 90, 90, 1, 0, 0, 612, 1008, true},
      {"Legal at 201 % and 600 dpi", 5100, 8400, 600, 201, 0, 612, 1008, true},
      {"three times Legal as read", 15300, 8400, 600, 0, 0, 612, 1008, true},
      {"a PPD size of 1e40 is no size: twice A4 from the table", 9916, 14033, 600, 0, 0, HUGE_VALF, HUGE_VALF,
       false},
      {"beyond twice A4 with a PPD size of 1e40", 9917, 14033, 600, 0, 0, HUGE_VALF, HUGE_VALF, true},
  };
  PaperTable paper = DefaultPaperTable();
  for (PAPERFORMAT& row : paper) row.enable = row.paper_type == ENG_ISO_A4;
  for (const auto& c : cases) {
    PageSettings settings;
    settings.Feature[1] = c.scale1200 ? 0 : F1_1200X1200;
    settings.paperTable = &paper;
    PageSlot job;
    job.settings = &settings;
    job.MaxMediaWidth = c.maxW;
    job.MaxMediaHeight = c.maxH;
    job.inheader.cupsWidth = c.w;
    job.inheader.cupsHeight = c.h;
    job.inheader.HWResolution[0] = job.inheader.HWResolution[1] = c.dpi;
    job.inheader.cupsInteger[7] = c.scale;
    EXPECT_EQ(PageBeyondPrinter(job) != nullptr, c.refused) << c.what;
  }
}
