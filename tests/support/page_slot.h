// Helpers for image-stage tests: a page slot with a malloc'ed page buffer
// (the stages release and replace it with free/malloc), and a capture of the
// trace lines a stage writes.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "job_streams.h"
#include "jobinfo.h"
#include "test_support.h"

namespace testing_support {

// A slot owning its page buffer; the buffer is released with the slot.
struct PageSlot {
  JobInfo job;
  PageSlot() = default;
  PageSlot(const PageSlot&) = delete;
  PageSlot& operator=(const PageSlot&) = delete;
  ~PageSlot() { std::free(job.lpbuf); }

  // Installs a copy of bytes as the page: width pixels, height lines of
  // linebyte bytes.
  void SetPage(const std::vector<unsigned char>& bytes, unsigned width, unsigned height, unsigned linebyte) {
    std::free(job.lpbuf);
    job.lpbuf = static_cast<BYTE*>(std::malloc(bytes.empty() ? 1 : bytes.size()));
    if (!bytes.empty()) std::memcpy(job.lpbuf, bytes.data(), bytes.size());
    job.page_width = width;
    job.page_height = height;
    job.linebyte = linebyte;
    job.pagesize = linebyte * height;
  }
  std::vector<unsigned char> Bytes() const {
    return job.lpbuf ? std::vector<unsigned char>(job.lpbuf, job.lpbuf + job.pagesize)
                     : std::vector<unsigned char>{};
  }

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
  // The page as text, for byte-string comparisons.
  std::string Str() const { return std::string(reinterpret_cast<const char*>(job.lpbuf), job.pagesize); }
};

// Sends the trace (no trace directory: DEBUG lines on the job's error
// stream) into a temporary file for the lifetime of the object.
class TraceCapture {
 public:
  TraceCapture() : file_(std::tmpfile()) { SetJobStreams(nullptr, file_); }
  ~TraceCapture() {
    SetJobStreams(nullptr, nullptr);
    std::fclose(file_);
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;
  std::string Text() { return Slurp(file_); }
  bool Has(const std::string& needle) { return Text().find(needle) != std::string::npos; }
  void Clear() {
    std::fflush(file_);
    int ignored = ftruncate(fileno(file_), 0);
    (void)ignored;
    std::rewind(file_);
  }

 private:
  PrivateRoot root_;  // keeps the trace away from a real /tmp/cups
  FILE* file_;
};

}  // namespace testing_support
