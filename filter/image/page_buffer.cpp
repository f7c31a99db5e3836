// PageBuffer's allocating members.
#include "page_buffer.h"

#include <cstring>

PageBuffer PageBuffer::Filled(std::size_t bytes, BYTE fill) {
  PageBuffer b = Allocate(bytes);
  if (b) std::memset(b.data(), fill, bytes);
  return b;
}

void PageBuffer::ShrinkTo(std::size_t bytes) {
  if (!bytes_ || bytes == 0 || bytes >= size_) return;
  // A failed shrink leaves the larger block, which is as good.
  if (BYTE* shrunk = static_cast<BYTE*>(std::realloc(bytes_.get(), bytes))) {
    (void)bytes_.release();
    bytes_.reset(shrunk);
  }
  size_ = bytes;
}
