// JBIG page coding on JBIG-KIT (libjbig): one 1-bit bitmap in, one BIE out.
//
// Offers the page coder with the printer's fixed parameters (one plane, one
// resolution layer, the page as a single stripe), its output sink with the
// chunk counter that can drop the 20-byte image header, and the decoder for
// pages stored with their header.
//
// Bitmaps: one plane, rows of ceil(width / 8) bytes without padding, most
// significant bit first, 1 = black (a toner dot).
//
// The coded size of a page is not bounded by its bitmap size: noise-like
// pages code larger than they are. The coder therefore writes into a
// growing std::vector.
#pragma once

#include <cstddef>
#include <vector>

// Size of the BIE header (BIH) that JBIG-KIT emits as the first chunk.
inline constexpr std::size_t kJbigHeaderSize = 20;

// Result of JbigDecodePage when the BIE's image does not match imageSize
// (decoding it would read past the decoded plane or allocate without bound).
inline constexpr int kJbigSizeMismatch = 0x1000;

// Output sink context: travels as libjbig's opaque file pointer to the
// callback, so that several pages can be coded at once without globals.
struct JbigSink {
  char* usr_buf = nullptr;                     // start of the destination bytes
  long* usr_len = nullptr;                     // bytes kept so far; next chunk goes to usr_buf + *usr_len
  long* usr_count = nullptr;                   // chunks received so far (caller zeroes it once per page)
  long usr_rmheader = 0;                       // nonzero: the first chunk counted is dropped
  std::vector<unsigned char>* grow = nullptr;  // when set: destination vector, grown on demand
  std::size_t grow_offset = 0;                 // where usr_buf starts inside *grow
};

// Takes one chunk of coded bytes from libjbig into the sink; outBuf is
// libjbig's file pointer and unused here (the context comes as sink).
void OutJBIGData(unsigned char* start, unsigned long len, void* outBuf, JbigSink& sink);

// Codes a bitmap into a growing vector: the coded bytes go to
// out[offset + *TotalOutLen] on, and out grows to hold them (its bytes before
// offset are kept). *TotalOutLen must be 0 before the first plane;
// OutJBGDataTimes is the page's chunk counter (0 before the first plane).
// Returns the coded length, that is *TotalOutLen after coding.
long JbigEncodePage(unsigned long width, unsigned long height, unsigned char* inbuf,
                    std::vector<unsigned char>& out, std::size_t offset, long* TotalOutLen,
                    long* OutJBGDataTimes, long order, long options, long RemoveHeader);

// Decodes a complete BIE (with its header) and copies imageSize bytes of
// plane 0 into image. Returns libjbig's jbg_dec_in result (0 = JBG_EOK when
// the whole image was decoded), or kJbigSizeMismatch when the BIE's plane
// size, with rows rounded down or up to whole bytes, does not bracket
// imageSize. On any nonzero result image is left untouched.
int JbigDecodePage(char* image, char* inBuf, unsigned long imageSize, unsigned long inBufLen);
