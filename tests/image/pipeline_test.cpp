// Page pipeline: refusal of pages that cannot be held, the worker's stages
// checked pixel by pixel against bitmaps built here, blank-page drop,
// failed and cancelled pages.
#include <cups/raster.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "colour_plugin.h"
#include "feature_bits.h"
#include "image.h"
#include "image_oracles.h"
#include "page_pipeline.h"
#include "status_records.h"
#include "test_slot.h"

using namespace testing_support;

namespace {

// Black (true) on white: a block in the top left, a row near the bottom and
// a diagonal, so that every turn and flip shows.
Bits Pattern(unsigned w, unsigned h) {
  Bits b(w, h);
  for (unsigned y = 0; y < h; ++y)
    for (unsigned x = 0; x < w; ++x) b.set(x, y, (x < w / 4 && y < h / 3) || y == h - 3 || x == y);
  return b;
}

// The printed bitmap of an unscaled page: the page padded to 32 pixels.
Bits Padded(const Bits& b) {
  return b.Moved((b.w + 31) / 32 * 32, (b.h + 31) / 32 * 32, [](unsigned x, unsigned y) {
    return std::pair{x, y};
  });
}

// A page header of w x h pixels at 600 dpi whose paper is exactly the raster
// (w and h multiples of 25 give whole points), not zero-edge.
cups_page_header2_t Header(unsigned w, unsigned h, unsigned bpc = 8, cups_cspace_t cs = CUPS_CSPACE_SW,
                           unsigned colours = 1) {
  cups_page_header2_t hd{};
  hd.cupsWidth = w;
  hd.cupsHeight = h;
  hd.cupsBitsPerColor = bpc;
  hd.cupsBitsPerPixel = bpc * colours;
  hd.cupsBytesPerLine = (w * hd.cupsBitsPerPixel + 7) / 8;
  hd.cupsColorSpace = cs;
  hd.HWResolution[0] = hd.HWResolution[1] = 600;
  hd.PageSize[0] = w * 72 / 600;
  hd.PageSize[1] = h * 72 / 600;
  hd.ImagingBoundingBox[0] = hd.ImagingBoundingBox[1] = 1;
  return hd;
}

// Raster lines of a black-and-white image in the header's format; bytes
// past the pixels of a line are 0.
std::vector<unsigned char> Encode(const cups_page_header2_t& hd, const Bits& black) {
  std::vector<unsigned char> out(std::size_t(hd.cupsBytesPerLine) * hd.cupsHeight, 0);
  const bool ink = hd.cupsColorSpace == CUPS_CSPACE_K;
  for (unsigned y = 0; y < black.h; ++y) {
    unsigned char* line = out.data() + std::size_t(y) * hd.cupsBytesPerLine;
    for (unsigned x = 0; x < black.w; ++x) {
      const bool set = black.at(x, y) == ink;  // a set sample is ink in K, light otherwise
      if (hd.cupsBitsPerPixel == 1)
        line[x / 8] |= set ? 0x80 >> (x % 8) : 0;
      else
        for (unsigned c = 0; c < hd.cupsBitsPerPixel / 8; ++c)
          line[x * hd.cupsBitsPerPixel / 8 + c] = set ? 255 : 0;
    }
  }
  return out;
}

using Pages = std::vector<std::pair<cups_page_header2_t, std::vector<unsigned char>>>;

// A raster file of pages (header + lines) opened for reading.
class RasterFile {
 public:
  explicit RasterFile(const Pages& pages) : file_(std::tmpfile()) {
    cups_raster_t* w = cupsRasterOpen(fileno(file_), CUPS_RASTER_WRITE);
    for (auto [hd, data] : pages) {
      cupsRasterWriteHeader2(w, &hd);
      cupsRasterWritePixels(w, data.data(), static_cast<unsigned>(data.size()));
    }
    cupsRasterClose(w);
    lseek(fileno(file_), 0, SEEK_SET);
    ras_ = cupsRasterOpen(fileno(file_), CUPS_RASTER_READ);
  }
  ~RasterFile() {
    cupsRasterClose(ras_);
    std::fclose(file_);
  }
  cups_raster_t* ras() const { return ras_; }
  bool NextHeader(cups_page_header2_t* hd) { return cupsRasterReadHeader2(ras_, hd) != 0; }

