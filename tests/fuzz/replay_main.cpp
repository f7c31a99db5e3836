// Runs a fuzz target's function over files and directories of inputs, for
// builds without libFuzzer: the seed corpus and every crash input become a
// plain test that the sanitizer builds run as well.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "fuzz_support.h"

namespace {

int Replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) return 1;
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int inputs = 0;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '-') continue;  // libFuzzer flags such as -runs=0
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(argv[i])) {
      for (const auto& e : std::filesystem::directory_iterator(argv[i]))
        if (e.is_regular_file()) files.push_back(e.path());
    } else if (std::filesystem::exists(argv[i])) {
      files.push_back(argv[i]);
    }
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
      std::fprintf(stderr, "replay %s\n", f.c_str());
      if (Replay(f) != 0) return 1;
      ++inputs;
    }
  }
  std::fprintf(stderr, "%d inputs replayed\n", inputs);
  return 0;
}
