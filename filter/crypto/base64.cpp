// Base64 coding with the output size checked before anything is written.
#include "base64.h"

#include <cstdint>
#include <cstring>

namespace {

const char base64_chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

unsigned Sextet(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  return c == '+' ? 62 : 63;
}

}  // namespace

int is_base64(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

int base64_encode(const unsigned char* bytes_in, unsigned int len_in, char* encode_out, int max_len_out) {
  if (encode_out == nullptr || max_len_out <= 0) return -1;
  const std::uint64_t need = (static_cast<std::uint64_t>(len_in) + 2) / 3 * 4;
  if (need >= static_cast<std::uint64_t>(max_len_out) || (bytes_in == nullptr && len_in != 0)) {
    std::memset(encode_out, 0, static_cast<std::size_t>(max_len_out));
    return -1;
  }
  char* out = encode_out;
  for (unsigned int i = 0; i < len_in; i += 3) {
    const unsigned left = len_in - i;
    const std::uint32_t group = static_cast<std::uint32_t>(bytes_in[i]) << 16 |
                                (left > 1 ? static_cast<std::uint32_t>(bytes_in[i + 1]) << 8 : 0) |
                                (left > 2 ? bytes_in[i + 2] : 0);
    *out++ = base64_chars[group >> 18 & 63];
    *out++ = base64_chars[group >> 12 & 63];
    *out++ = left > 1 ? base64_chars[group >> 6 & 63] : '=';
    *out++ = left > 2 ? base64_chars[group & 63] : '=';
  }
  return 1;
}

int base64_decode(const char* encode_in, char* decode_out, int* len_out, int max_len_out) {
  if (len_out != nullptr) *len_out = 0;
  if (encode_in == nullptr || decode_out == nullptr || len_out == nullptr || max_len_out <= 0) return -1;
  // Length first, so that nothing is written unless all of it fits.
  std::size_t chars = 0;
  while (is_base64(static_cast<unsigned char>(encode_in[chars]))) ++chars;
  const std::uint64_t bytes = chars / 4 * 3 + (chars % 4 > 1 ? chars % 4 - 1 : 0);
  if (bytes >= static_cast<std::uint64_t>(max_len_out)) {
    std::memset(decode_out, 0, static_cast<std::size_t>(max_len_out));
    return -1;
  }
  std::size_t n = 0;
  std::uint32_t group = 0;
  for (std::size_t i = 0; i < chars; ++i) {
    group = group << 6 | Sextet(static_cast<unsigned char>(encode_in[i]));
    if (i % 4 == 3) {
      decode_out[n++] = static_cast<char>(group >> 16);
      decode_out[n++] = static_cast<char>(group >> 8);
      decode_out[n++] = static_cast<char>(group);
      group = 0;
    }
  }
  // A last group of two or three characters carries one or two bytes.
  if (chars % 4 == 2) {
    decode_out[n++] = static_cast<char>(group >> 4);
  } else if (chars % 4 == 3) {
    decode_out[n++] = static_cast<char>(group >> 10);
    decode_out[n++] = static_cast<char>(group >> 2);
  }
  decode_out[n] = '\0';
  *len_out = static_cast<int>(n);
  return 1;
}