 private:
  FILE* file_;
  cups_raster_t* ras_;
};

// Job settings handed to SendOnePage, and a ring with a slot for every page.
struct Pipeline {
  TraceCapture trace;
  JobState state{trace.file()};
  PageSlot* slots = state.ring.slots;
  DWORD page = 0, DriverFeature = 0, cupsLEF = 0;
  const ColourPlugin* colourPlugin = nullptr;
  PrinterCapability cap{};
  PageSettings job;                // what the slots point at, alive as long as they are
  float maxMedia[2] = {595, 842};  // the PPD's largest media, points
  explicit Pipeline(int ring = 1) {
    state.Ring(ring);
    cap.Feature[1] = F1_1200X1200;
  }
  // Sends every page of the raster file, waits for the workers and returns
  // the bitmap of each slot sent (empty when the worker failed it).
  std::vector<Bits> Run(const Pages& pages, BOOL RemoveBlankPage = FALSE) {
    RasterFile f(pages);
    job.inras = f.ras();
    job.Feature[0] = cap.Feature[0];
    job.Feature[1] = cap.Feature[1];
    job.jobID = "7";
    job.cupsLEF = cupsLEF;
    job.paperTable = &state.paper;
    job.colourPlugin = colourPlugin;
    PageOrder order;
    order.DriverFeature = DriverFeature;
    order.referenceHeader = &state.first;
    order.MaxMediaWidth = maxMedia[0];
    order.MaxMediaHeight = maxMedia[1];
    order.removeBlankPage = RemoveBlankPage;
    for (cups_page_header2_t hd; f.NextHeader(&hd);) {
      if (page == 0) state.first = hd;
      if (!SendOnePage(state.ring, &page, hd, job, order)) break;
    }
    state.ring.WaitWorkers();
    std::vector<Bits> out;
    for (DWORD i = 0; i < page; ++i) {
      const PageSlot& s = slots[i];
      EXPECT_TRUE(s.LoadFlag() & SLOT_PROCESSED);
      out.push_back(s.page ? Bits::Unpack(s.page.data(), s.page_width, s.page_height, s.linebyte) : Bits());
    }
    return out;
  }
  Bits RunOne(const cups_page_header2_t& hd, const Bits& black) {
    std::vector<Bits> out = Run({{hd, Encode(hd, black)}});
    return out.empty() ? Bits() : out[0];
  }
};

}  // namespace

