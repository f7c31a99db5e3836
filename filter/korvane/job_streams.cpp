// The job's output and message streams (see job_streams.h).
#include "job_streams.h"

#include <atomic>

namespace {
std::atomic<FILE*> gOut{nullptr};
std::atomic<FILE*> gErr{nullptr};
}  // namespace

FILE* JobOut() {
  FILE* f = gOut.load(std::memory_order_acquire);
  return f ? f : stdout;
}

FILE* JobErr() {
  FILE* f = gErr.load(std::memory_order_acquire);
  return f ? f : stderr;
}

void SetJobStreams(FILE* out, FILE* err) {
  gOut.store(out, std::memory_order_release);
  gErr.store(err, std::memory_order_release);
}
