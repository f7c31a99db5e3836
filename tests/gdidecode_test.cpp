// gdidecode: synthetic printer streams built byte by byte here, listed,
// checked and decoded by the tool run as a program.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "jbig_codec.h"
#include "test_support.h"

using namespace testing_support;

namespace {

using Bytes = std::vector<unsigned char>;

const std::string UEL = "\x1b%-12345X";
const std::string ESC_E =
    "\x1b"
    "E";

// The fixed 679-byte preamble: a cancel, two short jobs around 512 zero bytes.
std::string Preamble() {
  const std::string zero = ESC_E + UEL + "@PJL SHORT\r\n@PJL SET TIMEOUT=5\r\n@PJL EOJ\r\n" + UEL;
  return ESC_E + UEL + "@PJL CANCEL\r\n@PJL EOJ\r\n" + UEL + zero + std::string(512, '\0') + zero;
}

std::string PjlHeader(const std::string& extraLines, int jbigOptions = 8) {
  char jbig[64];
  std::snprintf(jbig, sizeof jbig, "@PJL COMMENT JBIG,00,%2d\r\n", jbigOptions);
  return UEL +
         "@PJL\r\n@PJL JOB NAME=\"12345\"\r\n@PJL SET TIMEOUT=300\r\n@PJL COMMENT Filter Version,1.0\r\n" +
         jbig + extraLines + "@PJL SET RESOLUTION=600\r\n@PJL ENTER LANGUAGE=KRGDI\r\n";
}

// The trailer, with the alignment comment when the stream would otherwise be
// a whole number of 512-byte blocks.
std::string Trailer(std::size_t before) {
  const std::string end = ESC_E + UEL + "@PJL\r\n";
  const std::string tail = "@PJL SET TIMEOUT=5\r\n@PJL EOJ\r\n" + UEL;
  const std::string align = "@PJL COMMENT DATA ALIGNMENT 512\r\n";
  return (before + end.size() + tail.size()) % 512 == 0 ? end + align + tail : end + tail;
}

void PutLe32(std::string& s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

std::string Le32(std::uint32_t v) {
  std::string s(4, '\0');
  PutLe32(s, 0, v);
  return s;
}

struct Page {
  std::uint32_t width = 0, height = 0;  // bitmap pixels and rows (all planes)
  Bytes bits;                           // the bitmap the printer should print
  std::string data;                     // page data as sent
  unsigned colors = 1, colorMode = 0, compMethod = 0;
  std::uint32_t blackDots = 0;
};

std::uint32_t Dots(const Bytes& b) {
  std::uint32_t n = 0;
  for (unsigned char c : b) n += static_cast<std::uint32_t>(__builtin_popcount(c));
  return n;
}

// ESC "E", the 32-byte page header, the data.
std::string Block(const Page& p) {
  std::string h(32, '\0');
  h.replace(0, 3, "GDI");
  PutLe32(h, 4, p.width);
  PutLe32(h, 8, p.height);
  PutLe32(h, 12, (p.width + 7) / 8 * p.height);
  PutLe32(h, 16, static_cast<std::uint32_t>(p.data.size()));
  PutLe32(h, 20, p.blackDots);
  h[24] = 2;  // A4
  h[25] = 8;  // plain paper
  h[26] = 1;  // tray 1
  h[28] = 1;
  h[29] = static_cast<char>(p.colors);
  h[30] = static_cast<char>(p.colorMode);
  h[31] = static_cast<char>(p.compMethod);
  return ESC_E + h + p.data;
}

// A page of the given size and bitmap, its data still to be filled.
Page Blank(std::uint32_t width, std::uint32_t height, Bytes bits) {
  Page p;
  p.width = width;
  p.height = height;
  p.bits = std::move(bits);
  return p;
}

Bytes Pattern(std::uint32_t width, std::uint32_t height, unsigned seed) {
  Bytes b((width + 7) / 8 * height, 0);
  std::mt19937 rng(seed);
  for (std::uint32_t y = 0; y < height; ++y)
    for (std::uint32_t x = 0; x < width; ++x)
      if ((x / 7 + y / 5) % 3 == 0 && rng() % 4 != 0) b[y * ((width + 7) / 8) + x / 8] |= 0x80 >> (x % 8);
  return b;
}

std::string Coded(Bytes bits, std::uint32_t width, std::uint32_t height, long options, long removeHeader) {
  Bytes out;
  long len = 0, count = 0;
  Kestal_JBIGCompression(width, height, bits.data(), out, 0, &len, &count, 0, options, removeHeader);
  return std::string(out.begin(), out.begin() + len);
}

Page RawPage(std::uint32_t w, std::uint32_t h, unsigned seed) {
  Page p = Blank(w, h, Pattern(w, h, seed));
  p.data.assign(p.bits.begin(), p.bits.end());
  p.blackDots = Dots(p.bits);
  return p;
}

Page JbigPage(std::uint32_t w, std::uint32_t h, unsigned seed) {
  Page p = Blank(w, h, Pattern(w, h, seed));
  p.data = Coded(p.bits, w, h, 8, 1);
  p.compMethod = 1;
  p.blackDots = Dots(p.bits);
  return p;
}

std::string Stream(const std::vector<Page>& pages, const std::string& extraPjl = "", int jbigOptions = 8) {
  std::string s = Preamble() + PjlHeader(extraPjl, jbigOptions);
  for (const Page& p : pages) s += Block(p);
  return s + Trailer(s.size());
}

struct ToolRun {
  int status = -1;
  std::string out, err;
};

// Runs gdidecode on a stream written to a file in dir.
ToolRun Decode(const PrivateRoot& root, const std::string& stream, const std::string& args = "") {
  const std::string in = root.Path("/job.prn"), out = root.Path("/out.txt"), err = root.Path("/err.txt");
  WriteFile(in, stream);
  const int rc = std::system(
      (std::string(GDIDECODE_BIN) + " " + args + " '" + in + "' >'" + out + "' 2>'" + err + "'").c_str());
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ReadFile(out), ReadFile(err)};
}

// Runs the tool on a stream it must reject with a message containing why.
void ExpectRejected(const PrivateRoot& root, const std::string& stream, const std::string& why) {
  ToolRun r = Decode(root, stream);
  EXPECT_EQ(r.status, 1) << why;
  EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
}

bool ReadPbm(const std::string& data, unsigned long& w, unsigned long& h, Bytes& bits) {
  std::istringstream in(data);
  std::string magic;
  in >> magic >> w >> h;
  if (magic != "P4" || !in) return false;
  in.get();
  bits.resize((w + 7) / 8 * h);
  in.read(reinterpret_cast<char*>(bits.data()), static_cast<std::streamsize>(bits.size()));
  return static_cast<std::size_t>(in.gcount()) == bits.size() && in.peek() == EOF;
}

// Reads an image file written by the tool back as a bitmap and compares it.
void ExpectPbm(const std::string& path, const Page& p) {
  unsigned long w = 0, h = 0;
  Bytes bits;
  ASSERT_TRUE(ReadPbm(ReadFile(path), w, h, bits)) << path;
  EXPECT_EQ(w, p.width);
  EXPECT_EQ(h, p.height);
  EXPECT_EQ(bits, p.bits) << path;
}

}  // namespace

