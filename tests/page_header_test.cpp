// Page header: byte layout, paper codes, media and tray codes, two-bit mode
// and compression method.
#include "page_header.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "feature_bits.h"
#include "job_context.h"
#include "paper_table.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// Enables exactly the named rows of the paper table.
void EnablePapers(std::initializer_list<const char*> names) {
  for (PAPERFORMAT& row : gPaperFormat) {
    row.enable = 0;
    for (const char* n : names)
      if (std::strcmp(row.paper_name, n) == 0) row.enable = 1;
  }
}

class PageHeaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnablePapers({"Letter", "Legal", "A3", "A4", "A5", "B5", "B6"});
    job_ = std::make_unique<JobInfo>();
    job_->page_width = 4960;
    job_->page_height = 7016;
    job_->linebyte = 620;
    SetPage(595, 842);
    ginheader_bak = job_->inheader;
  }
  void TearDown() override {
    EnablePapers({});
    ginheader_bak = {};
  }
  void SetPage(unsigned w, unsigned h) {
    job_->inheader.PageSize[0] = w;
    job_->inheader.PageSize[1] = h;
  }
  // Header bytes of the slot's page.
  std::string Build(DWORD comp = 1000, DWORD dots = 5) {
    char buf[32];
    std::memset(buf, 0x5a, sizeof buf);
    EXPECT_EQ(PJL_WritePageHeader(job_.get(), buf, comp, dots), 0);
    return std::string(buf, sizeof buf);
  }
  int Byte(DWORD field) {
    std::string b = Build();
    return static_cast<unsigned char>(b[field]);
  }
  std::unique_ptr<JobInfo> job_;
};

std::string LE32(DWORD v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xff);
  return s;
}

}  // namespace

TEST(RasterImageCmd, TemplateIsGdiThenThreeBlankRuns) {
  std::string expected = std::string("GDI") + std::string(7, '\0') + std::string(39, ' ') +
                         std::string(10, '\0') + std::string(39, ' ') + std::string(10, '\0') +
                         std::string(39, ' ') + std::string(3, '\0');
  ASSERT_EQ(expected.size(), 150u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(RasterImageCmd.data()), RasterImageCmd.size()),
            expected);
}

TEST_F(PageHeaderTest, AllFieldsLittleEndianAtTheirOffsets) {
  job_->page_width = 0x01020304;
  job_->page_height = 3;
  job_->linebyte = 0x10000;
  job_->inheader.cupsMediaType = 2;   // THICK
  job_->inheader.MediaPosition = 2;   // tray 2
  job_->inheader.cupsInteger[4] = 1;  // black and red
  job_->Feature[0] = F0_CHECKSUM;
  std::string expected = std::string("GDI\0", 4) + LE32(0x01020304) + LE32(3) + LE32(0x30000) +
                         LE32(0xA1B2C3D4) + LE32(0x00BEEF01) +
                         std::string("\x02\x11\x02\x00\x01\x02\x02\x03", 8);
  EXPECT_EQ(Build(0xA1B2C3D4, 0x00BEEF01), expected);
}

TEST_F(PageHeaderTest, PaperCodesFromTheTableAndThePpd) {
  // A4 on a plain printer, and on an A3 printer (fed long edge first).
  EXPECT_EQ(Byte(24), 2);
  job_->DriverFeature = DF_A3;
  EXPECT_EQ(Byte(24), 130);
  job_->DriverFeature = 0;

  // Sizes match to the point.
  SetPage(596, 842);
  ginheader_bak = job_->inheader;
  EXPECT_EQ(Byte(24), 96);

  // Legal and Ballot14 share a size: the PPD decides.
  SetPage(612, 1008);
  ginheader_bak = job_->inheader;
  EXPECT_EQ(Byte(24), 16);
  EnablePapers({"Ballot14"});
  EXPECT_EQ(Byte(24), 96);

  // A size the PPD does not list, though the table has it (Tabloid).
  EnablePapers({"A4", "Legal"});
  SetPage(792, 1224);
  ginheader_bak = job_->inheader;
  EXPECT_EQ(Byte(24), 96);
}

TEST_F(PageHeaderTest, LongEdgeMaskReachesOnlyTheFirstEightRows) {
  EnablePapers({"A4", "B6"});
  job_->cupsLEF = 16;  // row 4, A4
  EXPECT_EQ(Byte(24), 130);
  job_->cupsLEF = 256;  // row 8, B6: beyond the mask's reach
  SetPage(363, 516);
  ginheader_bak = job_->inheader;
  EXPECT_EQ(Byte(24), 13);
}

