// ByteBuffer: the one growing output buffer the writer appends to.
//
// Small outputs (most encoded values) never touch the heap: the first
// kInlineCapacity bytes live inside the object. Growth doubles, so a long
// output costs amortised O(1) per byte. Allocation failure throws
// std::bad_alloc; the buffer is unchanged by a failed growth.
//
// A caller that knows an output's size can lend the buffer the output's
// final storage (write_into): the bytes are then written where they end up.
// Lent storage is never freed or reallocated here; growing past it moves the
// content to heap memory of the buffer's own, as growing out of the inline
// bytes does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace derirezaro::codec {

class ByteBuffer {
 public:
  static constexpr size_t kInlineCapacity = 256;

  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() {
    if (owns_heap()) std::free(data_);
  }

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }

  // Forgets the content, keeps the memory for the next use.
  void clear() { size_ = 0; }

  // Forgets the content and gives back heap memory beyond `limit` bytes, so
  // a reused buffer does not keep one outsized output's memory for ever.
  void reset(size_t limit) {
    size_ = 0;
    if (data_ != inline_ && (capacity_ > limit || lent_)) {
      if (owns_heap()) std::free(data_);
      data_ = inline_;
      capacity_ = kInlineCapacity;
      lent_ = false;
    }
  }

  // Writes from here on go to `storage`, `capacity` bytes that outlive the
  // writes and that the caller owns. Precondition: the buffer is empty.
  void write_into(uint8_t* storage, size_t capacity) {
    if (owns_heap()) std::free(data_);
    data_ = storage;
    capacity_ = capacity;
    lent_ = true;
  }

  // Makes room for `extra` more bytes; after it, that many `put_*` calls of
  // that total size need no further check.
  void reserve_extra(size_t extra) {
    if (capacity_ - size_ < extra) grow(extra);
  }

  void put_u8(uint8_t b) { data_[size_++] = b; }
  void put_raw(const void* bytes, size_t n) {
    if (n != 0) std::memcpy(data_ + size_, bytes, n);
    size_ += n;
  }

  // Where the next put goes, where the room ends, and how to move past what
  // was written there directly: for a writer that keeps its own cursor.
  uint8_t* cursor() { return data_ + size_; }
  uint8_t* limit() { return data_ + capacity_; }
  void advance_to(uint8_t* end) { size_ = static_cast<size_t>(end - data_); }

  // memcpy for the short strings most keys and values are: up to 32 bytes in
  // two overlapping fixed-size copies, which compile to a few register moves
  // where a call to memcpy costs several times as many instructions.
  static void copy_short(uint8_t* at, const void* bytes, size_t n) {
    const auto* from = static_cast<const uint8_t*>(bytes);
    // The shortest first: most keys are under 8 bytes, most short values under 16.
    if (n < 8) {
      if (n >= 4) {
        copy_overlapping<4>(at, from, n);
      } else if (n != 0) {
        at[0] = from[0];
        at[n / 2] = from[n / 2];
        at[n - 1] = from[n - 1];
      }
    } else if (n <= 16) {
      copy_overlapping<8>(at, from, n);
    } else if (n <= 32) {
      copy_overlapping<16>(at, from, n);
    } else {
      std::memcpy(at, from, n);
    }
  }

  // Checked appends: reserve, then write.
  void append(const void* bytes, size_t n) {
    reserve_extra(n);
    put_raw(bytes, n);
  }

 private:
  // The first and the last `Width` of `n` bytes, Width <= n <= 2 * Width:
  // together they cover all n, without reading outside them.
  template <size_t Width>
  static void copy_overlapping(uint8_t* at, const uint8_t* from, size_t n) {
    uint8_t head[Width], tail[Width];
    std::memcpy(head, from, Width);
    std::memcpy(tail, from + n - Width, Width);
    std::memcpy(at, head, Width);
    std::memcpy(at + n - Width, tail, Width);
  }

  void grow(size_t extra) {
    size_t wanted = size_ + extra;
    if (wanted < size_) throw std::bad_alloc();  // size_t overflow
    size_t capacity = capacity_ * 2;
    if (capacity < wanted) capacity = wanted;
    uint8_t* fresh = nullptr;
    if (owns_heap()) {
      fresh = static_cast<uint8_t*>(std::realloc(data_, capacity));
    } else {
      fresh = static_cast<uint8_t*>(std::malloc(capacity));
      if (fresh != nullptr && size_ != 0) std::memcpy(fresh, data_, size_);
    }
    if (fresh == nullptr) throw std::bad_alloc();
    data_ = fresh;
    capacity_ = capacity;
    lent_ = false;
  }

  bool owns_heap() const { return data_ != inline_ && !lent_; }

  uint8_t* data_ = inline_;
  size_t size_ = 0;
  size_t capacity_ = kInlineCapacity;
  bool lent_ = false;  // data_ is storage lent by write_into
  uint8_t inline_[kInlineCapacity];
};

}  // namespace derirezaro::codec