TEST(GdiDecode, ListsATwoPageStreamAndWritesPagesAsPbmAndPng) {
  PrivateRoot root;
  std::vector<Page> pages = {RawPage(256, 96, 1), JbigPage(203, 77, 2)};
  const std::string stream = Stream(pages);
  ToolRun r = Decode(root, stream, "--pbm -o '" + root.Path("/pg") + "'");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("preamble: 679 bytes, the fixed preamble\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  @PJL COMMENT JBIG,00, 8\n"), std::string::npos);
  EXPECT_NE(r.out.find("  @PJL ENTER LANGUAGE=KRGDI\n"), std::string::npos);
  EXPECT_EQ(LinesWith(r.out, "page_width").size(), 2u);
  EXPECT_NE(
      r.out.find("  page_width    = 203\n  page_height   = 77\n  datasize      = 2002\n  compsize      = " +
                 std::to_string(pages[1].data.size()) +
                 "\n  blackDots     = " + std::to_string(pages[1].blackDots) + "\n"),
      std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("  CompMethod    = 0 (raw bitmap)\n  data: raw bitmap, 3072 bytes\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("  data: JBIG without header"), std::string::npos);
  EXPECT_EQ(LinesWith(r.out, "blackDots: ok").size(), 2u);
  EXPECT_NE(r.out.find("  @PJL EOJ\n"), std::string::npos);
  EXPECT_NE(r.out.find("stream: " + std::to_string(stream.size()) + " bytes"), std::string::npos);
  EXPECT_NE(r.out.find("result: ok\n"), std::string::npos);
  ExpectPbm(root.Path("/pg-001.pbm"), pages[0]);
  ExpectPbm(root.Path("/pg-002.pbm"), pages[1]);

  // PNG through netpbm's reader: toner dots come back as black PBM bits.
  r = Decode(root, stream, "-o '" + root.Path("/png") + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  for (int i = 0; i < 2; ++i) {
    const std::string png = root.Path("/png-00" + std::to_string(i + 1) + ".png");
    ASSERT_EQ(std::system(("pngtopnm '" + png + "' > '" + png + ".pbm' 2>/dev/null").c_str()), 0);
    ExpectPbm(png + ".pbm", pages[i]);
  }
}

TEST(GdiDecode, ChecksumPagesAreVerifiedAndTheMarkedCornersRestored) {
  PrivateRoot root;
  // Sampled checksum: one byte every 32 rows on a column that walks one byte a row.
  Page sum = Blank(640, 100, Pattern(640, 100, 3));
  const std::size_t bpl = 80;
  std::uint32_t s = 0;
  for (std::size_t i = 0; i < 100; i += 32) s += sum.bits[i * bpl + i % bpl];
  s += sum.bits.back();
  sum.data = Coded(sum.bits, 640, 100, 8, 1) + Le32(s);
  sum.compMethod = 3;
  sum.blackDots = Dots(sum.bits);

  // The ZQ3 variant sends the four corner bytes in the checksum and 0xAA in their place.
  Page zq3 = Blank(320, 64, Pattern(320, 64, 4));
  zq3.bits[0] = 0x81;
  zq3.bits[39] = 0x42;
  zq3.bits[63 * 40] = 0x24;
  zq3.bits.back() = 0x18;
  Bytes stamped = zq3.bits;
  for (std::size_t at : {std::size_t{0}, std::size_t{39}, std::size_t{63 * 40}, stamped.size() - 1})
    stamped[at] = 0xAA;
  zq3.data = Coded(stamped, 320, 64, 64, 0) + Le32(0x81422418);
  zq3.compMethod = 4;
  zq3.blackDots = Dots(zq3.bits);

  ToolRun r = Decode(root, Stream({sum}), "--pbm -o '" + root.Path("/a") + "'");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("checksum 0x" +
                       [&] {
                         char b[16];
                         std::snprintf(b, sizeof b, "%08X", s);
                         return std::string(b);
                       }() +
                       ": ok"),
            std::string::npos)
      << r.out;
  ExpectPbm(root.Path("/a-001.pbm"), sum);

  r = Decode(root, Stream({zq3}, "", 64), "--pbm -o '" + root.Path("/b") + "'");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("  data: JBIG with header"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("checksum 0x81422418: corner bytes restored"), std::string::npos) << r.out;
  ExpectPbm(root.Path("/b-001.pbm"), zq3);

  // A wrong checksum, a wrong dot count and a JBIG comment that contradicts the page fail.
  Page bad = sum;
  bad.data.back() ^= 0x01;
  ExpectRejected(root, Stream({bad}), "checksum");
  bad = sum;
  bad.blackDots += 1;
  ExpectRejected(root, Stream({bad}),
                 "blackDots " + std::to_string(bad.blackDots) + ", the decoded bitmap has " +
                     std::to_string(sum.blackDots));
  ExpectRejected(root, Stream({zq3}, "", 8), "announces options 8");
}

TEST(GdiDecode, FourSeparatelyCodedPlanesDecodeIntoOnePage) {
  PrivateRoot root;
  Page p = Blank(128, 4 * 40, Pattern(128, 160, 5));
  p.colors = 4;
  p.colorMode = 3;
  p.compMethod = 1;
  p.blackDots = Dots(p.bits);
  // One chunk counter per page: only the first plane loses its image header.
  for (int plane = 0; plane < 4; ++plane) {
    Bytes rows(p.bits.begin() + plane * 16 * 40, p.bits.begin() + (plane + 1) * 16 * 40);
    const std::string c = Coded(rows, 128, 40, 8, plane == 0 ? 1 : 0);
    p.data += Le32(static_cast<std::uint32_t>(c.size())) + c;
  }
  ToolRun r = Decode(root, Stream({p}), "--pbm -o '" + root.Path("/c") + "'");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("data: 4 separately coded planes of 40 rows"), std::string::npos) << r.out;
  ExpectPbm(root.Path("/c-001.pbm"), p);
}

