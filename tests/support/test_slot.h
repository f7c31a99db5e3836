// Helpers for image-stage tests: a page slot with its page and job
// settings, the job a slot belongs to, and a capture of the job's messages.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "job_events.h"
#include "page_pipeline.h"
#include "page_slot.h"
#include "paper_table.h"
#include "test_support.h"

namespace testing_support {

// A slot with its own job settings: by default a bordered page at 600 dpi
// on a 1200 x 1200 engine (no SCALE1200).
struct TestSlot {
  PageSettings settings;
  PageSlot job;
  TestSlot() {
    settings.Feature[1] = F1_1200X1200;
    job.settings = &settings;
    job.inheader.HWResolution[0] = job.inheader.HWResolution[1] = 600;
    job.inheader.ImagingBoundingBox[0] = job.inheader.ImagingBoundingBox[1] = 12;
  }
  TestSlot(const TestSlot&) = delete;
  TestSlot& operator=(const TestSlot&) = delete;
  void Scale1200(bool on) {
    settings.Feature[1] =
        static_cast<BYTE>(on ? settings.Feature[1] & ~F1_1200X1200 : settings.Feature[1] | F1_1200X1200);
  }

  // Installs a copy of bytes as the page (none when empty): width pixels of
  // bpp bits, height lines of linebyte bytes.
  void Set(const std::vector<std::uint8_t>& bytes, unsigned width, unsigned height, unsigned linebyte,
           unsigned bpp) {
    job.page = PageBuffer::Allocate(bytes.size());
    if (job.page) std::memcpy(job.page.data(), bytes.data(), bytes.size());
    job.page_width = width;
    job.page_height = height;
    job.linebyte = linebyte;
    job.inheader.cupsBitsPerPixel = bpp;
  }
  // A gray page of `planes` planes of width x planeHeight, pixel values from
  // fill(plane, x, y).
  void Gray(std::uint32_t width, std::uint32_t planeHeight, std::uint32_t planes,
            const std::function<std::uint8_t(std::uint32_t, std::uint32_t, std::uint32_t)>& fill) {
    std::vector<std::uint8_t> page(std::size_t{width} * planeHeight * planes);
    for (std::uint32_t p = 0; p < planes; ++p)
      for (std::uint32_t y = 0; y < planeHeight; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
          page[(std::size_t{p} * planeHeight + y) * width + x] = fill(p, x, y);
    Set(page, width, planeHeight * planes, width, 8);
    job.colourMode = planes == 4 ? ColourMode::Cmyk : planes == 2 ? ColourMode::BlackRed : ColourMode::Mono;
  }
  // A 1-bit page of the given bytes, linebyte bytes a line.
  void Bits(std::uint32_t linebyte, std::uint32_t height, const std::vector<std::uint8_t>& bytes) {
    Set(bytes, linebyte * 8, height, linebyte, 1);
  }
  std::vector<std::uint8_t> Bytes() const {
    return job.page ? std::vector<std::uint8_t>(job.page.data(), job.page.data() + job.page.size())
                    : std::vector<std::uint8_t>{};
  }
  std::uint8_t At(std::uint32_t x, std::uint32_t y) const {
    return job.page.data()[std::size_t{y} * job.linebyte + x];
  }
};

// Sends the trace (no trace directory: DEBUG lines) of the calling thread
// into a temporary file for the lifetime of the object; a JobState made
// with file() sends its messages there too.
class TraceCapture {
 public:
  explicit TraceCapture(int jobId = 0) : file_(std::tmpfile()), target_{jobId, file_}, scope_(&target_) {}
  ~TraceCapture() { std::fclose(file_); }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;
  FILE* file() const { return file_; }
  std::string Text() { return Slurp(file_); }
  bool Has(const std::string& needle) { return Text().find(needle) != std::string::npos; }

 private:
  PrivateRoot root_;  // keeps the trace away from a real /tmp/cups
  FILE* file_;
  TraceTarget target_;
  TraceScope scope_;
};

// The job a test's slots belong to: its cancel state and messages, its
// first page's header, its paper table and its ring of slots.
class JobState {
 public:
  explicit JobState(FILE* err = stderr) : events(err), ring(events) {}
  JobState(const JobState&) = delete;
  JobState& operator=(const JobState&) = delete;

  JobEvents events;
  PageRing ring;
  PaperTable paper = DefaultPaperTable();
  cups_page_header2_t first{};

  void Cancel(bool on) {
    if (on) events.Cancel();
  }
  void Ring(int slots) { ring.slotsInUse.store(slots, std::memory_order_release); }
  // Marks a paper row as offered by the PPD.
  void OfferPaper(int row) { paper[row].enable = 1; }
  // Hands a slot what its stages read of the job; the settings keep theirs
  // but for the paper table.
  void Attach(PageSlot& slot, PageSettings& settings) {
    slot.events = &events;
    slot.referenceHeader = first;
    settings.paperTable = &paper;
    slot.settings = &settings;
  }
};

}  // namespace testing_support
