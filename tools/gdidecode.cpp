// gdidecode: lists, checks and decodes a printer stream as the printer gets it.
//
//   gdidecode [-o PREFIX] [--pbm] [--ssl] FILE
//
// Lists the preamble, the PJL header lines, every page header field and the
// trailer; checks lengths, compsize, blackDots against the decoded bitmap, the
// page checksum and the trailer's 512-byte rule; decrypts the pages of a
// stream that announces encryption (or of a spool file with --ssl) and checks
// their cipher length and padding; decodes each page (raw,
// JBIG with or without its image header, four separately coded planes) and
// with -o writes PREFIX-001.png, PREFIX-002.png ... (or .pbm with --pbm),
// toner dots black; a colour page's planes are composed into one colour PNG
// (the PBM keeps them stacked), and each plane's dot coverage is listed. A spool file (page records behind an
// 8-byte header) is read as well. Exit status: 0 when everything checked out, 1 when the stream is malformed,
// a check failed or a page could not be decoded, 2 for usage and file errors.
//
// The decoder is written from the byte layouts alone and shares no code with
// the filter, so that it can check the filter's output.
#include "gdidecode.h"

extern "C" {
#include <jbig.h>
}
#include <nettle/aes.h>
#include <nettle/cbc.h>
#include <png.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using ByteSpan = std::span<const unsigned char>;

// Fixed pieces of the stream.
const std::string kUEL = "\x1b%-12345X";
const std::string kCancel =
    "\x1b"
    "E" +
    kUEL + "@PJL CANCEL\r\n@PJL EOJ\r\n" + kUEL;
const std::string kZeroJob =
    "\x1b"
    "E" +
    kUEL + "@PJL SHORT\r\n@PJL SET TIMEOUT=5\r\n@PJL EOJ\r\n" + kUEL;
const std::string kCancel2 =
    "\x1b"
    "E" +
    kUEL + "@PJL HOST_CANCEL\r\n@PJL CANCEL\r\n@PJL EOJ\r\n" + kUEL;
const std::string kEndOfJob =
    "\x1b"
    "E" +
    kUEL + "@PJL\r\n";
const std::string kAlignment = "@PJL COMMENT DATA ALIGNMENT 512\r\n";
const std::string kHeaderStart = kUEL + "@PJL\r\n@PJL JOB NAME=";
const std::string kLanguageLine = "@PJL ENTER LANGUAGE=KRGDI";
const std::string kPageStart = std::string(
                                   "\x1b"
                                   "EGDI") +
                               '\0';

constexpr std::size_t kBlockHeader = 34;          // ESC "E" + 32-byte page header
constexpr std::size_t kBih = 20;                  // JBIG image header
constexpr std::uint64_t kMaxBitmap = 1ull << 31;  // refuse pages larger than 2 GiB
// AES-128-CBC key and vector of encrypted page data.
const char kPageKey[] = "TrelmoxPageKeyAB";
const char kPageVector[] = "TrelmoxPageVecCD";

// The 32-byte page header, little-endian on the wire.
struct PageFields {
  std::uint32_t page_width = 0, page_height = 0, datasize = 0, compsize = 0, blackDots = 0;
  unsigned paper_type = 0, MediaType = 0, MediaPosition = 0, OutBin = 0, Bits = 0, Colors = 0, ColorMode = 0,
           CompMethod = 0;
};

using Options = GdiDecodeOptions;

// Ends the listing early with the program's exit status; thrown so that the
// decoder can run in process (a fuzz target) as well as in its own program.
struct StopListing {
  int status;
};

// What the PJL header tells about the pages.
struct StreamInfo {
  bool ssl = false;      // page data encrypted
  bool spool = false;    // a spool file's records, not a printer stream
  int jbigOptions = -1;  // from "@PJL COMMENT JBIG,00,nn"; -1 unknown
};

int gProblems = 0;

