// Page pipeline: acquisition sizes and refusals, the worker's stages checked
// pixel by pixel against references built here, blank-page drop, back-side
// rotation rule and the slot ring consumed in page order.
#include <cups/raster.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "feature_bits.h"
#include "job_context.h"
#include "job_state.h"
#include "page_pipeline.h"
#include "page_slot.h"
#include "paper.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// A gray image: one byte per pixel, 0 black, 255 white.
struct Gray {
  unsigned w = 0, h = 0;
  std::vector<unsigned char> px;
  Gray(unsigned w_, unsigned h_, unsigned char fill = 255) : w(w_), h(h_), px(std::size_t(w_) * h_, fill) {}
  unsigned char& at(unsigned x, unsigned y) { return px[std::size_t(y) * w + x]; }
  unsigned char at(unsigned x, unsigned y) const { return px[std::size_t(y) * w + x]; }
};

// An asymmetric pattern: a black block in the top left, a black row near
// the bottom and a diagonal, so every turn and flip shows.
Gray Pattern(unsigned w, unsigned h) {
  Gray g(w, h);
  for (unsigned y = 0; y < h / 3; ++y)
    for (unsigned x = 0; x < w / 4; ++x) g.at(x, y) = 0;
  for (unsigned x = 0; x < w; ++x) g.at(x, h - 3) = 0;
  for (unsigned i = 0; i < w && i < h; ++i) g.at(i, i) = 0;
  return g;
}

// A 1-bit bitmap, 1 = toner dot.
struct Bits {
  unsigned w = 0, h = 0;
  std::vector<bool> dot;
  Bits(unsigned w_, unsigned h_) : w(w_), h(h_), dot(std::size_t(w_) * h_, false) {}
  bool at(unsigned x, unsigned y) const { return dot[std::size_t(y) * w + x]; }
  void set(unsigned x, unsigned y, bool v) { dot[std::size_t(y) * w + x] = v; }
  std::size_t Count() const {
    std::size_t n = 0;
    for (bool b : dot) n += b;
    return n;
  }
};

// The reference for an unscaled page: a toner dot where the gray pixel is
// black, nothing in the padding up to the 32-pixel aligned size.
Bits ToBits(const Gray& g) {
  Bits b((g.w + 31) / 32 * 32, (g.h + 31) / 32 * 32);
  for (unsigned y = 0; y < g.h; ++y)
    for (unsigned x = 0; x < g.w; ++x) b.set(x, y, g.at(x, y) == 0);
  return b;
}

// The reference bitmap with every dot moved: source (x, y) lands on
// to(x, y) in a bitmap of w x h.
template <typename To>
Bits Moved(const Bits& s, unsigned w, unsigned h, To to) {
  Bits d(w, h);
  for (unsigned y = 0; y < s.h; ++y)
    for (unsigned x = 0; x < s.w; ++x) {
      const auto [dx, dy] = to(x, y);
      d.set(dx, dy, s.at(x, y));
    }
  return d;
}
Bits Mirror(const Bits& s) {
  return Moved(s, s.w, s.h, [&](unsigned x, unsigned y) { return std::pair{s.w - 1 - x, y}; });
}
Bits Turn180(const Bits& s) {
  return Moved(s, s.w, s.h, [&](unsigned x, unsigned y) { return std::pair{s.w - 1 - x, s.h - 1 - y}; });
}
// Clockwise quarter turn: source (x, y) lands on line x, column h - 1 - y.
Bits Turn90(const Bits& s) {
  return Moved(s, s.h, s.w, [&](unsigned x, unsigned y) { return std::pair{s.h - 1 - y, x}; });
}
// Two-bit mode: every pixel is followed by a blank one.
Bits Doubled(const Bits& s) {
  return Moved(s, 2 * s.w, s.h, [](unsigned x, unsigned y) { return std::pair{2 * x, y}; });
}
Bits Invert(Bits s) {
  s.dot.flip();
  return s;
}