// Raster headers whose sizes would wrap or the page buffer cannot hold, and
// slots whose geometry their buffer cannot hold, are refused before a byte
// is touched: a stage that refuses keeps the page as it was, the gray
// conversion releases it, the checksums give their failure values. A
// slot's buffer holds at most 64 lines of at least 64 bytes.
TEST(InputSafety, HeadersAndSlotsThatCannotBeHeldAreRefused) {
  using Stage = BOOL (*)(PageSlot*);
  const Stage header = [](PageSlot* j) -> BOOL {
    PageGeometry g;
    const char* why = "";
    return ComputePageGeometry(j->inheader, &g, &why);
  };
  const Stage gray = [](PageSlot* j) -> BOOL {
    ImageToGray(j);
    return j->page || j->linebyte;
  };
  const Stage sums = [](PageSlot* j) -> BOOL {
    return DataPatternChkSum(j->WholePage()) != 0 || DataPatternChkSum_new(j->WholePage()) != 0xAABBCCDDu;
  };
  struct Case {
    const char* what;
    Stage stage;
    unsigned bpp;
    std::uint32_t width, height, linebyte;  // as the header or the slot claims them
    unsigned dpi = 600, scaling = 0;
    int scale1200 = 0;
    unsigned padding = 0;
    bool cancel = false;
  } cases[] = {
      // clang-format off
      {.what = "line shorter than width and depth", .stage = header, .bpp = 8, .width = 100, .height = 100,
       .linebyte = 99},
      {.what = "no lines", .stage = header, .bpp = 8, .width = 100, .height = 0, .linebyte = 100},
      {.what = "16-bit gray", .stage = header, .bpp = 16, .width = 100, .height = 100, .linebyte = 200},
      {.what = "32-bit products would wrap", .stage = header, .bpp = 24, .width = 0xFFFFFFF0u,
       .height = 0xFFFFFFF0u, .linebyte = 0xFFFFFFFFu},
      {.what = "smaller than the border: 64 - 200 would wrap", .stage = Lib_DoImageCrop, .bpp = 8,
       .width = 64, .height = 64, .linebyte = 64},
      {.what = "more lines claimed than held", .stage = Lib_DoImageCrop, .bpp = 8, .width = 64,
       .height = 100000, .linebyte = 64},
      {.what = "no resolution: would divide by zero", .stage = Lib_DoScaling, .bpp = 8, .width = 64,
       .height = 64, .linebyte = 64, .dpi = 0, .scaling = 100},
      {.what = "2.5 billion pixels wide", .stage = Lib_DoScaling, .bpp = 8, .width = 64, .height = 64,
       .linebyte = 64, .scaling = 4000000000u},
      {.what = "1% of half a page: no pixel", .stage = Lib_DoScaling, .bpp = 8, .width = 64, .height = 64,
       .linebyte = 64, .dpi = 1200, .scaling = 1, .scale1200 = 1},
      {.what = "8-bit page", .stage = gray, .bpp = 8, .width = 32, .height = 2, .linebyte = 32},
      {.what = "lines too short for the width", .stage = gray, .bpp = 24, .width = 32, .height = 2,
       .linebyte = 32},
      {.what = "padding wider than the page", .stage = gray, .bpp = 24, .width = 32, .height = 2,
       .linebyte = 96, .padding = 33},
      {.what = "gray line beyond 16 bits", .stage = gray, .bpp = 24, .width = 70000, .height = 2,
       .linebyte = 210000},
      {.what = "cancelled", .stage = ApplyHalftone, .bpp = 8, .width = 64, .height = 4, .linebyte = 64,
       .cancel = true},
      {.what = "zero width", .stage = ApplyHalftone, .bpp = 8, .width = 0, .height = 4, .linebyte = 64},
      {.what = "1-bit line beyond 16 bits", .stage = ApplyHalftone, .bpp = 8, .width = 600000, .height = 1,
       .linebyte = 64},
      {.what = "more lines than the buffer", .stage = sums, .bpp = 1, .width = 8, .height = 100000,
       .linebyte = 1},
      // clang-format on
  };
  TraceCapture trace;
  for (const Case& c : cases) {
    JobState state;
    state.Cancel(c.cancel);
    TestSlot s;
    const Bytes page(c.stage == header ? 0 : std::max(c.linebyte, 64u) * std::clamp(c.height, 1u, 64u), 77);
    s.Set(page, c.width, c.height, c.linebyte, c.bpp);
    state.Attach(s.job, s.settings);
    cups_page_header2_t& h = s.job.inheader;
    h.cupsWidth = c.width;
    h.cupsHeight = c.height;
    h.cupsBytesPerLine = c.linebyte;
    h.cupsBitsPerColor = c.bpp == 24 ? 8 : c.bpp;
    h.ImagingBoundingBox[0] = h.ImagingBoundingBox[1] = 0;  // zero edge: cropped
    h.HWResolution[0] = c.dpi;
    h.cupsInteger[7] = c.scaling;
    s.Scale1200(c.scale1200);
    s.job.padPixels = c.padding;
    const BYTE* before = s.job.page.data();
    EXPECT_FALSE(c.stage(&s.job)) << c.what;
    if (c.stage == gray) continue;
    EXPECT_EQ(s.job.page.data(), before) << c.what;
    EXPECT_EQ(s.job.page_width, c.width) << c.what;
    EXPECT_EQ(s.Bytes(), page) << c.what;
  }
  for (Stage stage : {gray, ApplyHalftone, sums}) {
    TestSlot none;
    none.job.page_width = none.job.page_height = none.job.linebyte = 64;
    EXPECT_FALSE(stage(&none.job));
  }
}

