// Oracles for what the printer gets: the stream's fixed texts, a reader
// that splits a stream into preamble, PJL job header, page blocks (ESC "E",
// 32-byte little-endian page header, data) and trailer, and a reference
// JBIG coder and decoder straight on JBIG-KIT.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<unsigned char>;

inline const std::string kEscE = "\x1b\x45";
inline const std::string kUel = "\x1b%-12345X";
inline const std::string kEnterLanguage = "@PJL ENTER LANGUAGE=KRGDI\r\n";

std::uint32_t Le32(const std::string& s, std::size_t at);
std::string Le32Bytes(std::uint32_t v);
// True when text has line as a whole CRLF-ended line.
bool HasLine(const std::string& text, const std::string& line);
// The stream with the first job header's clock values (job name tick, date,
// time) checked for their form and replaced by TICK, DATE and TIME.
std::string MaskClock(std::string stream);
inline std::string Str(const Bytes& b) {
  return std::string(b.begin(), b.end());
}

// The 679-byte preamble: a cancel, then two short jobs around 512 zeros.
std::string Preamble();
// The trailer of a stream of `before` bytes so far, with the alignment
// comment when the stream would otherwise end on a multiple of 512 bytes.
std::string Trailer(std::size_t before, bool cancel = false);

// Offsets of the page header's one-byte fields.
enum HeaderByte { kPaper = 24, kMedia, kTray, kOutBin, kBits, kColors, kColorMode, kComp };

struct PageBlock {
  std::string header;  // the 32-byte page header
  std::string data;    // compsize bytes
  std::uint32_t Width() const { return Le32(header, 4); }
  std::uint32_t Height() const { return Le32(header, 8); }
  std::uint32_t DataSize() const { return Le32(header, 12); }
  std::uint32_t BlackDots() const { return Le32(header, 20); }
  unsigned Byte(int at) const { return static_cast<unsigned char>(header.at(at)); }
};

struct PrinterStream {
  std::string preamble;  // empty when the stream does not start with it
  std::string pjl;       // from the UEL to the ENTER LANGUAGE line
  std::vector<PageBlock> pages;
  std::string trailer;  // everything after the last page block
  bool HasPjl(const std::string& line) const;
  std::vector<std::uint32_t> Dots() const;  // blackDots of each page
};
PrinterStream ReadStream(const std::string& out);

// JBIG-KIT's coding of a bitmap (rows of ceil(w / 8) bytes, 1 = black): one
// stripe, one layer, the given options.
Bytes JbigEncode(const Bytes& bits, unsigned long w, unsigned long h, int options);
// JBIG-KIT's decoding of a whole BIE; empty when it does not decode.
Bytes JbigDecode(const Bytes& bie, unsigned long* w = nullptr, unsigned long* h = nullptr);
// Decodes page data sent without its 20-byte image header, which is
// rebuilt from the page size and the coding options.
Bytes DecodeHeaderless(const std::string& data, std::uint32_t w, std::uint32_t h, int options = 8);

// The sampled checksum the printer checks: one byte every 32 rows on a
// column that walks one byte a row, plus the last byte.
std::uint32_t Checksum(const Bytes& bits, unsigned width, unsigned rows);
std::uint32_t Dots(const Bytes& bits);

}  // namespace testing_support
