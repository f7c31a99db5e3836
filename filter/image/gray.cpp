// Gray conversion of colour and deep pages, and the bitmap line length.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "image.h"
#include "shims.h"
#include "trace.h"

namespace {

// Gray conversion weights of red, green and blue, in hundredths.
constexpr int kr_rRate = 30;
constexpr int kr_gRate = 53;
constexpr int kr_bRate = 17;
constexpr int kr_rgbTotal = 100;

// caltbl[i][j] = i * j, so a pixel costs three lookups instead of three
// multiplications.
struct ProductTable {
  WORD caltbl[256][256];
  ProductTable() {
    for (int i = 0; i < 256; ++i)
      for (int j = 0; j < 256; ++j) caltbl[i][j] = static_cast<WORD>(i * j);
  }
};

// The product table, built once and shared read-only by every page.
const ProductTable& Products() {
  static const ProductTable table;
  return table;
}

// Gray value of one RGB pixel. The table is symmetric; indexing the weight
// first keeps the three lookups in three 512-byte rows.
inline BYTE GrayOf(const ProductTable& t, BYTE r, BYTE g, BYTE b) {
  unsigned v = (t.caltbl[kr_rRate][r] + t.caltbl[kr_gRate][g] + t.caltbl[kr_bRate][b] + 1u) / kr_rgbTotal;
  return static_cast<BYTE>(v > 255 ? 255 : v);
}

// High byte of a 16-bit sample as the raster library hands it over (native
// byte order).
inline BYTE High(const BYTE* p) {
  std::uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return static_cast<BYTE>(v >> 8);
}

}  // namespace

// Line length of a device-independent bitmap, rounded up to 32-bit words.
WORD GetBMPBytesPerLine(LONG bitcolor, LONG width) {
  std::int64_t w = width;
  std::int64_t n;
  switch (bitcolor) {
    case 1:
      n = ((w + 7) / 8 + 3) / 4 * 4;
      break;
    case 4:
      n = ((w + 1) / 2 + 3) / 4 * 4;
      break;
    case 8:
      n = (w + 3) / 4 * 4;
      break;
    case 24:
      n = (3 * w + 3) / 4 * 4;
      break;
    default:
      n = 0;
      break;
  }
  return static_cast<WORD>(n);
}

void RgbLineToGray(const BYTE* rgb, BYTE* gray, std::size_t pixels, std::size_t step) {
  const ProductTable& t = Products();
  for (std::size_t x = 0; x < pixels; ++x, rgb += step) gray[x] = GrayOf(t, rgb[0], rgb[1], rgb[2]);
}

// Replaces a 16-, 24-, 32- or 48-bit page by its 8-bit gray version. On any
// failure the page is released: the slot holds no page and linebyte is 0, so the next stage sees a missing
// page instead of colour bytes taken for gray ones; the exit trace reports rc = 0.
void ImageToGray(PageSlot* slot) {
  static const char FUNCNAME[] = "ImageToGray";
  DWORD tick = GetTickCount();
  const DWORD ColorBits = slot->inheader.cupsBitsPerPixel;
  const DWORD srcPixelBytes = ColorBits < 8 ? 1 : ColorBits / 8;
  DbgMessage(FUNCNAME, "In");

  const std::uint64_t width = slot->page_width;
  const std::uint64_t height = slot->page_height;
  const std::uint64_t t_line64 = (width + 3) / 4 * 4;
  const DWORD t_bytesperline = GetBMPBytesPerLine(8, static_cast<LONG>(width > 0x7fffffffu ? 0 : width));
  DbgMessage(FUNCNAME, "s_bytesperline %d", static_cast<int>(slot->linebyte));
  DbgMessage(FUNCNAME, "t_bytesperline %d", static_cast<int>(t_bytesperline));
  DbgMessage(FUNCNAME, "linebyteLeft %d", static_cast<int>(slot->padPixels));
  DbgMessage(FUNCNAME, "SCALE1200 = %d", slot->SCALE1200());

  PageBuffer own;  // the gray page when it does not fit the colour page's buffer
  BYTE* gray = nullptr;
  int rc = 0;
  const std::uint64_t active = slot->padPixels <= width ? width - slot->padPixels : 0;
  const std::uint64_t graySize = t_line64 * height;
  bool depthOk = ColorBits == 16 || ColorBits == 24 || ColorBits == 32 || ColorBits == 48;

  // Geometry checks before touching memory: the gray line must fit the
  // 16-bit line length, the padding must lie inside the line, the source
  // lines must hold every active pixel and the page size must fit 32 bits.
  if (!slot->page) {
    DbgMessage(FUNCNAME, "no page");
  } else if (!depthOk) {
    DbgMessage(FUNCNAME, "ColorBits %d not supported", static_cast<int>(ColorBits));
  } else if (width == 0 || height == 0 || t_line64 != t_bytesperline || slot->padPixels > width ||
             active * srcPixelBytes > slot->linebyte || graySize > 0xffffffffu) {
    DbgMessage(FUNCNAME, "Argument Incorrect");
  } else if (!(gray = t_bytesperline <= slot->linebyte
                          ? slot->page.data()
                          : (own = PageBuffer::Allocate(static_cast<std::size_t>(graySize))).data())) {
    DbgMessage(FUNCNAME, "malloc error");
  } else {
    // With gray lines no longer than the colour lines the page is converted
    // in its own buffer: every gray byte lands at or before the colour bytes
    // it comes from, which have been read by then.
    const ProductTable& t = Products();
    DbgMessage(FUNCNAME, "ColorBits %d", static_cast<int>(ColorBits));
    const BYTE* src = slot->page.data();
    BYTE* dst = gray;
    for (std::uint64_t y = 0; y < height; ++y, src += slot->linebyte, dst += t_bytesperline) {
      const BYTE* p = src;
      switch (ColorBits) {
        case 16:
          for (std::uint64_t x = 0; x < active; ++x, p += 2) dst[x] = High(p);
          break;
        case 48:
          for (std::uint64_t x = 0; x < active; ++x, p += 6)
            dst[x] = GrayOf(t, High(p), High(p + 2), High(p + 4));
          break;
        default:  // 24 and 32: red, green, blue, and an ignored fourth byte
          for (std::uint64_t x = 0; x < active; ++x, p += srcPixelBytes) dst[x] = GrayOf(t, p[0], p[1], p[2]);
          break;
      }
      // Padding pixels and the alignment bytes after the last pixel are white.
      std::memset(dst + active, 255, static_cast<std::size_t>(t_bytesperline - active));
    }
    DbgMessage(FUNCNAME, "t_bytesperline %d", static_cast<int>(t_bytesperline));
    rc = 1;
  }

  if (rc) {
    if (own)
      slot->page = std::move(own);
    else
      slot->page.Truncate(static_cast<std::size_t>(graySize));  // no later reader trusts the colour size
    slot->linebyte = t_bytesperline;
  } else {
    slot->page.Reset();
    slot->linebyte = 0;
  }
  DbgMessage(FUNCNAME, "Out, using %f sec, rc = %d", SecondsSince(tick), rc);
}
