// JBIG page coder and decoder on JBIG-KIT.
#include "jbig_codec.h"

// jbig.h declares C functions without C++ linkage guards.
extern "C" {
#include <jbig.h>
}

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "trace.h"

namespace {

// Reads a 32-bit big-endian value of the BIE header.
unsigned long ReadBigEndian32(const unsigned char* p) {
  return (static_cast<unsigned long>(p[0]) << 24) | (static_cast<unsigned long>(p[1]) << 16) |
         (static_cast<unsigned long>(p[2]) << 8) | static_cast<unsigned long>(p[3]);
}

// Where libjbig's chunks go: the page's bytes, and whether the first chunk
// (the image header) is dropped.
struct JbigSink {
  std::vector<unsigned char>* out;
  bool removeHeader;
  long chunks = 0;  // chunks received so far
};

// libjbig's output callback; the sink comes through the opaque file pointer,
// so that several pages can be coded at once without globals.
void OutJBIGData(unsigned char* start, std::size_t len, void* file) {
  JbigSink& sink = *static_cast<JbigSink*>(file);
  ++sink.chunks;
  if (sink.removeHeader && sink.chunks == 1) return;
  sink.out->insert(sink.out->end(), start, start + len);
}

}  // namespace

std::vector<unsigned char> JbigEncodePage(const PlaneView& plane, long options, bool removeHeader) {
  static const char FUNCNAME[] = "Kestal_JBIGCompression";
  DbgMessage(FUNCNAME, "In, width = %lu, height = %lu, order = %ld, options = %ld, RemoveHeader = %ld",
             static_cast<unsigned long>(plane.width), static_cast<unsigned long>(plane.rows), 0L, options,
             removeHeader ? 1L : 0L);
  std::vector<unsigned char> out;
  if (!plane || plane.width == 0 || plane.stride != (plane.width + 7) / 8) {
    DbgMessage(FUNCNAME, "Out, no plane to code");
    return out;
  }
  // Most pages code to a small part of their bitmap; noise-like ones grow
  // the vector as they need.
  out.reserve(static_cast<std::size_t>(plane.Bytes() / 8 + 1024));
  JbigSink sink{&out, removeHeader};
  jbg_enc_state state;
  unsigned char* planes[1] = {plane.bits};
  jbg_enc_init(&state, plane.width, plane.rows, 1, planes, OutJBIGData, &sink);
  jbg_enc_layers(&state, 0);
  jbg_enc_options(&state, 0, static_cast<int>(options), plane.rows, 0, 0);
  jbg_enc_out(&state);
  jbg_enc_free(&state);
  DbgMessage(FUNCNAME, "Out, TotalOutLen = %ld, chunks = %ld", static_cast<long>(out.size()), sink.chunks);
  return out;
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
