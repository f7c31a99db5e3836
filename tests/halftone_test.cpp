// Halftone selection, density curve, screening and fixed-threshold lineart.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "feature_bits.h"
#include "halftone_select.h"
#include "halftone_tiles.h"
#include "job_state.h"
#include "korvane.h"
#include "page_slot.h"

using namespace testing_support;

namespace {

using Bytes = std::vector<unsigned char>;

// Density exponents by index, and the tiles of some screens, as the printer
// documentation lists them.
const float kGamma[10] = {0.4f, 0.6f, 1.0f, 1.35f, 2.0f, 2.35f, 3.5f, 4.5f, 6.0f, 8.0f};
struct Screen {
  int type;
  const char* tiles[4];  // K, Y, M, C
  float fix;             // density offset
  bool fixOffOnA3;
};
const Screen kScreens[] = {
    {1, {"FINE_TAry_128", "FINE_TAry_128", "FINE_TAry_128", "FINE_TAry_128"}, 0.3f, true},
    {2, {"LSU_106_K60", "FINE_TAry_128", "FINE_TAry_128", "FINE_TAry_128"}, 0.3f, true},
    {5, {"Oskel_106", "FINE_TAry_128", "FINE_TAry_128", "FINE_TAry_128"}, 0.0f, false},
    {8, {"A4_Vlor2_600Ret_212_64x64_GDI", "FINE_TAry_128", "FINE_TAry_128", "FINE_TAry_128"}, 1.0f, false},
    {9, {"cmyk_96_96_k", "cmyk_128_128_y", "cmyk_128_128_m", "cmyk_128_128_c"}, 0.0f, false},
    {16, {"COLOR_K_600_1200", "COLOR_Y_600_1200", "COLOR_M_600_1200", "COLOR_C_600_1200"}, 0.0f, false},
    {17, {"COLOR_K_180_180", "COLOR_Y_180_180", "COLOR_M_180_180", "COLOR_C_180_180"}, 0.0f, false},
    {22, {"PimmetQ_600x300_141_96x48", "FINE_TAry_128", "FINE_TAry_128", "FINE_TAry_128"}, 0.0f, false},
    {23, {"TBL_300_84_60_60_H", "FINE_TAry_128", "FINE_TAry_128", "FINE_TAry_128"}, 0.0f, false},
    {77, {"FINE_TAry_128", "FINE_TAry_128", "FINE_TAry_128", "FINE_TAry_128"}, 0.0f, false},
};

// Density curve written out step by step: single-precision base and scaled
// power, the power and the rounding in double.
std::array<int, 256> RefCurve(float gamma) {
  std::array<int, 256> t{};
  for (int i = 0; i < 256; ++i) {
    volatile float base = static_cast<float>(i) / 255.0f;
    volatile float p = static_cast<float>(std::pow(static_cast<double>(base), static_cast<double>(gamma)));
    volatile float scaled = p * 255.0f;
    t[i] = static_cast<int>(std::floor(static_cast<double>(scaled) + 0.5));
  }
  return t;
}

int RefThreshold(int g) {
  return g >= 254 ? 1 : (g == 0 ? 254 : 255 - g);
}

// Screens a gray page pixel by pixel: a pixel is light (1) when its gray
// value reaches the threshold of its tile cell.
Bytes RefScreen(const Bytes& gray, unsigned width, unsigned linebyte, unsigned height, int planes,
                const char* const tiles[4], float gamma) {
  const unsigned lineOut = ((width + 7) / 8 + 3) / 4 * 4;
  const unsigned planeH = height / planes;
  const unsigned pixels = std::min(linebyte, lineOut * 8);
  const std::array<int, 256> curve = RefCurve(gamma);
  Bytes out(static_cast<std::size_t>(lineOut) * height, 0);
  for (int p = 0; p < planes; ++p) {
    const ThresholdTile* t = FindThresholdTile(tiles[p]);
    if (!t) {
      ADD_FAILURE() << "no tile " << tiles[p];
      return out;
    }
    for (unsigned y = 0; y < planeH; ++y)
      for (unsigned x = 0; x < pixels; ++x) {
        int cell = t->cells[(y % t->height) * t->width + x % t->width];
        if (gray[(p * planeH + y) * static_cast<std::size_t>(linebyte) + x] >= RefThreshold(curve[cell]))
          out[(p * planeH + y) * static_cast<std::size_t>(lineOut) + x / 8] |=
              static_cast<unsigned char>(0x80 >> (x % 8));
      }
  }
  return out;
}

// A gray page whose value depends on plane, line and column.
Bytes GrayPattern(unsigned linebyte, unsigned height, unsigned seed) {
  Bytes g(static_cast<std::size_t>(linebyte) * height);
  for (unsigned y = 0; y < height; ++y)
    for (unsigned x = 0; x < linebyte; ++x)
      g[y * linebyte + x] = static_cast<unsigned char>((x * 3 + y * 5 + seed) ^ (y >> 3));
  return g;
}

const Screen& ScreenOf(int type) {
  for (const Screen& s : kScreens)
    if (s.type == type) return s;
  return kScreens[std::size(kScreens) - 1];
}

// Sets the slot up as a gray page on a printer of the given row and engine.
void GrayPage(PageSlot& s, const Bytes& gray, unsigned width, unsigned height, unsigned linebyte) {
  s.SetPage(gray, width, height, linebyte);
  s.job.inheader.cupsBitsPerPixel = 8;
  s.job.inheader.HWResolution[0] = 600;
  s.job.inheader.HWResolution[1] = 600;
}

}  // namespace

