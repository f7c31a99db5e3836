// PNG and JPEG documents: decoded with libpng or libjpeg to 8-bit gray or
// sRGB, transparency laid on white, then placed and scaled by the
// framework's image printing exactly as its own decoders would hand them
// over.
//
// Both libraries report errors by a long jump to the point set in ReadPng
// or ReadJpeg; those functions hold no object with a destructor, and after
// the jump no library call but the destruction of the reader follows, so
// one error ends the decode once.
#include "image_job.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

// libjpeg's headers need FILE and size_t declared before them.
#include <jerror.h>
#include <jpeglib.h>

#include "pdf_job.h"

namespace {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

// What the decoder returns, owned by the caller so that a long jump leaves
// nothing to destroy.
struct PngImage {
  pappl_job_t* job = nullptr;
  std::string why;  // why the decode failed: libpng's first error, or ours
  pappl_jreason_t reason = PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR;  // the job's reason then
  std::vector<unsigned char> data;                                    // rows of width x channels bytes
  std::vector<png_bytep> rows;
  int width = 0, height = 0;
  int depth = 1;     // bytes a pixel handed to the framework: 1 gray, 3 sRGB
  int channels = 1;  // bytes a pixel decoded: depth, plus one of alpha
  int ppi = 0;       // 0: no resolution recorded
};

// Keeps libpng's first error and jumps back to ReadPng itself: libpng's
// own handler would also print it on the server's standard error.
[[noreturn]] void PngError(png_structp pp, png_const_charp message) {
  auto* image = static_cast<PngImage*>(png_get_error_ptr(pp));
  if (image->why.empty()) {
    image->why = std::string("Damaged PNG file: ") + message;
    image->reason = PAPPL_JREASON_DOCUMENT_FORMAT_ERROR;
  }
  png_longjmp(pp, 1);
}

void PngWarning(png_structp pp, png_const_charp message) {
  papplLogJob(static_cast<PngImage*>(png_get_error_ptr(pp))->job, PAPPL_LOGLEVEL_DEBUG, "PNG: %s", message);
}

// Reads the whole image into `image`: false with image.why on a damaged,
// oversized or unsupported file. Every transform asks for 8-bit samples,
// palettes as RGB and any transparency as an alpha byte.
bool ReadPng(png_structp pp, png_infop info, FILE* fp, PngImage& image, unsigned maxWidth, unsigned maxHeight,
             std::size_t maxSize) {
  if (setjmp(png_jmpbuf(pp))) return false;
  png_init_io(pp, fp);
#if defined(PNG_SKIP_sRGB_CHECK_PROFILE) && defined(PNG_SET_OPTION_SUPPORTED)
  // Profiles some editors write are flagged as invalid sRGB but print well.
  png_set_option(pp, PNG_SKIP_sRGB_CHECK_PROFILE, PNG_OPTION_ON);
#endif
  png_read_info(pp, info);
  const png_uint_32 width = png_get_image_width(pp, info), height = png_get_image_height(pp, info);
  const int type = png_get_color_type(pp, info);
  const bool alpha = (type & PNG_COLOR_MASK_ALPHA) || png_get_valid(pp, info, PNG_INFO_tRNS);
  image.depth = (type & PNG_COLOR_MASK_COLOR) ? 3 : 1;
  image.channels = image.depth + (alpha ? 1 : 0);
  // The decoded bytes are what the job costs: bounded as the framework
  // bounds its own images.
  if (width < 1 || width > maxWidth || height < 1 || height > maxHeight ||
      std::size_t{width} * height * static_cast<std::size_t>(image.channels) > maxSize) {
    image.why = "PNG image of " + std::to_string(width) + "x" + std::to_string(height) +
                " pixels is too large to print";
    return false;
  }
  const png_uint_32 xppi = png_get_x_pixels_per_inch(pp, info), yppi = png_get_y_pixels_per_inch(pp, info);
  if (xppi != yppi) {
    image.why = "PNG image of non-square pixels cannot be printed";
    return false;
  }
  image.width = static_cast<int>(width);
  image.height = static_cast<int>(height);
  image.ppi = static_cast<int>(xppi);

  png_set_expand(pp);
  png_set_strip_16(pp);
  const int passes = png_set_interlace_handling(pp);
  png_read_update_info(pp, info);
  const std::size_t stride = png_get_rowbytes(pp, info);
  if (stride != width * static_cast<std::size_t>(image.channels)) {
    image.why = "PNG image of an unsupported layout";
    return false;
  }
  try {  // an exception must not cross the framework's C frames
    image.data.resize(stride * height);
    image.rows.resize(height);
  } catch (const std::bad_alloc&) {
    image.why = "Out of memory for the PNG image";
    return false;
  }
  for (png_uint_32 y = 0; y < height; ++y) image.rows[y] = image.data.data() + y * stride;
  for (int pass = 0; pass < passes; ++pass) png_read_rows(pp, image.rows.data(), nullptr, height);
  png_read_end(pp, nullptr);
  return true;
}

// Lays each pixel on white in place, dropping the alpha byte.
void CompositeOnWhite(PngImage& image) {
  if (image.channels == image.depth) return;
  const std::size_t pixels = static_cast<std::size_t>(image.width) * image.height;
  const unsigned char* in = image.data.data();
  unsigned char* out = image.data.data();
  for (std::size_t i = 0; i < pixels; ++i, in += image.channels) {
    const unsigned a = in[image.depth];
    for (int c = 0; c < image.depth; ++c)
      *out++ = static_cast<unsigned char>((in[c] * a + 255 * (255 - a) + 127) / 255);
  }
}

bool Fail(pappl_job_t* job, pappl_jreason_t reason, const std::string& why) {
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why.c_str());
  papplJobSetMessage(job, "%s", why.c_str());
  papplJobSetReasons(job, reason, PAPPL_JREASON_NONE);
  return false;
}

