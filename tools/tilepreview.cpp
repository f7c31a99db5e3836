// tilepreview: screens a gray ramp with one of the built-in threshold tiles
// and writes the result as a PNG or PGM picture, to judge a screen by eye.
//
//   tilepreview NAME OUT.png [--width W] [--height H] [--zoom Z] [--stats]
//   tilepreview --list
//
// The ramp runs from black on the left to white on the right. Cells are
// screened as the halftoning stage does with the neutral density curve
// (exponent 1): a cell of entry v turns light when the gray reaches
// 255 - v, entries 0 and 254/255 giving 254 and 1. Toner dots are drawn
// black. --zoom repeats every pixel Z times in both directions; --stats
// prints the tone curve deviation and the dot clusters of the tile.
#include <png.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "halftone_tiles.h"
#include "tile_clusters.h"

namespace {

// Threshold of a tile entry under the neutral density curve.
int NeutralThreshold(int v) {
  if (v == 0) return 254;
  if (v >= 254) return 1;
  return 255 - v;
}

// Writes an 8-bit gray picture as PNG; false on failure.
bool WritePng(const char* path, const std::vector<unsigned char>& img, int w, int h) {
  FILE* f = std::fopen(path, "wb");
  if (!f) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    return false;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < h; ++y) png_write_row(png, const_cast<png_bytep>(&img[size_t(y) * w]));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return std::fclose(f) == 0;
}

// Writes an 8-bit gray picture as binary PGM; false on failure.
bool WritePgm(const char* path, const std::vector<unsigned char>& img, int w, int h) {
  FILE* f = std::fopen(path, "wb");
  if (!f) return false;
  std::fprintf(f, "P5\n%d %d\n255\n", w, h);
  const bool ok = std::fwrite(img.data(), 1, img.size(), f) == img.size();
  return std::fclose(f) == 0 && ok;
}

// Counts the 8-connected clusters of toner cells at one gray, the tile
// repeating at its edges.
int CountClusters(const ThresholdTile& t, int gray) {
  return CountWrappedClusters(t.width, t.height, [&](int c) { return gray < NeutralThreshold(t.cells[c]); });
}

// Prints the tone curve deviation and the cluster counts of a tile.
void PrintStats(const ThresholdTile& t) {
  const int n = t.width * t.height;
  double worst = 0;
  int worstGray = 0;
  for (int g = 0; g <= 255; ++g) {
    int darkCells = 0;
    for (int c = 0; c < n; ++c) darkCells += g < NeutralThreshold(t.cells[c]);
    const double dev = std::fabs(double(darkCells) / n - (255.0 - g) / 255.0);
    if (dev > worst) worst = dev, worstGray = g;
  }
  std::printf("%s: tone deviation %.4f at gray %d; clusters", t.name, worst, worstGray);
  for (double cover : {0.1, 0.3, 0.5, 0.7}) {
    const int g = static_cast<int>(std::lround(255 * (1 - cover)));
    std::printf(" %d%%=%d", static_cast<int>(cover * 100), CountClusters(t, g));
  }
  std::printf("\n");
}

// Tells the command line.
void Usage() {
  std::fputs(
      "usage: tilepreview NAME OUT.png|OUT.pgm [--width W] [--height H] [--zoom Z] [--stats]\n"
      "       tilepreview --list\n",
      stderr);
}

}  // namespace

// Renders the ramp for the named tile.
int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
    int n = 0;
    const ThresholdTile* all = AllThresholdTiles(&n);
    for (int i = 0; i < n; ++i) PrintStats(all[i]);
    return 0;
  }
  if (argc < 3) {
    Usage();
    return 1;
  }
  const ThresholdTile* t = FindThresholdTile(argv[1]);
  if (!t) {
    std::fprintf(stderr, "tilepreview: no tile named %s\n", argv[1]);
    return 1;
  }
  int w = 1024, h = 256, zoom = 1;
  bool stats = false;
  for (int i = 3; i < argc; ++i) {
    auto value = [&](int& out) {
      if (i + 1 >= argc) return false;
      out = std::atoi(argv[++i]);
      return out > 0 && out <= 16384;
    };
    bool ok = true;
    if (std::strcmp(argv[i], "--width") == 0)
      ok = value(w);
    else if (std::strcmp(argv[i], "--height") == 0)
      ok = value(h);
    else if (std::strcmp(argv[i], "--zoom") == 0)
      ok = value(zoom) && zoom <= 16;
    else if (std::strcmp(argv[i], "--stats") == 0)
      stats = true;
    else
      ok = false;
    if (!ok) {
      Usage();
      return 1;
    }
  }
  if (stats) PrintStats(*t);

  const int ow = w * zoom, oh = h * zoom;
  std::vector<unsigned char> img(size_t(ow) * oh);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const int gray = w > 1 ? static_cast<int>(std::lround(255.0 * x / (w - 1))) : 255;
      const int v = t->cells[(y % t->height) * t->width + x % t->width];
      const unsigned char pix = gray >= NeutralThreshold(v) ? 255 : 0;
      for (int zy = 0; zy < zoom; ++zy)
        std::memset(&img[size_t(y * zoom + zy) * ow + size_t(x) * zoom], pix, zoom);
    }
  }
  const std::string out = argv[2];
  const bool png = out.size() >= 4 && out.compare(out.size() - 4, 4, ".png") == 0;
  if (!(png ? WritePng(argv[2], img, ow, oh) : WritePgm(argv[2], img, ow, oh))) {
    std::fprintf(stderr, "tilepreview: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
