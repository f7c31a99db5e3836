// Page geometry: the scaler, the zero-edge crop, scaling and the whole-page fit.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "job_context.h"
#include "job_state.h"
#include "korvane.h"
#include "page_slot.h"
#include "paper.h"

using namespace testing_support;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Scales a whole source with ScaleImage into a target of trgWidth × rows bytes
// pre-filled with 0x77; returns the target.
Bytes Scale(const Bytes& src, DWORD w, DWORD h, DWORD trgWidth, DWORD rows, int xr, int yr,
            long* ret = nullptr) {
  Bytes trg(std::size_t{trgWidth} * rows, 0x77);
  long r = ScaleImage(src.data(), w, h, h, trg.data(), trgWidth, xr, yr, 8);
  if (ret) *ret = r;
  return trg;
}

// Header of a zero-edge or bordered page at the given resolution.
void SetPage(JobInfo& job, unsigned dpi, bool zeroEdge) {
  job.inheader.HWResolution[0] = dpi;
  job.inheader.HWResolution[1] = dpi;
  job.inheader.ImagingBoundingBox[0] = zeroEdge ? 0 : 12;
  job.inheader.ImagingBoundingBox[1] = zeroEdge ? 0 : 12;
}

}  // namespace

TEST(ScaleImage, UniformBlackGivesTwoAtEveryRatioAndWhiteIs254WhereFourQuartersMeet) {
  TraceCapture trace;
  const Bytes black(64 * 40, 0);
  for (int ratio : {500, 961, 1000, 1500, 2000}) {
    const DWORD tw = 64 * ratio / 1000, th = 40 * ratio / 1000;
    long lines = 0;
    Bytes out = Scale(black, 64, 40, tw, th, ratio, ratio, &lines);
    EXPECT_EQ(lines, static_cast<long>(th)) << ratio;
    EXPECT_EQ(out, Bytes(out.size(), 2)) << "ratio " << ratio;
  }
  const Bytes white(16 * 8, 255);
  // Same size: every weight is 1 on one pixel.
  EXPECT_EQ(Scale(white, 16, 8, 16, 8, 1000, 1000), Bytes(16 * 8, 255));
  // Halving: every target pixel sits at .5/.5, four weights of 0.25 each,
  // truncated after every sum: 63 + 63 + 63 + 63 + 2 = 254.
  EXPECT_EQ(Scale(white, 16, 8, 8, 4, 500, 500), Bytes(8 * 4, 254));
  // Doubling: even columns of even rows take one pixel whole (255), the
  // others mix halves (127 + 127 + 2 = 256, capped at 255) or quarters (254).
  Bytes up = Scale(white, 16, 8, 32, 16, 2000, 2000);
  EXPECT_EQ(up[0], 255);
  EXPECT_EQ(up[1], 255);
  EXPECT_EQ(up[32 + 1], 254);
}

