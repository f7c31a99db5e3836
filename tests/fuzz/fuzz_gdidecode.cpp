// The stream decoder of gdidecode, listing to standard output (closed by
// run.sh's -close_fd_mask); the first byte chooses a spool file's cipher.
#include "fuzz_support.h"
#include "gdidecode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  GdiDecodeOptions opt;
  opt.ssl = data[0] & 1;
  DecodeGdiFile({data + 1, size - 1}, opt);
  return 0;
}