TEST_F(PageHeaderTest, PlainPrintersSendTheFirstPagesPaperA3PrintersTheirOwn) {
  SetPage(612, 792);  // this page: Letter; first page: A4
  EXPECT_EQ(Byte(24), 2);
  job_->DriverFeature = DF_A3;
  EXPECT_EQ(Byte(24), 143);  // Letter, long edge first
}

TEST_F(PageHeaderTest, BuildPaperListFromTheSamplePpd) {
  PrivateRoot root;
  EnablePapers({});
  ppd_file_t* ppd = ppdOpenFile(MakePpd(root.Path("/p.ppd")).c_str());
  ASSERT_NE(ppd, nullptr);
  BuildPaperList(ppd);
  ppdClose(ppd);
  EXPECT_EQ(Byte(24), 2);
  SetPage(297, 420);  // A6: not in the sample PPD
  ginheader_bak = job_->inheader;
  EXPECT_EQ(Byte(24), 96);
}

TEST_F(PageHeaderTest, MediaTypeTableAndOutOfRangeValues) {
  const int expected[] = {8, 1, 17, 20, 10, 2, 19, 3, 5, 0, 27};
  for (unsigned t = 0; t < 11; ++t) {
    job_->inheader.cupsMediaType = t;
    EXPECT_EQ(Byte(25), expected[t]) << t;
  }
  for (unsigned t : {11u, 255u, 0xFFFFFFFFu}) {
    job_->inheader.cupsMediaType = t;
    EXPECT_EQ(Byte(25), 8) << t;  // plain paper
  }
}

TEST_F(PageHeaderTest, TrayAutoBecomesManualOrTrayOne) {
  job_->inheader.MediaPosition = 250;
  EXPECT_EQ(Byte(26), 0);
  job_->DriverFeature = DF_A3;
  EXPECT_EQ(Byte(26), 1);
  job_->inheader.MediaPosition = 3;
  EXPECT_EQ(Byte(26), 3);
  EXPECT_EQ(Byte(27), 0);  // output bin
}

TEST_F(PageHeaderTest, TwoBitModeHalvesTheWidthButNotTheDataSize) {
  job_->page_width = 9920;
  job_->linebyte = 2480;
  job_->page_height = 100;
  job_->Feature[0] = F0_TWO_BIT_600;
  job_->inheader.cupsInteger[8] = 2;
  std::string b = Build();
  EXPECT_EQ(b.substr(4, 4), LE32(4960));
  EXPECT_EQ(b.substr(12, 4), LE32(248000));
  EXPECT_EQ(b[28], 2);
  EXPECT_EQ(job_->page_width, 4960u);

  // Without the resolution option, or without the bit, nothing changes.
  job_->page_width = 9920;
  job_->inheader.cupsInteger[8] = 1;
  b = Build();
  EXPECT_EQ(b.substr(4, 4), LE32(9920));
  EXPECT_EQ(b[28], 1);
  job_->Feature[0] = 0;
  job_->inheader.cupsInteger[8] = 2;
  EXPECT_EQ(Build().substr(4, 4), LE32(9920));
}

TEST_F(PageHeaderTest, ColorsAndColorModeFromTheColorOption) {
  const int colors[] = {1, 2, 1, 4, 1}, modes[] = {0, 2, 1, 3, 0};
  for (unsigned c = 0; c < 5; ++c) {
    job_->inheader.cupsInteger[4] = c;
    std::string b = Build();
    EXPECT_EQ(b[29], colors[c]) << c;
    EXPECT_EQ(b[30], modes[c]) << c;
  }
}

TEST_F(PageHeaderTest, CompMethodForEveryFeatureCombination) {
  for (int raw = 0; raw < 2; ++raw)
    for (int zq3 = 0; zq3 < 2; ++zq3)
      for (int sum = 0; sum < 2; ++sum) {
        job_->Feature[0] = (raw ? F0_RAW_DATA : 0) | (sum ? F0_CHECKSUM : 0);
        job_->DriverFeature = zq3 ? DF_ZQ3_CHIP : 0;
        // 0 raw; 1 JBIG; 2 JBIG for the ZQ3 chip; 3 with checksum; 4 both.
        int expected = raw ? 0 : (zq3 && sum) ? 4 : sum ? 3 : zq3 ? 2 : 1;
        EXPECT_EQ(Byte(31), expected) << raw << zq3 << sum;
      }
}