TEST(HalftoneSelect, ResolutionEngineAndRowPickTheType) {
  struct Case {
    int row;
    unsigned dpi;
    bool lsu, scale1200;
    int type;
    bool change;
  } cases[] = {
      // 300 dpi is screened as 600; 2400 and other resolutions take type 1.
      {0, 300, false, false, 1, false},
      {0, 300, true, false, 2, false},
      {0, 600, false, false, 1, false},
      {0, 600, true, false, 2, false},
      {0, 1200, false, false, 7, false},
      {0, 1200, true, false, 7, false},
      {0, 1200, false, true, 3, true},
      {0, 1200, true, true, 8, true},
      {0, 2400, true, false, 1, false},
      {0, 2400, false, true, 1, false},
      {0, 720, false, false, 1, false},
      {1, 600, false, false, 5, false},
      {1, 600, true, false, 5, false},
      {3, 600, true, false, 5, false},
      {3, 1200, false, false, 21, false},
      {3, 1200, false, true, 4, true},
      {4, 600, false, false, 17, false},
      {4, 1200, true, false, 9, false},
      {4, 1200, true, true, 9, true},
      {5, 1200, true, true, 19, true},
      {5, 1200, false, true, 3, true},
      {6, 1200, true, true, 20, true},
      {6, 150, false, false, 5, false},
      {4, 2400, false, false, 1, false},
      // Rows outside 0..6 are clamped.
      {-3, 600, true, false, 2, false},
      {42, 1200, true, true, 20, true},
  };
  for (const Case& c : cases) {
    HalftoneChoice got = SelectHalftoneType(c.row, c.dpi, c.lsu, c.scale1200);
    EXPECT_EQ(got.HalftoneType, c.type)
        << "row " << c.row << " dpi " << c.dpi << " lsu " << c.lsu << " s " << c.scale1200;
    EXPECT_EQ(got.changeTable, c.change) << "row " << c.row << " dpi " << c.dpi;
    EXPECT_EQ(got.resolution, c.dpi < 600 ? 600 : static_cast<int>(c.dpi));
  }
}

