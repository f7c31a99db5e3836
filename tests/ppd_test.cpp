// The generated PPDs: what the filter reads from each, what CUPS' raster
// interpreter puts into the page header's option slots for their choices,
// and whether every paper size they offer has an engine paper code.
#include <cups/ppd.h>
#include <cups/raster.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "feature_bits.h"
#include "job_config.h"
#include "test_slot.h"
#include "paper_table.h"

using namespace testing_support;

namespace {

// What each printer class must be, independent of the driver file's details.
struct Model {
  const char* file;  // PCFileName without .ppd
  bool a3;           // A3 engine: the A3 feature bit and A3 paper
  bool colour;       // RGB pages (black and red, or four colours)
  int colourMode;    // ColorMode slot of an RGB page
  bool has1200;      // offers 1200 dpi
};

const Model kModels[] = {
    {"gdimled", false, false, 0, true},  {"gdimlsu", false, false, 0, true},
    {"gdima3", true, false, 0, true},    {"gdibkred", false, true, 1, false},
    {"gdicolor", false, true, 3, false},
};

// Names the model in test failure messages.
void PrintTo(const Model& m, std::ostream* os) {
  *os << m.file;
}

// The page header CUPS' raster interpreter builds from the marked choices
// plus the given options ("TonerSave=On ...").
cups_page_header2_t Interpret(ppd_file_t* ppd, const char* options) {
  cups_option_t* opts = nullptr;
  int n = cupsParseOptions(options, 0, &opts);
  cupsMarkOptions(ppd, n, opts);
  cups_page_header2_t h{};
  EXPECT_EQ(cupsRasterInterpretPPD(&h, ppd, 0, nullptr, nullptr), 0) << options;
  cupsFreeOptions(n, opts);
  return h;
}

// Each test opens its model's generated PPD with all defaults marked.
class GeneratedPpd : public ::testing::TestWithParam<Model> {
 protected:
  void SetUp() override {
#ifndef GENERATED_PPD_DIR
    GTEST_SKIP() << "ppdc not available: no generated PPDs";
#else
    path_ = std::string(GENERATED_PPD_DIR) + "/" + GetParam().file + ".ppd";
    ppd = ppdOpenFile(path_.c_str());
    ASSERT_NE(ppd, nullptr) << "cannot open " << path_;
    ppdMarkDefaults(ppd);
    state_.ClearPaper();  // the marks persist across jobs in process
#endif
  }
  void TearDown() override {
    if (ppd) ppdClose(ppd);
  }
  JobState state_;
  std::string path_;
  ppd_file_t* ppd = nullptr;
};

std::string ModelName(const ::testing::TestParamInfo<Model>& info) {
  return info.param.file;
}

}  // namespace

