// The generated PPDs: what the filter reads from each, what CUPS' raster
// interpreter puts into the page header's option slots for their choices,
// and whether every paper size they offer has an engine paper code.
#include <cups/ppd.h>
#include <cups/raster.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "feature_bits.h"
#include "paper.h"
#include "test_support.h"

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

std::string PpdPath(const Model& m) {
#ifdef GENERATED_PPD_DIR
  return std::string(GENERATED_PPD_DIR) + "/" + m.file + ".ppd";
#else
  (void)m;
  return "";
#endif
}

struct PpdCloser {
  void operator()(ppd_file_t* p) const { ppdClose(p); }
};
using PpdPtr = std::unique_ptr<ppd_file_t, PpdCloser>;

// Opens a generated PPD with all defaults marked, or skips without ppdc.
PpdPtr OpenPpd(const Model& m) {
  std::string path = PpdPath(m);
  if (path.empty() || !std::filesystem::exists(path)) return nullptr;
  PpdPtr ppd(ppdOpenFile(path.c_str()));
  if (ppd) ppdMarkDefaults(ppd.get());
  return ppd;
}

// Value of a PPD attribute as the file states it, or "" when absent.
std::string Attr(ppd_file_t* ppd, const char* name) {
  ppd_attr_t* a = ppdFindAttr(ppd, name, nullptr);
  return a && a->value ? a->value : "";
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

// Resets the paper table's PPD marks, which persist across jobs in process.
void ClearPaperMarks() {
  for (PAPERFORMAT& row : gPaperFormat) row.enable = 0;
}

class GeneratedPpd : public ::testing::TestWithParam<Model> {
 protected:
  void SetUp() override {
    ppd_ = OpenPpd(GetParam());
    if (!ppd_ && PpdPath(GetParam()).empty()) GTEST_SKIP() << "ppdc not available: no generated PPDs";
    ASSERT_TRUE(ppd_) << "cannot open " << PpdPath(GetParam());
    ClearPaperMarks();
  }
  void TearDown() override { ClearPaperMarks(); }
  PpdPtr ppd_;
};

std::string ModelName(const ::testing::TestParamInfo<Model>& info) {
  return info.param.file;
}

}  // namespace

TEST_P(GeneratedPpd, FilterTracesTheAttributesThePpdStates) {
  const Model& m = GetParam();
  PrivateRoot root;
  std::string raster = MakeRaster(root.Path("/page.ras"), {"--width", "32", "--height", "32"});
  JobResult r = RunJob(PpdPath(m), raster);
  EXPECT_EQ(r.status, 0);

  ppd_file_t* ppd = ppd_.get();
  DWORD feature = static_cast<DWORD>(std::strtoul(Attr(ppd, "DriverFeature").c_str(), nullptr, 10));
  char line[64];
  std::snprintf(line, sizeof line, "] DriverFeature = %08x", feature);
  EXPECT_EQ(LinesWith(r.err, line).size(), 1u) << line;
  EXPECT_EQ((feature & DF_A3) != 0, m.a3);
  EXPECT_EQ(CountLinesEndingWith(r.err, m.a3 ? "] A3 = 1" : "] A3 = 0"), 1);

  // Sizes as the filter prints them: atof of the attribute, "%f".
  for (const char* name : {"MaxMediaWidth", "MaxMediaHeight"}) {
    std::string v = Attr(ppd, name);
    ASSERT_FALSE(v.empty()) << name;
    std::snprintf(line, sizeof line, "[--main--] %s = %f", name, std::atof(v.c_str()));
    EXPECT_EQ(CountLinesEndingWith(r.err, line), 1) << line;
  }
  for (const char* name : {"cupsHTable", "cupsLEF", "DriverVersion", "Toolfd"}) {
    std::string v = Attr(ppd, name);
    ASSERT_FALSE(v.empty()) << name;
    EXPECT_EQ(CountLinesEndingWith(r.err, "] " + std::string(name) + " = " + v), 1) << name;
  }
  int htable = std::atoi(Attr(ppd, "cupsHTable").c_str());
  EXPECT_GE(htable, 0);
  EXPECT_LE(htable, 6);

  // Every size of the PPD is found by the filter's paper list.
  for (int i = 0; i < ppd->num_sizes; ++i)
    EXPECT_GE(CountLinesEndingWith(r.err, std::string("] support = ") + ppd->sizes[i].name), 1)
        << ppd->sizes[i].name;
  EXPECT_EQ(LinesWith(r.err, "ATTR: marker-levels=75").size(), 1u);
}

