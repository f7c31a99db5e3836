// JBIG page coder and decoder against JBIG-KIT: equal bytes, round trips,
// the header drop and the decoder's failure paths.

#include "jbig_codec.h"
#include "test_support.h"

using namespace testing_support;

namespace {

struct Bitmap {
  std::string name;
  unsigned long width = 0, height = 0;
  Bytes bits;  // rows of ceil(width / 8) bytes, 1 = black
};

// A bitmap of kind "white", "black", "noise" or "text" (lines of glyph-like
// blocks). JBIG codes only the image's own pixels: the padding bits behind
// a row's last pixel are cleared so that round trips compare equal.
Bitmap Make(const std::string& kind, unsigned long w, unsigned long h) {
  const unsigned long bpl = (w + 7) / 8;
  Bitmap b{kind, w, h, Bytes(bpl * h, kind == "black" ? 0xFF : 0)};
  std::mt19937 rng(12345);
  for (unsigned long y = 0; y < h; ++y)
    for (unsigned long x = 0; x < bpl; ++x) {
      unsigned char& c = b.bits[y * bpl + x];
      if (kind == "noise") c = static_cast<unsigned char>(rng());
      if (kind == "text" && (y / 20) % 2 && (x + y / 20) % 3) c = (y % 5) ? 0xEE : 0x00;
      if (x == bpl - 1 && w % 8) c &= static_cast<unsigned char>(0xFF << (8 - w % 8));
    }
  return b;
}

Bytes Code(Bitmap& b, long options, bool removeHeader) {
  const auto w = static_cast<DWORD>(b.width), h = static_cast<DWORD>(b.height);
  return JbigEncodePage(PlaneView{b.bits.data(), w, h, (w + 7) / 8}, options, removeHeader);
}

int Decode(Bytes& image, Bytes bie) {
  return JbigDecodePage(reinterpret_cast<char*>(image.data()), reinterpret_cast<char*>(bie.data()),
                        image.size(), bie.size());
}

std::vector<Bitmap> Samples() {
  return {Make("text", 1024, 600), Make("white", 1000, 300), Make("black", 640, 257), Make("noise", 512, 200),
          Make("text", 1001, 203), Make("black", 1, 1),      Make("noise", 13, 77)};
}

}  // namespace

TEST(JbigCoding, EqualsJbigKitRoundTripsAndDropsExactlyTheHeader) {
  for (long options : {8L, 64L}) {
    for (Bitmap& b : Samples()) {
      SCOPED_TRACE(b.name + " " + std::to_string(b.width) + "x" + std::to_string(b.height) + " options " +
                   std::to_string(options));
      const Bytes bie = Code(b, options, false);
      EXPECT_EQ(bie, JbigEncode(b.bits, b.width, b.height, static_cast<int>(options)));
      unsigned long w = 0, h = 0;
      EXPECT_EQ(JbigDecode(bie, &w, &h), b.bits);
      EXPECT_EQ(w, b.width);
      EXPECT_EQ(h, b.height);
      Bytes image(b.bits.size(), 0x5A);
      EXPECT_EQ(Decode(image, bie), 0);
      EXPECT_EQ(image, b.bits);

      EXPECT_EQ(Code(b, options, true), Bytes(bie.begin() + kJbigHeaderSize, bie.end()));
    }
  }
}

TEST(JbigDecoding, BadInputFailsAndLeavesTheImageUntouched) {
  Bitmap b = Make("text", 640, 200);
  const Bytes bie = Code(b, 8, false);
  // Rows with padding are no JBIG plane: nothing is coded.
  EXPECT_TRUE(JbigEncodePage(PlaneView{b.bits.data(), 632, 200, 80}, 8, false).empty());
  const Bytes untouched(b.bits.size(), 0x5A);
  for (std::size_t keep : {bie.size() - 1, bie.size() / 2, kJbigHeaderSize, std::size_t{7}}) {
    Bytes image = untouched;
    EXPECT_NE(Decode(image, Bytes(bie.begin(), bie.begin() + static_cast<long>(keep))), 0) << keep;
    EXPECT_EQ(image, untouched) << keep;
  }
  Bytes image = untouched;  // a header-less BIE is not a BIE
  EXPECT_NE(Decode(image, Bytes(bie.begin() + kJbigHeaderSize, bie.end())), 0);
  EXPECT_EQ(image, untouched);

  // A caller expecting a bigger image than the BIE holds is refused, not over-read.
  Bytes big(b.bits.size() + 80, 0x5A);
  EXPECT_EQ(Decode(big, bie), kJbigSizeMismatch);
  EXPECT_EQ(big, Bytes(big.size(), 0x5A));

  // The spool replay asks for (width / 8) x height bytes.
  Bitmap odd = Make("text", 1001, 50);
  Bytes floor(1001 / 8 * 50, 0);
  EXPECT_EQ(Decode(floor, Code(odd, 64, false)), 0);
  EXPECT_EQ(floor, Bytes(odd.bits.begin(), odd.bits.begin() + static_cast<long>(floor.size())));
}
