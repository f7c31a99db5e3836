// Timings of the page stages on an A4 page at 600 dpi, one stage per case
// (the colour separation among them), so that a change shows its own effect.
#include <benchmark/benchmark.h>
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "colour_pages.h"
#include "colour_plugin.h"
#include "image.h"
#include "jbig_codec.h"
#include "page_pipeline.h"

namespace {

// A4 at 600 dpi, aligned to 32 pixels as the page slots hold it.
constexpr DWORD kWidth = 4992;
constexpr DWORD kHeight = 7040;

// Sends the trace to /dev/null for the whole run.
struct QuietTrace {
  FILE* sink = std::fopen("/dev/null", "w");
  TraceTarget target{0, sink};
  TraceScope scope{&target};
  ~QuietTrace() {
    if (sink) std::fclose(sink);
  }
};

// Scales a gray A4 page by the given ratio (thousandths).
void BM_ScaleImage(benchmark::State& state) {
  QuietTrace quiet;
  const int ratio = static_cast<int>(state.range(0));
  std::vector<BYTE> src(std::size_t{kWidth} * kHeight);
  std::mt19937 rng(1);
  for (auto& b : src) b = static_cast<BYTE>(rng());
  const DWORD trgWidth = static_cast<DWORD>(std::uint64_t{kWidth} * ratio / 1000);
  const DWORD trgHigh = static_cast<DWORD>(std::uint64_t{kHeight} * ratio / 1000) + 1;
  std::vector<BYTE> trg(std::size_t{trgWidth} * trgHigh);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        ScaleImage(src.data(), kWidth, kHeight, kHeight, trg.data(), trgWidth, ratio, ratio, 8));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * trgWidth * (trgHigh - 1));
}
BENCHMARK(BM_ScaleImage)->Arg(500)->Arg(961)->Arg(2000)->Unit(benchmark::kMillisecond);

// Turns a 1-bit A4 page by 90 degrees.
void BM_MISC_1BPP90(benchmark::State& state) {
  QuietTrace quiet;
  const long srcstep = kWidth / 8, dststep = kHeight / 8;
  std::vector<BYTE> src(std::size_t{srcstep} * kHeight), dst(std::size_t{dststep} * kWidth);
  std::mt19937 rng(2);
  for (auto& b : src) b = static_cast<BYTE>(rng());
  for (auto _ : state) {
    MISC_1BPP90(PlaneView{src.data(), kWidth, kHeight, static_cast<DWORD>(srcstep)},
                PlaneView{dst.data(), kHeight, kWidth, static_cast<DWORD>(dststep)});
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * srcstep * kHeight);
}
BENCHMARK(BM_MISC_1BPP90)->Unit(benchmark::kMillisecond);

// A text-like gray page: white with short black runs on every other band of
// lines, about the coverage of a page of prose.
std::vector<BYTE> TextPage(DWORD width, DWORD height) {
  std::vector<BYTE> page(std::size_t{width} * height, 255);
  std::mt19937 rng(3);
  for (DWORD y = 0; y < height; ++y) {
    if ((y / 60) % 2) continue;
    BYTE* line = page.data() + std::size_t{y} * width;
    for (DWORD x = 300; x + 40 < width - 300; x += 20 + rng() % 30) std::memset(line + x, 0, 4 + rng() % 8);
  }
  return page;
}

// A slot holding a copy of a page, with the header fields the stages read.
struct Slot {
  PageSettings settings;
  PageSlot job;
  Slot(const std::vector<BYTE>& page, DWORD width, DWORD height, DWORD linebyte, unsigned bpp) {
    job.page = PageBuffer::Allocate(page.size());
    std::memcpy(job.page.data(), page.data(), page.size());
    job.page_width = width;
    job.page_height = height;
    job.linebyte = linebyte;
    job.settings = &settings;
    cups_page_header2_t& h = job.inheader;
    h.cupsWidth = width;
    h.cupsHeight = height;
    h.cupsBitsPerPixel = bpp;
    h.cupsBitsPerColor = bpp == 24 ? 8 : bpp;
    h.cupsBytesPerLine = linebyte;
    h.cupsColorSpace = bpp == 24 ? CUPS_CSPACE_SRGB : CUPS_CSPACE_SW;
    h.HWResolution[0] = h.HWResolution[1] = 600;
    h.PageSize[0] = 595;
    h.PageSize[1] = 842;
    job.referenceHeader = h;
    job.MaxMediaWidth = 595;
    job.MaxMediaHeight = 842;
  }
};

