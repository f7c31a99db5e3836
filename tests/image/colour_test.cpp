// Colour pages: the black-and-red rule, CMYK rasters and RGB pages through
// the colour plug-in into planes, the plug-in itself through a real profile
// and through its built-in rule, the bitmap file against netpbm's reader,
// and the page dumps' safety.
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

#include "byte_order.h"
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

// Red goes to the red image when it beats green and blue by more than the
// ColorLevel and is above 150; everything else to the black image, as gray.
TEST(RedSeparation, RedPixelsGoToTheRedImageByTheColorLevelRule) {
  const std::vector<Pixel> px = {{255, 0, 0}, {140, 0, 0}, {255, 140, 0}, {200, 200, 200}};
  struct Case {
    unsigned level;
    bool screened;
    std::vector<BYTE> black, red;
  } cases[] = {
      // Full red is printed solid: 0 in the red image.
      {0, false, {255, 42, 255, 200}, {0, 255, 0, 255}},
      // 255 - 120 = 135 is not above green 140.
      {120, false, {255, 42, 150, 200}, {0, 255, 255, 255}},
      // Screened red keeps the pixel's gray (0.30 x 255 = 76.5).
      {0, true, {255, 42, 255, 200}, {76, 255, 150, 255}},
  };
  for (const Case& c : cases) {
    for (int how = 0; how < (c.screened ? 2 : 1); ++how) {
      TestSlot s;
      LinePage(s, px);
      s.job.inheader.cupsInteger[5] = c.level;
      if (c.screened)
        (how == 0 ? s.job.DriverFeature : s.job.inheader.cupsInteger[10]) = how == 0 ? DF_HALFTONE_RED : 1;
      ASSERT_TRUE(Page_24BitProcessRedColor(&s.job));
      EXPECT_EQ(s.job.page_height, 2u);
      EXPECT_EQ(s.job.linebyte, 4u);
      EXPECT_EQ(Plane(s, 0), c.black) << "level " << c.level << " screened " << c.screened;
      EXPECT_EQ(Plane(s, 1), c.red) << "level " << c.level << " screened " << c.screened;
    }
  }
}

