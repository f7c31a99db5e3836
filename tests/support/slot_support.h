// Helpers for tests of the image stages: a page slot that frees its buffer,
// and a trace sink that keeps the stages' trace lines for inspection.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "job_streams.h"
#include "jobinfo.h"
#include "test_support.h"

namespace testing_support {

// Collects the trace (sent to the job's error stream) in a temporary file.
class TraceSink {
 public:
  TraceSink() : f_(std::tmpfile()) { SetJobStreams(nullptr, f_); }
  ~TraceSink() {
    SetJobStreams(nullptr, nullptr);
    std::fclose(f_);
  }
  TraceSink(const TraceSink&) = delete;
  TraceSink& operator=(const TraceSink&) = delete;
  std::string Text() const {
    std::fflush(f_);
    std::rewind(f_);
    std::string s;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f_)) > 0) s.append(buf, n);
    return s;
  }
  bool Has(const std::string& needle) const { return Text().find(needle) != std::string::npos; }

 private:
  PrivateRoot root_;  // keeps the trace off the real /tmp/cups
  FILE* f_;
};

// A page slot owning its malloc'd buffer.
struct Slot {
  JobInfo job;
  Slot() = default;
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;
  ~Slot() { std::free(job.lpbuf); }

  // Installs a one-byte-per-pixel page of `planes` planes, each width × planeHeight,
  // with pixel values from fill(plane, x, y).
  void Gray(std::uint32_t width, std::uint32_t planeHeight, std::uint32_t planes,
            const std::function<std::uint8_t(std::uint32_t, std::uint32_t, std::uint32_t)>& fill) {
    std::free(job.lpbuf);
    const std::size_t size = std::size_t{width} * planeHeight * planes;
    job.lpbuf = static_cast<BYTE*>(std::malloc(size ? size : 1));
    for (std::uint32_t p = 0; p < planes; ++p)
      for (std::uint32_t y = 0; y < planeHeight; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
          job.lpbuf[(std::size_t{p} * planeHeight + y) * width + x] = fill(p, x, y);
    job.page_width = width;
    job.linebyte = width;
    job.page_height = planeHeight * planes;
    job.pagesize = static_cast<DWORD>(size);
    job.inheader.cupsBitsPerPixel = 8;
    job.inheader.cupsInteger[4] = planes == 4 ? 3 : planes == 2 ? 1 : 0;
  }

  // Installs a 1-bit page of the given bytes (linebyte bytes a line).
  void Bits(std::uint32_t linebyte, std::uint32_t height, const std::string& bytes) {
    std::free(job.lpbuf);
    job.lpbuf = static_cast<BYTE*>(std::malloc(bytes.size() ? bytes.size() : 1));
    std::memcpy(job.lpbuf, bytes.data(), bytes.size());
    job.linebyte = linebyte;
    job.page_width = linebyte * 8;
    job.page_height = height;
    job.pagesize = static_cast<DWORD>(bytes.size());
    job.inheader.cupsBitsPerPixel = 1;
  }

  std::uint8_t At(std::uint32_t x, std::uint32_t y) const {
    return job.lpbuf[std::size_t{y} * job.linebyte + x];
  }
  std::string Bytes() const { return std::string(reinterpret_cast<const char*>(job.lpbuf), job.pagesize); }
};

}  // namespace testing_support
