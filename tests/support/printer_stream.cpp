// Printer-stream oracles (see printer_stream.h).
#include "printer_stream.h"

#include <regex>

extern "C" {
#include <jbig.h>
}

namespace testing_support {

std::uint32_t Le32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s.at(at + i));
  return v;
}

std::string Le32Bytes(std::uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s += static_cast<char>(v >> (8 * i));
  return s;
}

std::string Preamble() {
  const std::string zero = kEscE + kUel + "@PJL SHORT\r\n@PJL SET TIMEOUT=5\r\n@PJL EOJ\r\n" + kUel;
  return kEscE + kUel + "@PJL CANCEL\r\n@PJL EOJ\r\n" + kUel + zero + std::string(512, '\0') + zero;
}

std::string Trailer(std::size_t before, bool cancel) {
  const std::string end = kEscE + kUel + "@PJL\r\n";
  std::string tail =
      "@PJL SET TIMEOUT=5\r\n" + std::string(cancel ? "@PJL HOST_CANCEL\r\n" : "") + "@PJL EOJ\r\n" + kUel;
  if (cancel) tail += kEscE + kUel + "@PJL HOST_CANCEL\r\n@PJL CANCEL\r\n@PJL EOJ\r\n" + kUel;
  const bool align = (before + end.size() + tail.size()) % 512 == 0;
  return end + (align ? "@PJL COMMENT DATA ALIGNMENT 512\r\n" : "") + tail;
}

std::string MaskClock(std::string s) {
  const auto once = std::regex_constants::format_first_only;
  s = std::regex_replace(s, std::regex("@PJL JOB NAME=\"-?[0-9]+\"\r\n"), "@PJL JOB NAME=\"TICK\"\r\n", once);
  s = std::regex_replace(s, std::regex("@PJL COMMENT [0-9]{4}/[0-9]{2}/[0-9]{2}\r\n"), "DATE\r\n", once);
  return std::regex_replace(s, std::regex("@PJL COMMENT [0-9]{2}:[0-9]{2}:[0-9]{2}:00\r\n"), "TIME\r\n",
                            once);
}

bool HasLine(const std::string& text, const std::string& line) {
  return ("\r\n" + text).find("\r\n" + line + "\r\n") != std::string::npos;
}

bool PrinterStream::HasPjl(const std::string& line) const {
  return HasLine(pjl, line);
}

std::vector<std::uint32_t> PrinterStream::Dots() const {
  std::vector<std::uint32_t> d;
  for (const PageBlock& p : pages) d.push_back(p.BlackDots());
  return d;
}

PrinterStream ReadStream(const std::string& out) {
  PrinterStream s;
  std::size_t at = 0;
  if (out.compare(0, Preamble().size(), Preamble()) == 0) s.preamble = Preamble(), at = s.preamble.size();
  const std::size_t enter = out.find(kEnterLanguage, at);
  if (out.compare(at, kUel.size(), kUel) == 0 && enter != std::string::npos) {
    s.pjl = out.substr(at, enter + kEnterLanguage.size() - at);
    at += s.pjl.size();
  }
  const std::string start = kEscE + std::string("GDI\0", 4);
  while (out.compare(at, start.size(), start) == 0 && at + 34 <= out.size()) {
    const std::size_t len = Le32(out, at + 18);
    if (at + 34 + len > out.size()) break;
    s.pages.push_back({out.substr(at + 2, 32), out.substr(at + 34, len)});
    at += 34 + len;
  }
  s.trailer = out.substr(at);
  return s;
}

Bytes JbigEncode(const Bytes& bits, unsigned long w, unsigned long h, int options) {
  Bytes out;
  jbg_enc_state s;
  unsigned char* planes[1] = {const_cast<unsigned char*>(bits.data())};
  auto sink = [](unsigned char* p, size_t n, void* o) {
    static_cast<Bytes*>(o)->insert(static_cast<Bytes*>(o)->end(), p, p + n);
  };
  jbg_enc_init(&s, w, h, 1, planes, sink, &out);
  jbg_enc_layers(&s, 0);
  jbg_enc_options(&s, 0, options, h, 0, 0);
  jbg_enc_out(&s);
  jbg_enc_free(&s);
  return out;
}

Bytes JbigDecode(const Bytes& bie, unsigned long* w, unsigned long* h) {
  jbg_dec_state d;
  jbg_dec_init(&d);
  Bytes in = bie, img;
  if (jbg_dec_in(&d, in.data(), in.size(), nullptr) == JBG_EOK) {
    img.assign(jbg_dec_getimage(&d, 0), jbg_dec_getimage(&d, 0) + jbg_dec_getsize(&d));
    if (w) *w = jbg_dec_getwidth(&d);
    if (h) *h = jbg_dec_getheight(&d);
  }
  jbg_dec_free(&d);
  return img;
}

Bytes DecodeHeaderless(const std::string& data, std::uint32_t w, std::uint32_t h, int options) {
  Bytes bie(20, 0);
  bie[2] = 1;
  for (int i = 0; i < 4; ++i) {
    bie[4 + i] = static_cast<unsigned char>(w >> (24 - 8 * i));
    bie[8 + i] = bie[12 + i] = static_cast<unsigned char>(h >> (24 - 8 * i));
  }
  bie[19] = static_cast<unsigned char>(options);
  bie.insert(bie.end(), data.begin(), data.end());
  return JbigDecode(bie);
}

std::uint32_t Checksum(const Bytes& bits, unsigned width, unsigned rows) {
  const unsigned bpl = width / 8;
  std::uint32_t sum = 0;
  for (unsigned i = 0; i < rows; i += 32) sum += bits[i * bpl + i % bpl];
  return sum + bits[bpl * rows - 1];
}

std::uint32_t Dots(const Bytes& bits) {
  std::uint32_t n = 0;
  for (unsigned char c : bits) n += static_cast<std::uint32_t>(__builtin_popcount(c));
  return n;
}

}  // namespace testing_support
