// testpage: writes multi-page CUPS raster files for tests and samples.
//
// Every page header field the filter reads can be set from the command line;
// the pixels are simple synthetic content (white, black, gray ramp, text-like
// blocks, a photo-like shaded page, red areas, CMYK bands) in any of CUPS'
// gray, RGB and CMYK spaces.
//
//   testpage -o out.ras --pages 3 --media 595x842 --res 600 --content text
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Ink {
  double c = 0, m = 0, y = 0, k = 0;  // 0 = none, 1 = full
};

struct Options {
  std::string out = "-";
  int pages = 1;
  std::vector<std::pair<unsigned, unsigned>> media{{595, 842}};  // points, cycled over pages
  unsigned xres = 600, yres = 600;
  unsigned width = 0, height = 0;  // pixels; 0 = from media and resolution
  unsigned bpc = 8;
  int colorspace = CUPS_CSPACE_SW;
  unsigned bpp = 0;  // 0 = from bpc and colour space
  unsigned bytes_per_line = 0;
  std::vector<std::string> content{"text"};  // cycled over pages
  bool compressed = false;                   // version 2 stream, lines run-length coded
  cups_page_header2_t base{};
};

void Usage() {
  std::fputs(
      "Usage: testpage [options]\n"
      "  -o FILE                output file (default: standard output)\n"
      "  --pages N              number of pages (default 1)\n"
      "  --media WxH[,WxH...]   page size in points, cycled over pages (default 595x842)\n"
      "  --res X[xY]            resolution in dpi (default 600)\n"
      "  --width N --height N   raster size in pixels (default: from media and resolution)\n"
      "  --bpc N                bits per colour: 1, 2, 4, 8, 16 (default 8)\n"
      "  --bpp N                bits per pixel (default: from bpc and colour space)\n"
      "  --bytes-per-line N     override cupsBytesPerLine\n"
      "  --colorspace NAME|N    w, sw, k, rgb, srgb, cmyk, or a cups_cspace_t number (default sw)\n"
      "  --content A[,B...]     white, black, ramp, text, text-n, photo, red, cmyk;\n"
      "                         cycled over pages\n"
      "  --duplex N --tumble N --copies N --collate N --media-position N\n"
      "  --media-type N         cupsMediaType\n"
      "  --orientation N --mirror N --negative N\n"
      "  --bbox L,B,R,T         ImagingBoundingBox (points)\n"
      "  --margins L,B          Margins (points)\n"
      "  --int I=V              cupsInteger[I] = V (0..15)\n"
      "  --compressed           write a compressed (version 2) stream\n"
      "  --string0 S            cupsString[0]\n"
      "  --media-type-name S    MediaType text\n",
      stderr);
}

int ColorSpaceFromName(const std::string& s) {
  if (s == "w") return CUPS_CSPACE_W;
  if (s == "sw") return CUPS_CSPACE_SW;
  if (s == "k") return CUPS_CSPACE_K;
  if (s == "rgb") return CUPS_CSPACE_RGB;
  if (s == "srgb") return CUPS_CSPACE_SRGB;
  if (s == "cmyk") return CUPS_CSPACE_CMYK;
  return std::atoi(s.c_str());
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t pos = s.find(sep, start);
    parts.push_back(s.substr(start, pos - start));
    if (pos == std::string::npos) break;
    start = pos + 1;
  }
  return parts;
}

unsigned Channels(int cs) {
  switch (cs) {
    case CUPS_CSPACE_RGB:
    case CUPS_CSPACE_SRGB:
    case CUPS_CSPACE_CMY:
      return 3;
    case CUPS_CSPACE_CMYK:
    case CUPS_CSPACE_KCMY:
    case CUPS_CSPACE_RGBA:
      return 4;
    default:
      return 1;
  }
}

enum class Content { kWhite, kBlack, kRamp, kText, kTextN, kPhoto, kRed, kCmyk };