bool PrintPng(pappl_job_t* job, pappl_device_t* device, void* /*data*/) {
  const char* filename = papplJobGetFilename(job);
  std::unique_ptr<FILE, FileCloser> fp(std::fopen(filename, "rb"));
  if (!fp)
    return Fail(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                std::string("Cannot open the PNG file: ") + std::strerror(errno));
  PngImage image;
  image.job = job;
  png_structp pp = png_create_read_struct(PNG_LIBPNG_VER_STRING, &image, PngError, PngWarning);
  png_infop info = pp ? png_create_info_struct(pp) : nullptr;
  if (!info) {
    png_destroy_read_struct(&pp, nullptr, nullptr);
    return Fail(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, "Out of memory for the PNG image");
  }
  int maxWidth = 0, maxHeight = 0;
  const std::size_t maxSize =
      papplSystemGetMaxImageSize(papplPrinterGetSystem(papplJobGetPrinter(job)), &maxWidth, &maxHeight);
  const bool read = ReadPng(pp, info, fp.get(), image, static_cast<unsigned>(maxWidth),
                            static_cast<unsigned>(maxHeight), maxSize);
  png_destroy_read_struct(&pp, &info, nullptr);
  if (!read) return Fail(job, image.reason, image.why);
  image.rows = {};
  CompositeOnWhite(image);
  papplLogJob(job, PAPPL_LOGLEVEL_INFO, "PNG image of %dx%d pixels, %d bytes a pixel, %d ppi", image.width,
              image.height, image.depth, image.ppi);

  pappl_pr_options_t* options = papplJobCreatePrintOptions(job, 1, image.depth == 3);
  const bool printed = papplJobFilterImage(job, device, options, image.data.data(), image.width, image.height,
                                           image.depth, image.ppi, false);
  papplJobDeletePrintOptions(options);
  return printed;
}

// libjpeg's error manager, first so that the library's pointer to it is
// a pointer to the whole.
struct JpegReader {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
  pappl_job_t* job = nullptr;
  std::string why;  // libjpeg's first error, or ours
  pappl_jreason_t reason = PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR;
  std::vector<unsigned char> data;  // rows of width x depth bytes
  int width = 0, height = 0, depth = 1, ppi = 0;
  pappl_pr_options_t* options = nullptr;  // the job's, once the image's colours are known
};

std::string JpegText(j_common_ptr info) {
  char text[JMSG_LENGTH_MAX];
  (*info->err->format_message)(info, text);
  return text;
}

[[noreturn]] void JpegFail(j_common_ptr info) {
  auto* reader = reinterpret_cast<JpegReader*>(info->err);
  if (reader->why.empty()) {
    reader->why = "Damaged JPEG file: " + JpegText(info);
    reader->reason = PAPPL_JREASON_DOCUMENT_FORMAT_ERROR;
  }
  std::longjmp(reader->jump, 1);
}

// A file that ends early is damaged, where libjpeg would print its rest
// gray; its other warnings (stray bytes many cameras write) go to the log.
void JpegMessage(j_common_ptr info, int level) {
  auto* reader = reinterpret_cast<JpegReader*>(info->err);
  if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF) JpegFail(info);
  if (level <= 0)
    papplLogJob(reader->job, level < 0 ? PAPPL_LOGLEVEL_WARN : PAPPL_LOGLEVEL_DEBUG, "JPEG: %s",
                JpegText(info).c_str());
}

