// Shared pieces of the fuzz targets: one private root for the filter's
// fixed paths and TMPDIR per process, and the fuzz input as a file or as
// "first line, rest".
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fuzz {

// Made on first use and removed at exit, so that no run touches the real
// /tmp paths and nothing is left behind. Never freed: the exit handler
// still needs it after static objects are gone.
inline const std::string& Root() {
  static const std::string* dir = [] {
    char tmpl[] = "/tmp/rastertopwg2-fuzz-XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    const std::string d = tmpl;
    std::filesystem::create_directories(d + "/tmp");
    setenv("RASTERTOPWG2_ROOT", d.c_str(), 1);
    setenv("TMPDIR", (d + "/tmp").c_str(), 1);
    std::atexit([] { std::filesystem::remove_all(Root()); });
    return new std::string(d);
  }();
  return *dir;
}

// Writes bytes to Root() + name and returns the full path.
inline std::string WriteFile(const std::string& name, std::string_view bytes) {
  const std::string path = Root() + name;
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
  return path;
}

// The input's first line (without the newline) and what follows it; no
// newline: an empty line and all of the input.
struct Split {
  std::string line;
  std::string_view rest;
};
inline Split FirstLine(const std::uint8_t* data, std::size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const std::size_t nl = all.find('\n');
  if (nl == std::string_view::npos) return {"", all};
  return {std::string(all.substr(0, nl)), all.substr(nl + 1)};
}

}  // namespace fuzz