// Reports a failed check in the listing and on standard error.
__attribute__((format(printf, 1, 2))) void Problem(const char* fmt, ...) {
  char msg[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  std::printf("  FAILED: %s\n", msg);
  std::fprintf(stderr, "gdidecode: %s\n", msg);
  ++gProblems;
}

// Reports a malformed stream and ends the program with status 1.
[[noreturn]] __attribute__((format(printf, 1, 2))) void Malformed(const char* fmt, ...) {
  char msg[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  std::fflush(stdout);
  std::fprintf(stderr, "gdidecode: malformed stream: %s\n", msg);
  throw StopListing{1};
}

std::uint32_t Le32(const unsigned char* p) {
  return p[0] | (static_cast<std::uint32_t>(p[1]) << 8) | (static_cast<std::uint32_t>(p[2]) << 16) |
         (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint32_t Be32(const unsigned char* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}

// True when data holds text at pos.
bool At(ByteSpan data, std::size_t pos, std::string_view text) {
  return pos <= data.size() && data.size() - pos >= text.size() &&
         std::memcmp(data.data() + pos, text.data(), text.size()) == 0;
}

// Offset of the first occurrence of text at or after from; npos when none.
std::size_t Find(ByteSpan data, std::string_view text, std::size_t from) {
  const std::string_view hay(reinterpret_cast<const char*>(data.data()), data.size());
  return hay.find(text, from);
}

// Text with control bytes shown as escapes, for listing stream bytes.
std::string Printable(std::string_view s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == 0x1b) {
      out += "<ESC>";
    } else if (c < 0x20 || c >= 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::uint64_t CountDots(ByteSpan bits) {
  std::uint64_t n = 0;
  for (unsigned char c : bits) n += static_cast<unsigned>(__builtin_popcount(c));
  return n;
}

// Sampled checksum: one byte every 32 rows, its column stepping one byte per
// row and wrapping at the row length, plus the last byte of the plane.
std::uint32_t SampledChecksum(ByteSpan plane, std::size_t bpl, std::size_t rows) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < rows; i += 32) sum += plane[i * bpl + i % bpl];
  return sum + plane[bpl * rows - 1];
}

// Offsets of the four corner bytes of a plane: first byte, end of the first
// row, start of the last row, last byte.
void CornerOffsets(std::size_t bpl, std::size_t rows, std::size_t at[4]) {
  at[0] = 0;
  at[1] = bpl - 1;
  at[2] = (rows - 1) * bpl;
  at[3] = rows * bpl - 1;
}

// The image header of a one-plane, one-layer, one-stripe page.
Bytes MakeBih(std::uint32_t width, std::uint32_t height, int options) {
  Bytes h(kBih, 0);
  h[2] = 1;  // planes
  for (int i = 0; i < 4; ++i) {
    h[4 + i] = static_cast<unsigned char>(width >> (24 - 8 * i));
    h[8 + i] = static_cast<unsigned char>(height >> (24 - 8 * i));
    h[12 + i] = static_cast<unsigned char>(height >> (24 - 8 * i));  // one stripe
  }
  h[19] = static_cast<unsigned char>(options);
  return h;
}

// True when data starts with the image header of a width x height page.
bool HasBih(ByteSpan data, std::uint32_t width, std::uint32_t height) {
  return data.size() >= kBih && data[0] == 0 && data[1] == 0 && data[2] == 1 && data[3] == 0 &&
         Be32(data.data() + 4) == width && Be32(data.data() + 8) == height;
}

// Decodes a complete BIE of a width x height plane into out (rows of
// ceil(width / 8) bytes). Returns false after reporting the fault.
bool DecodeBie(ByteSpan bie, std::uint32_t width, std::uint32_t height, unsigned char* out,
               const char* what) {
  jbg_dec_state s;
  jbg_dec_init(&s);
  jbg_dec_maxsize(&s, width, height);  // a header naming a larger image is refused, not allocated
  Bytes copy(bie.begin(), bie.end());  // jbg_dec_in takes a non-const pointer
  std::size_t used = 0;
  const int rc = jbg_dec_in(&s, copy.data(), copy.size(), &used);
  bool ok = false;
  if (rc != JBG_EOK) {
    Problem("%s: JBIG decoding failed after %zu of %zu bytes: %s", what, used, copy.size(), jbg_strerror(rc));
  } else if (jbg_dec_getwidth(&s) != width || jbg_dec_getheight(&s) != height) {
    Problem("%s: JBIG image is %lu x %lu, expected %u x %u", what, jbg_dec_getwidth(&s),
            jbg_dec_getheight(&s), width, height);
  } else {
    std::memcpy(out, jbg_dec_getimage(&s, 0), (width + 7) / 8 * static_cast<std::size_t>(height));
    ok = true;
    if (used != copy.size())
      Problem("%s: %zu bytes behind the end of the JBIG data", what, copy.size() - used);
  }
  jbg_dec_free(&s);
  return ok;
}

// Writes a bitmap as a 1-bit PNG (toner dots black); false on failure.
bool WritePng(const std::string& path, const Bytes& bits, std::uint32_t width, std::uint32_t height,
              std::size_t bpl) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  Bytes row(bpl);
  bool ok = false;
  if (info != nullptr && setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, f);
    png_set_IHDR(png, info, width, height, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    // PNG gray: a set bit is white, so the toner bits are inverted.
    for (std::uint32_t y = 0; y < height; ++y) {
      for (std::size_t i = 0; i < bpl; ++i) row[i] = static_cast<unsigned char>(~bits[y * bpl + i]);
      png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    ok = true;
  }
  png_destroy_write_struct(&png, &info);
  return std::fclose(f) == 0 && ok;
}

// Writes the planes of a colour page composed into one RGB PNG: black and
// red (2 planes) or K, Y, M, C (4 planes); each toner dot takes away the
// light its colorant absorbs.
bool WriteColourPng(const std::string& path, const Bytes& bits, std::uint32_t width, std::uint32_t rows,
                    std::size_t bpl, unsigned planes) {
  // Channels each plane's dots clear, as a bit mask: 4 red, 2 green, 1 blue.
  // Black absorbs all three, red toner green and blue, yellow blue,
  // magenta green, cyan red.
  static const unsigned kBlackRed[2] = {7, 3};
  static const unsigned kKymc[4] = {7, 1, 2, 4};
  const unsigned* absorbs = planes == 2 ? kBlackRed : kKymc;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  Bytes row(static_cast<std::size_t>(width) * 3);
  bool ok = false;
  if (info != nullptr && setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, f);
    png_set_IHDR(png, info, width, rows, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (std::uint32_t y = 0; y < rows; ++y) {
      for (std::uint32_t x = 0; x < width; ++x) {
        unsigned cleared = 0;
        for (unsigned p = 0; p < planes; ++p)
          if (bits[(static_cast<std::size_t>(p) * rows + y) * bpl + x / 8] & (0x80u >> (x % 8)))
            cleared |= absorbs[p];
        for (unsigned c = 0; c < 3; ++c) row[3 * x + c] = (cleared & (4u >> c)) ? 0 : 255;
      }
      png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    ok = true;
  }
  png_destroy_write_struct(&png, &info);
  return std::fclose(f) == 0 && ok;
}

// Writes a bitmap as a binary PBM (1 = black, as in the printer data).
bool WritePbm(const std::string& path, const Bytes& bits, std::uint32_t width, std::uint32_t height) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::fprintf(f, "P4\n%u %u\n", width, height);
  const bool wrote = std::fwrite(bits.data(), 1, bits.size(), f) == bits.size();
  return std::fclose(f) == 0 && wrote;
}

PageFields ParseHeader(const unsigned char* h) {
  PageFields p;
  p.page_width = Le32(h + 4);
  p.page_height = Le32(h + 8);
  p.datasize = Le32(h + 12);
  p.compsize = Le32(h + 16);
  p.blackDots = Le32(h + 20);
  p.paper_type = h[24];
  p.MediaType = h[25];
  p.MediaPosition = h[26];
  p.OutBin = h[27];
  p.Bits = h[28];
  p.Colors = h[29];
  p.ColorMode = h[30];
  p.CompMethod = h[31];
  return p;
}

const char* CompMethodName(unsigned m) {
  switch (m) {
    case 0:
      return "raw bitmap";
    case 1:
      return "JBIG";
    case 2:
      return "JBIG, ZQ3 variant";
    case 3:
      return "JBIG with checksum";
    case 4:
      return "JBIG, ZQ3 variant, with checksum";
    default:
      return "unknown";
  }
}

// Checks the checksum of one coded unit (a page or one plane) against its
// decoded rows; the ZQ3 variant's corner bytes are put back from it.
void CheckChecksum(unsigned compMethod, std::uint32_t sum, Bytes& bitmap, std::size_t unit, std::size_t bpl,
                   std::size_t rows) {
  unsigned char* plane = bitmap.data() + unit * bpl * rows;
  if (compMethod == 3) {
    const std::uint32_t own = SampledChecksum(ByteSpan(plane, bpl * rows), bpl, rows);
    const std::uint32_t first = SampledChecksum(ByteSpan(bitmap.data(), bpl * rows), bpl, rows);
    if (sum == own)
      std::printf("  checksum 0x%08X: ok\n", sum);
    else if (unit > 0 && sum == first)
      std::printf("  checksum 0x%08X: ok, computed over the first plane's rows\n", sum);
    else
      Problem("plane %zu: checksum 0x%08X, data gives 0x%08X", unit + 1, sum, own);
    return;
  }
  // The ZQ3 variant carries the four corner bytes and sends 0xAA in their place.
  std::size_t at[4];
  CornerOffsets(bpl, rows, at);
  bool marked = true;
  for (std::size_t a : at) marked = marked && plane[a] == 0xAA;
  if (marked) {
    for (int i = 3; i >= 0; --i) plane[at[i]] = static_cast<unsigned char>(sum >> (24 - 8 * i));
    std::printf("  checksum 0x%08X: corner bytes restored\n", sum);
  } else if (unit > 0 && sum == 0xAAAAAAAAu) {
    std::printf("  checksum 0x%08X: the first plane's marked corners, plane left as sent\n", sum);
  } else {
    Problem("plane %zu: corner bytes %02X %02X %02X %02X are not the 0xAA marker", unit + 1, plane[at[0]],
            plane[at[1]], plane[at[2]], plane[at[3]]);
  }
}

// Splits JBIG page data into separately coded planes when it has the
// per-plane length fields that add up to the whole; else one unit. A
// plane's length counts its coded data only; its checksum follows it and
// stays at the end of its unit.
std::vector<ByteSpan> SplitPlanes(ByteSpan data, unsigned colors, bool checksum) {
  if (colors == 4) {
    const std::size_t tail = checksum ? 4 : 0;
    std::vector<ByteSpan> planes;
    std::size_t off = 0;
    for (unsigned p = 0; p < 4 && data.size() - off >= 4; ++p) {
      const std::uint32_t len = Le32(data.data() + off);
      if (len > data.size() - off - 4 || data.size() - off - 4 - len < tail) break;
      planes.push_back(data.subspan(off + 4, len + tail));
      off += 4 + len + tail;
    }
    if (planes.size() == 4 && off == data.size()) return planes;
  }
  return {data};
}

// Decodes the page data of one block into a bitmap; false when it could not.
bool DecodePage(const PageFields& p, ByteSpan data, const StreamInfo& info, Bytes& bitmap,
                std::uint32_t width, std::size_t bpl) {
  const std::uint32_t height = p.page_height;
  if (p.CompMethod == 0) {
    if (data.size() == p.datasize) {
      std::printf("  data: raw bitmap, %zu bytes\n", data.size());
      bitmap.assign(data.begin(), data.end());
      return true;
    }
    if (HasBih(data, width, height)) {
      std::printf("  data: JBIG with header, %zu bytes (spooled for a raw-data printer)\n", data.size());
      return DecodeBie(data, width, height, bitmap.data(), "page");
    }
    Problem("raw page data of %zu bytes, datasize is %u", data.size(), p.datasize);
    return false;
  }
  if (p.CompMethod > 4) {
    Problem("unknown CompMethod %u", p.CompMethod);
    return false;
  }
  const bool zq3 = p.CompMethod == 2 || p.CompMethod == 4;
  const bool checksum = p.CompMethod >= 3;
  const int impliedOptions = zq3 ? 64 : 8;
  if (info.jbigOptions >= 0 && info.jbigOptions != impliedOptions)
    Problem("the JBIG comment announces options %d, CompMethod %u implies %d", info.jbigOptions, p.CompMethod,
            impliedOptions);
  const int options = info.jbigOptions >= 0 ? info.jbigOptions : impliedOptions;

  const std::vector<ByteSpan> units = SplitPlanes(data, p.Colors, checksum);
  if (units.size() > 1 && height % units.size() != 0) {
    Problem("page_height %u does not split into %zu planes", height, units.size());
    return false;
  }
  const std::uint32_t rows = height / static_cast<std::uint32_t>(units.size());
  if (units.size() > 1) std::printf("  data: %zu separately coded planes of %u rows\n", units.size(), rows);
  bool ok = true;
  for (std::size_t u = 0; u < units.size(); ++u) {
    ByteSpan unit = units[u];
    char what[32];
    if (units.size() > 1)
      std::snprintf(what, sizeof what, "plane %zu", u + 1);
    else
      std::snprintf(what, sizeof what, "data");
    std::uint32_t sum = 0;
    if (checksum) {
      if (unit.size() < 4) {
        Problem("%s: %zu bytes, too short for its checksum", what, unit.size());
        ok = false;
        continue;
      }
      sum = Le32(unit.data() + unit.size() - 4);
      unit = unit.first(unit.size() - 4);
    }
    const bool header = HasBih(unit, width, rows);
    std::printf("  %s: JBIG %s header, %zu bytes%s\n", what, header ? "with" : "without", unit.size(),
                checksum ? " + 4-byte checksum" : "");
    // The ZQ3 variant keeps the image header; the other drops it from the first plane.
    if (u == 0 && header != zq3)
      Problem("%s: the image header is %s, CompMethod %u %s it", what, header ? "present" : "missing",
              p.CompMethod, zq3 ? "keeps" : "drops");
    Bytes bie;
    if (!header) bie = MakeBih(width, rows, options);
    bie.insert(bie.end(), unit.begin(), unit.end());
    if (!DecodeBie(bie, width, rows, bitmap.data() + u * bpl * rows, what)) {
      ok = false;
      continue;
    }
    if (checksum) CheckChecksum(p.CompMethod, sum, bitmap, u, bpl, rows);
  }
  return ok;
}

// Decrypts encrypted page data (4-byte cipher length, cipher text, PKCS#7
// padding inside) into clear; false after reporting the fault.
bool DecryptPage(ByteSpan data, Bytes& clear) {
  if (data.size() < 4) {
    Problem("encrypted page data of %zu bytes has no length field", data.size());
    return false;
  }
  const std::uint32_t n = Le32(data.data());
  if (n != data.size() - 4 || n == 0 || n % AES_BLOCK_SIZE != 0) {
    Problem("cipher length %u in %zu bytes of page data; expected the rest, a non-zero multiple of 16", n,
            data.size());
    return false;
  }
  aes128_ctx key;
  aes128_set_decrypt_key(&key, reinterpret_cast<const std::uint8_t*>(kPageKey));
  std::uint8_t iv[AES_BLOCK_SIZE];
  std::memcpy(iv, kPageVector, sizeof iv);
  clear.resize(n);
  nettle_cipher_func* decrypt = [](const void* ctx, std::size_t len, std::uint8_t* dst,
                                   const std::uint8_t* src) {
    aes128_decrypt(static_cast<const aes128_ctx*>(ctx), len, dst, src);
  };
  cbc_decrypt(&key, decrypt, AES_BLOCK_SIZE, iv, n, clear.data(), data.data() + 4);
  const unsigned pad = clear.back();
  bool padded = pad >= 1 && pad <= AES_BLOCK_SIZE;
  for (unsigned i = 1; padded && i <= pad; ++i) padded = clear[n - i] == pad;
  if (!padded) {
    Problem("decrypted page data does not end in valid padding (last byte 0x%02X)", pad);
    return false;
  }
  clear.resize(n - pad);
  std::printf("  encrypted: %u bytes of cipher text, %zu bytes of page data\n", n, clear.size());
  return true;
}

// Lists, checks and decodes one page block at pos; returns the block length.
std::size_t ReadPage(ByteSpan data, std::size_t pos, int number, const StreamInfo& info, const Options& opt) {
  if (data.size() - pos < kBlockHeader)
    Malformed("page %d at offset %zu: truncated page header, %zu of %zu bytes", number, pos,
              data.size() - pos, kBlockHeader);
  const PageFields p = ParseHeader(data.data() + pos + 2);
  std::printf("page %d: offset %zu, header %zu + data %u bytes\n", number, pos, kBlockHeader, p.compsize);
  std::printf("  page_width    = %u\n  page_height   = %u\n  datasize      = %u\n  compsize      = %u\n",
              p.page_width, p.page_height, p.datasize, p.compsize);
  std::printf("  blackDots     = %u\n  paper_type    = %u\n  MediaType     = %u\n  MediaPosition = %u\n",
              p.blackDots, p.paper_type, p.MediaType, p.MediaPosition);
  std::printf("  OutBin        = %u\n  Bits          = %u\n  Colors        = %u\n  ColorMode     = %u\n",
              p.OutBin, p.Bits, p.Colors, p.ColorMode);
  std::printf("  CompMethod    = %u (%s)\n", p.CompMethod, CompMethodName(p.CompMethod));
  if (p.compsize > data.size() - pos - kBlockHeader)
    Malformed("page %d at offset %zu: compsize %u, but only %zu bytes follow the header", number, pos,
              p.compsize, data.size() - pos - kBlockHeader);
  const std::size_t block = kBlockHeader + p.compsize;
  ByteSpan pageData = data.subspan(pos + kBlockHeader, p.compsize);

  // Fields that must agree before the data can be read.
  if (p.OutBin != 0) Problem("OutBin %u, always 0", p.OutBin);
  const bool colorsOk = (p.Colors == 1 && p.ColorMode <= 1) || (p.Colors == 2 && p.ColorMode == 2) ||
                        (p.Colors == 4 && p.ColorMode == 3);
  if (!colorsOk) Problem("Colors %u does not go with ColorMode %u", p.Colors, p.ColorMode);
  if (p.Bits != 1 && p.Bits != 2) {
    Problem("Bits %u, expected 1 or 2; page not decoded", p.Bits);
    return block;
  }
  const std::uint64_t width = static_cast<std::uint64_t>(p.page_width) * p.Bits;  // bitmap pixels per row
  const std::uint64_t bpl = (width + 7) / 8;
  if (width == 0 || p.page_height == 0 || width > 0xFFFFFFFFu) {
    Problem("empty or oversized page %llu x %u; page not decoded", static_cast<unsigned long long>(width),
            p.page_height);
    return block;
  }
  if (bpl * p.page_height != p.datasize) {
    Problem("datasize %u is not %llu bytes per row x %u rows; page not decoded", p.datasize,
            static_cast<unsigned long long>(bpl), p.page_height);
    return block;
  }
  if (p.datasize > kMaxBitmap) {
    Problem("bitmap of %u bytes is larger than this tool takes; page not decoded", p.datasize);
    return block;
  }
  // A raw-data printer's page is spooled clear (the replay encrypts it).
  Bytes clear;
  const bool spooledRaw = info.spool && p.CompMethod == 0 && HasBih(pageData, width, p.page_height);
  if (info.ssl && !spooledRaw) {
    if (!DecryptPage(pageData, clear)) return block;
    pageData = ByteSpan(clear);
  }

  Bytes bitmap(p.datasize, 0);
  if (!DecodePage(p, pageData, info, bitmap, static_cast<std::uint32_t>(width), bpl)) return block;
  const std::uint64_t dots = CountDots(bitmap);
  if (dots == p.blackDots)
    std::printf("  blackDots: ok\n");
  else
    Problem("page %d: blackDots %u, the decoded bitmap has %llu", number, p.blackDots,
            static_cast<unsigned long long>(dots));

  // Colour pages: the dots of every plane and their share of its area.
  const unsigned planes = (p.Colors == 2 || p.Colors == 4) && p.page_height % p.Colors == 0 ? p.Colors : 1;
  const std::uint32_t planeRows = p.page_height / planes;
  if (planes > 1) {
    static const char* const kNames2[2] = {"black", "red"};
    static const char* const kNames4[4] = {"K", "Y", "M", "C"};
    for (unsigned q = 0; q < planes; ++q) {
      const std::uint64_t n = CountDots(ByteSpan(bitmap.data() + q * bpl * planeRows, bpl * planeRows));
      std::printf("  plane %s: %llu dots, coverage %.4f\n", planes == 2 ? kNames2[q] : kNames4[q],
                  static_cast<unsigned long long>(n),
                  static_cast<double>(n) / (static_cast<double>(width) * planeRows));
    }
  }

  if (!opt.prefix.empty()) {
    char name[32];
    std::snprintf(name, sizeof name, "-%03d.%s", number, opt.pbm ? "pbm" : "png");
    const std::string path = opt.prefix + name;
    const bool wrote =
        opt.pbm      ? WritePbm(path, bitmap, static_cast<std::uint32_t>(width), p.page_height)
        : planes > 1 ? WriteColourPng(path, bitmap, static_cast<std::uint32_t>(width), planeRows, bpl, planes)
                     : WritePng(path, bitmap, static_cast<std::uint32_t>(width), p.page_height, bpl);
    if (!wrote) {
      std::fprintf(stderr, "gdidecode: cannot write %s\n", path.c_str());
      throw StopListing{2};
    }
    std::printf("  written: %s\n", path.c_str());
  }
  return block;
}

// Lists the PJL header lines from pos; returns the offset behind it.
std::size_t ReadPjlHeader(ByteSpan data, std::size_t pos, StreamInfo& info) {
  const std::size_t start = pos;
  std::printf("PJL header: offset %zu\n  <UEL>\n", pos);
  pos += kUEL.size();
  int lines = 0;
  for (;;) {
    const std::size_t end = Find(data, "\r\n", pos);
    if (end == std::string::npos || end - pos > 2048)
      Malformed("PJL header ends at offset %zu without \"%s\"", pos, kLanguageLine.c_str());
    const std::string line(reinterpret_cast<const char*>(data.data()) + pos, end - pos);
    std::printf("  %s\n", Printable(line).c_str());
    ++lines;
    if (line.rfind("@PJL", 0) != 0) Problem("PJL header line %d does not start with \"@PJL\"", lines);
    if (line == "@PJL SET ENCRYPTION = SSL") info.ssl = true;
    int order = 0, options = 0;
    if (std::sscanf(line.c_str(), "@PJL COMMENT JBIG,%d,%d", &order, &options) == 2) {
      info.jbigOptions = options;
      if (order != 0) Problem("JBIG comment announces order %d, the pages use order 0", order);
    }
    pos = end + 2;
    if (line == kLanguageLine) break;
  }
  std::printf("  (%d lines, %zu bytes)\n", lines, pos - start);
  return pos;
}

// Lists and checks the trailer at pos; countedBytes is the stream's length
// without the uncounted ESC before a JCL prefix.
void ReadTrailer(ByteSpan data, std::size_t pos, std::size_t countedBytes) {
  std::printf("trailer: offset %zu\n", pos);
  if (!At(data, pos, kEndOfJob)) Malformed("no trailer at offset %zu (expected <ESC>E<UEL>@PJL)", pos);
  std::printf("  <ESC>E<UEL>@PJL\n");
  pos += kEndOfJob.size();
  const bool aligned = At(data, pos, kAlignment);
  if (aligned) {
    std::printf("  %s\n", Printable(kAlignment.substr(0, kAlignment.size() - 2)).c_str());
    pos += kAlignment.size();
  }
  const std::string normal = "@PJL SET TIMEOUT=5\r\n@PJL EOJ\r\n" + kUEL;
  const std::string cancelled = "@PJL SET TIMEOUT=5\r\n@PJL HOST_CANCEL\r\n@PJL EOJ\r\n" + kUEL + kCancel2;
  if (At(data, pos, cancelled)) {
    std::printf("  @PJL SET TIMEOUT=5\n  @PJL HOST_CANCEL\n  @PJL EOJ\n  <UEL>\n  %s\n  (job cancelled)\n",
                Printable(kCancel2).c_str());
    pos += cancelled.size();
  } else if (At(data, pos, normal)) {
    std::printf("  @PJL SET TIMEOUT=5\n  @PJL EOJ\n  <UEL>\n");
    pos += normal.size();
  } else {
    Malformed("unexpected trailer text at offset %zu: \"%s\"", pos,
              Printable(std::string_view(reinterpret_cast<const char*>(data.data()) + pos,
                                         std::min<std::size_t>(data.size() - pos, 40)))
                  .c_str());
  }
  if (pos != data.size()) Problem("%zu bytes behind the trailer", data.size() - pos);

  // The printer misreads a job whose length is a whole number of 512-byte blocks.
  std::printf("stream: %zu bytes, %zu counted, %zu mod 512\n", data.size(), countedBytes, countedBytes % 512);
  if (countedBytes % 512 == 0)
    Problem("the stream's %zu counted bytes are a multiple of 512", countedBytes);
  else if (aligned && (countedBytes - kAlignment.size()) % 512 != 0)
    Problem("alignment comment present although the stream without it is not a multiple of 512");
}

// Reads a printer stream: preamble, PJL header, pages, trailer.
void ReadStream(ByteSpan data, const Options& opt) {
  const std::size_t header = Find(data, kHeaderStart, 0);
  if (header == std::string::npos) Malformed("no PJL job header (<UEL>@PJL, @PJL JOB NAME=) found");
  const std::string preamble = kCancel + kZeroJob + std::string(512, '\0') + kZeroJob;
  const bool fixed = header == preamble.size() && At(data, 0, preamble);
  std::printf("preamble: %zu bytes%s\n", header, fixed ? ", the fixed preamble" : "");
  if (!fixed)
    Problem("preamble of %zu bytes differs from the fixed %zu-byte preamble", header, preamble.size());

  StreamInfo info;
  std::size_t pos = ReadPjlHeader(data, header, info);

  // A JCL prefix from the PPD may sit between the header and the first page;
  // its leading ESC is not counted in the stream length.
  std::size_t uncounted = 0;
  if (!At(data, pos, kPageStart) && !At(data, pos, kEndOfJob)) {
    std::size_t next = std::min(Find(data, kPageStart, pos), Find(data, kEndOfJob, pos));
    if (next == std::string::npos) Malformed("neither a page nor the trailer follows the PJL header");
    const std::string_view jcl(reinterpret_cast<const char*>(data.data()) + pos, next - pos);
    std::printf("JCL prefix: offset %zu, %zu bytes: %s\n", pos, jcl.size(), Printable(jcl).c_str());
    if (jcl[0] == '\x1b') uncounted = 1;
    pos = next;
  }
  int number = 0;
  while (At(data, pos,
            "\x1b"
            "E") &&
         !At(data, pos, kEndOfJob)) {
    if (!At(data, pos, kPageStart) && data.size() - pos >= kPageStart.size())
      Malformed("page %d at offset %zu: the page header does not start with \"GDI\"", number + 1, pos);
    pos += ReadPage(data, pos, ++number, info, opt);
  }
  std::printf("pages: %d\n", number);
  ReadTrailer(data, pos, data.size() - uncounted);
}

// Reads a spool file: pages, first-record offset, then length-prefixed page blocks.
void ReadSpool(ByteSpan data, const Options& opt) {
  const std::uint32_t pages = Le32(data.data()), first = Le32(data.data() + 4);
  std::printf("spool file: %u page records from offset %u\n", pages, first);
  StreamInfo info;
  info.spool = true;
  info.ssl = opt.ssl;
  std::size_t pos = first;
  for (std::uint32_t i = 0; i < pages; ++i) {
    if (data.size() - pos < 4) Malformed("spool record %u at offset %zu: truncated length", i + 1, pos);
    const std::uint32_t len = Le32(data.data() + pos);
    pos += 4;
    if (len > data.size() - pos)
      Malformed("spool record %u: %u bytes, only %zu left", i + 1, len, data.size() - pos);
    if (!At(data, pos, kPageStart)) Malformed("spool record %u does not hold a page block", i + 1);
    const std::size_t block = ReadPage(data.first(pos + len), pos, static_cast<int>(i) + 1, info, opt);
    if (block != len) Problem("spool record %u: length %u, its page block is %zu bytes", i + 1, len, block);
    pos += len;
  }
  if (pos != data.size()) Problem("%zu bytes behind the last spool record", data.size() - pos);
}

}  // namespace

int DecodeGdiFile(std::span<const unsigned char> data, const GdiDecodeOptions& opt) {
  gProblems = 0;
  try {
    const bool spool = data.size() >= 8 && Le32(data.data() + 4) == 8 &&
                       (At(data, 12, kPageStart) || (data.size() == 8 && Le32(data.data()) == 0));
    if (spool)
      ReadSpool(data, opt);
    else
      ReadStream(data, opt);
  } catch (const StopListing& stop) {
    return stop.status;
  }
  if (gProblems > 0) {
    std::printf("result: %d problem%s\n", gProblems, gProblems == 1 ? "" : "s");
    return 1;
  }
  std::printf("result: ok\n");
  return 0;
}
