// The generated PPDs: what the filter reads from each, what CUPS' raster
// interpreter puts into the page header's option slots for their choices,
// and the paper table row each fit-to-paper choice names.
#include <cups/ppd.h>
#include <cups/raster.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "feature_bits.h"
#include "job_config.h"
#include "paper_table.h"
#include "test_slot.h"

using namespace testing_support;

namespace {

// What each printer class must be, independent of the driver file's details.
struct Model {
  const char* file;     // PCFileName without .ppd
  bool a3;              // A3 engine: the A3 feature bit and A3 paper
  bool colour;          // RGB pages (black and red, or four colours)
  unsigned colourMode;  // ColorMode slot of an RGB page
};

const Model kModels[] = {
    {"gdimled", false, false, 0}, {"gdimlsu", false, false, 0}, {"gdima3", true, false, 0},
    {"gdibkred", false, true, 1}, {"gdicolor", false, true, 3},
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
#endif
  }
  void TearDown() override {
    if (ppd) ppdClose(ppd);
  }
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
  EXPECT_EQ(ppdPageSize(ppd, "A3") != nullptr, m.a3);
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
  EXPECT_TRUE(Messages(r.err, "ERROR:").empty());
  EXPECT_EQ(Messages(r.err, "PAGE:").size(), 1u);
}

// The option slots cupsInteger[0..13] of a header.
std::vector<unsigned> Slots(const cups_page_header2_t& h) {
  return std::vector<unsigned>(h.cupsInteger, h.cupsInteger + 14);
}

TEST_P(GeneratedPpd, DefaultsAndEachOptionReachTheRasterHeader) {
  const Model& m = GetParam();
  const unsigned mode = m.colourMode;
  // Every option off but the neutral density; the colour mode of the engine.
  cups_page_header2_t h = Interpret(ppd, "");
  EXPECT_EQ(Slots(h), std::vector<unsigned>({0, 0, 0, 0, mode, 0, 0, 0, 0, 0, 0, 2, 0, 0}));
  // Collated copies are the filter's, from its spool file.
  h = Interpret(ppd,
                "TonerSave=On Invert=On MirrorImage=On ZeroEdge=Shrink JobTimeout=60 Zoom=50 QualityMode=On "
                "Density=10 AuthMode=IDPassword FitToPaper=Letter InputSlot=Manual MediaType=Thick "
                "Duplex=DuplexTumble Collate=True");
  EXPECT_EQ(Slots(h), std::vector<unsigned>({1, 1, 1, 1, mode, 0, 60, 50, 0, 0, 1, 9, 2, 1}));
  EXPECT_EQ(std::vector<unsigned>({h.MediaPosition, h.cupsMediaType, h.Duplex, h.Tumble, h.Collate}),
            std::vector<unsigned>({0, 2, 1, 1, 1}));

  // Colour engines print gray as one plane (mode 2), which the negative
  // must invert whole.
  if (m.colour) {
    h = Interpret(ppd, "ColorModel=Gray");
    EXPECT_EQ(std::vector<unsigned>({h.cupsColorSpace, h.cupsBitsPerPixel, h.cupsInteger[4]}),
              std::vector<unsigned>({CUPS_CSPACE_W, 8, 2}));
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
