// The test page (see testpage.h).
#include "testpage.h"

#include <png.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "model.h"

namespace {

constexpr unsigned kDpi = 150;  // enough for the patterns; PAPPL scales it to the page

// A 5 x 7 capital font: a row a byte, the leftmost dot in bit 4.
struct Glyph {
  char c;
  std::uint8_t rows[7];
};
constexpr Glyph kFont[] = {
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}}, {'D', {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}}, {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}}, {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}}, {'J', {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}},
    {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}}, {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}}, {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}}, {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}}, {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}}, {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}}, {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}}, {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'Y', {0x11, 0x11, 0x0A, 0x04, 0x04, 0x04, 0x04}}, {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}}, {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {'/', {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x00}}, {'(', {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02}},
    {')', {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08}}, {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
};

struct Rgb {
  std::uint8_t r, g, b;
};

// The page as RGB or gray pixels, white to begin with.
class Canvas {
 public:
  Canvas(unsigned w, unsigned h, bool colour)
      : w_(w), h_(h), bytes_(colour ? 3 : 1), px_(std::size_t{w} * h * bytes_, 255) {}

  void Fill(unsigned x, unsigned y, unsigned w, unsigned h, Rgb c) {
    const std::uint8_t gray = static_cast<std::uint8_t>((c.r * 30 + c.g * 59 + c.b * 11) / 100);
    for (unsigned yy = y; yy < std::min(y + h, h_); ++yy)
      for (unsigned xx = x; xx < std::min(x + w, w_); ++xx) {
        std::uint8_t* p = &px_[(std::size_t{yy} * w_ + xx) * bytes_];
        if (bytes_ == 1) {
          *p = gray;
        } else {
          p[0] = c.r, p[1] = c.g, p[2] = c.b;
        }
      }
  }

  // Text in capitals, each font dot scale pixels square.
  void Text(unsigned x, unsigned y, const std::string& text, unsigned scale) {
    for (char ch : text) {
      const char up = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      const auto* g =
          std::find_if(std::begin(kFont), std::end(kFont), [up](const Glyph& f) { return f.c == up; });
      for (unsigned row = 0; g != std::end(kFont) && row < 7; ++row)
        for (unsigned col = 0; col < 5; ++col)
          if (g->rows[row] & (0x10 >> col)) Fill(x + col * scale, y + row * scale, scale, scale, {0, 0, 0});
      x += 6 * scale;
    }
  }

  bool Write(const std::string& path, std::string& why) const {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = w_;
    image.height = h_;
    image.format = bytes_ == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    if (png_image_write_to_file(&image, path.c_str(), 0, px_.data(), 0, nullptr)) return true;
    why = std::string("cannot write the test page ") + path + ": " + image.message;
    return false;
  }

 private:
  unsigned w_, h_, bytes_;
  std::vector<std::uint8_t> px_;
};

}  // namespace

bool WriteTestPage(const PrinterModel& model, const std::string& path, std::string& why) {
  // The default paper, hundredths of millimetres to pixels.
  const auto size = std::find_if(model.sizes.begin(), model.sizes.end(),
                                 [&](const ModelSize& s) { return s.name.pwg == model.defaultSize.pwg; });
  if (size == model.sizes.end()) {
    why = "the model has no default paper size";
    return false;
  }
  const unsigned w = static_cast<unsigned>(size->width * kDpi / 2540);
  const unsigned h = static_cast<unsigned>(size->length * kDpi / 2540);
  const unsigned m = kDpi / 2;  // half an inch, inside every model's printable area
  Canvas page(w, h, model.colour);

  // A frame, so that a page cut short or shifted shows at once.
  const Rgb black{0, 0, 0};
  page.Fill(m, m, w - 2 * m, 3, black);
  page.Fill(m, h - m - 3, w - 2 * m, 3, black);
  page.Fill(m, m, 3, h - 2 * m, black);
  page.Fill(w - m - 3, m, 3, h - 2 * m, black);

  unsigned y = m + kDpi / 4;
  page.Text(m + kDpi / 4, y, model.makeAndModel, 5);
  y += kDpi / 2;
  page.Text(m + kDpi / 4, y, "Test page - " + size->name.ppd, 3);
  y += kDpi / 2;

  // Gray steps from white to black in tenths: the screen's tone curve.
  const unsigned inner = w - 2 * m - kDpi / 2, step = inner / 11;
  for (unsigned i = 0; i <= 10; ++i) {
    const auto v = static_cast<std::uint8_t>(255 - i * 255 / 10);
    page.Fill(m + kDpi / 4 + i * step, y, step, kDpi / 2, {v, v, v});
  }
  y += kDpi / 2 + kDpi / 4;

  // Lines one to eight pixels wide, across and down: the engine's edges.
  for (unsigned i = 0, x = m + kDpi / 4; i < 4; ++i, x += kDpi / 3) {
    const unsigned t = 1u << i;
    page.Fill(x, y, t, kDpi, black);
    page.Fill(m + kDpi * 2, y + i * kDpi / 4, inner / 2, t, black);
  }
  y += kDpi + kDpi / 4;

  if (model.colour) {
    // Colour patches: the primaries of both colour spaces.
    const Rgb patches[] = {{255, 0, 0},   {0, 255, 0},   {0, 0, 255},
                           {0, 255, 255}, {255, 0, 255}, {255, 255, 0}};
    const unsigned pw = inner / 6;
    for (unsigned i = 0; i < 6; ++i)
      page.Fill(m + kDpi / 4 + i * pw, y, pw - kDpi / 20, kDpi / 2, patches[i]);
  }
  return page.Write(path, why);
}

const char* AppTestPage(pappl_printer_t* printer, char* buffer, size_t bufsize) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  const auto* model = static_cast<const PrinterModel*>(data.extension);
  if (!model) return nullptr;
  // A name no one can know beforehand, in the one directory PAPPL cleans
  // up after a job that was given a file from it.
  std::string path = std::string(papplGetTempDir()) + "/rastertopwg2-testpage-XXXXXX.png";
  const int fd = mkstemps(path.data(), 4);
  if (fd < 0) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Cannot make the test page in %s", papplGetTempDir());
    return nullptr;
  }
  close(fd);
  std::string why;
  if (!WriteTestPage(*model, path, why) || path.size() >= bufsize) {
    unlink(path.c_str());
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "%s",
                    why.empty() ? "The test page's name is too long" : why.c_str());
    return nullptr;
  }
  std::snprintf(buffer, bufsize, "%s", path.c_str());
  return buffer;
}