// What a consumer takes out of a processed slot.
struct Taken {
  DWORD PageIndex = 0;
  bool failed = false;
  DWORD page_width = 0, page_height = 0, linebyte = 0, pagesize = 0;
  std::vector<unsigned char> bytes;
  // Copies what a processed slot holds.
  explicit Taken(const JobInfo& s)
      : PageIndex(s.PageIndex),
        failed(s.lpbuf == nullptr),
        page_width(s.page_width),
        page_height(s.page_height),
        linebyte(s.linebyte),
        pagesize(s.pagesize) {
    if (s.lpbuf) bytes.assign(s.lpbuf, s.lpbuf + s.pagesize);
  }
  Taken() = default;
  Bits ToBits() const {
    if (failed || bytes.size() < std::size_t(page_height) * linebyte || linebyte * 8 < page_width)
      return Bits(0, 0);
    Bits b(page_width, page_height);
    for (unsigned y = 0; y < page_height; ++y)
      for (unsigned x = 0; x < page_width; ++x)
        b.set(x, y, (bytes[std::size_t(y) * linebyte + x / 8] >> (7 - x % 8)) & 1);
    return b;
  }
};

// Plays the output thread: takes processed slots strictly in page order
// (slot = page mod ring size), copies the bitmap, frees the buffer, then
// sets lpbuf NULL and the flag 0.
class RingConsumer {
 public:
  explicit RingConsumer(JobInfo* slots) : slots_(slots), thread_([this] { Run(); }) {}
  ~RingConsumer() { Stop(); }
  void Stop() {
    stop_.store(true, std::memory_order_release);
    if (thread_.joinable()) thread_.join();
  }
  // Waits until n pages are taken (or a generous time passed).
  bool WaitFor(std::size_t n) {
    for (int i = 0; i < 3000 && taken_count_.load(std::memory_order_acquire) < n; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return taken_count_.load(std::memory_order_acquire) >= n;
  }
  // Valid after Stop().
  const std::vector<Taken>& pages() const { return pages_; }

 private:
  void Run() {
    DWORD next = 0;
    while (!stop_.load(std::memory_order_acquire)) {
      JobInfo& s = slots_[next % static_cast<DWORD>(gMAX_THREAD.load(std::memory_order_acquire))];
      if (!(s.LoadFlag() & SLOT_PROCESSED)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      pages_.emplace_back(s);
      std::free(s.lpbuf);
      s.lpbuf = nullptr;
      s.StoreFlag(SLOT_FREE);
      ++next;
      taken_count_.fetch_add(1, std::memory_order_acq_rel);
    }
  }

  JobInfo* slots_;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> taken_count_{0};
  std::vector<Taken> pages_;
  std::thread thread_;
};

// A gray page header of w x h pixels at 600 dpi whose paper is exactly the
// raster (w and h multiples of 25 give whole points), not zero-edge.
cups_page_header2_t Header(unsigned w, unsigned h, unsigned bpc = 8, cups_cspace_t cs = CUPS_CSPACE_SW,
                           unsigned colours = 1) {
  cups_page_header2_t hd{};
  hd.cupsWidth = w;
  hd.cupsHeight = h;
  hd.cupsBitsPerColor = bpc;
  hd.cupsBitsPerPixel = bpc * (colours == 3 ? 3 : colours);
  hd.cupsBytesPerLine = (w * hd.cupsBitsPerPixel + 7) / 8;
  hd.cupsColorSpace = cs;
  hd.cupsColorOrder = CUPS_ORDER_CHUNKED;
  hd.HWResolution[0] = hd.HWResolution[1] = 600;
  hd.PageSize[0] = w * 72 / 600;
  hd.PageSize[1] = h * 72 / 600;
  hd.ImagingBoundingBox[0] = hd.ImagingBoundingBox[1] = 1;
  hd.ImagingBoundingBox[2] = hd.PageSize[0];
  hd.ImagingBoundingBox[3] = hd.PageSize[1];
  hd.NumCopies = 1;
  return hd;
}

// Raster lines of a gray image in the header's format.
std::vector<unsigned char> Encode(const cups_page_header2_t& hd, const Gray& g) {
  std::vector<unsigned char> out(std::size_t(hd.cupsBytesPerLine) * hd.cupsHeight, 0);
  const bool ink = hd.cupsColorSpace == CUPS_CSPACE_K;
  for (unsigned y = 0; y < g.h; ++y) {
    unsigned char* line = out.data() + std::size_t(y) * hd.cupsBytesPerLine;
    for (unsigned x = 0; x < g.w; ++x) {
      const unsigned char v = g.at(x, y);
      switch (hd.cupsBitsPerPixel) {
        case 1: {
          const bool bit = ink ? v == 0 : v != 0;
          if (bit) line[x / 8] |= 0x80 >> (x % 8);
          break;
        }
        case 8:
          line[x] = ink ? 255 - v : v;
          break;
        case 24:
          line[3 * x] = line[3 * x + 1] = line[3 * x + 2] = v;
          break;
      }
    }
  }
  return out;
}

using Pages = std::vector<std::pair<cups_page_header2_t, std::vector<unsigned char>>>;

// A raster file of pages (header + lines) opened for reading.
class RasterFile {
 public:
  RasterFile(const PrivateRoot& root, const Pages& pages) : path_(root.Path("/pages.ras")) {
    int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    cups_raster_t* w = cupsRasterOpen(fd, CUPS_RASTER_WRITE);
    for (const auto& [hd, data] : pages) {
      cups_page_header2_t copy = hd;
      cupsRasterWriteHeader2(w, &copy);
      if (!data.empty()) cupsRasterWritePixels(w, const_cast<unsigned char*>(data.data()), data.size());
    }
    cupsRasterClose(w);
    close(fd);
    fd_ = open(path_.c_str(), O_RDONLY);
    ras_ = cupsRasterOpen(fd_, CUPS_RASTER_READ);
  }
  ~RasterFile() {
    cupsRasterClose(ras_);
    close(fd_);
  }
  cups_raster_t* ras() const { return ras_; }
  bool NextHeader(cups_page_header2_t* hd) { return cupsRasterReadHeader2(ras_, hd) != 0; }

 private:
  std::string path_;
  int fd_ = -1;
  cups_raster_t* ras_ = nullptr;
};

// Job settings handed to SendOnePage, and the ring around it.
struct Pipeline {
  TraceCapture trace;
  JobInfo slots[kJobSlots];
  DWORD page = 0;
  DWORD DriverFeature = 0;
  PrinterCapability cap{};
  char jobID[8] = "7";
  Pipeline(int ring = 1) {
    gMAX_THREAD.store(ring, std::memory_order_release);
    gCancelJob.store(0, std::memory_order_release);
    cap.Feature[1] = F1_1200X1200;
    for (int i = 0; i < kJobSlots; ++i) slots[i].PageIndex = static_cast<DWORD>(i);
  }
  ~Pipeline() {
    ReleaseSlots(slots);
    if (std::getenv("PIPELINE_TEST_TRACE")) std::fputs(trace.Text().c_str(), stdout);
    gMAX_THREAD.store(1, std::memory_order_release);
    gCancelJob.store(0, std::memory_order_release);
  }
  BOOL Send(RasterFile& f, const cups_page_header2_t& hd, BOOL blank = FALSE, BOOL RemoveBlankPage = FALSE) {
    if (page == 0) ginheader_bak = hd;
    return SendOnePage(slots, &page, hd, f.ras(), 595, 842, DriverFeature, cap, jobID, blank, RemoveBlankPage,
                       0, 0);
  }
};

// Runs single pages through acquisition and the worker; returns what the
// consumer took out.
std::vector<Taken> RunPages(Pipeline& p, const Pages& pages, std::size_t expected) {
  PrivateRoot root;
  RasterFile f(root, pages);
  RingConsumer consumer(p.slots);
  cups_page_header2_t hd;
  while (f.NextHeader(&hd)) EXPECT_TRUE(p.Send(f, hd));
  EXPECT_TRUE(consumer.WaitFor(expected));
  WaitPageWorkers();
  consumer.Stop();
  return consumer.pages();
}

Taken RunOne(Pipeline& p, const cups_page_header2_t& hd, const std::vector<unsigned char>& data) {
  std::vector<Taken> t = RunPages(p, {{hd, data}}, 1);
  return t.empty() ? Taken{} : t[0];
}

// Sends the first page of a raster file of the given pages, with no consumer.
BOOL SendFirst(Pipeline& p, const Pages& pages, BOOL blank = FALSE, BOOL remove = FALSE) {
  PrivateRoot root;
  RasterFile f(root, pages);
  cups_page_header2_t hd;
  if (!f.NextHeader(&hd)) {
    ADD_FAILURE() << "no page header";
    return FALSE;
  }
  return p.Send(f, hd, blank, remove);
}

::testing::AssertionResult SameBits(const Bits& got, const Bits& want) {
  if (got.w != want.w || got.h != want.h)
    return ::testing::AssertionFailure()
           << "size " << got.w << "x" << got.h << ", expected " << want.w << "x" << want.h;
  for (unsigned y = 0; y < got.h; ++y)
    for (unsigned x = 0; x < got.w; ++x)
      if (got.at(x, y) != want.at(x, y))
        return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is " << got.at(x, y);
  return ::testing::AssertionSuccess();
}

}  // namespace

TEST(PageGeometry, SizesAreRoundedToThirtyTwoPixels) {
  cups_page_header2_t hd = Header(4961, 7016);
  hd.cupsBytesPerLine = 4961;
  PageGeometry g;
  const char* why = "";
  ASSERT_TRUE(ComputePageGeometry(hd, &g, &why));
  EXPECT_EQ(g.page_width, 4992u);
  EXPECT_EQ(g.linebyteLeft, 31u);
  EXPECT_EQ(g.page_height, 7040u);
  EXPECT_EQ(g.linebyte, 4992u);
  EXPECT_EQ(g.pagesize, 4992u * 7040u);

  // One-bit pages are held as one byte per pixel; RGB as three.
  hd.cupsBitsPerPixel = hd.cupsBitsPerColor = 1;
  hd.cupsBytesPerLine = (4961 + 7) / 8;
  ASSERT_TRUE(ComputePageGeometry(hd, &g, &why));
  EXPECT_EQ(g.linebyte, 4992u);
  EXPECT_EQ(g.dataBytes, 621u);
  hd.cupsBitsPerPixel = 24;
  hd.cupsBitsPerColor = 8;
  hd.cupsBytesPerLine = 3 * 4961;
  ASSERT_TRUE(ComputePageGeometry(hd, &g, &why));
  EXPECT_EQ(g.linebyte, 3u * 4992u);
}

TEST(PageGeometry, HeadersThatCannotBeHeldOrDisagreeAreRefused) {
  PageGeometry g;
  const char* why = "";
  // Sizes whose 32-bit products would wrap.
  cups_page_header2_t hd = Header(100, 100, 8, CUPS_CSPACE_RGB, 3);
  hd.cupsWidth = 0xFFFFFFF0u;
  hd.cupsHeight = 0xFFFFFFF0u;
  hd.cupsBytesPerLine = 0xFFFFFFFFu;
  EXPECT_FALSE(ComputePageGeometry(hd, &g, &why));
  hd = Header(65536, 65536);
  hd.cupsBytesPerLine = 65536;  // 4 GiB page: fits 32-bit line sizes, not the buffer
  EXPECT_FALSE(ComputePageGeometry(hd, &g, &why));
  EXPECT_STREQ(why, "page too large");
  // Line length shorter than width and depth; zero size; unknown depth.
  hd = Header(100, 100);
  hd.cupsBytesPerLine = 99;
  EXPECT_FALSE(ComputePageGeometry(hd, &g, &why));
  hd = Header(100, 100);
  hd.cupsHeight = 0;
  EXPECT_FALSE(ComputePageGeometry(hd, &g, &why));
  hd = Header(100, 100, 16);
  EXPECT_FALSE(ComputePageGeometry(hd, &g, &why));
  // A longer line is accepted: the excess is read and dropped.
  hd = Header(100, 100);
  hd.cupsBytesPerLine = 160;
  EXPECT_TRUE(ComputePageGeometry(hd, &g, &why));
  EXPECT_EQ(g.dataBytes, 100u);
}

TEST(PagePipeline, OversizePageOrShortRasterIsRefusedWithAnErrorNamingThePage) {
  {
    Pipeline p;
    EXPECT_FALSE(SendFirst(p, {{Header(100000, 100000), {}}}));
    EXPECT_EQ(p.page, 0u);
    EXPECT_TRUE(p.trace.Has("ERROR: Page 1 cannot be printed: page too large (100000 x 100000 pixels"));
    EXPECT_EQ(p.slots[0].lpbuf, nullptr);
  }
  Pipeline p;
  EXPECT_FALSE(SendFirst(p, {{Header(200, 100), std::vector<unsigned char>(200 * 50, 255)}}));
  EXPECT_TRUE(p.trace.Has("ERROR: Page 1 cannot be printed: raster data ends early"));
}

TEST(PagePipeline, GrayRgbKAndOneBitPagesMatchTheReference) {
  const Gray g = Pattern(200, 100);
  const Bits want = ToBits(g);
  struct Case {
    const char* name;
    cups_page_header2_t hd;
  } cases[] = {
      {"8-bit sGray", Header(200, 100)},
      {"8-bit W", Header(200, 100, 8, CUPS_CSPACE_W)},
      {"24-bit RGB", Header(200, 100, 8, CUPS_CSPACE_SRGB, 3)},
      {"8-bit K", Header(200, 100, 8, CUPS_CSPACE_K)},
      {"1-bit K (1 = ink)", Header(200, 100, 1, CUPS_CSPACE_K)},
      {"1-bit W (1 = white)", Header(200, 100, 1, CUPS_CSPACE_W)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pipeline p;
    Taken t = RunOne(p, c.hd, Encode(c.hd, g));
    ASSERT_FALSE(t.failed);
    EXPECT_EQ(t.linebyte, 224u / 8);  // padded to 32 pixels, which stay blank
    EXPECT_TRUE(SameBits(t.ToBits(), want));
  }
}

TEST(PagePipeline, MirrorInvertAndTwoBitModeTransformTheBitmap) {
  const Gray g = Pattern(200, 100);
  const Bits plain = ToBits(g);
  struct Case {
    const char* name;
    int option;  // cupsInteger index set
    unsigned value;
    BYTE f0;
    Bits want;
  } cases[] = {
      {"mirror", 2, 1, 0, Mirror(plain)},
      {"invert", 1, 1, 0, Invert(plain)},
      {"two-bit mode", 8, 2, F0_TWO_BIT_600, Doubled(plain)},
      {"resolution 2 without the capability", 8, 2, 0, plain},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pipeline p;
    p.cap.Feature[0] = c.f0;
    cups_page_header2_t hd = Header(200, 100);
    hd.cupsInteger[c.option] = c.value;
    Taken t = RunOne(p, hd, Encode(hd, g));
    EXPECT_EQ(t.linebyte * 8, c.want.w);
    EXPECT_TRUE(SameBits(t.ToBits(), c.want));
  }
}

TEST(PagePipeline, ScaledPageKeepsItsBlackAreaWithinTheScaledBounds) {
  // A black block of 100 x 50 in a 200 x 100 page, scaled to 50%.
  Gray g(200, 100);
  for (unsigned y = 0; y < 50; ++y)
    for (unsigned x = 0; x < 100; ++x) g.at(x, y) = 0;
  Pipeline p;
  cups_page_header2_t hd = Header(200, 100);
  hd.cupsInteger[7] = 50;
  Bits got = RunOne(p, hd, Encode(hd, g)).ToBits();
  ASSERT_EQ(got.w, 224u);
  // Nothing outside the 50 x 25 block (one pixel of edge blur allowed);
  // almost everything inside it.
  std::size_t inside = 0, outside = 0;
  for (unsigned y = 0; y < got.h; ++y)
    for (unsigned x = 0; x < got.w; ++x) {
      if (!got.at(x, y)) continue;
      if (x < 51 && y < 26)
        ++inside;
      else
        ++outside;
    }
  EXPECT_EQ(outside, 0u);
  EXPECT_GE(inside, 49u * 24u * 9 / 10);
}

TEST(PagePipeline, ZeroEdgePageIsCroppedByAThirdOfAnInch) {
  // 600 x 600 pixels, zero edge: 96 pixels go at the left and top.
  Gray g(600, 600);
  for (unsigned y = 90; y < 600; y += 7)
    for (unsigned x = 90; x < 600; x += 5) g.at(x, y) = 0;
  Pipeline p;
  cups_page_header2_t hd = Header(600, 600);
  hd.ImagingBoundingBox[0] = hd.ImagingBoundingBox[1] = 0;
  Taken t = RunOne(p, hd, Encode(hd, g));
  Bits got = t.ToBits();
  ASSERT_EQ(got.w, 416u);
  ASSERT_EQ(got.h, 416u);
  Bits want(416, 416);
  for (unsigned y = 0; y < 416; ++y)
    for (unsigned x = 0; x < 416; ++x) want.set(x, y, g.at(x + 96, y + 96) == 0);
  EXPECT_TRUE(SameBits(got, want));
}

TEST(PagePipeline, LongEdgePaperIsTurnedNinetyDegrees) {
  // The paper code's long-edge bit comes from the paper table; the turn
  // itself is checked on a slot whose Rotate90 is set.
  TraceCapture trace;
  const Gray g = Pattern(200, 100);
  JobInfo slot;
  slot.inheader = Header(200, 100);
  ginheader_bak = slot.inheader;
  slot.Feature[1] = F1_1200X1200;
  slot.Rotate90 = 1;
  slot.MaxMediaWidth = 595;
  slot.MaxMediaHeight = 842;
  DWORD dots = 0;
  ASSERT_TRUE(GetCUPSPageDataEx(&slot, TRUE, &dots));
  for (unsigned y = 0; y < 100; ++y) std::memcpy(slot.lpbuf + y * slot.linebyte, &g.px[y * 200], 200);
  slot.StoreFlag(SLOT_TAKEN | SLOT_GEOMETRY_DONE);
  ASSERT_TRUE(StartPageWorker(&slot));
  WaitPageWorkers();
  ASSERT_TRUE(slot.LoadFlag() & SLOT_PROCESSED);
  Taken t(slot);
  std::free(slot.lpbuf);
  EXPECT_EQ(t.page_width, 128u);
  EXPECT_EQ(t.page_height, 224u);
  EXPECT_EQ(t.linebyte, 16u);
  EXPECT_TRUE(SameBits(t.ToBits(), Turn90(ToBits(g))));
}

TEST(PagePipeline, BackSidesOfLongEdgeDuplexAreTurnedOnZq3PrintersOnly) {
  const Gray g = Pattern(200, 100);
  const Bits plain = ToBits(g);
  struct Case {
    const char* name;
    DWORD feature;
    BYTE f0;
    unsigned duplex, tumble;
    bool turnBack;
  } cases[] = {
      {"long-edge duplex", DF_ZQ3_CHIP, 0, 1, 0, true},
      {"short-edge duplex", DF_ZQ3_CHIP, 0, 1, 1, false},
      {"simplex", DF_ZQ3_CHIP, 0, 0, 0, false},
      {"printer turns itself (IMPR)", DF_ZQ3_CHIP, F0_IMPR, 1, 0, false},
      {"no ZQ3 chip", 0, 0, 1, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pipeline p(2);
    p.DriverFeature = c.feature;
    p.cap.Feature[0] = c.f0;
    cups_page_header2_t hd = Header(200, 100);
    hd.Duplex = static_cast<cups_bool_t>(c.duplex);
    hd.Tumble = static_cast<cups_bool_t>(c.tumble);
    std::vector<unsigned char> data = Encode(hd, g);
    std::vector<Taken> t = RunPages(p, {{hd, data}, {hd, data}, {hd, data}, {hd, data}}, 4);
    ASSERT_EQ(t.size(), 4u);
    for (unsigned i = 0; i < 4; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(t[i].PageIndex, i);
      EXPECT_TRUE(SameBits(t[i].ToBits(), (c.turnBack && i % 2 == 1) ? Turn180(plain) : plain));
    }
  }
}

TEST(PagePipeline, BlankDuplexPageIsDroppedOnlyWhenAllowed) {
  Gray oneDot(200, 100);
  oneDot.at(199, 99) = 0;
  struct Case {
    const char* name;
    unsigned duplex;
    BOOL remove;
    Gray g;
    bool dropped;
  } cases[] = {
      {"duplex, removal allowed", 1, TRUE, Gray(200, 100), true},
      {"duplex, removal not allowed", 1, FALSE, Gray(200, 100), false},
      {"simplex", 0, TRUE, Gray(200, 100), false},
      {"one black pixel is not blank", 1, TRUE, oneDot, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pipeline p;
    cups_page_header2_t hd = Header(200, 100);
    hd.Duplex = static_cast<cups_bool_t>(c.duplex);
    EXPECT_TRUE(SendFirst(p, {{hd, Encode(hd, c.g)}}, FALSE, c.remove));
    EXPECT_EQ(p.page, c.dropped ? 0u : 1u);
    if (c.dropped) {
      EXPECT_EQ(p.slots[0].LoadFlag(), SLOT_FREE);
      EXPECT_EQ(p.slots[0].lpbuf, nullptr);
      EXPECT_EQ(ActivePageWorkers(), 0);
    } else {
      RingConsumer consumer(p.slots);
      EXPECT_TRUE(consumer.WaitFor(1));
    }
  }
}

TEST(PagePipeline, FillerPageIsWhiteReadsNoRasterAndIsNeverDropped) {
  Pipeline p;
  cups_page_header2_t hd = Header(200, 100);
  hd.Duplex = CUPS_TRUE;
  PrivateRoot root;
  RasterFile f(root, {{hd, Encode(hd, Gray(200, 100, 0))}});
  RingConsumer consumer(p.slots);
  cups_page_header2_t h;
  ASSERT_TRUE(f.NextHeader(&h));
  EXPECT_TRUE(p.Send(f, h, TRUE, TRUE));   // filler with the header: white
  EXPECT_TRUE(p.Send(f, h, FALSE, TRUE));  // the real page is still unread
  EXPECT_EQ(p.page, 2u);
  ASSERT_TRUE(consumer.WaitFor(2));
  WaitPageWorkers();
  consumer.Stop();
  EXPECT_EQ(consumer.pages()[0].ToBits().Count(), 0u);
  EXPECT_EQ(consumer.pages()[1].ToBits().Count(), 200u * 100u);
}

TEST(PagePipeline, RingOfOneAndFiveDeliversPagesInOrder) {
  // Page 0 is large and slow, the others small: they finish first but
  // leave the ring in page order. Page k carries k black rows on top.
  for (int ring : {1, 5}) {
    SCOPED_TRACE(ring);
    Pipeline p(ring);
    Pages pages;
    std::vector<Gray> grays;
    for (unsigned k = 0; k < 8; ++k) {
      unsigned w = k == 0 ? 2000 : 200, h = k == 0 ? 2000 : 100;
      Gray g(w, h);
      for (unsigned y = 0; y < k; ++y)
        for (unsigned x = 0; x < w; ++x) g.at(x, y) = 0;
      cups_page_header2_t hd = Header(w, h);
      pages.push_back({hd, Encode(hd, g)});
      grays.push_back(g);
    }
    // Every page takes the paper of the first page (non-A3 printer).
    std::vector<Taken> t = RunPages(p, pages, 8);
    ASSERT_EQ(t.size(), 8u);
    for (unsigned k = 0; k < 8; ++k) {
      SCOPED_TRACE(k);
      EXPECT_EQ(t[k].PageIndex, k);
      EXPECT_FALSE(t[k].failed);
      Bits want(t[k].page_width, t[k].page_height);
      for (unsigned y = 0; y < k; ++y)
        for (unsigned x = 0; x < grays[k].w && x < want.w; ++x) want.set(x, y, true);
      EXPECT_TRUE(SameBits(t[k].ToBits(), want));
    }
  }
}

TEST(PagePipeline, FailedWorkerHandsOnAnEmptySlotAndNamesThePage) {
  TraceCapture trace;
  gCancelJob.store(0, std::memory_order_release);
  JobInfo slot;
  slot.PageIndex = 4;
  slot.inheader = Header(200, 100);
  slot.lpbuf = static_cast<BYTE*>(std::malloc(64));
  slot.page_width = 224;
  slot.page_height = 0;  // halftoning refuses a page without lines
  slot.StoreFlag(SLOT_TAKEN | SLOT_GEOMETRY_DONE);
  ASSERT_TRUE(StartPageWorker(&slot));
  WaitPageWorkers();
  EXPECT_TRUE(slot.LoadFlag() & SLOT_PROCESSED);
  EXPECT_TRUE(SlotPageFailed(slot));
  EXPECT_EQ(slot.lpbuf, nullptr);
  EXPECT_TRUE(trace.Has("ERROR: Page 5 not printed: ApplyHalftone failed"));
}

TEST(PagePipeline, CancelledPagesAreHandedOnEmptyWithoutErrorLines) {
  Pipeline p(3);
  cups_page_header2_t hd = Header(200, 100);
  gCancelJob.store(1, std::memory_order_release);
  std::vector<Taken> t =
      RunPages(p, {{hd, Encode(hd, Gray(200, 100, 0))}, {hd, Encode(hd, Gray(200, 100, 0))}}, 2);
  ASSERT_EQ(t.size(), 2u);
  EXPECT_TRUE(t[0].failed);
  EXPECT_TRUE(t[1].failed);
  EXPECT_FALSE(p.trace.Has("ERROR:"));
}

TEST(PagePipeline, LongerLinesAreReadWholeAndTheExcessDropped) {
  const Gray g = Pattern(200, 100);
  cups_page_header2_t hd = Header(200, 100);
  hd.cupsBytesPerLine = 256;
  std::vector<unsigned char> data(256 * 100, 0x00);  // black excess must not show
  for (unsigned y = 0; y < 100; ++y) std::memcpy(&data[y * 256], &g.px[y * 200], 200);
  Pipeline p;
  Taken t = RunOne(p, hd, data);
  EXPECT_TRUE(SameBits(t.ToBits(), ToBits(g)));
}

TEST(PagePipeline, WholeJobsOfManyPagesRunThroughTheRing) {
  PrivateRoot root;
  std::string ras = MakeRaster(root.Path("/in.ras"), {"--pages", "7", "--res", "300", "--media", "144x144",
                                                      "--content", "text,black,white"});
  JobResult r = RunJob("", ras);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(LinesWith(r.err, "ERROR:").size(), 0u);
  EXPECT_EQ(CountLinesEndingWith(r.err, "exit image process thread page 6"), 1);
}

TEST(PagePipeline, ColourModePagesArePrintedInBlackWithOneWarning) {
  const Gray g = Pattern(200, 100);
  Pipeline p(2);
  ResetColourWarning();
  cups_page_header2_t hd = Header(200, 100, 8, CUPS_CSPACE_SRGB, 3);
  hd.cupsInteger[4] = 1;  // black and red
  const std::vector<unsigned char> data = Encode(hd, g);
  std::vector<Taken> t = RunPages(p, {{hd, data}, {hd, data}}, 2);
  ASSERT_EQ(t.size(), 2u);
  EXPECT_TRUE(SameBits(t[0].ToBits(), ToBits(g)));
  EXPECT_TRUE(SameBits(t[1].ToBits(), ToBits(g)));
  EXPECT_EQ(LinesWith(p.trace.Text(), "WARNING: Colour output is not supported yet").size(), 1u);
}
