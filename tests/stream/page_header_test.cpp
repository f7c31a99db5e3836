// Page header: field layout, paper codes (for every size the PPDs offer),
// media and tray codes, colours, two-bit mode and compression method.
#include "page_header.h"

#include <memory>

#include "paper_table.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// Builds the header of one slot's page, with the job's paper table (the
// PPD's marks) and first page handed over in the slot.
class PageHeaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnablePapers({"Letter", "Legal", "A3", "A4", "A5", "B5", "B6"});
    SetPage(595, 842);
    settings_.paperTable = &paper_;
    job_->settings = &settings_;
  }
  // Enables exactly the named rows of the paper table.
  void EnablePapers(const std::vector<std::string>& names) {
    for (PAPERFORMAT& row : paper_) {
      row.enable = 0;
      for (const std::string& n : names) row.enable |= n == row.paper_name;
    }
  }
  // This page's size in points, and the first page's unless given.
  void SetPage(unsigned w, unsigned h, unsigned firstW = 0, unsigned firstH = 0) {
    job_->inheader.PageSize[0] = w;
    job_->inheader.PageSize[1] = h;
    job_->referenceHeader = job_->inheader;
    if (firstW) job_->referenceHeader.PageSize[0] = firstW, job_->referenceHeader.PageSize[1] = firstH;
  }
  PageBlock Build(DWORD comp = 1000, DWORD dots = 5) {
    std::string buf(32, 'Z');
    BuildPageHeader(*job_, buf.data(), comp, dots);
    return {buf, ""};
  }
  unsigned Byte(int at) { return Build().Byte(at); }
  PaperTable paper_ = DefaultPaperTable();
  PageSettings settings_;
  std::unique_ptr<PageSlot> job_ = std::make_unique<PageSlot>();
};

}  // namespace

TEST_F(PageHeaderTest, AllFieldsLittleEndianAtTheirOffsets) {
  job_->page_width = 0x01020304;
  job_->page_height = 3;
  job_->linebyte = 0x10000;
  job_->inheader.cupsMediaType = 2;  // THICK
  job_->inheader.MediaPosition = 2;  // tray 2
  job_->colourMode = ColourMode::BlackRed;
  settings_.Feature[0] = F0_CHECKSUM;
  EXPECT_EQ(Build(0xA1B2C3D4, 0x00BEEF01).header, std::string("GDI\0", 4) + Le32Bytes(0x01020304) +
                                                      Le32Bytes(3) + Le32Bytes(0x30000) +
                                                      Le32Bytes(0xA1B2C3D4) + Le32Bytes(0x00BEEF01) +
                                                      std::string("\x02\x11\x02\x00\x01\x02\x02\x03", 8));
}

// The engine's code of every paper the printer descriptions offer; an A3
// engine takes A4, B5 and Letter long edge first (code + 128).
TEST_F(PageHeaderTest, EverySizeOfEveryPpdGetsItsEnginePaperCode) {
#ifndef GENERATED_PPD_DIR
  GTEST_SKIP() << "no generated PPDs (ppdc missing)";
#else
  const std::map<std::string, unsigned> engine = {
      {"Letter", 15},    {"Legal", 16}, {"Tabloid", 30}, {"A3", 1},      {"A4", 2},       {"A5", 3},
      {"B4", 11},        {"B5", 12},    {"B6", 13},      {"A6", 4},      {"Legal13", 17}, {"Postcard", 28},
      {"Statement", 14}, {"8K", 31},    {"16K", 32},     {"Oficio", 45}, {"DL", 25},      {"32K", 47}};
  int checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(GENERATED_PPD_DIR)) {
    std::unique_ptr<ppd_file_t, decltype(&ppdClose)> ppd(ppdOpenFile(entry.path().c_str()), ppdClose);
    ASSERT_TRUE(ppd) << entry.path();
    EnablePapers({});
    BuildPaperList(ppd.get(), paper_);
    ppd_attr_t* features = ppdFindAttr(ppd.get(), "DriverFeature", nullptr);
    job_->DriverFeature = features ? static_cast<DWORD>(std::strtoul(features->value, nullptr, 10)) : 0;
    const bool a3 = job_->DriverFeature & DF_A3;
    for (int i = 0; i < ppd->num_sizes; ++i, ++checked) {
      const ppd_size_t& size = ppd->sizes[i];
      SCOPED_TRACE(entry.path().filename().string() + " " + size.name);
      ASSERT_EQ(engine.count(size.name), 1u);
      SetPage(static_cast<unsigned>(size.width), static_cast<unsigned>(size.length));
      const std::string name = size.name;
      EXPECT_EQ(Byte(kPaper),
                engine.at(name) + (a3 && (name == "A4" || name == "B5" || name == "Letter") ? 128 : 0));
    }
  }
  EXPECT_GT(checked, 0);