TEST(HalftoneSelect, ApplyHalftoneReadsTheSlotAndScreensWithTheChosenTiles) {
  struct Case {
    int row;
    unsigned dpi;
    BYTE feature0;
    int scale1200;
    DWORD driverFeature;
    int type;
    const char* traceLine;
  } cases[] = {
      {0, 600, 0, 0, 0, 1, "using FINE_TAry_128"},
      {0, 300, F0_LSU, 0, 0, 2, "using LSU_106_K60"},
      {0, 600, F0_LSU, 0, DF_A3, 2, "using LSU_106_K60"},
      {0, 1200, F0_LSU, 1, 0, 8, "using A4_Vlor2_600Ret_212_64x64_GDI"},
      {6, 600, 0, 0, 0, 5, "using Oskel_106"},
      {0, 2400, F0_LSU, 0, 0, 1, "using FINE_TAry_128"},
  };
  const unsigned w = 96, h = 64;
  const Bytes gray = GrayPattern(w, h, 11);
  for (const Case& c : cases) {
    for (int density : {0, 4, 9}) {
      TraceCapture trace;
      PageSlot s;
      GrayPage(s, gray, w, h, w);
      s.job.cupsHTable = c.row;
      s.job.inheader.HWResolution[0] = c.dpi;
      s.job.Feature[0] = c.feature0;
      s.job.SCALE1200 = c.scale1200;
      s.job.DriverFeature = c.driverFeature;
      s.job.inheader.cupsInteger[11] = density;
      ASSERT_EQ(ApplyHalftone(&s.job), TRUE);
      std::string t = trace.Text();
      EXPECT_NE(t.find("HalftoneType = " + std::to_string(c.type) + "\n"), std::string::npos) << t;
      EXPECT_NE(t.find(std::string(c.traceLine) + "\n"), std::string::npos);
      EXPECT_EQ(t.find("change table") != std::string::npos, c.scale1200 && c.dpi == 1200);
      const Screen& sc = ScreenOf(c.type);
      float gamma = kGamma[density] + ((sc.fixOffOnA3 && (c.driverFeature & DF_A3)) ? 0.0f : sc.fix);
      EXPECT_EQ(s.Bytes(), RefScreen(gray, w, w, h, 1, sc.tiles, gamma))
          << "type " << c.type << " density " << density;
      EXPECT_EQ(s.job.linebyte, 12u);
      EXPECT_EQ(s.job.pagesize, 12u * h);
    }
  }
}

TEST(DensityCurve, MatchesTheReferenceAndTheExactPowerWithinOneStep) {
  for (float fix : {0.0f, 0.3f, 1.0f})
    for (float g : kGamma) {
      const float gamma = g + fix;
      int got[256];
      BuildDensityCurve(gamma, got);
      std::array<int, 256> ref = RefCurve(gamma);
      for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(got[i], ref[i]) << "gamma " << gamma << " i " << i;
        long double exact =
            255.0L * std::pow(static_cast<long double>(i) / 255.0L, static_cast<long double>(gamma));
        ASSERT_LE(std::fabs(static_cast<long double>(got[i]) - std::floor(exact + 0.5L)), 1.0L)
            << gamma << " " << i;
      }
    }
  // Hand-computed anchors: exponent 1 is the identity; 2 squares.
  int t[256];
  BuildDensityCurve(1.0f, t);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(t[i], i);
  BuildDensityCurve(2.0f, t);
  EXPECT_EQ(t[128], 64);   // 128^2 / 255 = 64.25
  EXPECT_EQ(t[200], 157);  // 156.86
  EXPECT_EQ(t[16], 1);     // 1.004
}

TEST(DensityCurve, IndexIsClampedAndTonerSaveForcesTwo) {
  cups_page_header2_t h{};
  struct Case {
    unsigned tonerSave, density;
    int index;
  } cases[] = {{0, 0, 0},    {0, 5, 5},           {0, 9, 9}, {0, 10, 9},
               {0, 1000, 9}, {0, 0xFFFFFFFFu, 0}, {1, 9, 2}, {7, 0xFFFFFFFFu, 2}};
  for (const Case& c : cases) {
    h.cupsInteger[0] = c.tonerSave;
    h.cupsInteger[11] = c.density;
    EXPECT_EQ(DensityIndex(h), c.index) << c.tonerSave << " " << c.density;
  }
  // Out-of-range density screens like density 9.
  const unsigned w = 64, hgt = 32;
  Bytes gray = GrayPattern(w, hgt, 3);
  PageSlot a, b;
  GrayPage(a, gray, w, hgt, w);
  GrayPage(b, gray, w, hgt, w);
  a.job.inheader.cupsInteger[11] = 9;
  b.job.inheader.cupsInteger[11] = 250;
  TraceCapture trace;
  ASSERT_TRUE(ApplyHalftone(&a.job));
  ASSERT_TRUE(ApplyHalftone(&b.job));
  EXPECT_EQ(a.Bytes(), b.Bytes());
}