// Reads the whole image into the reader, as gray when the job prints a
// gray image or on a gray printer, else as sRGB, as the framework's own
// decoder does: false with reader.why on a damaged, oversized or
// unsupported file.
bool ReadJpeg(jpeg_decompress_struct& info, FILE* fp, JpegReader& reader, unsigned maxWidth,
              unsigned maxHeight, std::size_t maxSize) {
  if (setjmp(reader.jump)) return false;
  jpeg_stdio_src(&info, fp);
  jpeg_read_header(&info, TRUE);
  reader.options = papplJobCreatePrintOptions(reader.job, 1, info.num_components > 1);
  if (!reader.options) {
    reader.why = "Out of memory for the job's options";
    return false;
  }
  info.quantize_colors = FALSE;
  info.out_color_space = reader.options->header.cupsNumColors == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_calc_output_dimensions(&info);
  const JDIMENSION width = info.output_width, height = info.output_height;
  reader.depth = info.output_components;
  if (width < 1 || width > maxWidth || height < 1 || height > maxHeight ||
      std::size_t{width} * height * static_cast<std::size_t>(reader.depth) > maxSize) {
    reader.why = "JPEG image of " + std::to_string(width) + "x" + std::to_string(height) +
                 " pixels is too large to print";
    return false;
  }
  int xppi = 0, yppi = 0;
  if (info.density_unit == 1) xppi = info.X_density, yppi = info.Y_density;
  if (info.density_unit == 2) xppi = info.X_density * 254 / 100, yppi = info.Y_density * 254 / 100;
  if (xppi != yppi) {
    reader.why = "JPEG image of non-square pixels cannot be printed";
    return false;
  }
  const std::size_t stride = std::size_t{width} * static_cast<std::size_t>(reader.depth);
  try {  // an exception must not cross the framework's C frames
    reader.data.resize(stride * height);
  } catch (const std::bad_alloc&) {
    reader.why = "Out of memory for the JPEG image";
    return false;
  }
  reader.width = static_cast<int>(width);
  reader.height = static_cast<int>(height);
  reader.ppi = xppi;
  jpeg_start_decompress(&info);
  while (info.output_scanline < height) {
    JSAMPROW row = reader.data.data() + std::size_t{info.output_scanline} * stride;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  return true;
}

// The framework's JPEG printing, but a damaged file ends the job with its
// reason in the job's message rather than only in the log.
bool PrintJpeg(pappl_job_t* job, pappl_device_t* device, void* /*data*/) {
  std::unique_ptr<FILE, FileCloser> fp(std::fopen(papplJobGetFilename(job), "rb"));
  if (!fp)
    return Fail(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                std::string("Cannot open the JPEG file: ") + std::strerror(errno));
  JpegReader reader;
  reader.job = job;
  jpeg_decompress_struct info;
  info.err = jpeg_std_error(&reader.mgr);
  reader.mgr.error_exit = JpegFail;
  reader.mgr.emit_message = JpegMessage;
  jpeg_create_decompress(&info);
  int maxWidth = 0, maxHeight = 0;
  const std::size_t maxSize =
      papplSystemGetMaxImageSize(papplPrinterGetSystem(papplJobGetPrinter(job)), &maxWidth, &maxHeight);
  const bool read = ReadJpeg(info, fp.get(), reader, static_cast<unsigned>(maxWidth),
                             static_cast<unsigned>(maxHeight), maxSize);
  jpeg_destroy_decompress(&info);
  bool printed = false;
  if (read) {
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "JPEG image of %dx%d pixels, %d bytes a pixel, %d ppi",
                reader.width, reader.height, reader.depth, reader.ppi);
    printed = papplJobFilterImage(job, device, reader.options, reader.data.data(), reader.width,
                                  reader.height, reader.depth, reader.ppi, true);
  }
  if (reader.options) papplJobDeletePrintOptions(reader.options);
  return read ? printed : Fail(job, reader.reason, reader.why);
}

}  // namespace

void AddImageFilters(pappl_system_t* system) {
  papplSystemAddMIMEFilter(system, "image/png", kPrinterStreamType, PrintPng, nullptr);
  papplSystemAddMIMEFilter(system, "image/jpeg", kPrinterStreamType, PrintJpeg, nullptr);
}
