// Base64: the input decoded as text into a buffer sized by its first byte
// (the sanitizer sees every byte written past it), and the input encoded
// and decoded again, which must give it back.
#include <vector>

#include "base64.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::vector<char> out(1 + data[0] % 96);
  int len = -1;
  if (base64_decode(text.c_str(), out.data(), &len, static_cast<int>(out.size())) == 1 &&
      (len < 0 || static_cast<std::size_t>(len) >= out.size()))
    abort();

  std::vector<char> coded((size + 2) / 3 * 4 + 1), back(size + 1);
  if (base64_encode(data, static_cast<unsigned>(size), coded.data(), static_cast<int>(coded.size())) != 1 ||
      base64_decode(coded.data(), back.data(), &len, static_cast<int>(back.size())) != 1 ||
      static_cast<std::size_t>(len) != size || std::memcmp(back.data(), data, size) != 0)
    abort();
  return 0;
}
