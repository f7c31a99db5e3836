// Page coding into page blocks, checked against JBIG-KIT.
#include "aes.h"
#include "page_output.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// A page with some structure: diagonal bands and a dark block.
Bytes PatternPage(unsigned width, unsigned rows, unsigned seed = 0) {
  Bytes b(width / 8 * rows);
  for (unsigned y = 0; y < rows; ++y)
    for (unsigned x = 0; x < width / 8; ++x)
      b[y * (width / 8) + x] = static_cast<unsigned char>(((x + y + seed) % 7 == 0) ? 0xF0 : 0) |
                               ((y > rows / 3 && y < rows / 2 && x < 4 + seed) ? 0xFF : 0);
  return b;
}

// Slots of 1-bit pages handed to the coder; the job's messages go to err_.
class OutputTest : public ::testing::Test {
 protected:
  void TearDown() override { std::fclose(err_); }
  PageSettings& Fill(int i, const Bytes& bitmap, unsigned width, unsigned rows, BYTE f0, BYTE f1 = 0,
                     DWORD df = 0, ColourMode mode = ColourMode::Mono) {
    PageSlot& s = slots_[i];
    s.page = PageBuffer::Allocate(bitmap.size());
    std::memcpy(s.page.data(), bitmap.data(), bitmap.size());
    s.page_width = width;
    s.page_height = rows;
    s.linebyte = width / 8;
    settings_[i].Feature[0] = f0;
    settings_[i].Feature[1] = f1;
    s.settings = &settings_[i];
    s.DriverFeature = df;
    s.colourMode = mode;
    s.events = &events_;
    return settings_[i];
  }
  // Codes slot i and returns its page data.
  std::string Coded(int i) {
    ImageCompress(&slots_[i]);
    EXPECT_TRUE(HoldsPageBlock(&slots_[i]));
    EXPECT_FALSE(slots_[i].page);  // the bitmap goes once its block exists
    const char* block = reinterpret_cast<char*>(slots_[i].pageBlock.data());
    EXPECT_EQ(std::string(block, 2), kEscE);
    return std::string(block + kBlockPrefix, PageDataBytes(slots_[i]));
  }
  PrivateRoot root_;
  FILE* err_ = std::tmpfile();
  JobEvents events_{err_};
  PageSettings settings_[2];
  PageSlot slots_[2];
};

}  // namespace

TEST_F(OutputTest, ChecksumPrinterGetsHeaderlessBiePlusChecksumAndTheDotCount) {
  const unsigned w = 256, h = 100;
  const Bytes bitmap = PatternPage(w, h);
  Fill(0, bitmap, w, h, F0_JBIG | F0_CHECKSUM);
  const Bytes bie = JbigEncode(bitmap, w, h, 8);
  EXPECT_EQ(Coded(0), Str(bie).substr(20) + Le32Bytes(Checksum(bitmap, w, h)));
  EXPECT_EQ(slots_[0].blackDots, Dots(bitmap));
}

TEST_F(OutputTest, ZQ3ChecksumPrinterGetsTheStampedPageWithItsHeader) {
  const unsigned w = 64, h = 16;
  Bytes bitmap = PatternPage(w, h, 3), stamped = bitmap;
  const std::size_t corners[] = {0, 7, 15 * 8, 16 * 8 - 1};
  const unsigned char values[] = {0x11, 0x22, 0x33, 0x44};
  for (int i = 0; i < 4; ++i) bitmap[corners[i]] = values[i], stamped[corners[i]] = 0xAA;
  Fill(0, bitmap, w, h, F0_JBIG | F0_CHECKSUM, 0, DF_ZQ3_CHIP);
  EXPECT_EQ(Coded(0), Str(JbigEncode(stamped, w, h, 64)) + Le32Bytes(0x11223344));
}

TEST_F(OutputTest, FourPlanesEachCarryLengthOwnHeaderlessBieAndOwnChecksum) {
  const unsigned w = 64, rows = 40;
  Bytes bitmap;
  for (unsigned p = 0; p < 4; ++p) {
    Bytes plane = PatternPage(w, rows, p);
    plane[0] = static_cast<unsigned char>(0x10 * (p + 1));
    bitmap.insert(bitmap.end(), plane.begin(), plane.end());
  }
  Fill(0, bitmap, w, rows * 4, F0_JBIG | F0_CHECKSUM, 0, DF_CMYK_SEPARATE_COMPRESS, ColourMode::Cmyk);
  std::string expect;
  for (unsigned p = 0; p < 4; ++p) {
    const Bytes plane(bitmap.begin() + p * rows * 8, bitmap.begin() + (p + 1) * rows * 8);
    const std::string bie = Str(JbigEncode(plane, w, rows, 8)).substr(20);
    expect += Le32Bytes(static_cast<std::uint32_t>(bie.size())) + bie + Le32Bytes(Checksum(plane, w, rows));
  }
  EXPECT_EQ(Coded(0), expect);
  EXPECT_EQ(slots_[0].page_height, rows * 4);
}

TEST_F(OutputTest, RawPrinterGetsTheBitmapButTheSpoolFileAWholeBieEvenWhenLarger) {
  const unsigned w = 512, h = 64;
  Bytes noise(w / 8 * h);
  std::mt19937 rng(7);
  for (auto& c : noise) c = static_cast<unsigned char>(rng());
  Fill(0, noise, w, h, F0_RAW_DATA);
  EXPECT_EQ(Coded(0), Str(noise));

  Fill(1, noise, w, h, F0_RAW_DATA).spooling = true;
  const std::string stored = Coded(1);
  EXPECT_GT(stored.size(), noise.size());  // noise does not compress
  EXPECT_EQ(JbigDecode(Bytes(stored.begin(), stored.end())), noise);
}

// Whole SSL jobs decode to their clear bitmaps (gdidecode's tests); here the
// four-plane pages the output thread codes.
TEST_F(OutputTest, EncryptingPrintersGetFourPlanePagesAsCipherText) {
  const unsigned w = 64, rows = 16;
  Bytes four;
  for (unsigned p = 0; p < 4; ++p) {
    const Bytes plane = PatternPage(w, rows, p);
    four.insert(four.end(), plane.begin(), plane.end());
  }
  Fill(0, four, w, rows * 4, F0_JBIG | F0_CHECKSUM, 0, DF_CMYK_SEPARATE_COMPRESS, ColourMode::Cmyk);
  const std::string clear = Coded(0);
  Fill(1, four, w, rows * 4, F0_JBIG | F0_CHECKSUM, F1_SSL, DF_CMYK_SEPARATE_COMPRESS, ColourMode::Cmyk);
  const std::string sealed = Coded(1);
  char* cipher = nullptr;
  int n = 0;
  ASSERT_EQ(
      EncryptionAES(clear.data(), int(clear.size()), "TrelmoxPageKeyAB", "TrelmoxPageVecCD", &cipher, &n),
      EXMsg_Ok);
  EXPECT_TRUE(sealed ==
              Le32Bytes(static_cast<std::uint32_t>(n)) + std::string(cipher, static_cast<std::size_t>(n)));
  std::free(cipher);
}
