// Encryption of page data for printers that take only encrypted pages.
#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>

#include "aes.h"
#include "byte_order.h"
#include "page_block.h"
#include "shims.h"

namespace {

// Every such printer knows these; they keep the page data from being read
// on the wire, not from the machine that runs the filter.
const char kPageKey[] = "TrelmoxPageKeyAB";
const char kPageVector[] = "TrelmoxPageVecCD";
static_assert(sizeof kPageKey == kAesBlock + 1 && sizeof kPageVector == kAesBlock + 1);

}  // namespace

bool AppendEncryptedPageData(const BYTE* data, DWORD len, std::vector<BYTE>& out) {
  if (len > static_cast<DWORD>(std::numeric_limits<int>::max() - kAesBlock)) return false;
  char* cipher = nullptr;
  int n = 0;
  const int rc = EncryptionAES(reinterpret_cast<const char*>(data), static_cast<int>(len), kPageKey,
                               kPageVector, &cipher, &n);
  std::unique_ptr<char, FreeDeleter> owned(cipher);
  if (rc != EXMsg_Ok) return false;
  const std::size_t at = out.size();
  out.resize(at + 4 + static_cast<std::size_t>(n));
  PutLE32(out.data() + at, static_cast<DWORD>(n));
  std::copy(cipher, cipher + n, out.begin() + static_cast<std::ptrdiff_t>(at + 4));
  return true;
}
