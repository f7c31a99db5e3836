// Helpers for image-stage tests: a page slot with a malloc'ed page buffer
// (the stages release and replace it with free/malloc), and a capture of the
// trace lines a stage writes.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
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
  std::string Text() {
    std::fflush(file_);
    std::rewind(file_);
    std::string s;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) s.append(buf, n);
    return s;
  }
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