TEST(PagePipeline, EveryPixelFormatAndStageGivesTheExpectedBitmap) {
  const Bits g = Pattern(200, 100), plain = Padded(g);
  // A5 (420 x 595 points) fed long edge first: the page on its whole paper,
  // turned clockwise.
  const Bits a5 = TurnedClockwise(g.Moved(3520, 4960, [](unsigned x, unsigned y) {
    return std::pair{x, y};
  }));
  struct Case {
    const char* name;
    unsigned bpc, colours;
    cups_cspace_t cs;
    std::vector<std::pair<int, unsigned>> options = {};  // cupsInteger slot, value
    BYTE f0 = 0;                                         // capability byte 0
    unsigned extraLineBytes = 0;                         // raster line beyond the pixels
    bool a5LongEdge = false;
    Bits want;
  } cases[] = {
      // clang-format off
      {.name = "8-bit sGray", .bpc = 8, .colours = 1, .cs = CUPS_CSPACE_SW, .want = plain},
      {.name = "24-bit RGB", .bpc = 8, .colours = 3, .cs = CUPS_CSPACE_SRGB, .want = plain},
      {.name = "8-bit K", .bpc = 8, .colours = 1, .cs = CUPS_CSPACE_K, .want = plain},
      {.name = "1-bit K (1 = ink)", .bpc = 1, .colours = 1, .cs = CUPS_CSPACE_K, .want = plain},
      {.name = "1-bit W (1 = white)", .bpc = 1, .colours = 1, .cs = CUPS_CSPACE_W, .want = plain},
      {.name = "black bytes past the pixels", .bpc = 8, .colours = 1, .cs = CUPS_CSPACE_SW,
       .extraLineBytes = 56, .want = plain},
      {.name = "mirror", .bpc = 8, .colours = 1, .cs = CUPS_CSPACE_SW, .options = {{2, 1}},
       .want = Mirrored(plain)},
      {.name = "invert", .bpc = 8, .colours = 1, .cs = CUPS_CSPACE_SW, .options = {{1, 1}},
       .want = Inverted(plain)},
      {.name = "invert, colour engine's gray", .bpc = 8, .colours = 1, .cs = CUPS_CSPACE_SW,
       .options = {{1, 1}, {4, 2}}, .want = Inverted(plain)},
      {.name = "two-bit mode", .bpc = 8, .colours = 1, .cs = CUPS_CSPACE_SW, .options = {{8, 2}},
       .f0 = F0_TWO_BIT_600, .want = Doubled(plain)},
      {.name = "two-bit mode without the capability", .bpc = 8, .colours = 1, .cs = CUPS_CSPACE_SW,
       .options = {{8, 2}}, .want = plain},
      {.name = "long-edge paper", .bpc = 8, .colours = 1, .cs = CUPS_CSPACE_SW, .a5LongEdge = true,
       .want = a5},
      // clang-format on
  };
  for (const Case& c : cases) {
    Pipeline p;
    p.cap.Feature[0] = c.f0;
    cups_page_header2_t hd = Header(200, 100, c.bpc, c.cs, c.colours);
    hd.cupsBytesPerLine += c.extraLineBytes;
    for (auto [slot, value] : c.options) hd.cupsInteger[slot] = value;
    if (c.a5LongEdge) {  // row 5 of the paper table
      p.state.OfferPaper(5);
      p.cupsLEF = 1u << 5;
      hd.PageSize[0] = 420;
      hd.PageSize[1] = 595;
    }
    EXPECT_EQ(p.RunOne(hd, g), c.want) << c.name;
  }
}

