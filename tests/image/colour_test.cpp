// Colour pages: the black-and-red rule, CMYK rasters and RGB pages through
// the colour plug-in into planes, the plug-in itself through a real profile
// and through its built-in rule, and the page dumps' safety.
#include <gtest/gtest.h>
#include <lcms2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "colour_pages.h"
#include "colour_plugin.h"
#include "feature_bits.h"
#include "test_slot.h"
#include "test_support.h"

using namespace testing_support;

namespace {

using Pixel = std::vector<BYTE>;

// A one-line page of the given pixels (3 or 4 bytes each) in a slot.
void LinePage(TestSlot& s, const std::vector<Pixel>& pixels) {
  std::vector<std::uint8_t> bytes;
  for (const Pixel& p : pixels) bytes.insert(bytes.end(), p.begin(), p.end());
  const unsigned step = static_cast<unsigned>(pixels[0].size());
  s.Set(bytes, static_cast<unsigned>(pixels.size()), 1, static_cast<unsigned>(bytes.size()), 8 * step);
}

// Plane p of a separated one-line page.
std::vector<BYTE> Plane(const TestSlot& s, unsigned p) {
  const BYTE* b = s.job.page.data() + std::size_t{p} * s.job.page_width;
  return {b, b + s.job.page_width};
}

// The plug-in of this build, loaded as the filter loads it, with one
// conversion handle open.
struct BuiltPlugin {
  ColourPlugin plugin;
  void* handle = nullptr;
  explicit BuiltPlugin(const char* profile = "") {
    EXPECT_TRUE(plugin.Load(ICCP_PLUGIN_DIR, "rastertopwg2-iccp.so", profile));
    short Option[IccOptionMax] = {};
    handle = plugin.fnKR_IccP_SetProfile(plugin.Profile(), Option);
    EXPECT_NE(handle, nullptr);
  }
  ~BuiltPlugin() { plugin.fnKR_IccP_Del(handle); }
  // C, M, Y, K of one RGB pixel.
  std::array<int, 4> Convert(int r, int g, int b) {
    const BYTE src[3] = {BYTE(r), BYTE(g), BYTE(b)};
    BYTE dst[4] = {};
    plugin.fnKR_IccP_Convert(handle, src, dst, 1);
    return {dst[0], dst[1], dst[2], dst[3]};
  }
};

const char kGhostscriptCmyk[] = "/usr/share/color/icc/ghostscript/default_cmyk.icc";

}  // namespace

