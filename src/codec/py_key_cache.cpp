#include "codec/py_key_cache.hpp"

#include <array>
#include <cstring>

namespace derirezaro::codec {

namespace {

constexpr size_t kSlots = 1024;  // a power of two

struct Slot {
  PyObject* str = nullptr;  // owned; null when empty
  uint8_t size = 0;
  uint8_t bytes[kMaxCachedKeyBytes];
};

// Written and read only under the interpreter lock. The references it holds
// live until replaced, or for the process.
std::array<Slot, kSlots> g_slots;

uint64_t load_partial(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  std::memcpy(&v, p, n < 8 ? n : 8);
  return v;
}

size_t slot_index(const uint8_t* bytes, uint32_t size) {
  // Head and tail words plus the length: cheap, and distinct enough for
  // short keys; a collision only costs a miss.
  uint64_t h = load_partial(bytes, size) ^ (static_cast<uint64_t>(size) << 56);
  if (size > 8) h ^= load_partial(bytes + size - 8, 8) * 0x9e3779b97f4a7c15ull;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  return static_cast<size_t>(h & (kSlots - 1));
}

}  // namespace

PyObject* cached_key(const uint8_t* bytes, uint32_t size) {
  Slot& slot = g_slots[slot_index(bytes, size)];
  if (slot.str != nullptr && slot.size == size && std::memcmp(slot.bytes, bytes, size) == 0) {
    Py_INCREF(slot.str);
    return slot.str;
  }
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

}  // namespace derirezaro::codec
