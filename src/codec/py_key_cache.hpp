// KeyCache: reuses the str objects of recently decoded short map keys.
//
// Agent state is full of dicts with the same few keys; making each key anew
// costs an allocation, a UTF-8 decode and, on insertion, a string hash. The
// cache maps a key's UTF-8 bytes to a str object it keeps alive, so a repeat
// key costs one probe and an incref, and its hash is already cached in the
// object. Strings are immutable, so sharing them is invisible except to `is`.
//
// Direct-mapped: each key has one slot, chosen by a hash of its bytes; a
// different key in that slot is simply replaced. Memory is bounded (kSlots
// strings of at most kMaxKeyBytes). Where the interpreter has a lock of its
// own, one set of slots serves the process, guarded by that lock: only the
// decoder uses them, and it holds the lock. A free-threaded interpreter has
// none, so there each thread has slots of its own (thread_slots): a probe
// takes no lock, and the strings a thread reuses are its own, whose
// reference counts it changes without atomic operations.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lib/python.hpp"

namespace derirezaro::codec {

inline constexpr size_t kMaxCachedKeyBytes = 32;

// The probe is inline, in the decoder's loop: a call per key costs a fifth of
// what the cache saves. Only a miss calls out.
namespace key_cache {

inline constexpr unsigned kSlotBits = 10;
inline constexpr size_t kSlots = size_t{1} << kSlotBits;

struct Slot {
  PyObject* str = nullptr;  // owned; null when empty
  uint8_t size = 0;
  uint8_t bytes[kMaxCachedKeyBytes];
};
using Slots = std::array<Slot, kSlots>;

#ifdef Py_GIL_DISABLED
// The calling thread's slots, made on its first call and freed, references
// and all, when its thread state is cleared; null (no exception set) when
// they cannot be made, and the caller decodes without a cache.
Slots* thread_slots();
#else
// Read and written only under the interpreter lock. The references it holds
// live until replaced, or for the process.
extern Slots g_slots;
#endif

inline uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline uint32_t load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Whether n bytes at a and b are equal: up to 16 bytes in overlapping words,
// with no call (most keys are that short), longer ones by memcmp.
inline bool equal_bytes(const uint8_t* a, const uint8_t* b, uint32_t n) {
  if (n >= 8 && n <= 16) {
    return ((load64(a) ^ load64(b)) | (load64(a + n - 8) ^ load64(b + n - 8))) == 0;
  }
  if (n >= 4 && n < 8) {
    return ((load32(a) ^ load32(b)) | (load32(a + n - 4) ^ load32(b + n - 4))) == 0;
  }
  if (n < 4) {
    return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
  }
  return std::memcmp(a, b, n) == 0;
}

inline size_t slot_index(const uint8_t* bytes, uint32_t size) {
  // Head and tail words plus the length, read with fixed-size loads that may
  // overlap: cheap, and distinct enough for short keys (a collision only
  // costs a miss). Keys under four bytes share their head and tail words
  // with their repetitions ("a", "aa", "aaa"), so the length must reach the
  // index: it sits in the top byte, and the fold brings the top half down
  // before the last multiply, whose top bits depend on every input bit.
  uint64_t head = 0;
  uint64_t tail = 0;
  if (size >= 8) {
    head = load64(bytes);
    tail = load64(bytes + size - 8);
  } else if (size >= 4) {
    head = load32(bytes);
    tail = load32(bytes + size - 4);
  } else if (size > 0) {
    head = (uint64_t{bytes[0]} << 16) | (uint64_t{bytes[size / 2]} << 8) | bytes[size - 1];
  }
  uint64_t h = (head ^ (uint64_t{size} << 56)) * 0x9e3779b97f4a7c15ull;
  h ^= tail * 0xff51afd7ed558ccdull;
  h ^= h >> 32;
  h *= 0x9e3779b97f4a7c15ull;
  return static_cast<size_t>(h >> (64 - kSlotBits));
}

// A miss: decodes the key and takes the slot.
PyObject* decode_into(Slot& slot, const uint8_t* bytes, uint32_t size);

// The key decoded without the cache.
PyObject* decode_uncached(const uint8_t* bytes, uint32_t size);

}  // namespace key_cache

// A new reference to a str equal to the UTF-8 `bytes`, or null with no
// exception set when the bytes are not valid UTF-8 (or with MemoryError set
// when allocation fails: check PyErr_Occurred).
inline PyObject* cached_key(key_cache::Slots& slots, const uint8_t* bytes, uint32_t size) {
  key_cache::Slot& slot = slots[key_cache::slot_index(bytes, size)];
  if (slot.str != nullptr && slot.size == size && key_cache::equal_bytes(slot.bytes, bytes, size)) {
    Py_INCREF(slot.str);
    return slot.str;
  }
  return key_cache::decode_into(slot, bytes, size);
}

// The slots one decoding uses, found once for all its keys.
class KeyCache {
 public:
#ifdef Py_GIL_DISABLED
  PyObject* get(const uint8_t* bytes, uint32_t size) {
    if (slots_ == nullptr) [[unlikely]]
      return key_cache::decode_uncached(bytes, size);
    return cached_key(*slots_, bytes, size);
  }

 private:
  key_cache::Slots* slots_ = key_cache::thread_slots();
#else
  PyObject* get(const uint8_t* bytes, uint32_t size) { return cached_key(key_cache::g_slots, bytes, size); }
#endif
};

}  // namespace derirezaro::codec
