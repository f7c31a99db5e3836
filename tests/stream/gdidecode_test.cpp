// gdidecode reads what the filter writes, for every compression method, back
// to the bitmap a raw-data printer gets, and rejects damaged streams.
#include <array>
#include <cstdio>
#include <sstream>

#include "test_support.h"

using namespace testing_support;

namespace {

JobResult Decode(const PrivateRoot& root, const std::string& stream, const std::string& args = "") {
  WriteFile(root.Path("/job.prn"), stream);
  return RunCommand(std::string(GDIDECODE_BIN) + " " + args + " '" + root.Path("/job.prn") + "'");
}

// The stream of a one-page text job on B6 with the given feature mask and
// capability bytes (read from the queue's capability file); copies > 1 are
// collated by the filter through its spool file.
std::string Job(const PrivateRoot& root, const std::string& features, char capability, char capability1 = 0,
                int copies = 1) {
  WriteFile(root.Path("/tmp/testq.dat"), std::string{capability, capability1});
  const std::string ras = MakeRaster(root.Path("/t.ras"), {"--res", "100", "--content", "text", "--media",
                                                           "363x516", "--copies", std::to_string(copies)});
  return RunJob(MakePpd(root.Path("/p.ppd"), {{"DriverFeature", features}}), ras,
                copies > 1 ? "Collate=True" : "")
      .out;
}

}  // namespace

TEST(GdiDecode, DecodesEveryCompressionMethodToTheRawBitmap) {
  PrivateRoot root;
  const PrinterStream raw = ReadStream(Job(root, "0", F0_RAW_DATA));
  ASSERT_EQ(raw.pages.size(), 1u);
  std::ostringstream pbm;
  pbm << "P4\n" << raw.pages[0].Width() << " " << raw.pages[0].Height() << "\n" << raw.pages[0].data;
  const struct {
    const char* features;
    char capability;
    unsigned comp;
    // clang-format off
  } cases[] = {{"0", F0_RAW_DATA, 0}, {"0", 0, 1}, {"16777216", 0, 2}, {"0", F0_CHECKSUM, 3}, {"16777216", F0_CHECKSUM, 4}};
  // clang-format on
  std::string stream;
  for (const auto& c : cases) {
    stream = Job(root, c.features, c.capability);
    ASSERT_EQ(ReadStream(stream).pages.at(0).Byte(kComp), c.comp);
    JobResult r = Decode(root, stream, "--pbm -o '" + root.Path("/pg") + "'");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(LinesWith(r.out, "blackDots: ok").size(), 1u) << c.comp;
    EXPECT_TRUE(ReadFile(root.Path("/pg-001.pbm")) == pbm.str()) << c.comp;
  }
  // PNG through netpbm's reader: toner dots come back as black PBM bits.
  ASSERT_EQ(Decode(root, stream, "-o '" + root.Path("/png") + "'").status, 0);
  EXPECT_TRUE(RunCommand("pngtopnm '" + root.Path("/png-001.png") + "'").out == pbm.str());
}

TEST(GdiDecode, DamagedStreamsAndFailedChecksGiveExit1AndSayWhy) {
  PrivateRoot root;
  const std::string stream = Job(root, "0", 0), sum = Job(root, "0", F0_CHECKSUM),
                    ssl = Job(root, "0", 0, F1_SSL);
  const std::string zq3 = Job(root, "16777216", 0);
  const PrinterStream s = ReadStream(stream);
  const std::size_t page = s.preamble.size() + s.pjl.size(), end = stream.size() - s.trailer.size();
  const std::size_t dots = s.pages[0].BlackDots(), enter = stream.find(kEnterLanguage);
  auto flipped = [](std::string text, std::size_t at) {
    text[at] ^= 0x55;
    return text;
  };
  auto changed = [](std::string text, std::size_t at, const std::string& bytes) {
    return text.replace(at, bytes.size(), bytes);
  };
  // The stream with its header padded so that without the alignment
  // comment it ends r bytes past a multiple of 512; with the comment or not.
  auto ending = [&](std::size_t r, bool align) {
    std::string t = Trailer(1), body = stream.substr(0, end);
    const std::size_t pad = (r + 1024 - (body.size() + t.size()) % 512 - 15) % 512 + 15;
    body.insert(enter, "@PJL COMMENT " + std::string(pad - 15, 'x') + "\r\n");
    return body + (align ? t.insert(17, "@PJL COMMENT DATA ALIGNMENT 512\r\n") : t);
  };
  const std::pair<std::string, std::string> cases[] = {
      {stream.substr(0, end - 10), "malformed stream: page 1"},
      {stream.substr(0, page + 20), "truncated page header"},
      {flipped(stream, end - 1), "JBIG"},
      {stream.substr(0, end), "no trailer"},
      {Preamble(), "no PJL job header"},
      // (A first page without "GDI" would pass for a JCL prefix.)
      {changed(stream.substr(0, end) + stream.substr(page, end - page) + s.trailer, end + 2, "X"),
       "page 2 at offset " + std::to_string(end) + ": the page header does not start with \"GDI\""},
      {changed(stream, page + 22, Le32Bytes(static_cast<std::uint32_t>(dots + 1))),
       "blackDots " + std::to_string(dots + 1) + ", the decoded bitmap has " + std::to_string(dots)},
      {flipped(sum, sum.size() - ReadStream(sum).trailer.size() - 1), "checksum"},
      {changed(zq3, zq3.find("JBIG,00,64"), "JBIG,00, 8"), "announces options 8"},
      {stream.substr(0, enter) + "@PJL SET ENCRYPTION = SSL\r\n" + stream.substr(enter), "cipher length"},
      {flipped(ssl, ssl.size() - ReadStream(ssl).trailer.size() - 1), "valid padding"},
      {ending(0, false), "multiple of 512"},
      {ending(1, true), "alignment comment present"},
  };
  for (const auto& [damaged, why] : cases) {
    JobResult r = Decode(root, damaged);
    EXPECT_EQ(r.status, 1) << why;
    EXPECT_NE(r.err.find(why), std::string::npos) << why << ": " << r.err;
  }
  EXPECT_EQ(Decode(root, ending(0, true)).status, 0);
}