// A CMYK raster pixel lands in K, Y, M, C, and K = 255 from the plug-in
// leaves toner (0) in plane K: both with the gray sense (255 no colorant),
// so that both end as toner the same way; a pure cyan pixel is C alone
// either way. Without a plug-in the built-in rule separates the same. A
// negative is taken before the inks: white becomes K alone, black nothing,
// cyan red, for RGB and CMYK pixels alike. On the black-and-red model a
// CMYK pixel takes the red rule as its RGB would.
TEST(CmykSeparation, InksLandInTheirPlanesWithTheGraySense) {
  BuiltPlugin built;
  struct Case {
    const char* what;
    std::vector<Pixel> px;
    bool plugin, negative;
    BOOL (*separate)(PageSlot*);
    std::vector<std::vector<BYTE>> planes;  // K, Y, M, C (or black, red)
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
      // clang-format on
  };
  for (const Case& c : cases) {
    TestSlot s;
    LinePage(s, c.px);
    if (c.px[0].size() == 4) s.job.inheader.cupsColorSpace = CUPS_CSPACE_CMYK;
    if (c.plugin) s.settings.colourPlugin = &built.plugin;
    s.job.inheader.cupsInteger[1] = c.negative;
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
// it and its directory are root's and no one else can write them.
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
      {"directory open to all", 0777, 0755, 0, 0, false},
      {"directory open to its group", 0775, 0755, 0, 0, false},
      {"file open to its group", 0755, 0775, 0, 0, false},
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
// 280 %, and one step of chroma away from gray never moves an ink by more
// than 5 % (no contour where black-only ends). Without a profile name the
// built-in rule does the same for grays and gives the primaries their
// complementary inks alone.
TEST(ColourPlugin, ShippedProfileKeepsColoursAndPrintsGraysWithBlackAlone) {
  const char* gray = "gray: black alone";
  auto grayOf = [](int r, int g, int b) { return (30 * r + 53 * g + 17 * b + 1) / 100; };
  {
    BuiltPlugin rule("");
    for (int v = 0; v <= 255; v += 15)
      EXPECT_EQ(rule.Convert(v, v, v), (std::array<int, 4>{0, 0, 0, 255 - v}));
    EXPECT_EQ(rule.Convert(0, 255, 255), (std::array<int, 4>{255, 0, 0, 0}));
    EXPECT_EQ(rule.Convert(255, 0, 255), (std::array<int, 4>{0, 255, 0, 0}));
    EXPECT_EQ(rule.Convert(255, 255, 0), (std::array<int, 4>{0, 0, 255, 0}));
    EXPECT_EQ(rule.Convert(130, 128, 127), (std::array<int, 4>{0, 0, 0, 255 - grayOf(130, 128, 127)}));
  }
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
  // From gray into red, green, blue and their complements, one level a step.
  const int dirs[6][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 1, 1}, {1, 0, 1}, {1, 1, 0}};
  for (int base : {40, 128, 200})
    for (const auto& d : dirs) {
      std::array<int, 4> last = built.Convert(base, base, base);
      for (int c = 1; c <= 40; ++c) {
        const auto now = built.Convert(base - c * d[0], base - c * d[1], base - c * d[2]);
        for (int i = 0; i < 4; ++i)
          EXPECT_LE(std::abs(now[i] - last[i]), 13) << base << " chroma " << c << " ink " << i;
        last = now;
      }
    }
  cmsDeleteTransform(t);
  cmsCloseProfile(out);
  cmsCloseProfile(srgb);
}

namespace {

// The pixels netpbm's reader finds in a bitmap file: the plain PNM header
// numbers (width, height, and the maximum but for PBM), then the samples.
std::vector<int> ReadWithNetpbm(const std::string& bmp, std::string* magic) {
  FILE* p = popen(("bmptopnm '" + bmp + "' 2>/dev/null | pnmtoplainpnm").c_str(), "r");
  std::vector<int> v;
  char m[3] = {};
  if (p && std::fscanf(p, "%2s", m) == 1) {
    *magic = m;
    // Plain PBM runs its bits together; the other formats separate numbers.
    int n;
    for (int i = 0; i < 2 && std::fscanf(p, "%d", &n) == 1; ++i) v.push_back(n);
    for (int c; *magic == "P1" && (c = std::fgetc(p)) != EOF;)
      if (c == '0' || c == '1') v.push_back(c - '0');
    while (*magic != "P1" && std::fscanf(p, "%d", &n) == 1) v.push_back(n);
  }
  if (p) pclose(p);
  return v;
}

}  // namespace

// Bitmap files as laid out (8-bit gray 100 x 2 at 600 dpi; 1-bit with its
// 62-byte header block and black and white entries), created owner-only,
// and their pixels as an independent reader sees them, top line first.
TEST(BitmapFile, HeadersAsLaidOutAndPixelsReadBackWithNetpbm) {
  if (std::system("command -v bmptopnm >/dev/null && command -v pnmtoplainpnm >/dev/null") != 0)
    GTEST_SKIP() << "netpbm not installed";
  PrivateRoot root;
  const std::string gray = root.Path("/gray.bmp"), mono = root.Path("/mono.bmp");
  std::vector<BYTE> px(200);
  for (int i = 0; i < 200; ++i) px[i] = static_cast<BYTE>(i < 100 ? i * 2 : 255 - (i - 100));
  ASSERT_EQ(CreateNullBMP(gray.c_str(), 8, 600, 100, 2, px.data()), 1);
  const std::vector<BYTE> bits = {0xF0, 0, 0, 0, 0x0F, 0, 0, 0};  // 12 pixels, lines of 4 bytes
  ASSERT_EQ(CreateNullBMP(mono.c_str(), 1, 300, 12, 2, bits.data()), 1);
  EXPECT_EQ(CreateNullBMP(mono.c_str(), 16, 300, 12, 2, bits.data()), 0);

  const std::string g = ReadFile(gray), m = ReadFile(mono);
  ASSERT_EQ(g.size(), 1278u);
  ASSERT_EQ(m.size(), 62u + 8u);
  const auto* b = reinterpret_cast<const BYTE*>(g.data());
  EXPECT_EQ(g.substr(0, 2), "BM");
  const DWORD fields[][2] = {{2, 1278}, {10, 1078}, {34, 200}, {38, 23622}, {42, 23622}, {46, 256}};
  for (const auto& [at, want] : fields) EXPECT_EQ(GetLE32(b + at), want) << "offset " << at;
  EXPECT_EQ(GetLE32(m.data() + 10), 62u);
  EXPECT_EQ(m.substr(54, 8), std::string("\0\0\0\0\xff\xff\xff\0", 8));
  struct stat st {};
  ASSERT_EQ(stat(gray.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  std::string magic;
  std::vector<int> read = ReadWithNetpbm(gray, &magic);
  ASSERT_EQ(magic, "P2");
  ASSERT_EQ(read.size(), 3u + 200u);
  EXPECT_EQ(std::vector<int>(read.begin() + 3, read.end()), std::vector<int>(px.begin(), px.end()));
  read = ReadWithNetpbm(mono, &magic);
  ASSERT_EQ(magic, "P1");
  ASSERT_EQ(read.size(), 2u + 24u);
  for (int x = 0; x < 12; ++x) {  // PBM: 1 is black; a set bit is palette entry 1, white
    EXPECT_EQ(read[2 + x], x < 4 ? 0 : 1) << "top line pixel " << x;
    EXPECT_EQ(read[2 + 12 + x], x >= 4 && x < 8 ? 0 : 1) << "bottom line pixel " << x;
  }
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
  EXPECT_EQ(ReadFile(raw).substr(0, 8), std::string("\x0a\x14\x1e\x28\0\0\0\xff", 8));
  EXPECT_EQ(ReadFile(raw).size(), 16u);
  for (const std::string& f : {raw, bmp}) {
    struct stat st {};
    ASSERT_EQ(lstat(f.c_str(), &st), 0) << f;
    EXPECT_TRUE(S_ISREG(st.st_mode)) << f;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
  }
  // Four planes of 4 pixels x 1 line, 8-bit, K on top (the file's last line).
  const std::string b = ReadFile(bmp);
  ASSERT_EQ(b.size(), 1078u + 4u * 4u);
  EXPECT_EQ(static_cast<BYTE>(b[1078 + 12]), 255 - 40);
}
