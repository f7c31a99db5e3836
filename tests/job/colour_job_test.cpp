// Colour jobs through the filter as the printer gets them, plane by plane:
// neutral pages print with black toner alone and as the monochrome path
// prints them (the colours' inks against LittleCMS: ColourPlugin's test),
// and a missing plug-in or profile prints by the built-in rule with a
// warning.

#include <array>
#include <string>
#include <vector>

#include "test_support.h"

using namespace testing_support;

namespace {

const char kProfile[] = "/usr/share/color/icc/ghostscript/default_cmyk.icc";
const char kPlugin[] = "rastertopwg2-iccp.so";
const std::string kFourColours = "16781312";  // ZQ3 chip, CMYK separate compress

// The decoded planes of one page (rows of ceil(width / 8) bytes, 1 = dot).
struct Planes {
  unsigned width = 0, rows = 0;
  std::vector<Bytes> plane;
  std::size_t Bpl() const { return (width + 7) / 8; }
  std::uint32_t Dots(unsigned p) const { return testing_support::Dots(plane[p]); }
};

// A coded unit with its image header, or without it (rebuilt).
Bytes DecodeUnit(const std::string& d, std::uint32_t w, std::uint32_t h) {
  if (d.size() >= 4 && d.compare(0, 4, std::string("\0\0\1\0", 4)) == 0)
    return JbigDecode(Bytes(d.begin(), d.end()));
  return DecodeHeaderless(d, w, h);
}

// Planes of a page without checksum: four separately coded planes, each
// behind its length, or one coded image of stacked planes.
Planes DecodePlanes(const PageBlock& page) {
  Planes out;
  const unsigned colors = page.Byte(kColors);
  out.width = page.Width();
  out.rows = page.Height() / colors;
  const std::size_t planeBytes = out.Bpl() * out.rows;
  if (colors == 4) {
    std::size_t at = 0;
    for (unsigned p = 0; p < 4 && at + 4 <= page.data.size(); ++p) {
      const std::uint32_t len = Le32(page.data, at);
      out.plane.push_back(DecodeUnit(page.data.substr(at + 4, len), out.width, out.rows));
      at += 4 + len;
    }
  } else {
    const Bytes all = DecodeUnit(page.data, out.width, page.Height());
    for (unsigned p = 0; p < colors && all.size() == planeBytes * colors; ++p)
      out.plane.emplace_back(all.begin() + p * planeBytes, all.begin() + (p + 1) * planeBytes);
  }
  EXPECT_EQ(out.plane.size(), colors);
  for (const Bytes& b : out.plane) EXPECT_EQ(b.size(), planeBytes);
  if (out.plane.size() != colors) out.plane.assign(colors, Bytes(planeBytes));
  return out;
}

// Points the filter at this build's plug-in for the lifetime of the object.
struct ColourJob {
  PrivateRoot root;
  ColourJob() { setenv("RASTERTOPWG2_PLUGIN_DIR", ICCP_PLUGIN_DIR, 1); }
  ~ColourJob() { unsetenv("RASTERTOPWG2_PLUGIN_DIR"); }
  // A one-page job on 200 x 200 points at 600 dpi; attrs go to the PPD.
  JobResult Run(const std::vector<std::string>& raster, const std::map<std::string, std::string>& attrs) {
    std::vector<std::string> args = {"--media", "200x200"};
    args.insert(args.end(), raster.begin(), raster.end());
    return RunJob(MakePpd(root.Path("/c.ppd"), attrs), MakeRaster(root.Path("/c.ras"), args));
  }
  Planes Page(const std::vector<std::string>& raster, const std::map<std::string, std::string>& attrs) {
    const JobResult r = Run(raster, attrs);
    EXPECT_EQ(r.status, 0) << r.err;
    const PrinterStream s = ReadStream(r.out);
    EXPECT_EQ(s.pages.size(), 1u);
    return s.pages.empty() ? Planes{} : DecodePlanes(s.pages[0]);
  }
};

std::map<std::string, std::string> FourColours(const std::string& profile = kProfile,
                                               const std::string& plugin = kPlugin) {
  return {{"DriverFeature", kFourColours}, {"cupslibCMYK", plugin}, {"cupsiccCMYK", profile}};
}

bool HaveProfile() {
  return access(kProfile, R_OK) == 0;
}

}  // namespace