TEST(PagePipeline, BlankDuplexPageIsDroppedOnlyWhenAllowed) {
  Bits oneDot(200, 100);
  oneDot.set(199, 99);
  struct Case {
    const char* name;
    unsigned duplex;
    BOOL remove;
    Bits g;
    bool dropped;
  } cases[] = {
      {"duplex, removal allowed", 1, TRUE, Bits(200, 100), true},
      {"duplex, removal not allowed", 1, FALSE, Bits(200, 100), false},
      {"one black pixel is not blank", 1, TRUE, oneDot, false},
  };
  for (const Case& c : cases) {
    Pipeline p;
    cups_page_header2_t hd = Header(200, 100);
    hd.Duplex = static_cast<cups_bool_t>(c.duplex);
    EXPECT_EQ(p.Run({{hd, Encode(hd, c.g)}}, c.remove).size(), c.dropped ? 0u : 1u) << c.name;
    EXPECT_EQ(p.slots[0].HoldsNothing() && p.slots[0].LoadFlag() == SLOT_FREE, c.dropped) << c.name;
  }
}

TEST(PagePipeline, FailedOrCancelledPagesAreHandedOnEmptyAndOnlyFailuresNamed) {
  {
    TraceCapture trace;
    JobState job(trace.file());
    PageSlot& slot = job.ring.slots[0];
    slot.PageIndex = 4;
    slot.inheader = Header(200, 100);
    slot.page = PageBuffer::Allocate(64);
    slot.page_width = 224;
    slot.page_height = 0;  // halftoning refuses a page without lines
    slot.StoreFlag(SLOT_TAKEN | SLOT_GEOMETRY_DONE);
    ASSERT_TRUE(job.ring.StartWorker(&slot));
    job.ring.WaitWorkers();
    EXPECT_TRUE(slot.LoadFlag() & SLOT_PROCESSED);
    EXPECT_TRUE(SlotPageFailed(slot));
    EXPECT_TRUE(trace.Has("ERROR: Page 5 not printed: ApplyHalftone failed"));
  }
  Pipeline p(2);
  p.state.Cancel(true);
  cups_page_header2_t hd = Header(200, 100);
  EXPECT_EQ(p.Run(Pages(2, {hd, Encode(hd, Pattern(200, 100))})), std::vector<Bits>(2));
  EXPECT_FALSE(p.trace.Has("ERROR:"));
}

// A raster of w x h pixels all of one colour (bytes of one pixel).
std::vector<unsigned char> Solid(const cups_page_header2_t& hd, const std::vector<unsigned char>& pixel) {
  std::vector<unsigned char> out;
  for (unsigned i = 0; i < hd.cupsWidth * hd.cupsHeight; ++i)
    out.insert(out.end(), pixel.begin(), pixel.end());
  return out;
}