TEST_P(GeneratedPpd, StatesWhatTheFilterReadsAndPrintsAPage) {
  const Model& m = GetParam();
  for (const char* name :
       {"MaxMediaWidth", "MaxMediaHeight", "cupsHTable", "cupsLEF", "DriverFeature", "Toolfd"})
    EXPECT_NE(ppdFindAttr(ppd, name, nullptr), nullptr) << name;
  FilterJob job(stdout, stderr);
  job.ppd = ppd;
  ReadPpdAttributes(job);
  EXPECT_EQ((job.DriverFeature & DF_A3) != 0, m.a3);
  EXPECT_GE(job.cupsHTable, 0);
  EXPECT_LE(job.cupsHTable, 6);
  // The media limits are the largest offered size.
  float maxW = 0, maxH = 0;
  for (int i = 0; i < ppd->num_sizes; ++i) {
    maxW = std::max(maxW, ppd->sizes[i].width);
    maxH = std::max(maxH, ppd->sizes[i].length);
  }
  EXPECT_EQ(job.MaxMediaWidth, maxW);
  EXPECT_EQ(job.MaxMediaHeight, maxH);

  PrivateRoot root;
  JobResult r = RunJob(
      path_, MakeRaster(root.Path("/page.ras"), {"--res", "300", "--media", "144x144", "--content", "text"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(MessageLines(r.err, "ERROR:"), 0);
  EXPECT_EQ(MessageLines(r.err, "PAGE:"), 1);
}

TEST_P(GeneratedPpd, EveryOfferedSizeHasItsEnginePaperCode) {
  const Model& m = GetParam();
  BuildPaperList(ppd, state_.paper);
  ASSERT_GT(ppd->num_sizes, 0);
  bool sawA3 = false;
  std::set<int> codes;
  for (int i = 0; i < ppd->num_sizes; ++i) {
    const ppd_size_t& s = ppd->sizes[i];
    cups_page_header2_t h{};
    h.PageSize[0] = static_cast<unsigned>(s.width);
    h.PageSize[1] = static_cast<unsigned>(s.length);
    // The engine tells the sizes apart by their codes alone.
    const int code = GetPaperSizeCode(state_.paper, &h, 0, 0);
    EXPECT_NE(code, ENG_PAPER_CUSTOMER) << s.name << " is not in the paper table";
    EXPECT_TRUE(codes.insert(code).second) << s.name << " has the code of another size";
    // Printable area: the PPD's margins stay inside the page.
    EXPECT_GT(s.left, 0.0f) << s.name;
    EXPECT_LT(s.right, s.width) << s.name;
    sawA3 |= std::string(s.name) == "A3";
  }
  EXPECT_EQ(sawA3, m.a3);
  // On the A3 engine A4 goes long edge first.
  if (m.a3) {
    cups_page_header2_t h{};
    h.PageSize[0] = 595;
    h.PageSize[1] = 842;
    EXPECT_EQ(GetPaperSizeCode(state_.paper, &h, static_cast<int>(DF_A3), 0), ENG_ISO_A4 + ENG_LEF_OFFSET);
  }
}

// The option slots cupsInteger[0..13] of a header.
std::vector<unsigned> Slots(const cups_page_header2_t& h) {
  return std::vector<unsigned>(h.cupsInteger, h.cupsInteger + 14);
}

TEST_P(GeneratedPpd, DefaultsAndEachOptionReachTheRasterHeader) {
  const Model& m = GetParam();
  const unsigned mode = m.colour ? m.colourMode : 0;
  // 600 dpi A4 from the automatic tray: RGB on colour engines, else gray
  // with 0 black, which the filter takes unconverted; every option off but
  // the neutral density.
  cups_page_header2_t h = Interpret(ppd, "");
  EXPECT_EQ(
      std::vector<unsigned>({h.HWResolution[0], h.HWResolution[1], h.cupsBitsPerColor, h.cupsBitsPerPixel,
                             h.cupsColorSpace, h.cupsColorOrder, h.PageSize[0], h.PageSize[1],
                             h.MediaPosition, h.cupsMediaType, h.Collate}),
      std::vector<unsigned>({600, 600, 8, m.colour ? 24u : 8u, m.colour ? CUPS_CSPACE_RGB : CUPS_CSPACE_W,
                             CUPS_ORDER_CHUNKED, 595, 842, 250, 0, 0}));
  EXPECT_EQ(Slots(h), std::vector<unsigned>({0, 0, 0, 0, mode, 0, 0, 0, 0, 0, 0, 2, 0, 0}));
  // Collated copies are the filter's, from its spool file.
  h = Interpret(ppd,
                "TonerSave=On Invert=On MirrorImage=On ZeroEdge=Shrink JobTimeout=60 Zoom=50 QualityMode=On "
                "Density=10 AuthMode=IDPassword FitToPaper=Letter InputSlot=Manual MediaType=Thick "
                "Duplex=DuplexTumble Collate=True");
  EXPECT_EQ(Slots(h), std::vector<unsigned>({1, 1, 1, 1, mode, 0, 60, 50, 0, 0, 1, 9, 2, 1}));
  EXPECT_EQ(std::vector<unsigned>({h.MediaPosition, h.cupsMediaType, h.Duplex, h.Tumble, h.Collate}),
            std::vector<unsigned>({0, 2, 1, 1, 1}));

  ppd_choice_t* dpi1200 = ppdFindChoice(ppdFindOption(ppd, "Resolution"), "1200dpi");
  EXPECT_EQ(dpi1200 != nullptr, m.has1200);
  if (dpi1200) {
    h = Interpret(ppd, "Resolution=1200dpi");
    EXPECT_EQ(std::vector<unsigned>({h.HWResolution[0], h.cupsInteger[8], h.cupsBitsPerPixel}),
              std::vector<unsigned>({1200, 1, 8}));
  }
  // Colour engines print gray as one plane (mode 2); the red separation
  // level exists only where there is red.
  ppd_option_t* model = ppdFindOption(ppd, "ColorModel");
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(model->num_choices, m.colour ? 2 : 1);
  if (m.colour) {
    h = Interpret(ppd, "ColorModel=Gray");
    EXPECT_EQ(std::vector<unsigned>({h.cupsColorSpace, h.cupsBitsPerPixel, h.cupsInteger[4]}),
              std::vector<unsigned>({CUPS_CSPACE_W, 8, 2}));
    EXPECT_EQ(Interpret(ppd, "ColorModel=RGB").cupsInteger[4], mode);
  }
  ppd_option_t* level = ppdFindOption(ppd, "ColorLevel");
  EXPECT_EQ(level != nullptr, m.colourMode == 1);
  if (level) {
    EXPECT_EQ(Interpret(ppd, "ColorLevel=Least").cupsInteger[5], 120u);
  }
}

TEST_P(GeneratedPpd, FitToPaperChoicesNameTheirPaperTableRow) {
  ppd_option_t* fit = ppdFindOption(ppd, "FitToPaper");
  ASSERT_NE(fit, nullptr);
  EXPECT_STREQ(fit->defchoice, "Off");
  int sizesOffered = 0;
  for (int i = 0; i < fit->num_choices; ++i) {
    std::string choice = fit->choices[i].choice;
    cups_page_header2_t h = Interpret(ppd, ("FitToPaper=" + choice).c_str());
    unsigned row = h.cupsInteger[13];
    if (choice == "Off") {
      EXPECT_EQ(row, 0u);
      continue;
    }
    ++sizesOffered;
    ASSERT_GE(row, 1u) << choice;
    ASSERT_LE(row, static_cast<unsigned>(kPaperRows)) << choice;
    EXPECT_EQ(choice, DefaultPaperTable()[row - 1].paper_name) << "row " << row;
    EXPECT_NE(ppdPageSize(ppd, choice.c_str()), nullptr) << choice << " is not a page size of this printer";
  }
  // One fitting target per page size.
  EXPECT_EQ(sizesOffered, ppd->num_sizes);
}

INSTANTIATE_TEST_SUITE_P(Models, GeneratedPpd, ::testing::ValuesIn(kModels), ModelName);