// Text, a gray ramp and a gray photo in sRGB on the four-colour model, through
// the shipped profile: no C, M or Y dot anywhere, and the K plane dot for dot
// what the monochrome path prints from the same page in gray.
TEST(ColourJob, NeutralPagesPrintWithBlackAloneAsOnTheMonoModel) {
  if (!HaveProfile()) GTEST_SKIP() << kProfile << " missing";
  ColourJob job;
  for (const char* content : {"text", "ramp", "photo"}) {
    SCOPED_TRACE(content);
    const Planes colour =
        job.Page({"--colorspace", "srgb", "--content", content, "--int", "4=3"}, FourColours());
    const Planes mono =
        job.Page({"--colorspace", "sw", "--content", content}, {{"DriverFeature", kFourColours}});
    ASSERT_EQ(colour.plane.size(), 4u);
    for (unsigned p = 1; p < 4; ++p) EXPECT_EQ(colour.Dots(p), 0u) << "plane " << p;
    EXPECT_GT(colour.Dots(0), 0u);
    EXPECT_TRUE(colour.plane[0] == mono.plane.at(0)) << colour.Dots(0) << " K dots, mono " << mono.Dots(0);
  }
}

// A plug-in that cannot be loaded or lacks its entries, or a profile it
// cannot read: one "WARNING:" line, and the page prints as the plug-in's
// own rule (no profile named) prints it, without a warning.
TEST(ColourJob, MissingPluginOrProfilePrintsByTheBuiltInRuleWithAWarning) {
  ColourJob job;
  const std::vector<std::string> page = {"--colorspace", "srgb", "--content", "cmyk", "--int", "4=3"};
  const JobResult rule = job.Run(page, FourColours(""));
  ASSERT_EQ(rule.status, 0) << rule.err;
  EXPECT_TRUE(Messages(rule.err, "WARNING:").empty()) << rule.err;
  const std::string sim = SMSIM_LIB;
  setenv("RASTERTOPWG2_PLUGIN_DIR", sim.substr(0, sim.rfind('/')).c_str(), 1);
  const JobResult noEntries = job.Run(page, FourColours("", sim.substr(sim.rfind('/') + 1)));
  setenv("RASTERTOPWG2_PLUGIN_DIR", ICCP_PLUGIN_DIR, 1);
  const struct {
    const char* what;
    JobResult r;
    const char* warning;
  } cases[] = {
      {"no such plug-in", job.Run(page, FourColours("", "no-such-plugin.so")),
       "WARNING: Colour plug-in no-such-plugin.so cannot be loaded"},
      {"not a plug-in", noEntries, "lacks its entries"},
      {"no such profile", job.Run(page, FourColours("no-such-profile.icc")),
       "WARNING: Colour profile no-such-profile.icc cannot be read"},
  };
  const PrinterStream want = ReadStream(rule.out);
  ASSERT_EQ(want.pages.size(), 1u);
  const Planes wantPlanes = DecodePlanes(want.pages[0]);
  EXPECT_GT(wantPlanes.Dots(3), 0u);
  for (const auto& c : cases) {
    EXPECT_EQ(c.r.status, 0) << c.what << c.r.err;
    const std::vector<std::string> warnings = Messages(c.r.err, "WARNING:");
    ASSERT_EQ(warnings.size(), 1u) << c.what << c.r.err;
    EXPECT_NE(warnings[0].find(c.warning), std::string::npos) << warnings[0];
    const PrinterStream s = ReadStream(c.r.out);
    ASSERT_EQ(s.pages.size(), 1u) << c.what;
    EXPECT_TRUE(DecodePlanes(s.pages[0]).plane == wantPlanes.plane) << c.what;
  }
}
