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
// strings of at most kMaxKeyBytes). Guarded by the interpreter lock: used
// only by the decoder, which holds it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/python.hpp"

namespace derirezaro::codec {

inline constexpr size_t kMaxCachedKeyBytes = 32;

// A new reference to a str equal to the UTF-8 `bytes`, or null with no
// exception set when the bytes are not valid UTF-8 (or with MemoryError set
// when allocation fails: check PyErr_Occurred).
PyObject* cached_key(const uint8_t* bytes, uint32_t size);

}  // namespace derirezaro::codec
