// Filling the 32-byte page header of a page block (record in page_block.h)
// with the page's size, paper, media, tray and compression codes.
#pragma once

#include "page_block.h"
#include "page_slot.h"
#include "wintypes.h"

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

// Media code of each cupsMediaType 0..10 (the low byte is sent); larger
// values are sent as ENG_MEDIA_PLAIN.
inline constexpr int kMediaTypes = 11;
extern const WORD MediaType[kMediaTypes];

// Fills outbuf (32 bytes) with the page header of the slot's page: size,
// compressed size, black dots, paper, media, tray, depth, colours and
// compression. In the two-bit mode the printer's width is half the bitmap's.
void BuildPageHeader(const PageSlot& slot, char* outbuf, DWORD CompressSize, DWORD blackDots);
