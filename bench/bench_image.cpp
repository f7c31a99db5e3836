// Timings of the scaler and the quarter turn on an A4 page at 600 dpi.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <vector>

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

}  // namespace

BENCHMARK_MAIN();
