#include "codec/py_key_cache.hpp"

#include <array>
#include <cstring>

namespace derirezaro::codec {

namespace {

constexpr unsigned kSlotBits = 10;
constexpr size_t kSlots = size_t{1} << kSlotBits;

struct Slot {
  PyObject* str = nullptr;  // owned; null when empty
  uint8_t size = 0;
  uint8_t bytes[kMaxCachedKeyBytes];
};

// Written and read only under the interpreter lock. The references it holds
// live until replaced, or for the process.
std::array<Slot, kSlots> g_slots;

uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

uint32_t load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Whether n bytes at a and b are equal: up to 16 bytes in overlapping words,
// with no call (most keys are that short), longer ones by memcmp.
bool equal_bytes(const uint8_t* a, const uint8_t* b, uint32_t n) {
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

size_t slot_index(const uint8_t* bytes, uint32_t size) {
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

}  // namespace

namespace {

// A miss decodes the key and takes the slot; apart from the hit, so that the
// hit saves none of the registers the decoding needs.
[[gnu::noinline]] PyObject* decode_into(Slot& slot, const uint8_t* bytes, uint32_t size) {
  PyObject* str = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(bytes), size, nullptr);
  if (str == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) PyErr_Clear();
    return nullptr;
  }
  PyObject* old = slot.str;
  Py_INCREF(str);
  slot.str = str;
  slot.size = static_cast<uint8_t>(size);
  std::memcpy(slot.bytes, bytes, size);
  Py_XDECREF(old);  // after the slot is consistent: a str's dealloc runs no Python code anyway
  return str;
}

}  // namespace

PyObject* cached_key(const uint8_t* bytes, uint32_t size) {
  Slot& slot = g_slots[slot_index(bytes, size)];
  if (slot.str != nullptr && slot.size == size && equal_bytes(slot.bytes, bytes, size)) {
    Py_INCREF(slot.str);
    return slot.str;
  }
  return decode_into(slot, bytes, size);
}

}  // namespace derirezaro::codec