TEST(Halftone, EveryScreenMatchesTheReferenceScreeningOnFourPlanes) {
  // Four stacked planes of different content (a swapped plane shows);
  // single-tile screens keep the default tile on planes 1 to 3.
  const unsigned w = 200, planeH = 72, h = 4 * planeH;
  Bytes gray = GrayPattern(w, h, 0);
  for (const Screen& sc : kScreens) {
    for (bool tonerSave : {false, true}) {
      TraceCapture trace;
      PageSlot s;
      GrayPage(s, gray, w, h, w);
      s.job.inheader.cupsInteger[4] = 3;
      s.job.inheader.cupsInteger[11] = 7;
      s.job.inheader.cupsInteger[0] = tonerSave;
      ASSERT_EQ(ApplyHalftoneType(&s.job, sc.type), TRUE) << sc.type;
      float gamma = kGamma[tonerSave ? 2 : 7] + sc.fix;
      Bytes want = RefScreen(gray, w, w, h, 4, sc.tiles, gamma);
      ASSERT_EQ(s.Bytes(), want) << "type " << sc.type << " tonerSave " << tonerSave;
      const std::string t = trace.Text();
      EXPECT_NE(t.find("ColorPlane = 4\n"), std::string::npos);
      EXPECT_NE(t.find("SinglePlaneHeight = 72\n"), std::string::npos);
      if (sc.type == 9) {  // the trace names Y, M and C before K
        EXPECT_LT(t.find("using cmyk_128_128_y"), t.find("using cmyk_128_128_m"));
        EXPECT_LT(t.find("using cmyk_128_128_m"), t.find("using cmyk_128_128_c"));
        EXPECT_LT(t.find("using cmyk_128_128_c"), t.find("using cmyk_96_96_k"));
      }
    }
  }
}

TEST(Halftone, WhiteIsAlwaysLightAndBlackAlwaysDarkForEveryTypeAndDensity) {
  // Alternating black and white columns over at least one whole tile of every
  // plane (tiles are at most 240 x 256).
  const unsigned w = 256, planeH = 256, h = 4 * planeH;
  Bytes gray(static_cast<std::size_t>(w) * h);
  for (std::size_t i = 0; i < gray.size(); ++i) gray[i] = (i % 2) ? 255 : 0;
  TraceCapture trace;
  for (int type = 0; type <= 24; ++type) {
    for (int density = 0; density <= 10; ++density) {  // 10: TonerSave
      PageSlot s;
      GrayPage(s, gray, w, h, w);
      s.job.inheader.cupsInteger[4] = 3;
      s.job.inheader.cupsInteger[11] = density == 10 ? 0 : density;
      s.job.inheader.cupsInteger[0] = density == 10;
      ASSERT_EQ(ApplyHalftoneType(&s.job, type), TRUE) << type;
      for (std::size_t i = 0; i < s.job.pagesize; ++i)
        ASSERT_EQ(s.job.lpbuf[i], 0x55) << "type " << type << " density " << density << " byte " << i;
      trace.Clear();
    }
  }
}

TEST(Halftone, TileCellsZeroAndTwoFiftyFiveGiveThresholdsTwoFiftyFourAndOne) {
  // A flat page over one tile: cells ranked 0 turn light only from 254 on,
  // cells ranked 255 from 1 on, whatever the density.
  struct Case {
    int type;
    const char* tile;
    int cell;
    int darkAt, lightAt;
  } cases[] = {
      {1, "FINE_TAry_128", 0, 253, 254}, {5, "Oskel_106", 255, 0, 1}, {23, "TBL_300_84_60_60_H", 255, 0, 1}};
  TraceCapture trace;
  for (const Case& c : cases) {
    const ThresholdTile* t = FindThresholdTile(c.tile);
    ASSERT_NE(t, nullptr);
    std::vector<std::size_t> cells;
    for (int i = 0; i < t->width * t->height; ++i)
      if (t->cells[i] == c.cell) cells.push_back(static_cast<std::size_t>(i));
    ASSERT_FALSE(cells.empty()) << c.tile << " has no cell " << c.cell;
    const unsigned w = ((t->width + 31) / 32) * 32;
    for (int density : {0, 9})
      for (int value : {c.darkAt, c.lightAt}) {
        PageSlot s;
        GrayPage(s, Bytes(static_cast<std::size_t>(w) * t->height, static_cast<unsigned char>(value)), w,
                 t->height, w);
        s.job.inheader.cupsInteger[11] = density;
        ASSERT_TRUE(ApplyHalftoneType(&s.job, c.type));
        for (std::size_t i : cells) {
          std::size_t x = i % t->width, y = i / t->width;
          bool light = s.job.lpbuf[y * s.job.linebyte + x / 8] & (0x80 >> (x % 8));
          ASSERT_EQ(light, value == c.lightAt)
              << c.tile << " cell " << i << " gray " << value << " density " << density;
        }
      }
  }
}