TEST_P(GeneratedPpd, EveryOfferedSizeHasItsEnginePaperCode) {
  const Model& m = GetParam();
  ppd_file_t* ppd = ppd_.get();
  BuildPaperList(ppd);
  ASSERT_GT(ppd->num_sizes, 0);
  bool sawA3 = false;
  for (int i = 0; i < ppd->num_sizes; ++i) {
    const ppd_size_t& s = ppd->sizes[i];
    cups_page_header2_t h{};
    h.PageSize[0] = static_cast<unsigned>(s.width);
    h.PageSize[1] = static_cast<unsigned>(s.length);
    int code = GetPaperSizeCode(&h, 0, 0);
    EXPECT_NE(code, ENG_PAPER_CUSTOMER)
        << s.name << " " << s.width << "x" << s.length << " is not in the paper table";
    // Printable area: the PPD's margins stay inside the page.
    EXPECT_GT(s.left, 0.0f) << s.name;
    EXPECT_LT(s.right, s.width) << s.name;
    if (std::string(s.name) == "A3") sawA3 = true;
  }
  EXPECT_EQ(sawA3, m.a3);
  // The largest offered size fits the stated media limits exactly.
  float maxW = 0, maxH = 0;
  for (int i = 0; i < ppd->num_sizes; ++i) {
    maxW = std::max(maxW, ppd->sizes[i].width);
    maxH = std::max(maxH, ppd->sizes[i].length);
  }
  EXPECT_EQ(maxW, std::atof(Attr(ppd, "MaxMediaWidth").c_str()));
  EXPECT_EQ(maxH, std::atof(Attr(ppd, "MaxMediaHeight").c_str()));
  // On the A3 engine A4 goes long edge first.
  if (m.a3) {
    cups_page_header2_t h{};
    h.PageSize[0] = 595;
    h.PageSize[1] = 842;
    EXPECT_EQ(GetPaperSizeCode(&h, static_cast<int>(DF_A3), 0), ENG_ISO_A4 + ENG_LEF_OFFSET);
  }
}

TEST_P(GeneratedPpd, DefaultsGiveThePageTypeTheFilterExpects) {
  const Model& m = GetParam();
  cups_page_header2_t h = Interpret(ppd_.get(), "");
  EXPECT_EQ(h.HWResolution[0], 600u);
  EXPECT_EQ(h.HWResolution[1], 600u);
  EXPECT_EQ(h.cupsBitsPerColor, 8u);
  EXPECT_EQ(h.cupsColorOrder, CUPS_ORDER_CHUNKED);
  if (m.colour) {
    EXPECT_EQ(h.cupsColorSpace, CUPS_CSPACE_RGB);
    EXPECT_EQ(h.cupsBitsPerPixel, 24u);
    EXPECT_EQ(h.cupsInteger[4], static_cast<unsigned>(m.colourMode));
  } else {
    // Gray with 0 black and 255 white, which the filter takes unconverted.
    EXPECT_EQ(h.cupsColorSpace, CUPS_CSPACE_W);
    EXPECT_EQ(h.cupsBitsPerPixel, 8u);
    EXPECT_EQ(h.cupsInteger[4], 0u);
  }
  EXPECT_EQ(h.PageSize[0], 595u);
  EXPECT_EQ(h.PageSize[1], 842u);
  EXPECT_EQ(h.MediaPosition, 250u);
  EXPECT_EQ(h.cupsMediaType, 0u);
  EXPECT_EQ(h.Collate, 0u);
  // Every option slot off: no toner saving, no inversion, no mirror, crop,
  // default time-out, no scaling, 600 dpi, plain halftoning, neutral density,
  // no accounting, no fitting.
  for (int slot : {0, 1, 2, 3, 5, 6, 7, 8, 10, 12, 13}) EXPECT_EQ(h.cupsInteger[slot], 0u) << "slot " << slot;
  EXPECT_EQ(h.cupsInteger[11], 2u);
}

