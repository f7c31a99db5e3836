// Page coding into page blocks, checked against JBIG-KIT.
#include "page_output.h"
#include "test_support.h"

using namespace testing_support;

// Each plane carries its length, its own header-less BIE and its own
// checksum; the bitmap goes once its block exists.
TEST(OutputTest, FourPlanesEachCarryLengthOwnHeaderlessBieAndOwnChecksum) {
  PrivateRoot root;
  FILE* err = std::tmpfile();
  JobEvents events(err);
  const unsigned w = 64, rows = 40;
  Bytes bitmap;
  for (unsigned p = 0; p < 4; ++p)  // diagonal bands, a dark block and a first byte of each plane's own
    for (unsigned y = 0; y < rows; ++y)
      for (unsigned x = 0; x < w / 8; ++x)
        bitmap.push_back(
            x + y == 0 ? static_cast<unsigned char>(0x10 * (p + 1))
                       : static_cast<unsigned char>(((x + y + p) % 7 == 0 ? 0xF0 : 0) |
                                                    (y > rows / 3 && y < rows / 2 && x < 4 + p ? 0xFF : 0)));
  PageSettings settings;
  settings.Feature[0] = F0_JBIG | F0_CHECKSUM;
  PageSlot s;
  s.page = PageBuffer::Allocate(bitmap.size());
  std::memcpy(s.page.data(), bitmap.data(), bitmap.size());
  s.page_width = w;
  s.page_height = rows * 4;
  s.linebyte = w / 8;
  s.settings = &settings;
  s.DriverFeature = DF_CMYK_SEPARATE_COMPRESS;
  s.colourMode = ColourMode::Cmyk;
  s.events = &events;
  ImageCompress(&s);
  ASSERT_TRUE(HoldsPageBlock(&s));
  EXPECT_FALSE(s.page);
  const char* block = reinterpret_cast<char*>(s.pageBlock.data());
  EXPECT_EQ(std::string(block, 2), kEscE);
  std::string expect;
  for (unsigned p = 0; p < 4; ++p) {
    const Bytes plane(bitmap.begin() + p * rows * 8, bitmap.begin() + (p + 1) * rows * 8);
    const std::string bie = Str(JbigEncode(plane, w, rows, 8)).substr(20);
    expect += Le32Bytes(static_cast<std::uint32_t>(bie.size())) + bie + Le32Bytes(Checksum(plane, w, rows));
  }
  EXPECT_EQ(std::string(block + kBlockPrefix, PageDataBytes(s)), expect);
  EXPECT_EQ(s.page_height, rows * 4);
  std::fclose(err);
}
