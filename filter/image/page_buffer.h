// PageBuffer: the bytes of one page in its slot (gray planes, then the
// 1-bit planes), owned by the slot and freed with it. Large buffers come on
// huge pages (AllocPageBuffer); a stage that makes a new page allocates a
// new buffer and moves it into the slot, replacing the old one.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <utility>

#include "shims.h"
#include "wintypes.h"

class PageBuffer {
 public:
  PageBuffer() = default;
  PageBuffer(PageBuffer&& other) noexcept
      : bytes_(std::move(other.bytes_)), size_(std::exchange(other.size_, 0)) {}
  PageBuffer& operator=(PageBuffer&& other) noexcept {
    bytes_ = std::move(other.bytes_);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }

  // A buffer of `bytes` bytes, contents undefined; empty when memory is
  // short or bytes is 0, so that the caller drops the page.
  static PageBuffer Allocate(std::size_t bytes) {
    PageBuffer b;
    if (bytes == 0) return b;
    b.bytes_.reset(static_cast<BYTE*>(AllocPageBuffer(bytes)));
    if (b.bytes_) b.size_ = bytes;
    return b;
  }
  // The same, every byte `fill`.
  static PageBuffer Filled(std::size_t bytes, BYTE fill);

  explicit operator bool() const { return bytes_ != nullptr; }
  BYTE* data() { return bytes_.get(); }
  const BYTE* data() const { return bytes_.get(); }
  // Bytes of the page the buffer holds (its start, when a stage shrank the
  // page in place).
  std::size_t size() const { return size_; }

  // The page now takes only the first `bytes` bytes (no more than it had);
  // the memory stays allocated, as a later stage of the page reuses it.
  void Truncate(std::size_t bytes) {
    if (bytes < size_) size_ = bytes;
  }
  // Truncate, and hand the memory past the page back to the allocator.
  void ShrinkTo(std::size_t bytes);
  void Reset() {
    bytes_.reset();
    size_ = 0;
  }

 private:
  std::unique_ptr<BYTE, FreeDeleter> bytes_;
  std::size_t size_ = 0;
};