TEST(GdiDecode, SpoolFileRecordsAreReadLikeTheStream) {
  PrivateRoot root;
  // A raw-data printer's spool record holds the page coded with its header.
  Page p = Blank(96, 30, Pattern(96, 30, 6));
  p.data = Coded(p.bits, 96, 30, 8, 0);
  p.blackDots = Dots(p.bits);
  const std::string block = Block(p), raw = Block(RawPage(64, 8, 7));
  const std::string spool = Le32(2) + Le32(8) + Le32(static_cast<std::uint32_t>(block.size())) + block +
                            Le32(static_cast<std::uint32_t>(raw.size())) + raw;
  ToolRun r = Decode(root, spool, "--pbm -o '" + root.Path("/s") + "'");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("spool file: 2 page records"), std::string::npos);
  EXPECT_NE(r.out.find("JBIG with header"), std::string::npos) << r.out;
  ExpectPbm(root.Path("/s-001.pbm"), p);
}

TEST(GdiDecode, MalformedStreamsGiveANonzeroExitAndAClearMessage) {
  PrivateRoot root;
  std::vector<Page> pages = {RawPage(256, 96, 1), JbigPage(203, 77, 2)};
  const std::string stream = Stream(pages);
  const std::size_t page2 = Preamble().size() + PjlHeader("").size() + Block(pages[0]).size();

  // Cut inside the second page's data: its compsize runs past the end.
  ToolRun r = Decode(root, stream.substr(0, page2 + 34 + pages[1].data.size() / 2));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("malformed stream: page 2"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("compsize"), std::string::npos) << r.err;

  // Cut inside the second page's header.
  ExpectRejected(root, stream.substr(0, page2 + 20), "truncated page header");

  // Corrupt JBIG data (the BIE's end marker damaged) decodes to an error.
  std::string corrupt = stream;
  corrupt[page2 + 34 + pages[1].data.size() - 1] ^= 0x55;
  ExpectRejected(root, corrupt, "JBIG");

  // No trailer, no PJL header, and a page without "GDI".
  ExpectRejected(root, stream.substr(0, page2 + Block(pages[1]).size()), "no trailer");
  ExpectRejected(root, Preamble(), "no PJL job header");
  std::string noGdi = stream;
  noGdi[page2 + 2] = 'X';
  ExpectRejected(root, noGdi, "does not start with \"GDI\"");
}