// Hand-computed cases, values chosen so that the weights are exact.
TEST(ScaleImage, HandComputedPositionsWeightsAndPinnedEdges) {
  TraceCapture trace;
  struct Case {
    const char* what;
    Bytes src;
    DWORD w, h, trgWidth, rows;
    int xr, yr;
    long lines;
    Bytes want;  // the whole target, 0x77 where nothing is written
  } cases[] = {
      // Positions 0, .5, 1 ... 3.5 (pinned to column 3); yrate 1 makes two lines.
      {"enlarge columns",
       {0, 100, 200, 40, 0, 100, 200, 40},
       4,
       2,
       8,
       4,
       2000,
       1000,
       2,
       Bytes{2,    52,   102,  152,  202,  122,  42,   42,   2,    52,   102,  152,  202,  122,  42,   42,
             0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77}},
      // Positions .5, 2.5, 4.5, 6.5: the mean of each pair plus 2.
      {"reduce columns from one half",
       {0, 100, 200, 40, 8, 16, 24, 32},
       8,
       1,
       4,
       1,
       500,
       1000,
       1,
       Bytes{52, 122, 14, 30}},
      {"reduce rows", {0, 40, 80, 120}, 1, 4, 1, 2, 1000, 500, 2, Bytes{22, 102}},
      // Positions 0, .5, 1, 1.5 with the lower line pinned to the last one.
      {"enlarge rows", {0, 100}, 1, 2, 1, 4, 1000, 2000, 4, Bytes{2, 52, 102, 102}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    long lines = 0;
    EXPECT_EQ(Scale(c.src, c.w, c.h, c.trgWidth, c.rows, c.xr, c.yr, &lines), c.want);
    EXPECT_EQ(lines, c.lines);
  }
}

TEST(ScaleImage, MissingSourceOrBadRatiosLeaveTheTargetAlone) {
  TraceCapture trace;
  Bytes trg(16, 0x55);
  EXPECT_EQ(ScaleImage(nullptr, 4, 4, 4, trg.data(), 4, 1000, 1000, 8), 0);
  const Bytes src(16, 9);
  EXPECT_EQ(ScaleImage(src.data(), 4, 4, 4, trg.data(), 4, 0, 1000, 8), 0);
  EXPECT_EQ(ScaleImage(src.data(), 4, 4, 4, trg.data(), 4, 1000, -5, 8), 0);
  EXPECT_EQ(ScaleImage(src.data(), 0, 4, 4, trg.data(), 4, 1000, 1000, 8), 0);
  // More lines than the source has would read past it.
  EXPECT_EQ(ScaleImage(src.data(), 4, 4, 5, trg.data(), 4, 1000, 1000, 8), 0);
  EXPECT_EQ(trg, Bytes(16, 0x55));
}

TEST(ScaleImage, CancelStopsBeforeTheFirstLineAndReportsTheHeight) {
  TraceCapture trace;
  const Bytes src(8 * 8, 0);
  StoreFlag(gCancelJob, 1);
  long lines = 0;
  Bytes out = Scale(src, 8, 8, 8, 8, 1000, 1000, &lines);
  StoreFlag(gCancelJob, 0);
  EXPECT_EQ(lines, 8);
  EXPECT_EQ(out, Bytes(64, 0x77));
  EXPECT_TRUE(trace.Has("Cancel job"));
}

TEST(ScaleImage, ThreeBytePixelsScaleEachByteOnItsOwn) {
  TraceCapture trace;
  const Bytes src = {0, 100, 200, 40, 8, 16};  // two RGB pixels, one line
  Bytes trg(12, 0x77);
  ScaleImage(src.data(), 2, 1, 1, trg.data(), 4, 2000, 1000, 24);
  // Pixels at positions 0, .5, 1, 1.5 (pinned to 1).
  EXPECT_EQ(trg, (Bytes{2, 102, 202, 22, 56, 110, 42, 10, 18, 42, 10, 18}));
}

namespace {

// The scaler as a plain per-pixel loop: map the target pixel to a source
// position, take the four neighbours and sum the weighted bytes in single
// precision, truncating after every sum.
Bytes ReferenceScale(const Bytes& src, DWORD w, DWORD h, DWORD trgWidth, int xr, int yr) {
  const float xrate = static_cast<float>(xr) / 1000, yrate = static_cast<float>(yr) / 1000;
  const long rows = static_cast<long>(static_cast<float>(h) * yrate);
  Bytes out(std::size_t{trgWidth} * rows);
  for (long y = 0; y < rows; ++y) {
    const float py = static_cast<float>(y) / yrate + (yrate > 1 ? 0.0f : 1 - yrate);
    const DWORD iy = static_cast<DWORD>(py);
    const float fy = py - static_cast<float>(iy), ry = 1 - fy;
    const DWORD ny = iy + 1 < h ? iy + 1 : h - 1;
    for (DWORD x = 0; x < trgWidth; ++x) {
      float px = static_cast<float>(x) / xrate + (xrate > 1 ? 0.0f : 1 - xrate);
      if (px > static_cast<float>(w - 1)) px = static_cast<float>(w - 1);
      const DWORD ix = static_cast<DWORD>(px);
      const float fx = px - static_cast<float>(ix), rx = 1 - fx;
      const DWORD nx = ix + 1 < w ? ix + 1 : ix;
      const float a = src[iy * w + ix], b = src[iy * w + nx], c = src[ny * w + ix], d = src[ny * w + nx];
      int sum = static_cast<int>(b * (ry * fx));
      sum = static_cast<int>(static_cast<float>(sum) + d * (fx * fy));
      sum = static_cast<int>(static_cast<float>(sum) + a * (ry * rx));
      sum = static_cast<int>(static_cast<float>(sum) + c * (rx * fy));
      const int r = static_cast<int>(static_cast<float>(sum) + 2.99f);
      out[y * trgWidth + x] = static_cast<std::uint8_t>(r > 254 ? 255 : r);
    }
  }
  return out;
}

}  // namespace

TEST(ScaleImage, AgreesWithAPlainPerPixelScalerOnRandomPages) {
  TraceCapture trace;
  std::mt19937 rng(17);
  const int ratios[][2] = {{500, 500}, {961, 961}, {1000, 333}, {1500, 2000}, {2000, 1500}, {250, 4000}};
  for (const auto& r : ratios) {
    const DWORD w = 37 + rng() % 40, h = 23 + rng() % 30;
    Bytes src(std::size_t{w} * h);
    for (auto& v : src) v = static_cast<std::uint8_t>(rng());
    const DWORD trgWidth = static_cast<DWORD>(std::uint64_t{w} * r[0] / 1000) + 3;  // a few pinned columns
    const Bytes want = ReferenceScale(src, w, h, trgWidth, r[0], r[1]);
    Bytes got(want.size() + trgWidth, 0x77);
    ScaleImage(src.data(), w, h, h, got.data(), trgWidth, r[0], r[1], 8);
    ASSERT_EQ(Bytes(got.begin(), got.begin() + want.size()), want) << r[0] << "/" << r[1];
    EXPECT_EQ(Bytes(got.begin() + want.size(), got.end()), Bytes(trgWidth, 0x77));
  }
}

TEST(ImageCrop, APageWithABorderPassesUnchanged) {
  TraceCapture trace;
  PageSlot s;
  s.Gray(64, 64, 1, [](auto, auto x, auto y) { return static_cast<std::uint8_t>(x ^ y); });
  SetPage(s.job, 600, false);
  BYTE* before = s.job.lpbuf;
  const std::string bytes = s.Str();
  EXPECT_EQ(Lib_DoImageCrop(&s.job), TRUE);
  EXPECT_EQ(s.job.lpbuf, before);
  EXPECT_EQ(s.Str(), bytes);
  EXPECT_TRUE(trace.Has("not zero edge model"));
}

// Each size loses the border (200 pixels at 600 dpi, 400 at 1200), is
// rounded down to 32 after adding 31, and keeps its centre on every plane.
TEST(ImageCrop, ZeroEdgePagesAreCroppedAroundTheCentreOnEveryPlane) {
  struct Case {
    std::uint32_t w, h, planes;
    unsigned dpi;
    std::uint32_t cw, ch, xm, ym;
  } cases[] = {{4960, 320, 1, 600, 4768, 128, 96, 96},
               {512, 320, 4, 600, 320, 128, 96, 96},
               {1024, 640, 1, 1200, 640, 256, 192, 192}};
  auto pattern = [](std::uint32_t p, std::uint32_t x, std::uint32_t y) {
    return static_cast<std::uint8_t>(p * 50 + x * 7 + y * 13);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.w);
    TraceCapture trace;
    PageSlot s;
    s.Gray(c.w, c.h, c.planes, pattern);
    SetPage(s.job, c.dpi, true);
    ASSERT_EQ(Lib_DoImageCrop(&s.job), TRUE);
    ASSERT_EQ(s.job.page_width, c.cw);
    EXPECT_EQ(s.job.linebyte, c.cw);
    ASSERT_EQ(s.job.page_height, c.planes * c.ch);
    EXPECT_TRUE(trace.Has("xMargin = " + std::to_string(c.xm)));
    EXPECT_TRUE(trace.Has("yMargin = " + std::to_string(c.ym)));
    for (std::uint32_t p = 0; p < c.planes; ++p)
      for (std::uint32_t y = 0; y < c.ch; ++y)
        for (std::uint32_t x = 0; x < c.cw; ++x)
          ASSERT_EQ(s.At(x, p * c.ch + y), pattern(p, x + c.xm, y + c.ym)) << p << " " << x << "," << y;
  }
}

