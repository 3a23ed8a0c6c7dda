#include "codec/py_key_cache.hpp"

namespace derirezaro::codec::key_cache {

std::array<Slot, kSlots> g_slots;

// Apart from the probe, so that a hit saves none of the registers the
// decoding needs.
PyObject* decode_into(Slot& slot, const uint8_t* bytes, uint32_t size) {
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

}  // namespace derirezaro::codec::key_cache