// Looked up once per page: name compares for every pixel made the tool
// several times slower under the sanitizers. Unknown names give white.
Content ContentKind(const std::string& name) {
  static const std::pair<const char*, Content> kNames[] = {
      {"black", Content::kBlack},  {"ramp", Content::kRamp},   {"text", Content::kText},
      {"text-n", Content::kTextN}, {"photo", Content::kPhoto}, {"red", Content::kRed},
      {"cmyk", Content::kCmyk}};
  for (const auto& [n, kind] : kNames)
    if (name == n) return kind;
  return Content::kWhite;
}

// Ink of the synthetic content at pixel (x, y) of a w x h page; page is the
// 0-based page number.
Ink ContentAt(Content content, unsigned x, unsigned y, unsigned w, unsigned h, unsigned page) {
  Ink ink;
  if (content == Content::kBlack) {
    ink.k = 1;
  } else if (content == Content::kRamp) {
    ink.k = 1.0 - static_cast<double>(x) / std::max(1u, w - 1);
  } else if (content == Content::kText || content == Content::kTextN) {
    // Lines of word-like blocks inside 1/10 margins; "text-n" moves the word
    // gaps with the page number, so that pages out of order show.
    unsigned shift = content == Content::kTextN ? page : 0;
    unsigned mx = w / 10, my = h / 10;
    if (x < mx || x >= w - mx || y < my || y >= h - my) return ink;
    unsigned line_h = std::max(8u, h / 60), glyph_h = line_h * 6 / 10;
    unsigned word_w = std::max(6u, w / 25);
    unsigned row = (y - my) / line_h, in_line = (y - my) % line_h;
    unsigned word = (x - mx) / word_w, in_word = (x - mx) % word_w;
    bool gap = in_word >= word_w * 8 / 10 || ((word * 7 + row * 3 + shift) % 11 == 0);
    if (in_line < glyph_h && !gap && ((x / std::max(1u, word_w / 8)) % 3 != 2)) ink.k = 1;
  } else if (content == Content::kPhoto) {
    // Smooth tones for the halftone screens: a shaded disc on a diagonal
    // ramp, integer geometry so every build draws the same page, and a
    // caption of text lines below it so edges sit next to gray.
    if (y >= h - h / 6) return ContentAt(Content::kText, x, y, w, h, page);
    long long dx = static_cast<long long>(x) - w / 2, dy = static_cast<long long>(y) - h * 2 / 5;
    long long r2 = static_cast<long long>(w / 3) * (w / 3), d2 = dx * dx + dy * dy;
    if (d2 < r2)
      ink.k = 0.15 + 0.8 * static_cast<double>(d2) / static_cast<double>(r2);
    else
      ink.k = 0.05 + 0.3 * static_cast<double>(x + y) / std::max(1u, w + h);
  } else if (content == Content::kRed) {
    if (y >= h / 3 && y < 2 * h / 3) {
      ink.m = ink.y = 1;  // a red band
    } else if (x < w / 2 && y < h / 3) {
      ink.k = 1;
    }
  } else if (content == Content::kCmyk) {
    unsigned band = y * 4 / std::max(1u, h);
    double level = static_cast<double>(x) / std::max(1u, w - 1);
    (band == 0 ? ink.c : band == 1 ? ink.m : band == 2 ? ink.y : ink.k) = level;
  }
  return ink;
}

// Channel values in [0,1] as the colour space stores them (1 = full value).
void EncodeInk(const Ink& ink, int cs, double out[4]) {
  double k = ink.k;
  double c = std::min(1.0, ink.c + k), m = std::min(1.0, ink.m + k), yy = std::min(1.0, ink.y + k);
  switch (cs) {
    case CUPS_CSPACE_RGB:
    case CUPS_CSPACE_SRGB:
      out[0] = 1 - c, out[1] = 1 - m, out[2] = 1 - yy;
      break;
    case CUPS_CSPACE_CMY:
      out[0] = c, out[1] = m, out[2] = yy;
      break;
    case CUPS_CSPACE_CMYK:
      out[0] = ink.c, out[1] = ink.m, out[2] = ink.y, out[3] = ink.k;
      break;
    case CUPS_CSPACE_KCMY:
      out[0] = ink.k, out[1] = ink.c, out[2] = ink.m, out[3] = ink.y;
      break;
    case CUPS_CSPACE_K: {
      double gray = 0.30 * (1 - c) + 0.59 * (1 - m) + 0.11 * (1 - yy);
      out[0] = 1 - gray;
      break;
    }
    default: {  // W, SW and other luminance spaces: 1 = white
      out[0] = 0.30 * (1 - c) + 0.59 * (1 - m) + 0.11 * (1 - yy);
      break;
    }
  }
}