TEST(ImageCrop, ZeroEdgeOneShrinksThePageInsteadOfCropping) {
  TraceCapture trace;
  PageSlot s;
  // Two planes: black over white.
  s.Gray(640, 320, 2, [](std::uint32_t p, auto, auto) { return std::uint8_t(p == 0 ? 0 : 255); });
  SetPage(s.job, 600, true);
  s.job.inheader.cupsInteger[3] = 1;
  ASSERT_EQ(Lib_DoImageCrop(&s.job), TRUE);
  ASSERT_EQ(s.job.page_width, 448u);  // 640 - 200 + 31 -> 448
  ASSERT_EQ(s.job.page_height, 2u * 128);
  EXPECT_TRUE(trace.Has("scale process finish"));
  // Yratio = int(128 / 320 * 1000) = 400: 320 × 0.4 = 128 lines scaled.
  for (std::uint32_t y = 0; y < 128; ++y)
    for (std::uint32_t x = 0; x < 448; ++x) {
      ASSERT_EQ(s.At(x, y), 2) << x << "," << y;
      ASSERT_GE(s.At(x, 128 + y), 254) << x << "," << y;
    }
}

TEST(ImageCrop, PagesSmallerThanTheBorderOrTheClaimedGeometryAreRefused) {
  TraceCapture trace;
  PageSlot s;
  s.Gray(64, 64, 1, [](auto, auto, auto) { return std::uint8_t{0}; });
  SetPage(s.job, 600, true);
  BYTE* before = s.job.lpbuf;
  // 64 - 200 would wrap in unsigned arithmetic to a 4-gigapixel page.
  EXPECT_EQ(Lib_DoImageCrop(&s.job), FALSE);
  EXPECT_EQ(s.job.lpbuf, before);
  EXPECT_EQ(s.job.page_width, 64u);
  EXPECT_TRUE(trace.Has("page smaller than its border"));

  s.Gray(512, 512, 1, [](auto, auto, auto) { return std::uint8_t{0}; });
  s.job.page_height = 100000;  // the header claims more than was allocated
  EXPECT_EQ(Lib_DoImageCrop(&s.job), FALSE);
  EXPECT_TRUE(trace.Has("page buffer smaller than 512 x 100000"));
}

