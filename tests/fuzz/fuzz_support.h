// Shared pieces of the fuzz targets: one private root for the filter's
// fixed paths and TMPDIR per process, messages and trace into /dev/null,
// and the fuzz input as a file or as "first line, rest".
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "job_events.h"
#include "trace.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fuzz {

// Made on first use and removed at exit, so that no run touches the real
// /tmp paths; never freed, as the exit handler still needs it.
inline const std::string& Root() {
  static const std::string* dir = [] {
    char tmpl[] = "/tmp/rastertopwg2-fuzz-XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    std::filesystem::create_directories(std::string(tmpl) + "/tmp");
    setenv("RASTERTOPWG2_ROOT", tmpl, 1);
    setenv("TMPDIR", (std::string(tmpl) + "/tmp").c_str(), 1);
    std::atexit([] { std::filesystem::remove_all(Root()); });
    return new std::string(tmpl);
  }();
  return *dir;
}

// A message stream on /dev/null with the thread's trace bound to it.
struct Quiet {
  std::unique_ptr<FILE, int (*)(FILE*)> sink{std::fopen("/dev/null", "w"), std::fclose};
  JobEvents events{sink.get()};
  TraceScope trace{&events.trace};
};

inline std::string WriteFile(const std::string& name, std::string_view bytes) {
  const std::string path = Root() + name;
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
  return path;
}

// The input's first line and what follows it (no newline: "" and all of it).
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
