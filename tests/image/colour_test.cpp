// Colour pages: the black-and-red rule, CMYK rasters and RGB pages through
// the colour plug-in into planes, the plug-in itself through a real profile
// and through its built-in rule, the bitmap file against netpbm's reader,
// and the page dumps' safety.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
void LinePage(PageSlot& s, const std::vector<Pixel>& pixels) {
  std::vector<std::uint8_t> bytes;
  for (const Pixel& p : pixels) bytes.insert(bytes.end(), p.begin(), p.end());
  const unsigned step = static_cast<unsigned>(pixels[0].size());
  s.Set(bytes, static_cast<unsigned>(pixels.size()), 1, static_cast<unsigned>(bytes.size()), 8 * step);
}

// Plane p of a separated one-line page.
std::vector<BYTE> Plane(const PageSlot& s, unsigned p) {
  const BYTE* b = s.job.lpbuf + std::size_t{p} * s.job.page_width;
  return {b, b + s.job.page_width};
}

// The plug-in of this build, loaded as the filter loads it.
struct BuiltPlugin {
  ColourPlugin plugin;
  explicit BuiltPlugin(const char* profile = "") {
    EXPECT_TRUE(plugin.Load(ICCP_PLUGIN_DIR, "rastertopwg2-iccp.so", profile));
  }
  // C, M, Y, K of one RGB pixel.
  std::array<int, 4> Convert(BYTE r, BYTE g, BYTE b) {
    short Option[IccOptionMax] = {};
    void* h = plugin.fnKR_IccP_SetProfile(plugin.Profile(), Option);
    EXPECT_NE(h, nullptr);
    const BYTE src[3] = {r, g, b};
    BYTE dst[4] = {};
    plugin.fnKR_IccP_Convert(h, src, dst, 1);
    plugin.fnKR_IccP_Del(h);
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
      PageSlot s;
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
// either way. Without a plug-in the page is left as it was.
TEST(CmykSeparation, InksLandInTheirPlanesWithTheGraySense) {
  BuiltPlugin built;
  PageSlot cmyk, rgb, none;
  LinePage(cmyk, {{10, 20, 30, 40}, {255, 0, 0, 0}});
  LinePage(rgb, {{0, 0, 0}, {0, 255, 255}});
  LinePage(none, {{0, 0, 0}, {0, 255, 255}});
  rgb.job.colourPlugin = &built.plugin;
  ASSERT_TRUE(Page_32BitProcessCMYK(&cmyk.job));
  ASSERT_TRUE(Page_24BitProcessAndSaveCMYK(&rgb.job));
  const std::vector<BYTE> wantCmyk[4] = {{255 - 40, 255}, {255 - 30, 255}, {255 - 20, 255}, {255 - 10, 0}};
  const std::vector<BYTE> wantRgb[4] = {{0, 255}, {255, 255}, {255, 255}, {255, 0}};
  for (unsigned p = 0; p < 4; ++p) {
    EXPECT_EQ(Plane(cmyk, p), wantCmyk[p]) << "plane " << p;
    EXPECT_EQ(Plane(rgb, p), wantRgb[p]) << "plane " << p;
  }
  EXPECT_EQ(cmyk.job.page_height, 4u);
  EXPECT_EQ(rgb.job.linebyte, 2u);

  const std::vector<std::uint8_t> before = none.Bytes();
  EXPECT_FALSE(Page_24BitProcessAndSaveCMYK(&none.job));
  EXPECT_EQ(none.Bytes(), before);
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

// White gives no colorant, black heavy black, the primaries their inks:
// through Ghostscript's CMYK profile and through the built-in rule (no
// profile, or one that cannot be found).
TEST(ColourPlugin, PrimariesGetTheirInksThroughAProfileAndThroughTheRule) {
  std::vector<std::string> profiles = {"", "no-such-profile.icc"};
  if (access(kGhostscriptCmyk, R_OK) == 0) {
    profiles.push_back(kGhostscriptCmyk);
    profiles.push_back("ghostscript/default_cmyk.icc");
  }
  for (const std::string& profile : profiles) {
    SCOPED_TRACE("profile \"" + profile + "\"");
    BuiltPlugin built(profile.c_str());
    const auto white = built.Convert(255, 255, 255);
    for (int v : white) EXPECT_LE(v, 3);
    const auto black = built.Convert(0, 0, 0);
    EXPECT_GE(black[3], 200);
    // Mid gray tells the two apart: the rule prints it with black alone.
    const auto gray = built.Convert(128, 128, 128);
    if (profile.find('/') != std::string::npos)
      EXPECT_GT(gray[0], 10);
    else
      EXPECT_EQ(gray, (std::array<int, 4>{0, 0, 0, 127}));
    // C, M, Y: which inks a primary takes (true) and which it leaves (false).
    struct Primary {
      BYTE r, g, b;
      bool c, m, y;
    } primaries[] = {{255, 0, 0, false, true, true},    {0, 255, 0, true, false, true},
                     {0, 0, 255, true, true, false},    {0, 255, 255, true, false, false},
                     {255, 0, 255, false, true, false}, {255, 255, 0, false, false, true}};
    for (const Primary& p : primaries) {
      const auto ink = built.Convert(p.r, p.g, p.b);
      const bool want[3] = {p.c, p.m, p.y};
      for (int i = 0; i < 3; ++i) {
        if (want[i])
          EXPECT_GE(ink[i], 120) << int(p.r) << "," << int(p.g) << "," << int(p.b) << " ink " << i;
        else
          EXPECT_LE(ink[i], 100) << int(p.r) << "," << int(p.g) << "," << int(p.b) << " ink " << i;
      }
      EXPECT_LE(ink[3], 60);
    }
  }
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
    PageSlot s;
    LinePage(s, {{10, 20, 30, 40}, {0, 0, 0, 255}, {0, 0, 0, 0}, {0, 0, 0, 0}});
    std::strcpy(s.job.jobID, "7");
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