TEST(Scaling, A300DpiPageIsDoubledTo4992By7040) {
  TraceCapture trace;
  PageSlot s;
  // Multiples of 4 keep the half weights exact.
  auto pattern = [](auto, std::uint32_t x, std::uint32_t y) {
    return static_cast<std::uint8_t>((x + 3 * y) % 60 * 4);
  };
  s.Gray(2496, 3520, 1, pattern);
  SetPage(s.job, 300, false);
  s.job.inheader.cupsInteger[7] = 100;
  ASSERT_EQ(Lib_DoScaling(&s.job), TRUE);
  EXPECT_EQ(s.job.page_width, 4992u);
  EXPECT_EQ(s.job.linebyte, 4992u);
  EXPECT_EQ(s.job.page_height, 7040u);
  EXPECT_EQ(s.job.pagesize, 4992u * 7040u);
  // Even target pixels take their source pixel whole.
  for (std::uint32_t y = 0; y < 3520; y += 37)
    for (std::uint32_t x = 0; x < 2496; x += 13) ASSERT_EQ(s.At(2 * x, 2 * y), pattern(0, x, y) + 2);
  // Odd columns of even rows average two neighbours (exact halves).
  EXPECT_EQ(s.At(1, 0), (pattern(0, 0, 0) + pattern(0, 1, 0)) / 2 + 2);
}

