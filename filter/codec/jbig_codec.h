// JBIG page coding on JBIG-KIT (libjbig): one 1-bit bitmap in, one BIE out.
//
// Offers the page coder with the printer's fixed parameters (one plane, one
// resolution layer, the page as a single stripe), which can drop the
// 20-byte image header, and the decoder for pages stored with their header.
//
// Bitmaps: one plane, rows of ceil(width / 8) bytes without padding, most
// significant bit first, 1 = black (a toner dot).
//
// The coded size of a page is not bounded by its bitmap size: noise-like
// pages code larger than they are. The coder therefore gives back a
// std::vector.
#pragma once

#include <cstddef>
#include <vector>

#include "plane_view.h"

// Size of the BIE header (BIH) that JBIG-KIT emits as the first chunk.
inline constexpr std::size_t kJbigHeaderSize = 20;

// Result of JbigDecodePage when the BIE's image does not match imageSize
// (decoding it would read past the decoded plane or allocate without bound).
inline constexpr int kJbigSizeMismatch = 0x1000;

// Codes one 1-bit plane (rows of ceil(width / 8) bytes: plane.stride must
// be that) and gives back its coded bytes: the BIE, or without its 20-byte
// header (BIH) when removeHeader is set. Empty for an empty view or a
// stride with padding. options are JBIG-KIT's option bits.
std::vector<unsigned char> JbigEncodePage(const PlaneView& plane, long options, bool removeHeader);

// Decodes a complete BIE (with its header) and copies imageSize bytes of
// plane 0 into image. Returns libjbig's jbg_dec_in result (0 = JBG_EOK when
// the whole image was decoded), or kJbigSizeMismatch when the BIE's plane
// size, with rows rounded down or up to whole bytes, does not bracket
// imageSize. On any nonzero result image is left untouched.
int JbigDecodePage(char* image, char* inBuf, unsigned long imageSize, unsigned long inBufLen);
