// Runs a fuzz target's function over files and directories of inputs, for
// builds without libFuzzer: the seed corpus and every crash input become a
// plain test that the sanitizer builds run as well.
#include <set>

#include "fuzz_support.h"

int main(int argc, char** argv) {
  std::set<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '-') continue;  // libFuzzer flags such as -runs=0
    if (!std::filesystem::is_directory(argv[i])) {
      files.insert(argv[i]);
      continue;
    }
    for (const auto& e : std::filesystem::directory_iterator(argv[i]))
      if (e.is_regular_file()) files.insert(e.path());
  }
  for (const auto& f : files) {
    std::fprintf(stderr, "replay %s\n", f.c_str());
    std::ifstream in(f, std::ios::binary);
    if (!in) return 1;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  return files.empty() ? 1 : 0;
}