TEST_P(GeneratedPpd, EachOptionReachesItsRasterSlot) {
  const Model& m = GetParam();
  cups_page_header2_t h =
      Interpret(ppd_.get(),
                "TonerSave=On Invert=On MirrorImage=On ZeroEdge=Shrink JobTimeout=60 Zoom=50 "
                "QualityMode=On Density=10 AuthMode=IDPassword FitToPaper=Letter "
                "InputSlot=Manual MediaType=Thick Duplex=DuplexTumble Collate=True");
  const unsigned expected[14] = {1, 1, 1, 1, h.cupsInteger[4], h.cupsInteger[5], 60, 50, 0, 0, 1, 9, 2, 1};
  for (int slot = 0; slot < 14; ++slot) EXPECT_EQ(h.cupsInteger[slot], expected[slot]) << "slot " << slot;
  EXPECT_EQ(h.MediaPosition, 0u);
  EXPECT_EQ(h.cupsMediaType, 2u);
  EXPECT_EQ(h.Duplex, 1u);
  EXPECT_EQ(h.Tumble, 1u);
  // Collated copies are the filter's, from its spool file.
  EXPECT_EQ(h.Collate, 1u);

  if (m.has1200) {
    h = Interpret(ppd_.get(), "Resolution=1200dpi");
    EXPECT_EQ(h.HWResolution[0], 1200u);
    EXPECT_EQ(h.cupsInteger[8], 1u);
    EXPECT_EQ(h.cupsBitsPerPixel, 8u);
  } else {
    EXPECT_EQ(ppdFindChoice(ppdFindOption(ppd_.get(), "Resolution"), "1200dpi"), nullptr);
  }
  if (m.colour) {
    h = Interpret(ppd_.get(), "ColorModel=Gray");
    EXPECT_EQ(h.cupsColorSpace, CUPS_CSPACE_W);
    EXPECT_EQ(h.cupsBitsPerPixel, 8u);
    EXPECT_EQ(h.cupsInteger[4], 2u);  // one plane on a colour engine
    h = Interpret(ppd_.get(), "ColorModel=RGB");
    EXPECT_EQ(h.cupsBitsPerPixel, 24u);
    EXPECT_EQ(h.cupsInteger[4], static_cast<unsigned>(m.colourMode));
  } else {
    ppd_option_t* cm = ppdFindOption(ppd_.get(), "ColorModel");
    ASSERT_NE(cm, nullptr);
    EXPECT_EQ(cm->num_choices, 1);
  }
  // The red separation level exists only where there is red.
  ppd_option_t* level = ppdFindOption(ppd_.get(), "ColorLevel");
  EXPECT_EQ(level != nullptr, m.colourMode == 1);
  if (level) {
    EXPECT_EQ(Interpret(ppd_.get(), "ColorLevel=Least").cupsInteger[5], 120u);
  }
}

TEST_P(GeneratedPpd, FitToPaperChoicesNameTheirPaperTableRow) {
  ppd_file_t* ppd = ppd_.get();
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
    EXPECT_EQ(choice, gPaperFormat[row - 1].paper_name) << "row " << row;
    EXPECT_NE(ppdPageSize(ppd, choice.c_str()), nullptr) << choice << " is not a page size of this printer";
  }
  // One fitting target per page size.
  EXPECT_EQ(sizesOffered, ppd->num_sizes);
}

INSTANTIATE_TEST_SUITE_P(Models, GeneratedPpd, ::testing::ValuesIn(kModels), ModelName);