TEST(Scaling, Scale1200HalvesA1200DpiPageTheUsersScalingComesOnTopAnd600DpiAt100IsUntouched) {
  struct Case {
    unsigned dpi;
    int scale1200;
    unsigned scaling, in, size;
  } cases[] = {{600, 0, 0, 64, 64},     {600, 0, 100, 64, 64},    {1200, 1, 100, 640, 320},
               {1200, 1, 50, 640, 160}, {1200, 0, 100, 640, 640}, {1200, 0, 50, 640, 320}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.dpi) + " " + std::to_string(c.scale1200) + " " + std::to_string(c.scaling));
    TraceCapture trace;
    PageSlot s;
    s.Gray(c.in, c.in, 1, [](auto, auto, auto) { return std::uint8_t{0}; });
    SetPage(s.job, c.dpi, false);
    s.job.SCALE1200 = c.scale1200;
    s.job.inheader.cupsInteger[7] = c.scaling;
    BYTE* before = s.job.lpbuf;
    ASSERT_EQ(Lib_DoScaling(&s.job), TRUE);
    EXPECT_EQ(s.job.page_width, c.size);
    EXPECT_EQ(s.job.page_height, c.size);
    if (c.size == c.in) {
      EXPECT_EQ(s.job.lpbuf, before);
    }
    if (c.size == 320 && c.scale1200) {
      EXPECT_EQ(s.Str(), std::string(320 * 320, '\x02'));
    }
    if (c.size == 160) {
      EXPECT_TRUE(trace.Has("ratio = 25"));
    }
  }
}

TEST(Scaling, RightPaddingRepeatsTheLastColumnAndLowerPaddingIsWhite) {
  TraceCapture trace;
  PageSlot s;
  s.Gray(32, 32, 2,
         [](std::uint32_t p, std::uint32_t x, auto) { return static_cast<std::uint8_t>(p * 100 + x * 4); });
  SetPage(s.job, 600, false);
  s.job.inheader.cupsInteger[7] = 150;  // 48 pixels, aligned to 64
  ASSERT_EQ(Lib_DoScaling(&s.job), TRUE);
  ASSERT_EQ(s.job.page_width, 64u);
  ASSERT_EQ(s.job.page_height, 2u * 64);
  for (std::uint32_t p = 0; p < 2; ++p) {
    const std::uint32_t base = p * 64;
    // Columns from 47 on sit at source position 31 and beyond: the last
    // column (row 9 sits exactly on source line 6).
    for (std::uint32_t x = 47; x < 64; ++x) EXPECT_EQ(s.At(x, base + 9), p * 100 + 31 * 4 + 2) << x;
    // 32 × 1.5 = 48 lines were scaled; below them the plane stays white.
    for (std::uint32_t y = 48; y < 64; ++y) EXPECT_EQ(s.At(5, base + y), 255);
  }
}

TEST(Scaling, ZeroResolutionAndHugeScalingAreRefused) {
  TraceCapture trace;
  PageSlot s;
  s.Gray(64, 64, 1, [](auto, auto, auto) { return std::uint8_t{0}; });
  BYTE* before = s.job.lpbuf;
  SetPage(s.job, 0, false);  // would divide by zero
  s.job.inheader.cupsInteger[7] = 100;
  EXPECT_EQ(Lib_DoScaling(&s.job), FALSE);
  SetPage(s.job, 600, false);
  s.job.inheader.cupsInteger[7] = 4000000000u;  // 2.5 billion pixels wide
  EXPECT_EQ(Lib_DoScaling(&s.job), FALSE);
  s.job.inheader.cupsInteger[7] = 1;  // 600 / 600 × 1 %: 0 pixels
  SetPage(s.job, 1200, false);
  s.job.SCALE1200 = 1;
  EXPECT_EQ(Lib_DoScaling(&s.job), FALSE);
  EXPECT_EQ(s.job.lpbuf, before);
  EXPECT_EQ(s.job.page_width, 64u);
}