TEST(GdiDecode, TrailerMustKeepTheStreamOffWholeBlocksOf512Bytes) {
  PrivateRoot root;
  const std::string end = ESC_E + UEL + "@PJL\r\n", tail = "@PJL SET TIMEOUT=5\r\n@PJL EOJ\r\n" + UEL;
  // Pad a comment until the stream would end on a 512-byte boundary.
  for (std::size_t pad = 0; pad < 512; ++pad) {
    const std::string body = Preamble() + PjlHeader("@PJL COMMENT " + std::string(pad, 'x') + "\r\n");
    if ((body.size() + end.size() + tail.size()) % 512 != 0) continue;
    ToolRun r = Decode(root, body + Trailer(body.size()));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("  @PJL COMMENT DATA ALIGNMENT 512\n"), std::string::npos) << r.out;

    ExpectRejected(root, body + end + tail, "multiple of 512");

    // The comment where it is not needed is flagged too.
    const std::string longer = Preamble() + PjlHeader("@PJL COMMENT " + std::string(pad + 1, 'x') + "\r\n");
    ExpectRejected(root, longer + end + "@PJL COMMENT DATA ALIGNMENT 512\r\n" + tail,
                   "alignment comment present");
    return;
  }
  FAIL() << "no padding reached a 512-byte boundary";
}

TEST(GdiDecode, EncryptedPagesAreReportedAsNotSupportedYet) {
  PrivateRoot root;
  ExpectRejected(root, Stream({JbigPage(64, 16, 8)}, "@PJL SET ENCRYPTION = SSL\r\n"),
                 "encrypted page data: not supported yet");
}
