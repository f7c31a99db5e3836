// gdidecode reads what the filter writes, for every compression method, back
// to the bitmap a raw-data printer gets, and rejects damaged streams.
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
    // Encrypted, the same page.
    r = Decode(root, Job(root, c.features, c.capability, F1_SSL), "--pbm -o '" + root.Path("/ssl") + "'");
    EXPECT_EQ(LinesWith(r.out, "encrypted: ").size(), 1u) << c.comp;
    EXPECT_TRUE(ReadFile(root.Path("/ssl-001.pbm")) == pbm.str()) << c.comp;
  }
  // Collated copies replayed from the spool file are encrypted as well.
  JobResult r = Decode(root, Job(root, "0", 0, F1_SSL, 2), "--pbm -o '" + root.Path("/two") + "'");
  EXPECT_EQ(LinesWith(r.out, "encrypted: ").size(), 2u) << r.out << r.err;
  for (const char* n : {"/two-001.pbm", "/two-002.pbm"})
    EXPECT_TRUE(ReadFile(root.Path(n)) == pbm.str()) << n;
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