// Pure cyan, from RGB through the plug-in and from a CMYK raster, ends as
// toner in plane C only (K, Y, M, C stacked), and pure red on the
// black-and-red model in the red plane only (K, R), also on A5 fed long
// edge first, where each plane is turned on its own.
TEST(PagePipeline, PureColoursAreTonerInTheirOwnPlaneOnlyAlsoWhenTurned) {
  ColourPlugin plugin;
  ASSERT_TRUE(plugin.Load(ICCP_PLUGIN_DIR, "rastertopwg2-iccp.so", ""));
  const cups_page_header2_t rgb = Header(200, 100, 8, CUPS_CSPACE_SRGB, 3),
                            cmyk = Header(200, 100, 8, CUPS_CSPACE_CMYK, 4);
  const struct {
    cups_page_header2_t hd;
    unsigned colourMode;
    std::vector<unsigned char> pixel;
    bool a5;
    unsigned planes, inked, planeRows;  // A5's width in pixels is the turned height
  } cases[] = {
      {rgb, 3, {0, 255, 255}, false, 4, 3, 128},   {cmyk, 3, {255, 0, 0, 0}, false, 4, 3, 128},
      {cmyk, 3, {255, 0, 0, 0}, true, 4, 3, 3520}, {rgb, 1, {255, 0, 0}, false, 2, 1, 128},
      {rgb, 1, {255, 0, 0}, true, 2, 1, 3520},
  };
  for (const auto& c : cases) {
    cups_page_header2_t hd = c.hd;
    hd.cupsInteger[4] = c.colourMode;
    Pipeline p(1);
    p.colourPlugin = &plugin;
    if (c.a5) {  // row 5 of the paper table
      hd.PageSize[0] = 420;
      hd.PageSize[1] = 595;
      p.state.OfferPaper(5);
      p.cupsLEF = 1u << 5;
    }
    const std::vector<Bits> out = p.Run({{hd, Solid(hd, c.pixel)}});
    const std::string what = "mode " + std::to_string(c.colourMode) + (c.a5 ? " A5" : "");
    ASSERT_EQ(out.size(), 1u) << what;
    ASSERT_EQ(out[0].h, c.planes * c.planeRows) << what;
    std::vector<std::size_t> toner(c.planes), want(c.planes);
    want[c.inked] = 200u * 100u;
    for (unsigned y = 0; y < out[0].h; ++y)
      for (unsigned x = 0; x < out[0].w; ++x) toner[y / c.planeRows] += out[0].at(x, y);
    EXPECT_EQ(toner, want) << what;
    EXPECT_FALSE(p.trace.Has("ERROR:"));
  }
}

// A colour page whose planes cannot be held fails with an "ERROR:" line
// and never reaches a worker.
TEST(PagePipeline, ColourPagesTooLargeForTheirPlanesFailWithAnError) {
  // 23200 x 23200 RGB fits a page buffer; its four 8-bit planes, which a
  // zero-edge page needs for its crop, do not. The printer takes media that
  // large, so the page is within its cap.
  cups_page_header2_t big = Header(23200, 23200, 8, CUPS_CSPACE_SRGB, 3);
  big.cupsInteger[4] = 3;
  big.ImagingBoundingBox[0] = big.ImagingBoundingBox[1] = 0;
  ColourPlugin plugin;
  ASSERT_TRUE(plugin.Load(ICCP_PLUGIN_DIR, "rastertopwg2-iccp.so", ""));
  Pipeline q(1);
  q.maxMedia[0] = q.maxMedia[1] = 14400;
  q.colourPlugin = &plugin;
  EXPECT_TRUE(q.Run({{big, {}}}).empty());
  EXPECT_EQ(Messages(q.trace.Text(), "ERROR: Page 1 cannot be printed: colour separation failed").size(), 1u);
}

