// gdidecode: printer streams built here byte by byte (page data coded by
// JBIG-KIT), listed, checked and decoded by the tool run as a program.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

using namespace testing_support;

namespace {

struct Page {
  std::uint32_t width = 0, height = 0;  // pixels and rows (all planes)
  Bytes bits;                           // what the printer should print
  std::string data;                     // page data as sent
  unsigned colors = 1, colorMode = 0, comp = 0;
  std::uint32_t dots = 0;
};

std::string Block(const Page& p) {
  std::string h = std::string("GDI\0", 4) + Le32Bytes(p.width) + Le32Bytes(p.height) +
                  Le32Bytes((p.width + 7) / 8 * p.height) +
                  Le32Bytes(static_cast<std::uint32_t>(p.data.size())) + Le32Bytes(p.dots);
  h +=
      {2, 8, 1, 0, 1, static_cast<char>(p.colors), static_cast<char>(p.colorMode), static_cast<char>(p.comp)};
  return testing_support::Block(h, p.data);
}

// A page of random strokes coded with compression method comp (0 raw, 1
// JBIG without its image header).
Page MakePage(std::uint32_t w, std::uint32_t h, unsigned seed, unsigned comp = 1) {
  Page p{w, h, Bytes((w + 7) / 8 * h, 0)};
  std::mt19937 rng(seed);
  for (std::uint32_t y = 0; y < h; ++y)
    for (std::uint32_t x = 0; x < w; ++x)
      if ((x / 7 + y / 5) % 3 == 0 && rng() % 4 != 0) p.bits[y * ((w + 7) / 8) + x / 8] |= 0x80 >> (x % 8);
  p.comp = comp;
  p.data = comp ? Str(JbigEncode(p.bits, w, h, 8)).substr(20) : Str(p.bits);
  p.dots = Dots(p.bits);
  return p;
}

std::string PjlHeader(const std::string& extra = "", int jbigOptions = 8) {
  return kUel + "@PJL\r\n@PJL JOB NAME=\"12345\"\r\n@PJL SET TIMEOUT=300\r\n@PJL COMMENT JBIG,00," +
         (jbigOptions < 10 ? " " : "") + std::to_string(jbigOptions) + "\r\n" + extra + kEnterLanguage;
}

std::string Stream(const std::vector<Page>& pages, const std::string& extra = "", int jbigOptions = 8) {
  std::string s = Preamble() + PjlHeader(extra, jbigOptions);
  for (const Page& p : pages) s += Block(p);
  return s + Trailer(s.size());
}

JobResult Decode(const PrivateRoot& root, const std::string& stream, const std::string& args = "") {
  WriteFile(root.Path("/job.prn"), stream);
  return RunCommand(std::string(GDIDECODE_BIN) + " " + args + " '" + root.Path("/job.prn") + "'");
}

// The image file the tool wrote for a page, read back as a PBM bitmap.
void ExpectPbm(const std::string& path, const Page& p) {
  std::istringstream in(ReadFile(path));
  std::string magic;
  unsigned long w = 0, h = 0;
  in >> magic >> w >> h;
  in.get();
  const std::string bits((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(magic, "P4") << path;
  EXPECT_EQ(w, p.width);
  EXPECT_EQ(h, p.height);
  EXPECT_TRUE(bits == Str(p.bits)) << path;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

TEST(GdiDecode, ListsChecksAndDecodesEveryKindOfPageData) {
  PrivateRoot root;
  Page sum = MakePage(640, 100, 3);
  sum.data += Le32Bytes(Checksum(sum.bits, 640, 100));
  sum.comp = 3;
  Page four = MakePage(128, 160, 5);  // four planes, each coded on its own behind its length
  four.colors = 4;
  four.colorMode = 3;
  four.data.clear();
  for (long plane = 0; plane < 4; ++plane) {
    const Bytes rows(four.bits.begin() + plane * 640, four.bits.begin() + (plane + 1) * 640);
    const std::string c = Str(JbigEncode(rows, 128, 40, 8)).substr(20);
    four.data += Le32Bytes(static_cast<std::uint32_t>(c.size())) + c;
  }
  // The ZQ3 variant keeps the image header and sends the four corner bytes
  // in the checksum, 0xAA in their place.
  Page zq3 = MakePage(320, 64, 4);
  Bytes stamped = zq3.bits;
  const std::size_t corners[] = {0, 39, 63 * 40, zq3.bits.size() - 1};
  for (int i = 0; i < 4; ++i)
    zq3.bits[corners[i]] = static_cast<unsigned char>(0x81 >> i), stamped[corners[i]] = 0xAA;
  zq3.dots = Dots(zq3.bits);
  zq3.data = Str(JbigEncode(stamped, 320, 64, 64)) + Le32Bytes(0x81402010);
  zq3.comp = 4;
  // A raw-data printer's spool record holds the page coded with its header.
  Page spooled = MakePage(96, 30, 6);
  spooled.data = Str(JbigEncode(spooled.bits, 96, 30, 8));
  spooled.comp = 0;
  const std::string rec = Block(spooled);

  const std::vector<Page> pages = {MakePage(256, 96, 1, 0), MakePage(203, 77, 2), sum, four};
  const std::string stream = Stream(pages);
  const struct {
    std::string stream;
    std::vector<Page> pages;
    std::string listed;
  } cases[] = {
      {stream, pages, "  compsize      = " + std::to_string(pages[1].data.size()) + "\n  blackDots     = "},
      {Stream({zq3}, "", 64), {zq3}, "checksum 0x81402010: corner bytes restored"},
      {Le32Bytes(1) + Le32Bytes(8) + Le32Bytes(static_cast<std::uint32_t>(rec.size())) + rec,
       {spooled},
       "spool file: 1 page records"},
  };
  for (const auto& c : cases) {
    JobResult r = Decode(root, c.stream, "--pbm -o '" + root.Path("/pg") + "'");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, c.listed)) << c.listed << "\n" << r.out;
    EXPECT_EQ(LinesWith(r.out, "blackDots: ok").size(), c.pages.size());
    for (std::size_t i = 0; i < c.pages.size(); ++i)
      ExpectPbm(root.Path("/pg-00" + std::to_string(i + 1) + ".pbm"), c.pages[i]);
  }

  // PNG through netpbm's reader: toner dots come back as black PBM bits.
  ASSERT_EQ(Decode(root, stream, "-o '" + root.Path("/png") + "'").status, 0);
  const std::string png = root.Path("/png-002.png");
  ASSERT_EQ(std::system(("pngtopnm '" + png + "' > '" + png + ".pbm' 2>/dev/null").c_str()), 0);
  ExpectPbm(png + ".pbm", pages[1]);
}

TEST(GdiDecode, MalformedStreamsAndFailedChecksGiveExit1AndSayWhy) {
  PrivateRoot root;
  const std::vector<Page> pages = {MakePage(256, 96, 1, 0), MakePage(203, 77, 2)};
  const std::string stream = Stream(pages);
  const std::size_t page2 = Preamble().size() + PjlHeader().size() + Block(pages[0]).size();
  std::string corrupt = stream, noGdi = stream;
  corrupt[page2 + 34 + pages[1].data.size() - 1] ^= 0x55;  // the BIE's end marker
  noGdi[page2 + 2] = 'X';
  Page sum = MakePage(640, 100, 3), badDots = sum;
  sum.data += Le32Bytes(Checksum(sum.bits, 640, 100) ^ 1);
  sum.comp = 3;
  badDots.dots += 1;
  Page zq3 = MakePage(64, 16, 4);
  zq3.data = Str(JbigEncode(zq3.bits, 64, 16, 64));
  zq3.comp = 2;

  // A stream that would end on a 512-byte boundary without the comment.
  std::string aligned;
  for (std::size_t pad = 0; aligned.empty() && pad < 512; ++pad) {
    const std::string body = Preamble() + PjlHeader("@PJL COMMENT " + std::string(pad, 'x') + "\r\n");
    if ((body.size() + Trailer(1).size()) % 512 == 0) aligned = body;
  }
  ASSERT_FALSE(aligned.empty());
  const std::string unaligned = aligned + "@PJL COMMENT x\r\n";
  const std::string plainEnd = Trailer(1);
  const std::string align = "@PJL COMMENT DATA ALIGNMENT 512\r\n";

  const std::pair<std::string, std::string> cases[] = {
      {stream.substr(0, page2 + 34 + pages[1].data.size() / 2), "malformed stream: page 2"},
      {stream.substr(0, page2 + 20), "truncated page header"},
      {corrupt, "JBIG"},
      {stream.substr(0, page2 + Block(pages[1]).size()), "no trailer"},
      {Preamble(), "no PJL job header"},
      {noGdi, "does not start with \"GDI\""},
      {Stream({sum}), "checksum"},
      {Stream({badDots}), "blackDots " + std::to_string(badDots.dots) + ", the decoded bitmap has " +
                              std::to_string(badDots.dots - 1)},
      {Stream({zq3}, "", 8), "announces options 8"},
      {aligned + plainEnd, "multiple of 512"},
      {unaligned + plainEnd.substr(0, 17) + align + plainEnd.substr(17), "alignment comment present"},
      {Stream({MakePage(64, 16, 8)}, "@PJL SET ENCRYPTION = SSL\r\n"),
       "encrypted page data: not supported yet"},
  };
  for (const auto& [s, why] : cases) {
    JobResult r = Decode(root, s);
    EXPECT_EQ(r.status, 1) << why;
    EXPECT_TRUE(Has(r.err, why)) << why << ": " << r.err;
  }
  JobResult ok = Decode(root, aligned + Trailer(aligned.size()));
  EXPECT_EQ(ok.status, 0) << ok.out << ok.err;
  EXPECT_TRUE(Has(ok.out, "  @PJL COMMENT DATA ALIGNMENT 512\n"));
}
