// The floor of a page's cost: libjbig alone coding the filter's own output
// bitmaps with the stream's parameters (one stripe per page, no layers), in a
// loop. Prints the CPU seconds per page; whatever the filter spends above it
// is ours to cut.
//
//   jbig_floor [--options N] [--rounds N] PAGE.pbm...
extern "C" {
#include <jbig.h>
}
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Bitmap {
  unsigned long width = 0, height = 0;
  std::vector<unsigned char> bits;
};

// Reads a raw PBM (P4); false on anything else.
bool ReadPbm(const char* path, Bitmap& b) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  in >> magic;
  if (magic != "P4") return false;
  auto skip = [&in] {
    for (in >> std::ws; in.peek() == '#'; in >> std::ws) in.ignore(1 << 20, '\n');
  };
  skip();
  in >> b.width;
  skip();
  in >> b.height;
  in.get();  // the one whitespace before the bits
  if (!in || b.width == 0 || b.height == 0) return false;
  b.bits.resize((b.width + 7) / 8 * b.height);
  in.read(reinterpret_cast<char*>(b.bits.data()), static_cast<std::streamsize>(b.bits.size()));
  return static_cast<std::size_t>(in.gcount()) == b.bits.size();
}

void Sink(unsigned char* data, std::size_t len, void* file) {
  auto* out = static_cast<std::vector<unsigned char>*>(file);
  out->insert(out->end(), data, data + len);
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  int options = JBG_TPBON, rounds = 3;
  std::vector<Bitmap> pages;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--options") && i + 1 < argc) {
      options = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else {
      Bitmap b;
      if (!ReadPbm(argv[i], b)) {
        std::fprintf(stderr, "jbig_floor: %s is not a raw PBM file\n", argv[i]);
        return 1;
      }
      pages.push_back(std::move(b));
    }
  }
  if (pages.empty() || rounds < 1) {
    std::fprintf(stderr, "usage: jbig_floor [--options N] [--rounds N] PAGE.pbm...\n");
    return 2;
  }
  std::vector<unsigned char> out;
  std::size_t bytes = 0;
  const double start = CpuSeconds();
  for (int r = 0; r < rounds; ++r) {
    for (Bitmap& b : pages) {
      out.clear();
      unsigned char* planes[1] = {b.bits.data()};
      jbg_enc_state s;
      jbg_enc_init(&s, b.width, b.height, 1, planes, Sink, &out);
      jbg_enc_layers(&s, 0);
      jbg_enc_options(&s, 0, options, static_cast<long>(b.height), 0, 0);
      jbg_enc_out(&s);
      jbg_enc_free(&s);
      bytes += out.size();
    }
  }
  const double perPage = (CpuSeconds() - start) / (static_cast<double>(rounds) * pages.size());
  std::printf("%.4f %zu\n", perPage, bytes / (static_cast<std::size_t>(rounds) * pages.size()));
  return 0;
}
