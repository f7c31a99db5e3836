// A page block of the printer stream: ESC "E", the 32-byte page header and
// the page data. The header is little-endian and written field by field.
#pragma once

#include <cstddef>
#include <vector>

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

// Bytes in front of the page data of a block: ESC "E" and the page header.
inline constexpr DWORD ResetCmdLen = 2;
inline constexpr DWORD RasterImageCmdLen = 32;
inline constexpr DWORD kBlockPrefix = ResetCmdLen + RasterImageCmdLen;
static_assert(RasterImageCmdLen == kPageHeaderSize);

// Page data for a printer with the SSL capability bit: the 4-byte cipher
// length n, then n bytes of AES-128-CBC cipher text of the clear data under
// the page key and vector. Appends it to out; false without memory.
bool AppendEncryptedPageData(const BYTE* data, DWORD len, std::vector<BYTE>& out);
