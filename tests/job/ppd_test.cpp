// The generated PPDs: what the filter reads from each, how the options are
// offered, that each choice changes what the printer gets, and the paper
// table row each fit-to-paper choice names.
#include <cups/ppd.h>
#include <cups/raster.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
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
  unsigned colourMode;  // ColorMode slot of an RGB page; 0 gray pages
};

const Model kModels[] = {
    {"gdimled", false, 0},  {"gdimlsu", false, 0},  {"gdima3", true, 0},
    {"gdibkred", false, 1}, {"gdicolor", false, 3},
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

TEST_P(GeneratedPpd, StatesWhatTheFilterReads) {
  const Model& m = GetParam();
  for (const char* name :
       {"MaxMediaWidth", "MaxMediaHeight", "cupsHTable", "cupsLEF", "DriverFeature", "Toolfd"})
    EXPECT_NE(ppdFindAttr(ppd, name, nullptr), nullptr) << name;
  JobConfig job;
  ReadPpdAttributes(ppd, job);
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
}

TEST_P(GeneratedPpd, EveryOptionOffersAChoiceAndDuplexNeedsTheUnit) {
  // An option with one choice is no option.
  for (int g = 0; g < ppd->num_groups; ++g)
    for (int o = 0; o < ppd->groups[g].num_options; ++o)
      EXPECT_GE(ppd->groups[g].options[o].num_choices, 2) << ppd->groups[g].options[o].keyword;

  // Two-sided printing needs the duplex unit, which is there by default.
  ASSERT_NE(ppdFindOption(ppd, "OptionDuplexer"), nullptr);
  EXPECT_STREQ(ppdFindOption(ppd, "OptionDuplexer")->defchoice, "True");
  ppdMarkOption(ppd, "Duplex", "DuplexNoTumble");
  EXPECT_EQ(ppdConflicts(ppd), 0);
  ppdMarkOption(ppd, "OptionDuplexer", "False");
  EXPECT_GT(ppdConflicts(ppd), 0);
  ppdMarkOption(ppd, "Duplex", "None");
  EXPECT_EQ(ppdConflicts(ppd), 0);
}

namespace {

// What every option can act on: a gray ramp, a black bar on mid gray, and
// (RGB pages) reds of every green-blue level.
void TestPicture(unsigned x, unsigned y, unsigned char rgb[3]) {
  const unsigned char v = x < 128                                    ? static_cast<unsigned char>(x * 2)
                          : (y > 32 && y < 64 && x > 150 && x < 170) ? 0
                                                                     : 128;
  rgb[0] = rgb[1] = rgb[2] = v;
  if (y >= 64) rgb[0] = 220, rgb[1] = rgb[2] = static_cast<unsigned char>(x);
}

// A small raster page of the header CUPS' interpreter makes for the marked
// choices, two copies, 256 x 96 pixels of a picture (gray pages take its
// first channel).
std::string WritePage(const std::string& path, cups_page_header2_t h,
                      void (*picture)(unsigned, unsigned, unsigned char*) = TestPicture) {
  h.cupsWidth = 256;
  h.cupsHeight = 96;
  h.cupsBytesPerLine = h.cupsWidth * h.cupsBitsPerPixel / 8;
  h.NumCopies = 2;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  cups_raster_t* r = cupsRasterOpen(fd, CUPS_RASTER_WRITE);
  EXPECT_TRUE(cupsRasterWriteHeader2(r, &h));
  const unsigned bpp = h.cupsBitsPerPixel / 8;
  std::vector<unsigned char> line(h.cupsBytesPerLine);
  for (unsigned y = 0; y < h.cupsHeight; ++y) {
    for (unsigned x = 0; x < h.cupsWidth; ++x) {
      unsigned char rgb[3];
      picture(x, y, rgb);
      std::copy(rgb, rgb + bpp, line.begin() + x * bpp);
    }
    cupsRasterWritePixels(r, line.data(), static_cast<unsigned>(line.size()));
  }
  cupsRasterClose(r);
  close(fd);
  return path;
}

// What the printer gets from a job on the PPD with these options, as the
// scheduler passes them, clock values masked; and the job's warnings.
struct Printed {
  std::string stream, warnings;
  bool operator==(const Printed&) const = default;
};
void PrintTo(const Printed& p, std::ostream* os) {
  *os << p.stream.size() << " bytes, warnings: " << p.warnings;
}

}  // namespace

TEST_P(GeneratedPpd, EveryChoiceChangesWhatThePrinterGets) {
  const Model& m = GetParam();
  PrivateRoot root;
  // The colour plug-in as built, not as installed.
  setenv("RASTERTOPWG2_PLUGIN_DIR", ICCP_PLUGIN_DIR, 1);
  struct Unset {
    ~Unset() { unsetenv("RASTERTOPWG2_PLUGIN_DIR"); }
  } unset;
  // Small paper keeps the pages small.
  auto run = [&](const std::string& choice, std::string* warnings,
                 void (*picture)(unsigned, unsigned, unsigned char*) = TestPicture) {
    const std::string options = "PageSize=Postcard " + choice;
    ppdMarkDefaults(ppd);
    JobResult r =
        RunJob(path_, WritePage(root.Path("/page.ras"), Interpret(ppd, options.c_str()), picture), options);
    EXPECT_EQ(r.status, 0) << choice;
    for (const std::string& e : Messages(r.err, "ERROR:")) ADD_FAILURE() << choice << ": " << e;
    for (const std::string& w : Messages(r.err, "WARNING:")) *warnings += w + "\n";
    return ReadStream(r.out);
  };
  auto print = [&](const std::string& choice) {
    Printed p;
    PrinterStream st = run(choice, &p.warnings);
    p.stream = MaskClock(st.pjl);
    for (const PageBlock& b : st.pages) p.stream += b.header + b.data;
    return p;
  };
  const Printed plain = print("");
  ASSERT_FALSE(plain.stream.empty());
  EXPECT_EQ(plain.warnings, "");

  // Every choice of every option, but only the first away from the default
  // of the long lists, makes a job unlike the default's and unlike the
  // option's other choices. The installable duplex unit only constrains.
  for (int g = 0; g < ppd->num_groups; ++g)
    for (int o = 0; o < ppd->groups[g].num_options; ++o) {
      const ppd_option_t& opt = ppd->groups[g].options[o];
      const std::string keyword = opt.keyword;
      if (keyword == "OptionDuplexer" || keyword == "PageRegion") continue;
      std::vector<Printed> seen;
      int probed = 0;
      for (int c = 0; c < opt.num_choices && probed < (opt.num_choices <= 3 ? 2 : 1); ++c) {
        const std::string choice = opt.choices[c].choice;
        if (choice == opt.defchoice || (keyword == "PageSize" && choice == "Postcard")) continue;
        ++probed;
        const Printed p = print(keyword + "=" + choice);
        EXPECT_NE(p, plain) << keyword << "=" << choice << " changes nothing";
        // Without a status monitor no dialog supplies an account: the user
        // hears so, once per choice asking for one.
        if (keyword == "AuthMode") {
          EXPECT_EQ(p.stream, plain.stream);
          EXPECT_NE(p.warnings.find("account ID"), std::string::npos) << p.warnings;
          continue;
        }
        for (const Printed& other : seen)
          EXPECT_NE(p, other) << keyword << "=" << choice << " repeats a choice";
        seen.push_back(p);
      }
    }

  // The black-and-red engine prints red areas solid unless asked for
  // enhancement: every pixel of a page of one red is a dot of the red
  // plane, and no black one.
  if (m.colourMode == 1) {
    auto red = [](unsigned, unsigned, unsigned char* rgb) { rgb[0] = 200, rgb[1] = rgb[2] = 40; };
    std::string warnings;
    EXPECT_EQ(run("", &warnings, red).pages.at(0).BlackDots(), 256u * 96);
    EXPECT_LT(run("QualityMode=Edges", &warnings, red).pages.at(0).BlackDots(), 256u * 96 * 9 / 10);
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
