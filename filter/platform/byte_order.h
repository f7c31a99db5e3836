// The one set of byte-order helpers of the tree: the printer's records are
// little-endian, JBIG's image header is big-endian.
#pragma once

#include <cstdint>

#include "wintypes.h"

inline void PutLE32(void* to, DWORD v) {
  auto* p = static_cast<unsigned char*>(to);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline void PutLE16(void* to, WORD v) {
  auto* p = static_cast<unsigned char*>(to);
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

inline DWORD GetLE32(const void* from) {
  const auto* p = static_cast<const unsigned char*>(from);
  return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
         static_cast<DWORD>(p[3]) << 24;
}

inline DWORD GetBE32(const void* from) {
  const auto* p = static_cast<const unsigned char*>(from);
  return static_cast<DWORD>(p[0]) << 24 | static_cast<DWORD>(p[1]) << 16 | static_cast<DWORD>(p[2]) << 8 |
         static_cast<DWORD>(p[3]);
}