// A CMYK raster pixel lands in K, Y, M, C, and K = 255 from the plug-in
// leaves toner (0) in plane K: both with the gray sense (255 no colorant),
// so that both end as toner the same way; a pure cyan pixel is C alone
// either way. Without a plug-in the built-in rule separates the same. A
// negative is taken before the inks: white becomes K alone, black nothing,
// cyan red, for RGB and CMYK pixels alike. On the black-and-red model a
// CMYK pixel takes the red rule as its RGB would. Red goes to the red
// image when it beats green and blue by more than the ColorLevel and is
// above 150, printed solid (0) unless screened, which keeps its gray.
TEST(CmykSeparation, InksLandInTheirPlanesWithTheGraySense) {
  BuiltPlugin built;
  const std::vector<Pixel> reds = {{255, 0, 0}, {140, 0, 0}, {255, 140, 0}, {200, 200, 200}};
  struct Case {
    const char* what;
    std::vector<Pixel> px;
    bool plugin, negative;
    BOOL (*separate)(PageSlot*);
    std::vector<std::vector<BYTE>> planes;  // K, Y, M, C (or black, red)
    unsigned level = 0;                     // ColorLevel
    DWORD feature = 0;
  } cases[] = {
      // clang-format off
      {"CMYK raster", {{10, 20, 30, 40}, {255, 0, 0, 0}}, false, false, Page_32BitProcessCMYK,
       {{255 - 40, 255}, {255 - 30, 255}, {255 - 20, 255}, {255 - 10, 0}}},
      {"RGB through the plug-in", {{0, 0, 0}, {0, 255, 255}}, true, false, Page_24BitProcessAndSaveCMYK,
       {{0, 255}, {255, 255}, {255, 255}, {255, 0}}},
      {"RGB without a plug-in", {{0, 0, 0}, {0, 255, 255}}, false, false, Page_24BitProcessAndSaveCMYK,
       {{0, 255}, {255, 255}, {255, 255}, {255, 0}}},
      {"RGB negative", {{255, 255, 255}, {0, 0, 0}, {0, 255, 255}, {128, 128, 128}}, true, true,
       Page_24BitProcessAndSaveCMYK, {{0, 255, 255, 127}, {255, 255, 0, 255}, {255, 255, 0, 255}, {255, 255, 255, 255}}},
      {"CMYK negative", {{0, 0, 0, 0}, {0, 0, 0, 255}, {255, 0, 0, 0}, {0, 0, 0, 127}}, false, true,
       Page_32BitProcessCMYK, {{0, 255, 255, 127}, {255, 255, 0, 255}, {255, 255, 0, 255}, {255, 255, 255, 255}}},
      {"CMYK on black and red", {{0, 255, 255, 0}, {0, 0, 0, 255}, {0, 0, 0, 0}, {255, 0, 0, 0}}, false, false,
       Page_24BitProcessRedColor, {{255, 0, 255, 178}, {0, 255, 255, 255}}},
      {"red", reds, false, false, Page_24BitProcessRedColor, {{255, 42, 255, 200}, {0, 255, 0, 255}}},
      // 255 - 120 = 135 is not above green 140.
      {"red, ColorLevel 120", reds, false, false, Page_24BitProcessRedColor,
       {{255, 42, 150, 200}, {0, 255, 255, 255}}, 120},
      // 0.30 x 255 = 76.5.
      {"red screened by the PPD", reds, false, false, Page_24BitProcessRedColor,
       {{255, 42, 255, 200}, {76, 255, 150, 255}}, 0, DF_HALFTONE_RED},
      // clang-format on
  };
  for (const Case& c : cases) {
    TestSlot s;
    LinePage(s, c.px);
    if (c.px[0].size() == 4) s.job.inheader.cupsColorSpace = CUPS_CSPACE_CMYK;
    if (c.plugin) s.settings.colourPlugin = &built.plugin;
    s.job.inheader.cupsInteger[1] = c.negative;
    s.job.inheader.cupsInteger[5] = c.level;
    s.job.DriverFeature = c.feature;
    ASSERT_TRUE(c.separate(&s.job)) << c.what;
    ASSERT_EQ(s.job.page_height, c.planes.size()) << c.what;
    EXPECT_EQ(s.job.linebyte, c.px.size()) << c.what;
    for (unsigned p = 0; p < c.planes.size(); ++p)
      EXPECT_EQ(Plane(s, p), c.planes[p]) << c.what << " plane " << p;
  }
  ColourPlugin missing;
  EXPECT_FALSE(missing.Load(ICCP_PLUGIN_DIR, "no-such-plugin.so", ""));
  EXPECT_FALSE(missing.Load(ICCP_PLUGIN_DIR, "../iccp/rastertopwg2-iccp.so", ""));
}

// The plug-in runs as the filter's user in every job: it is loaded only when
// it and its directory are root's and no one else can write them (the same
// rule as the status library's, whose test goes through every case).
TEST(ColourPlugin, LoadedOnlyFromRootsFilesNoOneElseCanWrite) {
  namespace fs = std::filesystem;
  PrivateRoot root;
  const struct {
    const char* what;
    mode_t dirMode, fileMode;
    uid_t dirOwner, fileOwner;
    bool loads;
  } cases[] = {
      {"root's, closed", 0755, 0755, 0, 0, true},
      {"file of another user", 0755, 0755, 0, 65534, false},
      {"directory of another user", 0755, 0755, 65534, 0, false},
      {"directory open to its group", 0775, 0755, 0, 0, false},
  };
  for (const auto& c : cases) {
    const std::string dir = root.Path("/plugins");
    fs::remove_all(dir);
    fs::create_directory(dir);
    fs::copy_file(std::string(ICCP_PLUGIN_DIR) + "/rastertopwg2-iccp.so", dir + "/p.so");
    chmod(dir.c_str(), c.dirMode);
    chmod((dir + "/p.so").c_str(), c.fileMode);
    ASSERT_EQ(chown(dir.c_str(), c.dirOwner, 0), 0);
    ASSERT_EQ(chown((dir + "/p.so").c_str(), c.fileOwner, 0), 0);
    ColourPlugin plugin;
    EXPECT_EQ(plugin.Load(dir, "p.so", ""), c.loads) << c.what;
    EXPECT_EQ(plugin.fnKR_IccP_Convert != nullptr, c.loads) << c.what;
  }
}