TEST(GdiDecode, EncryptedPagesDecodeToTheBitmapsOfTheSameJobInTheClear) {
  PrivateRoot root;
  const struct {
    const char* features;
    char capability;
    int copies;
  } cases[] = {
      {"0", F0_RAW_DATA, 1}, {"0", 0, 1}, {"16777216", F0_CHECKSUM, 1}, {"0", F0_RAW_DATA, 2}, {"0", 0, 2}};
  for (const auto& c : cases) {
    ASSERT_EQ(Decode(root, Job(root, c.features, c.capability, 0, c.copies),
                     "--pbm -o '" + root.Path("/clear") + "'")
                  .status,
              0);
    const std::string ssl = Job(root, c.features, c.capability, F1_SSL, c.copies);
    JobResult r = Decode(root, ssl, "--pbm -o '" + root.Path("/ssl") + "'");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(LinesWith(r.out, "encrypted: ").size(), static_cast<std::size_t>(c.copies)) << r.out;
    for (int page = 1; page <= c.copies; ++page) {
      const std::string n = "-00" + std::to_string(page) + ".pbm";
      EXPECT_TRUE(ReadFile(root.Path("/ssl" + n)) == ReadFile(root.Path("/clear" + n)))
          << c.capability << page;
    }
  }
}

namespace {

// A page of colour ramps (cyan, magenta, yellow, gray bands from top to
// bottom) on a four-colour printer with the given feature mask and
// capability bytes, separated by the plug-in's own rule (pure inks).
std::string ColourJob(const PrivateRoot& root, const std::string& features, char capability,
                      char capability1 = 0) {
  WriteFile(root.Path("/tmp/testq.dat"), std::string{capability, capability1});
  const std::string ras = MakeRaster(root.Path("/c.ras"), {"--media", "200x200", "--colorspace", "srgb",
                                                           "--content", "cmyk", "--int", "4=3"});
  setenv("RASTERTOPWG2_PLUGIN_DIR", ICCP_PLUGIN_DIR, 1);
  const std::string out = RunJob(MakePpd(root.Path("/c.ppd"), {{"DriverFeature", features},
                                                               {"cupslibCMYK", "rastertopwg2-iccp.so"}}),
                                 ras)
                              .out;
  unsetenv("RASTERTOPWG2_PLUGIN_DIR");
  return out;
}

// A decoded page picture read back through netpbm's reader.
struct Picture {
  unsigned w = 0, h = 0;
  std::string ppm;
  std::size_t at = 0;  // first pixel byte
  explicit Picture(const std::string& png) : ppm(RunCommand("pngtopnm '" + png + "'").out) {
    unsigned maxv = 0;
    int header = 0;
    if (std::sscanf(ppm.c_str(), "P6 %u %u %u%n", &w, &h, &maxv, &header) == 3) at = header + 1;
    EXPECT_EQ(ppm.size(), at + std::size_t{w} * h * 3) << png;
    if (ppm.size() != at + std::size_t{w} * h * 3) w = h = 0;
  }
  // Pixels of the rows [y0, y1) that are not white: in the colour rgb, and
  // in any other.
  std::pair<std::size_t, std::size_t> Count(unsigned y0, unsigned y1, std::array<int, 3> rgb, unsigned x0 = 0,
                                            unsigned x1 = ~0u) const {
    std::size_t in = 0, other = 0;
    for (unsigned y = y0; y < y1 && y < h; ++y)
      for (unsigned x = x0; x < x1 && x < w; ++x) {
        const auto* p =
            reinterpret_cast<const unsigned char*>(ppm.data()) + at + (std::size_t{y} * w + x) * 3;
        if (p[0] == 255 && p[1] == 255 && p[2] == 255) continue;
        (p[0] == rgb[0] && p[1] == rgb[1] && p[2] == rgb[2] ? in : other)++;
      }
    return {in, other};
  }
};

}  // namespace