TEST(Halftone, NarrowPageGetsWordAlignedLinesAndScreensItsPadding) {
  // 37 pixels in lines of 40 gray bytes: 1-bit lines of 8 bytes.
  const unsigned w = 37, lb = 40, h = 16;
  Bytes gray = GrayPattern(lb, h, 9);
  TraceCapture trace;
  PageSlot s;
  GrayPage(s, gray, w, h, lb);
  ASSERT_TRUE(ApplyHalftone(&s.job));
  EXPECT_EQ(s.job.linebyte, 8u);
  EXPECT_EQ(s.job.pagesize, 8u * h);
  EXPECT_EQ(s.job.page_width, w);
  EXPECT_EQ(s.Bytes(), RefScreen(gray, w, lb, h, 1, ScreenOf(1).tiles, kGamma[0] + 0.3f));
}

TEST(Halftone, CancelBeforeOrDuringAPageFailsAndKeepsTheGrayPage) {
  for (bool during : {false, true}) {
    SCOPED_TRACE(during ? "during" : "before");
    // During: a page large enough to take a while, cancelled once screening runs.
    const unsigned w = during ? 4992 : 64, h = during ? 4 * 1024 : 64;
    const Bytes gray = GrayPattern(w, h, 5);
    PageSlot s;
    GrayPage(s, gray, w, h, w);
    s.job.inheader.cupsInteger[4] = during ? 3 : 0;
    BYTE* before = s.job.lpbuf;
    TraceCapture trace;
    if (!during) StoreFlag(gCancelJob, 1);
    std::thread canceller([during] {
      if (!during) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      StoreFlag(gCancelJob, 1);
    });
    BOOL rc = ApplyHalftone(&s.job);
    canceller.join();
    StoreFlag(gCancelJob, 0);
    if (during && rc == TRUE) GTEST_SKIP() << "page finished before the cancel arrived";
    EXPECT_EQ(rc, FALSE);
    EXPECT_EQ(s.job.lpbuf, before);
    EXPECT_EQ(s.job.linebyte, w);
    EXPECT_EQ(s.job.pagesize, w * h);
    EXPECT_EQ(s.Bytes(), gray);
    if (!during) {
      EXPECT_TRUE(trace.Has("Cancel job"));
    }
  }
}

TEST(Halftone, BadArgumentsFailWithoutTouchingThePage) {
  TraceCapture trace;
  {
    PageSlot s;  // no page
    s.job.page_width = 64;
    s.job.page_height = 64;
    s.job.linebyte = 64;
    EXPECT_EQ(ApplyHalftone(&s.job), FALSE);
  }
  struct Case {
    const char* what;
    unsigned width, height, linebyte;
  } cases[] = {{"zero linebyte", 64, 4, 0},
               {"zero height", 64, 0, 64},
               {"zero width", 0, 4, 64},
               {"1-bit line beyond 16 bits", 600000, 1, 64}};
  for (const Case& c : cases) {
    PageSlot s;
    Bytes gray(256, 77);
    s.SetPage(gray, 64, 4, 64);
    s.job.page_width = c.width;
    s.job.page_height = c.height;
    s.job.linebyte = c.linebyte;
    trace.Clear();
    EXPECT_EQ(ApplyHalftone(&s.job), FALSE) << c.what;
    EXPECT_EQ(Bytes(s.job.lpbuf, s.job.lpbuf + 256), gray) << c.what;
    EXPECT_NE(trace.Text().find("Argument Incorrect"), std::string::npos) << c.what;
  }
}

