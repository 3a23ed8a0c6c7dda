// SharedBytes: an immutable byte block with an intrusive atomic reference
// count, and SharedBytesRef, the handle that owns one reference.
//
// Map keys and encoded values live in these blocks, so that copying a map
// node copies 8-byte handles and bumps counts instead of copying bytes:
// a write after a snapshot then costs one node per trie level, never the
// keys and values that node holds.
//
// Layout: a 16-byte header (count, size) followed directly by the bytes, in
// one allocation made through detail::allocate, so that in test builds the
// block is counted and its allocation can be made to fail.
//
// Invariants
// - The bytes never change after the block is built; any thread may read
//   them through any handle without synchronisation.
// - A null handle (default-constructed or moved-from) views zero bytes, so
//   every accessor is safe on every handle. Empty byte strings are always
//   null: they need no block.
// - Counting follows the usual pattern: increments are relaxed (the new
//   reference is made from an existing one, which keeps the block alive);
//   the decrement that reaches zero is acquire-release, so every use through
//   another handle happens before the block is freed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "store/allocation.hpp"

namespace derirezaro::store {

class SharedBytes {
 public:
  SharedBytes(const SharedBytes&) = delete;
  SharedBytes& operator=(const SharedBytes&) = delete;

  size_t size() const noexcept { return size_; }
  const char* data() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  std::string_view view() const noexcept { return {data(), size_}; }
  uint64_t use_count() const noexcept { return refs_.load(std::memory_order_relaxed); }

 private:
  friend class SharedBytesRef;

  explicit SharedBytes(size_t size) noexcept : size_(size) {}

  char* mutable_data() noexcept { return reinterpret_cast<char*>(this + 1); }
  void retain() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
  void release() noexcept;

  std::atomic<uint64_t> refs_{1};
  size_t size_;
};

static_assert(sizeof(SharedBytes) == 16, "the header is two words; the bytes follow it");

class SharedBytesRef {
 public:
  SharedBytesRef() noexcept = default;
  SharedBytesRef(const SharedBytesRef& other) noexcept : block_(other.block_) {
    if (block_ != nullptr) block_->retain();
  }
  SharedBytesRef(SharedBytesRef&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  SharedBytesRef& operator=(const SharedBytesRef& other) noexcept {
    SharedBytesRef copy(other);
    swap(copy);
    return *this;
  }
  SharedBytesRef& operator=(SharedBytesRef&& other) noexcept {
    SharedBytesRef taken(std::move(other));
    swap(taken);
    return *this;
  }
  ~SharedBytesRef() {
    if (block_ != nullptr) block_->release();
  }

  // A new block holding a copy of `bytes` (none when empty). Throws
  // std::bad_alloc.
  static SharedBytesRef copy_of(std::string_view bytes) {
    return build(bytes.size(), [&](char* out) noexcept { std::memcpy(out, bytes.data(), bytes.size()); });
  }

  // A new block of `size` bytes written by `fill(char* out)`, for producers
  // that can write their output straight into the block. If `fill` throws,
  // the block is freed and the exception propagates. Throws std::bad_alloc.
  template <class Fill>
  static SharedBytesRef build(size_t size, Fill&& fill) {
    SharedBytesRef ref;
    if (size == 0) return ref;
    ref.block_ = allocate_block(size);
    fill(ref.block_->mutable_data());  // on a throw, `ref` frees the block
    return ref;
  }

  size_t size() const noexcept { return block_ != nullptr ? block_->size() : 0; }
  const char* data() const noexcept { return block_ != nullptr ? block_->data() : ""; }
  std::string_view view() const noexcept { return block_ != nullptr ? block_->view() : std::string_view(); }
  // References to this block, 0 for a null handle. Exact only while no other
  // thread copies or drops a handle to the same block.
  uint64_t use_count() const noexcept { return block_ != nullptr ? block_->use_count() : 0; }
  // The block itself, or null; identity of blocks is what tests of sharing
  // compare.
  const SharedBytes* block() const noexcept { return block_; }

  void swap(SharedBytesRef& other) noexcept { std::swap(block_, other.block_); }

  // Byte-wise equality of the contents.
  friend bool operator==(const SharedBytesRef& a, const SharedBytesRef& b) noexcept {
    return a.block_ == b.block_ || a.view() == b.view();
  }
  friend bool operator==(const SharedBytesRef& a, std::string_view b) noexcept { return a.view() == b; }

 private:
  static SharedBytes* allocate_block(size_t size);

  SharedBytes* block_ = nullptr;
};

inline void SharedBytes::release() noexcept {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  const size_t total = sizeof(SharedBytes) + size_;
  this->~SharedBytes();
  detail::deallocate(this, total);
  detail::count_byte_block(-1);
}

}  // namespace derirezaro::store
