// Timings of the scaler, the quarter turn and the colour separation on an
// A4 page at 600 dpi.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <vector>

#include "colour_pages.h"
#include "colour_plugin.h"
#include "image.h"

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
    MISC_1BPP90(src.data(), dst.data(), srcstep, dststep, kWidth, kHeight);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * srcstep * kHeight);
}
BENCHMARK(BM_MISC_1BPP90)->Unit(benchmark::kMillisecond);

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
    JobInfo slot;
    slot.page_width = kWidth;
    slot.page_height = kHeight;
    slot.colourPlugin = &plugin;
    PageSeparation sep(&slot, how == 2 ? Separation::CmykRaster : Separation::RgbToCmyk);
    if (!sep.Begin()) {
      state.SkipWithError("no separation");
      break;
    }
    for (DWORD y = 0; y < kHeight; ++y)
      sep.Line((y / (kHeight / 3) == 1 ? line : white).data(), kWidth, step);
    sep.Install();
    std::free(slot.lpbuf);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kWidth * kHeight);
}
BENCHMARK(BM_Separation)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
