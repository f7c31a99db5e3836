// gdidecode's command line (the decoder itself is in gdidecode.cpp).
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "gdidecode.h"

namespace {

void Usage() {
  std::fputs(
      "usage: gdidecode [-o PREFIX] [--pbm] [--ssl] FILE\n"
      "  Lists and checks a printer stream (or spool file) and decodes its pages.\n"
      "  -o PREFIX  write each page as PREFIX-001.png, PREFIX-002.png ...\n"
      "  --pbm      write PBM files instead of PNG\n"
      "  --ssl      the spool file's pages are encrypted\n",
      stderr);
}

}  // namespace

// Parses the command line, reads the file and lists it.
int main(int argc, char** argv) {
  GdiDecodeOptions opt;
  std::string file;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-o" && i + 1 < argc) {
      opt.prefix = argv[++i];
    } else if (a == "--pbm") {
      opt.pbm = true;
    } else if (a == "--ssl") {
      opt.ssl = true;
    } else if (a == "-h" || a == "--help") {
      Usage();
      return 0;
    } else if (!a.empty() && a[0] != '-' && file.empty()) {
      file = a;
    } else {
      Usage();
      return 2;
    }
  }
  if (file.empty()) {
    Usage();
    return 2;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "gdidecode: cannot open %s\n", file.c_str());
    return 2;
  }
  const std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
  return DecodeGdiFile(data, opt);
}