// Through the shipped profile, against LittleCMS called here on it (sRGB
// in, perceptual, black-point compensation): a clearly chromatic colour
// keeps the profile's inks (within 1 %) unless they pass 280 %, where C, M
// and Y give way and K stays; a gray, and a gray within 3 levels, is black
// alone at the darkness the mono path gives it; no colour anywhere passes
// 280 %.
TEST(ColourPlugin, ShippedProfileKeepsColoursAndPrintsGraysWithBlackAlone) {
  const char* gray = "gray: black alone";
  auto grayOf = [](int r, int g, int b) { return (30 * r + 53 * g + 17 * b + 1) / 100; };
  if (access(kGhostscriptCmyk, R_OK) != 0) GTEST_SKIP() << kGhostscriptCmyk << " missing";
  BuiltPlugin built(kGhostscriptCmyk);
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  cmsHPROFILE out = cmsOpenProfileFromFile(kGhostscriptCmyk, "r");
  cmsHTRANSFORM t = cmsCreateTransform(srgb, TYPE_RGB_8, out, TYPE_CMYK_8, INTENT_PERCEPTUAL,
                                       cmsFLAGS_BLACKPOINTCOMPENSATION);
  ASSERT_TRUE(t);
  int capped = 0, kept = 0;
  for (int r = 0; r <= 255; r += 17)
    for (int g = 0; g <= 255; g += 17)
      for (int b = 0; b <= 255; b += 17) {
        const auto got = built.Convert(r, g, b);
        const int total = got[0] + got[1] + got[2] + got[3];
        EXPECT_LE(total, 714) << r << "," << g << "," << b;
        const int chroma = std::max({r, g, b}) - std::min({r, g, b});
        if (chroma < 24) continue;
        const unsigned char rgb[3] = {BYTE(r), BYTE(g), BYTE(b)};
        unsigned char ref[4];
        cmsDoTransform(t, rgb, ref, 1);
        const int refCmy = ref[0] + ref[1] + ref[2];
        if (refCmy + ref[3] <= 714) {
          ++kept;
          for (int i = 0; i < 4; ++i)
            EXPECT_NEAR(got[i], ref[i], 3) << r << "," << g << "," << b << " ink " << i;
        } else {
          ++capped;
          EXPECT_GE(total, 710) << r << "," << g << "," << b;
          EXPECT_EQ(got[3], ref[3]) << r << "," << g << "," << b;
          for (int i = 0; i < 3; ++i)  // C, M, Y give way in proportion
            EXPECT_NEAR(got[i], ref[i] * double(714 - ref[3]) / refCmy, 1.5) << r << "," << g << "," << b;
        }
      }
  EXPECT_GT(kept, 1000);
  EXPECT_GT(capped, 10);
  for (int v = 0; v <= 255; v += 5) {
    EXPECT_EQ(built.Convert(v, v, v), (std::array<int, 4>{0, 0, 0, 255 - v})) << gray << " " << v;
    const int r = std::min(255, v + 2), b = std::max(0, v - 1);
    EXPECT_EQ(built.Convert(r, v, b), (std::array<int, 4>{0, 0, 0, 255 - grayOf(r, v, b)}))
        << gray << " " << v;
  }
  cmsDeleteTransform(t);
  cmsCloseProfile(out);
  cmsCloseProfile(srgb);
}

// CMYK page dumps exist only while the trace goes to the trace directory,
// there, owner-only, and never through a link planted under their names.
TEST(PageDumps, OnlyWhileTracingOwnerOnlyAndNeverThroughALink) {
  PrivateRoot root;
  auto dumpPage = [] {
    TestSlot s;
    LinePage(s, {{10, 20, 30, 40}, {0, 0, 0, 255}, {0, 0, 0, 0}, {0, 0, 0, 0}});
    s.settings.jobID = "7";
    s.job.PageIndex = 2;
    EXPECT_TRUE(Page_32BitProcessCMYK(&s.job));
  };
  dumpPage();
  EXPECT_FALSE(PageDumpsEnabled());
  EXPECT_NE(access(root.Path("/tmp/cups").c_str(), F_OK), 0);

  root.EnableTraceFile();
  const std::string raw = root.Path("/tmp/cups/Job7_Page002_CMYK.raw");
  const std::string bmp = root.Path("/tmp/cups/Job7_Page002_CMYK.bmp");
  const std::string victim = root.Path("/victim");
  WriteFile(victim, "keep");
  ASSERT_EQ(symlink(victim.c_str(), bmp.c_str()), 0);
  dumpPage();
  EXPECT_EQ(ReadFile(victim), "keep");
  EXPECT_EQ(ReadFile(raw).size(), 16u);
  for (const std::string& f : {raw, bmp}) {
    struct stat st {};
    ASSERT_EQ(lstat(f.c_str(), &st), 0) << f;
    EXPECT_TRUE(S_ISREG(st.st_mode)) << f;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
  }
  EXPECT_EQ(ReadFile(bmp).size(), 1078u + 4u * 4u);  // four planes of 4 pixels x 1 line, 8-bit
}
