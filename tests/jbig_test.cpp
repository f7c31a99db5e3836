// JBIG page coder: equality with JBIG-KIT's encoder, round trips, the header
// drop, the bounded sink and the decoder's failure paths.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "jbig_codec.h"
#include "test_support.h"

using namespace testing_support;

namespace {

using Bytes = std::vector<unsigned char>;

struct Bitmap {
  std::string name;
  unsigned long width = 0, height = 0;
  Bytes bits;  // rows of ceil(width / 8) bytes, 1 = black
};

unsigned long RowBytes(unsigned long width) {
  return (width + 7) / 8;
}

// Sets one pixel of a bitmap.
void SetPixel(Bitmap& b, unsigned long x, unsigned long y) {
  b.bits[y * RowBytes(b.width) + x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
}

// Clears the padding bits behind the last pixel of each row (JBIG codes only
// the image's own pixels, so padding never survives a round trip).
void ClearPadding(Bitmap& b) {
  if (b.width % 8 == 0) return;
  const unsigned char keep = static_cast<unsigned char>(0xFF << (8 - b.width % 8));
  for (unsigned long y = 0; y < b.height; ++y) b.bits[y * RowBytes(b.width) + RowBytes(b.width) - 1] &= keep;
}

Bitmap Blank(std::string name, unsigned long w, unsigned long h, unsigned char fill) {
  Bitmap b{std::move(name), w, h, Bytes(RowBytes(w) * h, fill)};
  ClearPadding(b);
  return b;
}

// Lines of glyph-like blocks with word gaps, as a page of text halftones to.
Bitmap TextLike(unsigned long w, unsigned long h) {
  Bitmap b = Blank("text", w, h, 0);
  std::mt19937 rng(7);
  for (unsigned long top = 16; top + 24 < h; top += 40) {
    unsigned long x = 20;
    while (x + 12 < w) {
      const unsigned long gw = 6 + rng() % 8;
      for (unsigned long y = top; y < top + 20; ++y)
        for (unsigned long dx = 0; dx < gw && x + dx < w; ++dx)
          if ((y - top) % 5 != 0 || dx % 3 == 0) SetPixel(b, x + dx, y);
      x += gw + 3 + (rng() % 5 == 0 ? 12 : 0);
    }
  }
  return b;
}

Bitmap Noise(unsigned long w, unsigned long h) {
  Bitmap b = Blank("noise", w, h, 0);
  std::mt19937 rng(12345);
  for (unsigned char& c : b.bits) c = static_cast<unsigned char>(rng());
  ClearPadding(b);
  return b;
}

// Codes a bitmap into a fresh vector; returns the coded bytes.
Bytes Code(Bitmap& b, long options, long removeHeader, long startCount = 0) {
  Bytes out;
  long len = 0, count = startCount;
  const long r = Kestal_JBIGCompression(b.width, b.height, b.bits.data(), out, 0, &len, &count, 0, options,
                                        removeHeader);
  EXPECT_EQ(r, len);
  EXPECT_GE(out.size(), static_cast<std::size_t>(len));
  out.resize(static_cast<std::size_t>(len));
  return out;
}

// Runs a shell command; returns its exit status.
int Shell(const std::string& cmd) {
  const int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string AsString(const Bytes& b) {
  return std::string(b.begin(), b.end());
}

// Reads a binary PBM (P4) written by a netpbm-style tool.
bool ReadPbm(const std::string& data, unsigned long& w, unsigned long& h, Bytes& bits) {
  std::istringstream in(data);
  std::string magic;
  in >> magic >> w >> h;
  if (magic != "P4" || !in) return false;
  in.get();  // the single white space before the raster
  const std::size_t n = RowBytes(w) * h;
  bits.resize(n);
  in.read(reinterpret_cast<char*>(bits.data()), static_cast<std::streamsize>(n));
  return static_cast<std::size_t>(in.gcount()) == n;
}

std::vector<Bitmap> Samples() {
  return {TextLike(1024, 600),
          Blank("white", 1000, 300, 0x00),
          Blank("black", 640, 257, 0xFF),
          Noise(512, 200),
          TextLike(1001, 203),
          Blank("one-pixel", 1, 1, 0xFF),
          Noise(13, 77)};
}

}  // namespace

// Equal bytes from JBIG-KIT's encoder (one layer, order 0, one stripe, no
// adaptive template movement), and round trips through our decoder and
// JBIG-KIT's jbgtopbm.
TEST(JbigCoding, EqualsJbigKitEncoderAndRoundTripsThroughBothDecoders) {
  PrivateRoot root;
  for (long options : {8L, 64L}) {
    for (Bitmap& b : Samples()) {
      SCOPED_TRACE(b.name + " " + std::to_string(b.width) + "x" + std::to_string(b.height) + " options " +
                   std::to_string(options));
      const std::string pbm = root.Path("/in.pbm"), jbg = root.Path("/ref.jbg");
      WriteFile(pbm,
                "P4\n" + std::to_string(b.width) + " " + std::to_string(b.height) + "\n" + AsString(b.bits));
      ASSERT_EQ(Shell("pbmtojbg -q -o 0 -p " + std::to_string(options) + " -s " + std::to_string(b.height) +
                      " -m 0 '" + pbm + "' '" + jbg + "'"),
                0);
      Bytes bie = Code(b, options, 0);
      EXPECT_EQ(AsString(bie), ReadFile(jbg));

      Bytes image(b.bits.size(), 0x5A);
      EXPECT_EQ(Kestal_BIEDecoding(reinterpret_cast<char*>(image.data()), reinterpret_cast<char*>(bie.data()),
                                   image.size(), bie.size()),
                0);
      EXPECT_EQ(image, b.bits);

      // And JBIG-KIT's own decoder program reads our coding back.
      const std::string ours = root.Path("/ours.jbg"), back = root.Path("/back.pbm");
      WriteFile(ours, AsString(bie));
      ASSERT_EQ(Shell("jbgtopbm '" + ours + "' '" + back + "' 2>/dev/null"), 0);
      unsigned long w = 0, h = 0;
      Bytes fromTool;
      ASSERT_TRUE(ReadPbm(ReadFile(back), w, h, fromTool));
      EXPECT_EQ(w, b.width);
      EXPECT_EQ(h, b.height);
      EXPECT_EQ(fromTool, b.bits);
    }
  }
}

TEST(JbigCoding, HeaderCarriesSizeStripeOrderAndOptionsAndRemovalDropsExactlyIt) {
  Bitmap page = Blank("white A4", 4960, 7016, 0);
  Bytes bie = Code(page, 8, 0);
  ASSERT_GE(bie.size(), kJbigHeaderSize);
  const Bytes expect = {0,    0,    1,    0,    0x00, 0x00, 0x13, 0x60, 0x00, 0x00,
                        0x1B, 0x68, 0x00, 0x00, 0x1B, 0x68, 0,    0,    0,    8};
  EXPECT_EQ(Bytes(bie.begin(), bie.begin() + kJbigHeaderSize), expect);

  for (Bitmap& b : Samples()) {
    for (long options : {8L, 64L}) {
      SCOPED_TRACE(b.name);
      Bytes full = Code(b, options, 0);
      EXPECT_EQ(Code(b, options, 1), Bytes(full.begin() + kJbigHeaderSize, full.end()));
      // A counter already past the first chunk keeps the header.
      EXPECT_EQ(Code(b, options, 1, 3), full);
    }
  }
}

TEST(JbigCoding, PlanesAppendBehindEarlierDataAndKeepIt) {
  Bitmap a = TextLike(256, 64), b = Noise(256, 64);
  Bytes out = {'H', 'D', 'R'};
  long len = 0, count = 0;
  const long first = Kestal_JBIGCompression(a.width, a.height, a.bits.data(), out, 3, &len, &count, 0, 8, 1);
  const long both = Kestal_JBIGCompression(b.width, b.height, b.bits.data(), out, 3, &len, &count, 0, 8, 1);
  Bytes expect = {'H', 'D', 'R'};
  Bytes ca = Code(a, 8, 1), cb = Code(b, 8, 0);  // the counter is past 1: plane 2 keeps its header
  expect.insert(expect.end(), ca.begin(), ca.end());
  expect.insert(expect.end(), cb.begin(), cb.end());
  EXPECT_EQ(first, static_cast<long>(ca.size()));
  EXPECT_EQ(both, static_cast<long>(ca.size() + cb.size()));
  out.resize(3 + static_cast<std::size_t>(len));
  EXPECT_EQ(out, expect);
}

TEST(JbigCoding, NoisePageLargerThanItsBitmapGrowsTheVectorAndNeverOverrunsAFixedBuffer) {
  Bitmap b = Noise(2048, 512);
  Bytes bie = Code(b, 8, 0);
  ASSERT_GT(bie.size(), b.bits.size()) << "noise should code larger than the bitmap";

  const std::size_t cap = b.bits.size();
  Bytes buf(cap + 4096, 0xEE);
  long len = 0, count = 0;
  EXPECT_EQ(Kestal_JBIGCompression(b.width, b.height, b.bits.data(), buf.data(), cap, &len, &count, 0, 8, 0),
            kJbigOutputOverflow);
  for (std::size_t i = cap; i < buf.size(); ++i) ASSERT_EQ(buf[i], 0xEE) << "write past capacity at " << i;

  Bytes roomy(bie.size(), 0);
  len = 0;
  count = 0;
  EXPECT_EQ(Kestal_JBIGCompression(b.width, b.height, b.bits.data(), roomy.data(), roomy.size(), &len, &count,
                                   0, 8, 0),
            static_cast<long>(bie.size()));
  EXPECT_EQ(roomy, bie);
}

TEST(JbigCoding, PagesCodedInParallelThreadsMatchSerialCoding) {
  std::vector<Bitmap> pages = {TextLike(1024, 400), Noise(800, 300), Blank("black", 512, 512, 0xFF)};
  std::vector<Bytes> serial;
  for (Bitmap& p : pages) serial.push_back(Code(p, 8, 1));
  std::vector<Bytes> parallel(pages.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < pages.size(); ++i)
    threads.emplace_back([&, i] {
      for (int round = 0; round < 3; ++round) parallel[i] = Code(pages[i], 8, 1);
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(parallel, serial);
}

TEST(JbigDecoding, TruncatedOrMismatchedInputFailsAndLeavesTheImageUntouched) {
  Bitmap b = TextLike(640, 200);
  Bytes bie = Code(b, 8, 0);
  const Bytes untouched(b.bits.size(), 0x5A);
  for (std::size_t keep : {bie.size() - 1, bie.size() / 2, kJbigHeaderSize, std::size_t{7}}) {
    SCOPED_TRACE(keep);
    Bytes image = untouched;
    Bytes part(bie.begin(), bie.begin() + static_cast<long>(keep));
    EXPECT_NE(Kestal_BIEDecoding(reinterpret_cast<char*>(image.data()), reinterpret_cast<char*>(part.data()),
                                 image.size(), part.size()),
              0);
    EXPECT_EQ(image, untouched);
  }

  // A caller expecting a bigger image than the BIE holds is refused, not over-read.
  Bytes big(b.bits.size() + 80, 0x5A);
  EXPECT_EQ(Kestal_BIEDecoding(reinterpret_cast<char*>(big.data()), reinterpret_cast<char*>(bie.data()),
                               big.size(), bie.size()),
            kJbigSizeMismatch);
  EXPECT_EQ(big, Bytes(big.size(), 0x5A));

  // A header-less BIE is not a BIE.
  Bytes headerless(bie.begin() + kJbigHeaderSize, bie.end());
  Bytes image = untouched;
  EXPECT_NE(Kestal_BIEDecoding(reinterpret_cast<char*>(image.data()),
                               reinterpret_cast<char*>(headerless.data()), image.size(), headerless.size()),
            0);
  EXPECT_EQ(image, untouched);
}

TEST(JbigDecoding, WidthRoundedDownToWholeBytesIsAccepted) {
  // The spool replay asks for (width / 8) x height bytes.
  Bitmap b = TextLike(1001, 50);
  Bytes bie = Code(b, 64, 0);
  const std::size_t floorSize = 1001 / 8 * 50;
  Bytes image(floorSize, 0);
  EXPECT_EQ(Kestal_BIEDecoding(reinterpret_cast<char*>(image.data()), reinterpret_cast<char*>(bie.data()),
                               image.size(), bie.size()),
            0);
  EXPECT_EQ(image, Bytes(b.bits.begin(), b.bits.begin() + static_cast<long>(floorSize)));
}
