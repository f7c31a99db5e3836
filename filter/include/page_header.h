// The 32-byte page header that opens every page's data in the printer
// stream (after ESC "E"), with the media and tray codes it carries. All
// multi-byte fields are little-endian; the record is written field by field.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "jobinfo.h"
#include "wintypes.h"

#pragma pack(push, 1)
struct PageHeader {
  char idf[4];         // "GDI" and a zero byte
  DWORD page_width;    // bitmap width, printer pixels
  DWORD page_height;   // bitmap rows (all planes)
  DWORD datasize;      // uncompressed bytes: bytes per row * rows
  DWORD compsize;      // bytes of page data after the header
  DWORD blackDots;     // toner dots of the page
  BYTE paper_type;     // ENG_ paper code
  BYTE MediaType;      // ENG_MEDIA_ code
  BYTE MediaPosition;  // ENG_INBIN_ input tray
  BYTE OutBin;         // output bin, always 0
  BYTE Bits;           // bits per pixel: 1, or 2 in the two-bit mode
  BYTE Colors;         // colour planes: 1, 2 or 4
  BYTE ColorMode;      // 3 four planes, 2 black and red, 1 or 0 one plane
  BYTE CompMethod;     // 0 raw, 1 JBIG, 2 JBIG ZQ3, 3 JBIG + checksum, 4 ZQ3 + checksum
};
#pragma pack(pop)

static_assert(sizeof(PageHeader) == 32);
static_assert(offsetof(PageHeader, page_width) == 4 && offsetof(PageHeader, page_height) == 8);
static_assert(offsetof(PageHeader, datasize) == 12 && offsetof(PageHeader, compsize) == 16);
static_assert(offsetof(PageHeader, blackDots) == 20 && offsetof(PageHeader, paper_type) == 24);
static_assert(offsetof(PageHeader, MediaType) == 25 && offsetof(PageHeader, MediaPosition) == 26);
static_assert(offsetof(PageHeader, OutBin) == 27 && offsetof(PageHeader, Bits) == 28);
static_assert(offsetof(PageHeader, Colors) == 29 && offsetof(PageHeader, ColorMode) == 30);
static_assert(offsetof(PageHeader, CompMethod) == 31);

inline constexpr std::size_t kPageHeaderSize = sizeof(PageHeader);

// Media codes.
inline constexpr BYTE ENG_MEDIA_AUTO = 0;
inline constexpr BYTE ENG_MEDIA_CARDSTOCK = 1;
inline constexpr BYTE ENG_MEDIA_TRANSPARENCY = 2;
inline constexpr BYTE ENG_MEDIA_ENVELOPE = 3;
inline constexpr BYTE ENG_MEDIA_LETTERHEAD = 4;
inline constexpr BYTE ENG_MEDIA_POSTCARD = 5;
inline constexpr BYTE ENG_MEDIA_LABELS = 6;
inline constexpr BYTE ENG_MEDIA_COATED = 7;
inline constexpr BYTE ENG_MEDIA_PLAIN = 8;
inline constexpr BYTE ENG_MEDIA_PREPRINTED = 9;
inline constexpr BYTE ENG_MEDIA_BOND = 10;
inline constexpr BYTE ENG_MEDIA_RECYCLED = 11;
inline constexpr BYTE ENG_MEDIA_VELLUM = 12;
inline constexpr BYTE ENG_MEDIA_ROUGH = 13;
inline constexpr BYTE ENG_MEDIA_COLOR = 14;
inline constexpr BYTE ENG_MEDIA_PREPUNCHED = 15;
inline constexpr BYTE ENG_MEDIA_2NDSIDE = 16;
inline constexpr BYTE ENG_MEDIA_THICK = 17;
inline constexpr BYTE ENG_MEDIA_HIGHQUALITY = 18;
inline constexpr BYTE ENG_MEDIA_THIN = 19;
inline constexpr BYTE ENG_MEDIA_LASER = 20;
inline constexpr BYTE ENG_MEDIA_CUSTOM3 = 21;
inline constexpr BYTE ENG_MEDIA_XRAY = 22;
inline constexpr BYTE ENG_MEDIA_CUSTOM5 = 23;
inline constexpr BYTE ENG_MEDIA_CUSTOM6 = 24;
inline constexpr BYTE ENG_MEDIA_CUSTOM7 = 25;
inline constexpr BYTE ENG_MEDIA_CUSTOM8 = 26;
inline constexpr BYTE ENG_MEDIA_ENHANCED = 27;

// Input trays; the raster header's MediaPosition uses the same numbers.
inline constexpr BYTE ENG_INBIN_MANUAL = 0;
inline constexpr BYTE ENG_INBIN_TRAY_1 = 1;
inline constexpr BYTE ENG_INBIN_TRAY_2 = 2;
inline constexpr BYTE ENG_INBIN_TRAY_3 = 3;
inline constexpr BYTE ENG_INBIN_TRAY_4 = 4;
inline constexpr BYTE ENG_INBIN_AUTO = 250;

// Template of the header (150 bytes): "GDI", 7 zeros, then three runs of 39
// blanks followed by 10, 10 and 3 zeros. The first 32 bytes are copied into
// every header before it is filled, so only "GDI" and its zero remain.
constexpr std::array<BYTE, 150> MakeRasterImageCmd() {
  std::array<BYTE, 150> t{};
  std::size_t i = 0;
  t[i++] = 'G';
  t[i++] = 'D';
  t[i++] = 'I';
  i += 7;
  const std::size_t zeros[3] = {10, 10, 3};
  for (std::size_t run = 0; run < 3; ++run) {
    for (int b = 0; b < 39; ++b) t[i++] = ' ';
    i += zeros[run];
  }
  return t;
}
inline constexpr std::array<BYTE, 150> RasterImageCmd = MakeRasterImageCmd();

// Media code of each cupsMediaType 0..10 (the low byte is sent); larger
// values are sent as ENG_MEDIA_PLAIN.
inline constexpr int kMediaTypes = 11;
extern const WORD MediaType[kMediaTypes];

// Fills outbuf (32 bytes) with the page header of the slot's page: size,
// compressed size, black dots, paper, media, tray, depth, colours and
// compression. In the two-bit mode it halves lpJob->page_width. Returns 0.
BOOL PJL_WritePageHeader(JobInfo* lpJob, char* outbuf, DWORD CompressSize, DWORD blackDots);
