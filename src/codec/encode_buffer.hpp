// EncodeBuffer: where one encoding is assembled before it becomes a single
// contiguous byte string (a Python bytes object, or a stored value).
//
// Headers and small leaves are appended to a ByteBuffer. A leaf of at least
// kBorrowThreshold bytes (a long str or bytes) is not copied in: its address
// is recorded with the offset where it belongs, and `copy_to` writes it once,
// straight into the destination. So a large value is copied exactly once,
// however it is nested.
//
// Invariant the caller keeps: every borrowed leaf stays alive and unchanged
// until `copy_to` has run (the Python encoder holds the interpreter lock and
// runs no Python code, and the caller holds the object being encoded).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "codec/byte_buffer.hpp"

namespace derirezaro::codec {

class EncodeBuffer {
 public:
  static constexpr size_t kBorrowThreshold = 4096;

  ByteBuffer& bytes() { return bytes_; }

  void append_leaf(const void* data, size_t size) {
    if (size < kBorrowThreshold) {
      bytes_.append(data, size);
      return;
    }
    borrowed_.push_back(Borrowed{bytes_.size(), static_cast<const uint8_t*>(data), size});
    borrowed_size_ += size;
  }

  size_t size() const { return bytes_.size() + borrowed_size_; }

  // Writes all size() bytes, in order, to `dest`.
  void copy_to(uint8_t* dest) const {
    size_t from = 0;  // next unwritten offset in bytes_
    for (const Borrowed& leaf : borrowed_) {
      ByteBuffer::copy_short(dest, bytes_.data() + from, leaf.offset - from);  // often a header alone
      dest += leaf.offset - from;
      std::memcpy(dest, leaf.data, leaf.size);
      dest += leaf.size;
      from = leaf.offset;
    }
    if (bytes_.size() > from) std::memcpy(dest, bytes_.data() + from, bytes_.size() - from);
  }

  // Empties the buffer for reuse; keeps up to `retained` bytes of memory.
  void reset(size_t retained) {
    bytes_.reset(retained);
    if (borrowed_.capacity() * sizeof(Borrowed) > retained) {
      std::vector<Borrowed>().swap(borrowed_);
    } else {
      borrowed_.clear();
    }
    borrowed_size_ = 0;
  }

 private:
  struct Borrowed {
    size_t offset;  // position in bytes_ the leaf goes before
    const uint8_t* data;
    size_t size;
  };

  ByteBuffer bytes_;
  std::vector<Borrowed> borrowed_;
  size_t borrowed_size_ = 0;
};

}  // namespace derirezaro::codec