namespace {

// Enables the A4 row of the paper table for one test.
struct A4Enabled {
  PAPERFORMAT& row = gPaperFormat[4];
  std::int16_t old = row.enable;
  A4Enabled() {
    EXPECT_EQ(row.w, 595);
    row.enable = 1;
  }
  ~A4Enabled() { row.enable = old; }
};

// Sets the paper size of the page (on an A3 printer the page's own header counts).
void SetPaper(JobInfo& job, unsigned w, unsigned h, unsigned margin) {
  job.DriverFeature = 0x2000000;
  job.inheader.PageSize[0] = w;
  job.inheader.PageSize[1] = h;
  job.inheader.Margins[0] = margin;
}

}  // namespace

TEST(WholePage, ALargerPageIsClippedToTheA4PrintableArea) {
  TraceCapture trace;
  A4Enabled a4;
  PageSlot s;
  auto pattern = [](auto, std::uint32_t x, std::uint32_t y) { return static_cast<std::uint8_t>(x * 3 + y); };
  s.Gray(4992, 7040, 1, pattern);
  SetPage(s.job, 600, false);
  SetPaper(s.job, 595, 842, 12);
  ASSERT_EQ(Lib_DoWholePage(&s.job), TRUE);
  // (595 - 24) × 600 / 72 = 4758 -> 4768; (842 - 24) × 600 / 72 = 6816.
  EXPECT_EQ(s.job.page_width, 4768u);
  EXPECT_EQ(s.job.linebyte, 4768u);
  EXPECT_EQ(s.job.page_height, 6816u);
  EXPECT_EQ(s.job.pagesize, 4768u * 6816u);
  EXPECT_TRUE(trace.Has("NeedCrop = 0"));
  for (std::uint32_t y = 0; y < 6816; y += 11)
    for (std::uint32_t x = 0; x < 4768; x += 7) ASSERT_EQ(s.At(x, y), pattern(0, x, y));
}

TEST(WholePage, ASmallerPageIsPaddedWithWhite) {
  TraceCapture trace;
  A4Enabled a4;
  PageSlot s;
  s.Gray(320, 320, 1, [](auto, auto, auto) { return std::uint8_t{0}; });
  SetPage(s.job, 600, false);
  SetPaper(s.job, 595, 842, 30);  // margin limited to 12 a side
  ASSERT_EQ(Lib_DoWholePage(&s.job), TRUE);
  ASSERT_EQ(s.job.page_width, 4768u);
  ASSERT_EQ(s.job.page_height, 6816u);
  EXPECT_EQ(s.At(319, 319), 0);
  EXPECT_EQ(s.At(320, 0), 255);
  EXPECT_EQ(s.At(0, 320), 255);
  EXPECT_EQ(s.At(4767, 6815), 255);
}

TEST(WholePage, ZeroEdgePagesUseTheThirdInchMarginAndAPageSmallerThanItIsRefused) {
  TraceCapture trace;
  PageSlot s;
  s.Gray(64, 64, 1, [](auto, auto, auto) { return std::uint8_t{0}; });
  SetPage(s.job, 600, true);
  SetPaper(s.job, 100, 100, 0);  // custom size: (100 - 24) × 600 / 72 = 633
  s.job.MaxMediaWidth = 595;
  s.job.MaxMediaHeight = 842;
  ASSERT_EQ(Lib_DoWholePage(&s.job), TRUE);
  EXPECT_TRUE(trace.Has("NeedCrop = 2"));
  EXPECT_EQ(s.job.page_width, 640u);
  EXPECT_EQ(s.job.page_height, 640u);
  // 20 points less 24 would wrap around in unsigned arithmetic.
  SetPaper(s.job, 20, 100, 0);
  BYTE* before = s.job.lpbuf;
  EXPECT_EQ(Lib_DoWholePage(&s.job), FALSE);
  EXPECT_EQ(s.job.lpbuf, before);
}