// The 1-bit page of the text page, as the halftoner makes it.
std::vector<BYTE> TextBitmap() {
  Slot s(TextPage(kWidth, kHeight), kWidth, kHeight, kWidth, 8);
  ApplyHalftone(&s.job);
  return std::vector<BYTE>(s.job.page.data(), s.job.page.data() + s.job.page.size());
}

// Reads one raster page into a slot: line reads, white padding and the
// count of pixels that are not white, then the whole-page fit.
void BM_Acquisition(benchmark::State& state) {
  QuietTrace quiet;
  char path[] = "/tmp/bench-raster-XXXXXX";
  const int fd = mkstemp(path);
  cups_raster_t* out = cupsRasterOpen(fd, CUPS_RASTER_WRITE);
  cups_page_header2_t h{};
  h.cupsWidth = 4960;
  h.cupsHeight = 7016;
  h.cupsBitsPerColor = h.cupsBitsPerPixel = 8;
  h.cupsBytesPerLine = h.cupsWidth;
  h.cupsColorSpace = CUPS_CSPACE_SW;
  h.HWResolution[0] = h.HWResolution[1] = 600;
  h.PageSize[0] = 595;
  h.PageSize[1] = 842;
  h.NumCopies = 1;
  cupsRasterWriteHeader2(out, &h);
  std::vector<BYTE> page = TextPage(h.cupsWidth, h.cupsHeight);
  cupsRasterWritePixels(out, page.data(), static_cast<unsigned>(page.size()));
  cupsRasterClose(out);
  for (auto _ : state) {
    lseek(fd, 0, SEEK_SET);
    PageSettings settings;
    PageSlot job;
    job.settings = &settings;
    settings.inras = cupsRasterOpen(fd, CUPS_RASTER_READ);
    cupsRasterReadHeader2(settings.inras, &job.inheader);
    job.referenceHeader = job.inheader;
    job.MaxMediaWidth = 595;
    job.MaxMediaHeight = 842;
    DWORD dots = 0;
    benchmark::DoNotOptimize(GetCUPSPageDataEx(&job, FALSE, &dots));
    cupsRasterClose(settings.inras);
  }
  close(fd);
  unlink(path);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * page.size());
}
BENCHMARK(BM_Acquisition)->Unit(benchmark::kMillisecond);

// Times a stage that takes a fresh copy of the page each round (the copy
// itself is not timed).
template <typename Stage>
void TimeOnCopies(benchmark::State& state, const std::vector<BYTE>& page, DWORD linebyte, unsigned bpp,
                  Stage stage) {
  QuietTrace quiet;
  for (auto _ : state) {
    state.PauseTiming();
    Slot s(page, kWidth, kHeight, linebyte, bpp);
    state.ResumeTiming();
    benchmark::DoNotOptimize(stage(&s.job));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * page.size());
}

// RGB to gray.
void BM_ImageToGray(benchmark::State& state) {
  std::vector<BYTE> rgb(std::size_t{kWidth} * 3 * kHeight);
  std::mt19937 rng(4);
  for (auto& b : rgb) b = static_cast<BYTE>(rng() | 0x80);
  TimeOnCopies(state, rgb, kWidth * 3, 24, [](PageSlot* job) {
    ImageToGray(job);
    return job->page.data();
  });
}
BENCHMARK(BM_ImageToGray)->Unit(benchmark::kMillisecond);

