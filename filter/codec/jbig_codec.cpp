// JBIG page coder and decoder on JBIG-KIT, with a bounded output sink.
#include "jbig_codec.h"

// jbig.h declares C functions without C++ linkage guards.
extern "C" {
#include <jbig.h>
}

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "trace.h"

namespace {

// Reads a 32-bit big-endian value of the BIE header.
unsigned long ReadBigEndian32(const unsigned char* p) {
  return (static_cast<unsigned long>(p[0]) << 24) | (static_cast<unsigned long>(p[1]) << 16) |
         (static_cast<unsigned long>(p[2]) << 8) | static_cast<unsigned long>(p[3]);
}

// libjbig's output callback: hands the chunk on to OutJBIGData with the sink
// that came through the opaque file pointer.
void JbigSinkCallback(unsigned char* start, std::size_t len, void* file) {
  OutJBIGData(start, len, nullptr, *static_cast<JbigSink*>(file));
}

// Runs the coder with the fixed parameters over a prepared sink.
void RunEncoder(unsigned long width, unsigned long height, unsigned char* inbuf, JbigSink& sink, long order,
                long options) {
  jbg_enc_state state;
  unsigned char* planes[1] = {inbuf};
  jbg_enc_init(&state, width, height, 1, planes, JbigSinkCallback, &sink);
  jbg_enc_layers(&state, 0);
  jbg_enc_options(&state, static_cast<int>(order), static_cast<int>(options), height, 0, 0);
  jbg_enc_out(&state);
  jbg_enc_free(&state);
}

}  // namespace

// Takes one chunk of coded bytes into the sink, dropping the header chunk on
// request and never writing outside the destination.
void OutJBIGData(unsigned char* start, unsigned long len, void* /*outBuf*/, JbigSink& sink) {
  const std::size_t at = static_cast<std::size_t>(*sink.usr_len);
  if (sink.grow != nullptr) {
    std::vector<unsigned char>& v = *sink.grow;
    const std::size_t need = sink.grow_offset + at + len;
    if (need > v.size()) {
      // Doubling keeps the number of reallocations logarithmic in the page size.
      if (need > v.capacity()) v.reserve(std::max(need, v.capacity() * 2));
      v.resize(need);
    }
    sink.usr_buf = reinterpret_cast<char*>(v.data() + sink.grow_offset);
  }
  if (len > 0) std::memcpy(sink.usr_buf + at, start, len);
  ++*sink.usr_count;
  // The first chunk is the image header; left in place, the next chunk overwrites it.
  if (!(sink.usr_rmheader != 0 && *sink.usr_count == 1)) *sink.usr_len += static_cast<long>(len);
}

// Codes a bitmap into a growing vector from out[offset + *TotalOutLen] on.
long JbigEncodePage(unsigned long width, unsigned long height, unsigned char* inbuf,
                    std::vector<unsigned char>& out, std::size_t offset, long* TotalOutLen,
                    long* OutJBGDataTimes, long order, long options, long RemoveHeader) {
  static const char FUNCNAME[] = "Kestal_JBIGCompression";
  DbgMessage(FUNCNAME, "In, width = %lu, height = %lu, order = %ld, options = %ld, RemoveHeader = %ld", width,
             height, order, options, RemoveHeader);
  if (out.size() < offset) out.resize(offset);
  JbigSink sink;
  sink.usr_buf = reinterpret_cast<char*>(out.data() + offset);
  sink.usr_len = TotalOutLen;
  sink.usr_count = OutJBGDataTimes;
  sink.usr_rmheader = RemoveHeader;
  sink.grow = &out;
  sink.grow_offset = offset;
  RunEncoder(width, height, inbuf, sink, order, options);
  DbgMessage(FUNCNAME, "Out, TotalOutLen = %ld, chunks = %ld", *TotalOutLen, *OutJBGDataTimes);
  return *TotalOutLen;
}

// Decodes a BIE with its header into image when its size fits imageSize.
int JbigDecodePage(char* image, char* inBuf, unsigned long imageSize, unsigned long inBufLen) {
  static const char FUNCNAME[] = "Kestal_BIEDecoding";
  DbgMessage(FUNCNAME, "In, imageSize = %lu, inBufLen = %lu", imageSize, inBufLen);
  // The header tells the image size before the library allocates it; an image
  // other than the caller's would be over-read or would allocate without bound.
  if (inBufLen >= kJbigHeaderSize) {
    const auto* bih = reinterpret_cast<const unsigned char*>(inBuf);
    const std::uint64_t xd = ReadBigEndian32(bih + 4), yd = ReadBigEndian32(bih + 8);
    const std::uint64_t floorSize = xd / 8 * yd, ceilSize = (xd + 7) / 8 * yd;
    if (imageSize < floorSize || imageSize > ceilSize) {
      DbgMessage(FUNCNAME, "Out, BIE of %llu x %llu does not fit imageSize %lu",
                 static_cast<unsigned long long>(xd), static_cast<unsigned long long>(yd), imageSize);
      return kJbigSizeMismatch;
    }
  }
  jbg_dec_state state;
  jbg_dec_init(&state);
  std::size_t used = 0;
  const int rc = jbg_dec_in(&state, reinterpret_cast<unsigned char*>(inBuf), inBufLen, &used);
  if (rc == JBG_EOK) {
    const unsigned char* plane = jbg_dec_getimage(&state, 0);
    const unsigned long have = jbg_dec_getsize(&state);
    std::memcpy(image, plane, std::min(have, imageSize));
  }
  jbg_dec_free(&state);
  DbgMessage(FUNCNAME, "Out, rc = %d (%s), used = %zu", rc, jbg_strerror(rc), used);
  return rc;
}