TEST(WholePage, ACustomSizeLargerThanTheMediaIsCutToTheMaximumMedia) {
  TraceCapture trace;
  PageSlot s;
  s.Gray(64, 64, 1, [](auto, auto, auto) { return std::uint8_t{0}; });
  SetPage(s.job, 600, false);
  SetPaper(s.job, 1000, 1500, 12);
  s.job.MaxMediaWidth = 842;
  s.job.MaxMediaHeight = 1191;
  ASSERT_EQ(Lib_DoWholePage(&s.job), TRUE);
  // (842 - 24) × 600 / 72 = 6816.67 and (1191 - 24) × 600 / 72 = 9725.
  EXPECT_TRUE(trace.Has("width = 6816"));
  EXPECT_TRUE(trace.Has("height = 9725"));
  EXPECT_EQ(s.job.page_width, 6816u);
  EXPECT_EQ(s.job.page_height, 9728u);
}

TEST(WholePage, OtherPrintersTakeThePaperOfTheFirstPage) {
  TraceCapture trace;
  PageSlot s;
  s.Gray(64, 64, 1, [](auto, auto, auto) { return std::uint8_t{0}; });
  SetPage(s.job, 600, false);
  SetPaper(s.job, 1000, 1000, 0);
  s.job.DriverFeature = 0;  // not an A3 printer
  s.job.MaxMediaWidth = 2000;
  s.job.MaxMediaHeight = 2000;
  const cups_page_header2_t saved = ginheader_bak;
  ginheader_bak.PageSize[0] = 72 * 2;  // two inches
  ginheader_bak.PageSize[1] = 72;
  const bool ok = Lib_DoWholePage(&s.job) == TRUE;
  ginheader_bak = saved;
  ASSERT_TRUE(ok);
  EXPECT_EQ(s.job.page_width, 1216u);  // 1200 aligned
  EXPECT_EQ(s.job.page_height, 608u);
}

TEST(WholePage, AOneBitPageGetsAnEighthOfTheWidthPerLine) {
  TraceCapture trace;
  A4Enabled a4;
  PageSlot s;
  std::string bits(8 * 64, '\0');
  for (int y = 0; y < 64; ++y) bits[y * 8] = '\x81';
  s.Bits(8, 64, bits);
  SetPage(s.job, 600, false);
  SetPaper(s.job, 595, 842, 12);
  ASSERT_EQ(Lib_DoWholePage(&s.job), TRUE);
  EXPECT_EQ(s.job.page_width, 4768u);
  EXPECT_EQ(s.job.linebyte, 4768u / 8);
  EXPECT_EQ(s.job.pagesize, 4768u / 8 * 6816);
  EXPECT_EQ(s.At(0, 63), 0x81);
  EXPECT_EQ(s.At(8, 0), 0xFF);
  EXPECT_EQ(s.At(0, 64), 0xFF);
}

TEST(WholePage, EachOfTwoPlanesIsPlacedAtItsOwnPlaneStart) {
  TraceCapture trace;
  A4Enabled a4;
  PageSlot s;
  s.Gray(64, 32, 2, [](std::uint32_t p, auto, auto) { return std::uint8_t(p == 0 ? 10 : 20); });
  SetPage(s.job, 600, false);
  SetPaper(s.job, 595, 842, 12);
  ASSERT_EQ(Lib_DoWholePage(&s.job), TRUE);
  ASSERT_EQ(s.job.page_height, 2u * 6816);
  EXPECT_EQ(s.At(63, 31), 10);
  EXPECT_EQ(s.At(0, 32), 255);
  EXPECT_EQ(s.At(0, 6816), 20);
  EXPECT_EQ(s.At(63, 6816 + 31), 20);
  EXPECT_EQ(s.At(0, 6816 + 32), 255);
}