TEST(Halftone, EveryTileSetNamesTilesThatExistInTheirStatedSize) {
  int n = 0;
  const HalftoneTileSet* sets = AllHalftoneTileSets(&n);
  std::set<int> types;
  for (int i = 0; i < n; ++i) {
    types.insert(sets[i].HalftoneType);
    for (const HalftonePlaneTile& p : sets[i].plane) {
      if (!p.name) continue;
      const ThresholdTile* t = FindThresholdTile(p.name);
      ASSERT_NE(t, nullptr) << p.name;
      EXPECT_EQ(t->width, p.h_x) << p.name;
      EXPECT_EQ(t->height, p.h_y) << p.name;
    }
  }
  EXPECT_EQ(types.size(), static_cast<std::size_t>(n));
  EXPECT_EQ(&FindHalftoneTileSet(0), &FindHalftoneTileSet(99));
  EXPECT_STREQ(FindHalftoneTileSet(22).trace[0], "using HALFTONE_PimmetQ_600x300_141_96x48_H");
}

TEST(GrayToLineart, ThresholdIsStrictAndLinesArePackedWithoutPadding) {
  // 40 pixels: 5 bytes per line. Gray 80 stays 0, 81 turns 1.
  const unsigned w = 40, h = 3;
  Bytes img(static_cast<std::size_t>(w) * h, 80);
  img[0] = 81;            // line 0, pixel 0
  img[1 * w + 39] = 255;  // line 1, last pixel
  img[2 * w + 9] = 81;    // line 2, pixel 9
  img[2 * w + 10] = 79;
  PageSlot s;
  s.SetPage(img, w, h, w);
  TraceCapture trace;
  ASSERT_EQ(GrayToLineart(&s.job, s.job.lpbuf, 80), TRUE);
  const Bytes want = {0x80, 0, 0, 0, 0, /**/ 0, 0, 0, 0, 0x01, /**/ 0, 0x40, 0, 0, 0};
  EXPECT_EQ(Bytes(s.job.lpbuf, s.job.lpbuf + 15), want);
  EXPECT_EQ(s.job.linebyte, w);  // no field changes
  EXPECT_NE(trace.Text().find("In, threshold = 80"), std::string::npos);
}

TEST(GrayToLineart, TallImagesAreConvertedToTheLastLineAndOddWidthsDropTheTail) {
  // More than 65535 lines: every line is converted.
  {
    const unsigned w = 8, h = 70000;
    Bytes img(static_cast<std::size_t>(w) * h, 0);
    img[static_cast<std::size_t>(h - 1) * w + 7] = 200;
    PageSlot s;
    s.SetPage(img, w, h, w);
    TraceCapture trace;
    ASSERT_TRUE(GrayToLineart(&s.job, s.job.lpbuf, 80));
    EXPECT_EQ(s.job.lpbuf[h - 1], 0x01);
    EXPECT_EQ(s.job.lpbuf[h - 2], 0x00);
  }
  // 12 pixels: one byte per line, pixels 8 to 11 dropped, nothing written
  // past the image (checked under the address sanitizer).
  {
    const unsigned w = 12, h = 2;
    Bytes img(static_cast<std::size_t>(w) * h, 255);
    img[1] = 0;
    PageSlot s;
    s.SetPage(img, w, h, w);
    TraceCapture trace;
    ASSERT_TRUE(GrayToLineart(&s.job, s.job.lpbuf, 80));
    EXPECT_EQ(s.job.lpbuf[0], 0xBF);
    EXPECT_EQ(s.job.lpbuf[1], 0xFF);
  }
  TraceCapture trace;
  PageSlot none;
  none.job.page_width = 8;
  none.job.page_height = 1;
  EXPECT_EQ(GrayToLineart(&none.job, nullptr, 80), FALSE);
}

TEST(QualityMode, OnlyOneAndTwoSelectAFilter) {
  cups_page_header2_t h{};
  const std::pair<unsigned, int> cases[] = {{0, 0}, {1, 1}, {2, 2}, {3, 0}, {255, 0}, {0xFFFFFFFFu, 0}};
  for (auto [in, out] : cases) {
    h.cupsInteger[10] = in;
    EXPECT_EQ(HalftoneQualityMode(h), out) << in;
  }
}