void PutSample(std::vector<unsigned char>& row, unsigned index, unsigned bits, double v) {
  unsigned max = bits >= 16 ? 0xffff : (1u << bits) - 1;
  unsigned q = static_cast<unsigned>(v * max + 0.5);
  if (bits == 16) {
    row[index * 2] = static_cast<unsigned char>(q >> 8);
    row[index * 2 + 1] = static_cast<unsigned char>(q);
  } else if (bits == 8) {
    row[index] = static_cast<unsigned char>(q);
  } else {
    unsigned bit = index * bits;
    unsigned shift = 8 - bits - (bit % 8);
    row[bit / 8] |= static_cast<unsigned char>(q << shift);
  }
}

bool ParseArgs(int argc, char** argv, Options& o) {
  cups_page_header2_t& h = o.base;
  h.NumCopies = 1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "testpage: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "-o")
      o.out = next();
    else if (a == "--pages")
      o.pages = std::atoi(next().c_str());
    else if (a == "--media") {
      o.media.clear();
      for (auto& m : Split(next(), ',')) {
        unsigned w = 0, hh = 0;
        if (std::sscanf(m.c_str(), "%ux%u", &w, &hh) != 2) return false;
        o.media.emplace_back(w, hh);
      }
    } else if (a == "--res") {
      std::string v = next();
      if (std::sscanf(v.c_str(), "%ux%u", &o.xres, &o.yres) == 1) o.yres = o.xres;
    } else if (a == "--width")
      o.width = std::atoi(next().c_str());
    else if (a == "--height")
      o.height = std::atoi(next().c_str());
    else if (a == "--bpc")
      o.bpc = std::atoi(next().c_str());
    else if (a == "--bpp")
      o.bpp = std::atoi(next().c_str());
    else if (a == "--bytes-per-line")
      o.bytes_per_line = std::atoi(next().c_str());
    else if (a == "--colorspace")
      o.colorspace = ColorSpaceFromName(next());
    else if (a == "--content")
      o.content = Split(next(), ',');
    else if (a == "--duplex")
      h.Duplex = static_cast<cups_bool_t>(std::atoi(next().c_str()));
    else if (a == "--tumble")
      h.Tumble = static_cast<cups_bool_t>(std::atoi(next().c_str()));
    else if (a == "--copies")
      h.NumCopies = std::strtoul(next().c_str(), nullptr, 10);
    else if (a == "--collate")
      h.Collate = static_cast<cups_bool_t>(std::atoi(next().c_str()));
    else if (a == "--media-position")
      h.MediaPosition = std::atoi(next().c_str());
    else if (a == "--media-type")
      h.cupsMediaType = std::atoi(next().c_str());
    else if (a == "--media-type-name")
      std::snprintf(h.MediaType, sizeof h.MediaType, "%s", next().c_str());
    else if (a == "--orientation")
      h.Orientation = static_cast<cups_orient_t>(std::atoi(next().c_str()));
    else if (a == "--mirror")
      h.MirrorPrint = static_cast<cups_bool_t>(std::atoi(next().c_str()));
    else if (a == "--negative")
      h.NegativePrint = static_cast<cups_bool_t>(std::atoi(next().c_str()));
    else if (a == "--bbox") {
      if (std::sscanf(next().c_str(), "%u,%u,%u,%u", &h.ImagingBoundingBox[0], &h.ImagingBoundingBox[1],
                      &h.ImagingBoundingBox[2], &h.ImagingBoundingBox[3]) != 4)
        return false;
    } else if (a == "--margins") {
      if (std::sscanf(next().c_str(), "%u,%u", &h.Margins[0], &h.Margins[1]) != 2) return false;
    } else if (a == "--int") {
      unsigned idx = 0;
      long long v = 0;
      if (std::sscanf(next().c_str(), "%u=%lld", &idx, &v) != 2 || idx > 15) return false;
      h.cupsInteger[idx] = static_cast<unsigned>(v);
    } else if (a == "--string0")
      std::snprintf(h.cupsString[0], sizeof h.cupsString[0], "%s", next().c_str());
    else if (a == "--compressed")
      o.compressed = true;
    else if (a == "-h" || a == "--help")
      return false;
    else {
      std::fprintf(stderr, "testpage: unknown option %s\n", a.c_str());
      return false;
    }
  }
  return o.pages >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, o)) {
    Usage();
    return 2;
  }
  int fd = o.out == "-" ? 1 : open(o.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    std::perror(o.out.c_str());
    return 1;
  }
  cups_raster_t* ras = cupsRasterOpen(fd, o.compressed ? CUPS_RASTER_WRITE_COMPRESSED : CUPS_RASTER_WRITE);
  if (!ras) {
    std::fprintf(stderr, "testpage: cupsRasterOpen failed\n");
    return 1;
  }

  unsigned channels = Channels(o.colorspace);
  for (int p = 0; p < o.pages; ++p) {
    cups_page_header2_t h = o.base;
    auto [mw, mh] = o.media[p % o.media.size()];
    h.PageSize[0] = mw;
    h.PageSize[1] = mh;
    h.HWResolution[0] = o.xres;
    h.HWResolution[1] = o.yres;
    h.cupsWidth =
        o.width ? o.width : static_cast<unsigned>(static_cast<unsigned long long>(mw) * o.xres / 72);
    h.cupsHeight =
        o.height ? o.height : static_cast<unsigned>(static_cast<unsigned long long>(mh) * o.yres / 72);
    h.cupsBitsPerColor = o.bpc;
    h.cupsBitsPerPixel = o.bpp ? o.bpp : o.bpc * channels;
    h.cupsColorSpace = static_cast<cups_cspace_t>(o.colorspace);
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.cupsBytesPerLine = o.bytes_per_line ? o.bytes_per_line : (h.cupsWidth * h.cupsBitsPerPixel + 7) / 8;
    h.cupsNumColors = channels;
    h.cupsImagingBBox[0] = h.ImagingBoundingBox[0];
    h.cupsImagingBBox[1] = h.ImagingBoundingBox[1];
    h.cupsImagingBBox[2] = h.ImagingBoundingBox[2];
    h.cupsImagingBBox[3] = h.ImagingBoundingBox[3];
    h.cupsPageSize[0] = mw;
    h.cupsPageSize[1] = mh;

    if (!cupsRasterWriteHeader2(ras, &h)) {
      std::fprintf(stderr, "testpage: cupsRasterWriteHeader2 failed on page %d\n", p + 1);
      return 1;
    }
    const Content content = ContentKind(o.content[p % o.content.size()]);
    std::vector<unsigned char> row(h.cupsBytesPerLine);
    unsigned samples_per_pixel = h.cupsBitsPerPixel / std::max(1u, h.cupsBitsPerColor);
    for (unsigned y = 0; y < h.cupsHeight; ++y) {
      std::fill(row.begin(), row.end(), 0);
      for (unsigned x = 0; x < h.cupsWidth; ++x) {
        double v[4] = {0, 0, 0, 0};
        EncodeInk(ContentAt(content, x, y, h.cupsWidth, h.cupsHeight, p), o.colorspace, v);
        for (unsigned s = 0; s < samples_per_pixel && s < 4; ++s) {
          unsigned index = x * samples_per_pixel + s;
          if ((index + 1) * h.cupsBitsPerColor > row.size() * 8) break;
          PutSample(row, index, h.cupsBitsPerColor, v[s]);
        }
      }
      if (cupsRasterWritePixels(ras, row.data(), h.cupsBytesPerLine) != h.cupsBytesPerLine) {
        std::fprintf(stderr, "testpage: write failed on page %d\n", p + 1);
        return 1;
      }
    }
  }
  cupsRasterClose(ras);
  if (fd != 1) close(fd);
  return 0;
}
