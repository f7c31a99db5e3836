// The authorization file reader on a file holding the input.
#include "auth_json.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = fuzz::WriteFile("/auth.json", {reinterpret_cast<const char*>(data), size});
  const fuzz::Quiet quiet;
  char json[7][kJsonTokenSize] = {};
  ParseJSON(path.c_str(), json);
  for (const auto& token : json)
    if (!std::memchr(token, '\0', kJsonTokenSize)) abort();  // every slot stays a string
  return 0;
}
