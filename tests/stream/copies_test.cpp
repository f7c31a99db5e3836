// Whole jobs through the output thread and the spool file: page order,
// duplex sheet order with its blank filler, collated copies made by the
// filter and uncollated ones left to the printer, the "PAGE:" lines the
// scheduler counts, and a printer stream that goes away.

#include <algorithm>
#include <functional>
#include <set>

#include "test_support.h"

namespace {

using namespace testing_support;

// The stream's pages as document page numbers, 0 for a blank filler. Page
// contents cycle through black, ramp and text, whose dot counts fall.
std::string PageNumbers(const PrinterStream& s) {
  std::set<std::uint32_t, std::greater<>> distinct;
  for (std::uint32_t d : s.Dots())
    if (d) distinct.insert(d);
  std::string pages;
  for (std::uint32_t d : s.Dots())
    pages += (pages.empty() ? "" : " ") +
             std::to_string(d ? 1 + std::distance(distinct.begin(), distinct.find(d)) : 0);
  return pages;
}

// The "PAGE:" lines as "page copies" pairs, comma-separated.
std::string PageLines(const std::string& err) {
  std::string lines;
  for (const std::string& l : Messages(err, "PAGE: ")) lines += (lines.empty() ? "" : ",") + l.substr(6);
  return lines;
}

struct CopiesCase {
  const char* name;
  int pages, copies;
  bool duplex;
  const char* options;
  const char *order, *pageLines;  // document pages in stream order, 0 a filler
  int announced;                  // COPIES in the job header
};

void PrintTo(const CopiesCase& c, std::ostream* os) {
  *os << c.name;
}

class Copies : public ::testing::TestWithParam<CopiesCase> {};

TEST_P(Copies, PagesGoInSheetOrderAndAreReportedAsSent) {
  const CopiesCase& c = GetParam();
  PrivateRoot root;
  const std::string ras =
      MakeRaster(root.Path("/c.ras"), {"--res", "100", "--media", "363x516", "--content", "black,ramp,text",
                                       "--pages", std::to_string(c.pages), "--copies",
                                       std::to_string(c.copies), "--duplex", c.duplex ? "1" : "0"});
  JobResult r = RunJob(MakePpd(root.Path("/p.ppd")), ras, c.options);
  EXPECT_EQ(r.status, 0);
  PrinterStream s = ReadStream(r.out);
  EXPECT_EQ(PageNumbers(s), c.order);
  EXPECT_EQ(PageLines(r.err), c.pageLines);
  EXPECT_TRUE(s.HasPjl("@PJL SET COPIES=" + std::to_string(c.announced)));
  EXPECT_EQ(LinesWith(r.err, "INFO: Processing page ").size(), static_cast<std::size_t>(c.pages));
  EXPECT_TRUE(LinesWith(r.err, "ERROR:").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, Copies,
    ::testing::Values(CopiesCase{"Simplex", 3, 1, false, "", "1 2 3", "1 1,2 1,3 1", 1},
                      CopiesCase{"Collated", 2, 3, false, "COLLATE=TRUE", "1 2 1 2 1 2",
                                 "1 1,2 1,1 1,2 1,1 1,2 1", 1},
                      // Back side first; the last sheet's back is a filler, never reported.
                      CopiesCase{"CollatedDuplex", 3, 2, true, "Collate=True", "2 1 0 3 2 1 0 3",
                                 "2 1,1 1,3 1,2 1,1 1,3 1", 1},
                      CopiesCase{"Uncollated", 2, 4, false, "", "1 2", "1 4,2 4", 4},
                      CopiesCase{"UncollatedDuplex", 2, 2, true, "Collate=yes", "2 1", "2 2,1 2", 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PageData, CodedRawAndReplayedRawPagesAllCarryTheSameBitmap) {
  PrivateRoot root;
  const std::string ras =
      MakeRaster(root.Path("/t.ras"), {"--res", "100", "--media", "363x516", "--content", "text"});
  const std::string ras2 = MakeRaster(
      root.Path("/t2.ras"), {"--res", "100", "--media", "363x516", "--content", "text", "--copies", "2"});
  const std::string raw = MakePpd(root.Path("/raw.ppd"), {{"DriverFeature", "1"}});

  // A raw-data printer gets the bitmap itself: the reference.
  PrinterStream direct = ReadStream(RunJob(raw, ras).out);
  ASSERT_EQ(direct.pages.size(), 1u);
  const std::string bitmap = direct.pages[0].data;
  EXPECT_EQ(direct.pages[0].Byte(kComp), 0u);
  EXPECT_EQ(bitmap.size(), direct.pages[0].DataSize());
  EXPECT_NE(bitmap.find_first_not_of('\0'), std::string::npos);

  // Spooled for two collated copies, the page is stored coded and decoded
  // again on the way out, both copies.
  PrinterStream replay = ReadStream(RunJob(raw, ras2, "Collate=True").out);
  ASSERT_EQ(replay.pages.size(), 2u);
  for (const PageBlock& b : replay.pages) EXPECT_TRUE(b.data == bitmap);

  // A JBIG printer gets the coded page, which decodes to the same bitmap.
  PrinterStream jbig = ReadStream(RunJob(MakePpd(root.Path("/coded.ppd")), ras).out);
  ASSERT_EQ(jbig.pages.size(), 1u);
  const PageBlock& p = jbig.pages[0];
  EXPECT_EQ(p.Byte(kComp), 1u);
  EXPECT_LT(p.data.size(), bitmap.size());
  EXPECT_TRUE(Str(DecodeHeaderless(p.data, p.Width(), p.Height())) == bitmap);
}

TEST(PageData, CollatedCopiesStopAtTheSchedulersLimit) {
  PrivateRoot root;
  const std::string ras = MakeRaster(
      root.Path("/w.ras"), {"--res", "100", "--media", "363x516", "--content", "white", "--copies", "10005"});
  JobResult r = RunJob(MakePpd(root.Path("/p.ppd")), ras, "Collate=True");
  EXPECT_EQ(ReadStream(r.out).pages.size(), 9999u);
  EXPECT_EQ(LinesWith(r.out, "@PJL COMMENT Copies,").at(0), "@PJL COMMENT Copies,9999\r");
  const std::string lines = PageLines(r.err);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), ',') + 1, 9999);
}

TEST(PrinterStream, AClosedPipeStopsTheJobAndRemovesTheSpoolFile) {
  PrivateRoot root;
  const std::string ras = MakeRaster(
      root.Path("/long.ras"), {"--res", "100", "--pages", "12", "--copies", "2", "--content", "black,ramp"});
  // The reader takes 100 bytes and goes away; the filter must survive the
  // broken pipe, say so, stop early and clean up.
  JobResult r =
      RunCommand("bash -c 'RASTERTOPWG2_ROOT=" + root.dir() + " PPD=" + MakePpd(root.Path("/p.ppd")) + " " +
                 RASTERTOPWG2_BIN + " 7 alice title 2 Collate=True " + ras +
                 " | head -c 100 >/dev/null; exit ${PIPESTATUS[0]}'");
  EXPECT_EQ(r.status, 1);  // no page got through
  // The reason is the pipe's, not that of a call made after the write.
  EXPECT_EQ(LinesWith(r.err, "ERROR: Unable to write to the printer stream (Broken pipe)").size(), 1u) << r.err;
  EXPECT_LT(LinesWith(r.err, "INFO: Processing page").size(), 12u);
  EXPECT_TRUE(std::filesystem::is_empty(root.Path("/tmp")));
}

}  // namespace