// The fit of a gray page to the printable area, and halftoning.
void BM_WholePage(benchmark::State& state) {
  TimeOnCopies(state, TextPage(kWidth, kHeight), kWidth, 8, Lib_DoWholePage);
}
BENCHMARK(BM_WholePage)->Unit(benchmark::kMillisecond);

void BM_ApplyHalftone(benchmark::State& state) {
  TimeOnCopies(state, TextPage(kWidth, kHeight), kWidth, 8, ApplyHalftone);
}
BENCHMARK(BM_ApplyHalftone)->Unit(benchmark::kMillisecond);

// The stages on the 1-bit page that work in place: negative, toner saving.
template <typename Stage>
void TimeInPlace(benchmark::State& state, Stage stage) {
  QuietTrace quiet;
  const std::vector<BYTE> bits = TextBitmap();
  Slot s(bits, kWidth, kHeight, kWidth / 8, 1);
  for (auto _ : state) {
    stage(&s.job);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * bits.size());
}

void BM_DoNegative(benchmark::State& state) {
  TimeInPlace(state, [](PageSlot* job) { DoNegative(job->WholePage()); });
}
BENCHMARK(BM_DoNegative)->Unit(benchmark::kMillisecond);

void BM_TonerSaving(benchmark::State& state) {
  TimeInPlace(state, [](PageSlot* job) { Prnt_SimulateTonerSaving(job->WholePage(), 600, 0); });
}
BENCHMARK(BM_TonerSaving)->Unit(benchmark::kMillisecond);

void BM_CountBlackDots(benchmark::State& state) {
  QuietTrace quiet;
  std::vector<BYTE> bits = TextBitmap();
  for (auto _ : state)
    benchmark::DoNotOptimize(Prnt_CountBlackDots(PlaneView{bits.data(), kWidth, kHeight, kWidth / 8}));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * bits.size());
}
BENCHMARK(BM_CountBlackDots)->Unit(benchmark::kMillisecond);

// JBIG coding of the 1-bit text page with the stream's two option sets.
void BM_JbigEncode(benchmark::State& state) {
  QuietTrace quiet;
  std::vector<BYTE> bits = TextBitmap();
  for (auto _ : state)
    benchmark::DoNotOptimize(
        JbigEncodePage(PlaneView{bits.data(), kWidth, kHeight, kWidth / 8}, state.range(0), true));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * bits.size());
}
BENCHMARK(BM_JbigEncode)->Arg(8)->Arg(64)->Unit(benchmark::kMillisecond);

// Separates an A4 page line by line as page acquisition does: RGB through
// the plug-in with Ghostscript's CMYK profile (0), with the built-in rule
// (1), or a CMYK raster (2). The page is white with a band of smooth colour
// over its middle third, like a page with a picture.
void BM_Separation(benchmark::State& state) {
  QuietTrace quiet;
  const int how = static_cast<int>(state.range(0));
  ColourPlugin plugin;
  plugin.Load(ICCP_PLUGIN_DIR, "rastertopwg2-iccp.so", how == 0 ? "ghostscript/default_cmyk.icc" : "");
  const DWORD step = how == 2 ? 4 : 3;
  std::vector<BYTE> line(std::size_t{kWidth} * step, 255), white(line);
  for (DWORD x = 0; x < kWidth; ++x)
    for (DWORD c = 0; c < step; ++c) line[x * step + c] = static_cast<BYTE>((x * (c + 1) / 7) & 255);
  for (auto _ : state) {
    PageSettings settings;
    settings.colourPlugin = &plugin;
    PageSlot slot;
    slot.settings = &settings;
    slot.page_width = kWidth;
    slot.page_height = kHeight;
    PageSeparation sep(&slot, how == 2 ? Separation::CmykRaster : Separation::RgbToCmyk);
    if (!sep.Begin()) {
      state.SkipWithError("no separation");
      break;
    }
    for (DWORD y = 0; y < kHeight; ++y)
      sep.Line((y / (kHeight / 3) == 1 ? line : white).data(), kWidth, step);
    sep.Install();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kWidth * kHeight);
}
BENCHMARK(BM_Separation)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