namespace {

// Raster lines of a page whose bytes vary over the whole range (light and
// dark, coloured and neutral), so that every screen cell and colorant shows.
std::vector<unsigned char> Busy(const cups_page_header2_t& hd) {
  std::vector<unsigned char> out(std::size_t(hd.cupsBytesPerLine) * hd.cupsHeight);
  for (unsigned y = 0; y < hd.cupsHeight; ++y)
    for (unsigned i = 0; i < hd.cupsBytesPerLine; ++i)
      out[std::size_t(y) * hd.cupsBytesPerLine + i] =
          static_cast<unsigned char>(i * 7 + y * 13 + (i * y) % 5);
  return out;
}

struct StreamCase {
  const char* name;
  cups_page_header2_t hd;
  bool plugin = false;  // RGB on a four-colour printer needs the colour plug-in
};

// Page formats and layouts a streamed page can have: every depth and colour
// space, four-colour and black-and-red separations, a raster that fits its
// printable area, one clipped in both directions (rows read but not
// printed) and one padded in both.
std::vector<StreamCase> StreamCases() {
  auto with = [](cups_page_header2_t hd, int slot, unsigned value) {
    hd.cupsInteger[slot] = value;
    return hd;
  };
  auto paper = [](cups_page_header2_t hd, unsigned w, unsigned h) {
    hd.PageSize[0] = w;
    hd.PageSize[1] = h;
    return hd;
  };
  const cups_page_header2_t rgb = Header(200, 100, 8, CUPS_CSPACE_SRGB, 3);
  return {
      {"8-bit sGray", Header(200, 100)},
      {"8-bit W, clipped", paper(Header(232, 150, 8, CUPS_CSPACE_W), 24, 12)},
      {"1-bit K", Header(200, 100, 1, CUPS_CSPACE_K)},
      {"2-bit W", Header(200, 100, 2, CUPS_CSPACE_W)},
      {"4-bit sGray, padded", paper(Header(100, 50, 4, CUPS_CSPACE_SW), 24, 12)},
      {"24-bit sRGB in gray", rgb},
      {"24-bit sRGB, colour mode without planes", with(rgb, 4, 1)},
      {"32-bit RGBA in gray, clipped", paper(Header(232, 150, 8, CUPS_CSPACE_RGBA, 4), 24, 12)},
      {"32-bit CMYK in gray (white rows are ink)", Header(200, 100, 8, CUPS_CSPACE_CMYK, 4)},
      {"32-bit CMYK, four planes, clipped",
       with(paper(Header(232, 150, 8, CUPS_CSPACE_CMYK, 4), 24, 12), 4, 3)},
      {"24-bit sRGB, four planes through the plug-in", with(rgb, 4, 3), true},
      {"24-bit sRGB, black and red", with(rgb, 4, 1)},
      {"24-bit sRGB, black and red, padded",
       with(paper(Header(100, 50, 8, CUPS_CSPACE_SRGB, 3), 24, 12), 4, 1)},
  };
}

}  // namespace

// A page screened line by line as it is read comes out exactly as the same
// page read whole and screened after (the border path in Quality mode 0
// screens plainly, on the whole 8-bit page): two pages a job, so that the
// raster also stays in step after a page whose rows are clipped.
TEST(StreamedPages, EqualTheWholePagePathBitForBit) {
  ColourPlugin plugin;
  ASSERT_TRUE(plugin.Load(ICCP_PLUGIN_DIR, "rastertopwg2-iccp.so", ""));
  for (StreamCase& c : StreamCases()) {
    if (c.hd.cupsInteger[4] == 1) c.hd.cupsInteger[5] = 40;  // red beyond green and blue by 40
    std::vector<Bits> out[2];
    for (int whole = 0; whole < 2; ++whole) {
      Pipeline p(2);
      p.colourPlugin = c.plugin ? &plugin : nullptr;
      p.DriverFeature = whole ? DF_BORDER_FILTER : 0;
      out[whole] = p.Run(Pages(2, {c.hd, Busy(c.hd)}));
      ASSERT_EQ(out[whole].size(), 2u) << c.name;
      for (int i = 0; i < 2; ++i) EXPECT_EQ((p.slots[i].LoadFlag() & SLOT_SCREENED) != 0, !whole) << c.name;
      EXPECT_FALSE(p.trace.Has("ERROR:")) << c.name;
    }
    const Bits& page = out[0][0];
    const std::size_t set = std::count(page.px.begin(), page.px.end(), true);
    EXPECT_TRUE(set > 0 && set < page.px.size()) << c.name << ": " << set << " of " << page.px.size();
    EXPECT_EQ(out[0], out[1]) << c.name;
  }
}