#endif
}

TEST_F(PageHeaderTest, PaperCodeNeedsAnExactSizeThePpdOffersAndFollowsTheFirstPageOnPlainPrinters) {
  struct {
    std::vector<std::string> papers;
    unsigned w, h, firstW, firstH;
    DWORD features, lef;
    unsigned code;
  } cases[] = {
      {{"A4"}, 596, 842, 0, 0, 0, 0, 96},                     // sizes match to the point
      {{"Legal"}, 612, 1008, 0, 0, 0, 0, 16},                 // Legal and Ballot14 share a size:
      {{"Ballot14"}, 612, 1008, 0, 0, 0, 0, 96},              // the PPD decides
      {{"A4"}, 595, 842, 0, 0, 0, 16, 130},                   // long edge first by the PPD's mask
      {{"A4", "B6"}, 363, 516, 0, 0, 0, 256, 13},             // the mask reaches rows 0 to 7 only
      {{"A4", "Letter"}, 612, 792, 595, 842, 0, 0, 2},        // first page's paper
      {{"A4", "Letter"}, 612, 792, 595, 842, DF_A3, 0, 143},  // A3 printers: the page's own
  };
  for (const auto& c : cases) {
    EnablePapers(c.papers);
    SetPage(c.w, c.h, c.firstW, c.firstH);
    job_->DriverFeature = c.features;
    settings_.cupsLEF = c.lef;
    EXPECT_EQ(Byte(kPaper), c.code) << c.w << "x" << c.h << " lef " << c.lef;
  }
}

TEST_F(PageHeaderTest, MediaTrayDepthColoursAndCompressionFollowTheSlot) {
  job_->linebyte = 2480;
  job_->page_height = 100;
  struct {
    unsigned mediaType, tray, colorOption, resOption;
    BYTE f0;
    DWORD features;
    unsigned width;
    std::vector<unsigned> bytes;  // media, tray, out bin, bits, colours, colour mode, compression
  } cases[] = {
      {0, 0, 0, 0, 0, 0, 9920, {8, 0, 0, 1, 1, 0, 1}},
      {2, 2, 1, 0, F0_CHECKSUM, 0, 9920, {17, 2, 0, 1, 2, 2, 3}},
      // The automatic tray (250) goes as manual feed.
      {7, 250, 2, 0, F0_RAW_DATA | F0_CHECKSUM, DF_ZQ3_CHIP, 9920, {3, 0, 0, 1, 1, 1, 0}},
      {10, 250, 3, 0, 0, DF_ZQ3_CHIP | DF_A3, 9920, {27, 1, 0, 1, 4, 3, 2}},  // A3 printers: tray 1
      {11, 3, 4, 0, F0_CHECKSUM, DF_ZQ3_CHIP, 9920, {8, 3, 0, 1, 1, 0, 4}},
      // Two-bit mode halves the width but not the data size.
      {0xFFFFFFFF, 1, 0, 2, F0_TWO_BIT_600, 0, 4960, {8, 1, 0, 2, 1, 0, 1}},
  };
  for (const auto& c : cases) {
    job_->page_width = 9920;
    job_->inheader.cupsMediaType = c.mediaType;
    job_->inheader.MediaPosition = c.tray;
    job_->colourMode = ColourModeOf(c.colorOption);
    job_->inheader.cupsInteger[8] = c.resOption;
    settings_.Feature[0] = c.f0;
    job_->DriverFeature = c.features;
    const PageBlock b = Build();
    std::vector<unsigned> bytes;
    for (int at = kMedia; at <= kComp; ++at) bytes.push_back(b.Byte(at));
    EXPECT_EQ(bytes, c.bytes) << c.mediaType << " " << c.tray << " " << c.colorOption;
    EXPECT_EQ(b.Width(), c.width);
    EXPECT_EQ(b.DataSize(), 248000u);
  }
}