// Four separately coded planes with a checksum behind each (whose length
// field counts the coded data only), in the clear and encrypted, in both
// JBIG forms: they decode to the planes of the same page sent without
// checksums, every plane's checksum checked. The colour PNG draws each
// plane's dots in its toner's colour: down the page cyan, magenta, yellow
// and black ramps, and nothing else in their bands.
TEST(GdiDecode, FourPlanePagesWithChecksumsDecodeAndDrawInTheirToners) {
  PrivateRoot root;
  for (const char* features : {"4096", "16781312"}) {
    SCOPED_TRACE(features);
    const std::string plain = ColourJob(root, features, 0);
    ASSERT_EQ(ReadStream(plain).pages.at(0).Byte(kColors), 4u);
    ASSERT_EQ(Decode(root, plain, "--pbm -o '" + root.Path("/plain") + "'").status, 0);
    for (char capability1 : {char{0}, static_cast<char>(F1_SSL)}) {
      const std::string sum = ColourJob(root, features, F0_CHECKSUM, capability1);
      EXPECT_GE(ReadStream(sum).pages.at(0).Byte(kComp), 3u);
      JobResult r = Decode(root, sum, "--pbm -o '" + root.Path("/sum") + "'");
      EXPECT_EQ(r.status, 0) << r.out << r.err;
      EXPECT_EQ(LinesWith(r.out, "  checksum 0x").size(), 4u) << r.out;
      EXPECT_EQ(LinesWith(r.out, "encrypted: ").size(), capability1 ? 1u : 0u);
      EXPECT_TRUE(ReadFile(root.Path("/sum-001.pbm")) == ReadFile(root.Path("/plain-001.pbm")));
    }
  }

  ASSERT_EQ(Decode(root, ColourJob(root, "4096", 0), "-o '" + root.Path("/png") + "'").status, 0);
  const Picture pic(root.Path("/png-001.png"));
  const std::array<int, 3> toner[4] = {{0, 255, 255}, {255, 0, 255}, {255, 255, 0}, {0, 0, 0}};
  for (unsigned band = 0; band < 4; ++band) {
    // Light tints near white print partly with black, as grays do.
    const auto [inked, other] =
        pic.Count(band * pic.h / 4 + pic.h / 16, (band + 1) * pic.h / 4 - pic.h / 16, toner[band], pic.w / 8);
    EXPECT_GT(inked, std::size_t{pic.w} * pic.h / 40) << "band " << band;
    EXPECT_EQ(other, 0u) << "band " << band;
  }
}

// The black-and-red model's picture: the red band in red, the black block
// in black.
TEST(GdiDecode, BlackAndRedPagesDrawRedTonerRed) {
  PrivateRoot root;
  const std::string ras = MakeRaster(
      root.Path("/r.ras"),
      {"--res", "100", "--media", "363x516", "--colorspace", "srgb", "--content", "red", "--int", "4=1"});
  const std::string out = RunJob(MakePpd(root.Path("/r.ppd"), {{"DriverFeature", "16778240"}}), ras).out;
  ASSERT_EQ(Decode(root, out, "-o '" + root.Path("/png") + "'").status, 0);
  const Picture pic(root.Path("/png-001.png"));
  const auto [red, notRed] = pic.Count(pic.h * 3 / 8, pic.h * 5 / 8, {255, 0, 0});
  const auto [black, notBlack] = pic.Count(pic.h / 8, pic.h / 4, {0, 0, 0}, pic.w / 8, pic.w * 3 / 8);
  EXPECT_GT(red, std::size_t{pic.w} * pic.h / 20);
  EXPECT_EQ(notRed, 0u);
  EXPECT_GT(black, std::size_t{pic.w} * pic.h / 40);
  EXPECT_EQ(notBlack, 0u);
}
