#include "codec/py_key_cache.hpp"

#ifdef Py_GIL_DISABLED
#include <memory>
#include <new>
#endif

namespace derirezaro::codec::key_cache {

#ifdef Py_GIL_DISABLED

namespace {

// The key under which a thread's slots sit in its thread-state dict.
constexpr const char* kThreadStateKey = "derirezaro._core.key_cache";

// A cache for a thread's slots: found without a dict lookup. Cleared by the
// capsule's destructor, which runs on the thread itself when its state is
// cleared (at thread exit, or PyGILState_Release); only interpreter
// finalisation clears the state of another thread, which then runs no more
// Python code.
thread_local Slots* t_slots = nullptr;

void free_slots(PyObject* capsule) {
  auto* slots = static_cast<Slots*>(PyCapsule_GetPointer(capsule, kThreadStateKey));
  if (slots == nullptr) return;
  if (t_slots == slots) t_slots = nullptr;
  for (Slot& slot : *slots) Py_XDECREF(slot.str);
  delete slots;
}

Slots* make_thread_slots() {
  PyObject* dict = PyThreadState_GetDict();  // borrowed
  if (dict == nullptr) return nullptr;
  std::unique_ptr<Slots> slots(new (std::nothrow) Slots());
  if (!slots) return nullptr;
  PyObject* capsule = PyCapsule_New(slots.get(), kThreadStateKey, &free_slots);
  if (capsule == nullptr || PyDict_SetItemString(dict, kThreadStateKey, capsule) != 0) {
    if (capsule != nullptr) {
      PyCapsule_SetDestructor(capsule, nullptr);  // `slots` still owns the memory
      Py_DECREF(capsule);
    }
    PyErr_Clear();
    return nullptr;
  }
  Py_DECREF(capsule);  // the thread-state dict keeps it
  return t_slots = slots.release();
}

}  // namespace

Slots* thread_slots() {
  if (t_slots != nullptr) [[likely]]
    return t_slots;
  return make_thread_slots();
}

#else

Slots g_slots;

#endif

PyObject* decode_uncached(const uint8_t* bytes, uint32_t size) {
  PyObject* str = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(bytes), size, nullptr);
  if (str == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) PyErr_Clear();
  return str;
}

// Apart from the probe, so that a hit saves none of the registers the
// decoding needs.
PyObject* decode_into(Slot& slot, const uint8_t* bytes, uint32_t size) {
  PyObject* str = decode_uncached(bytes, size);
  if (str == nullptr) return nullptr;
  PyObject* old = slot.str;
  Py_INCREF(str);
  slot.str = str;
  slot.size = static_cast<uint8_t>(size);
  std::memcpy(slot.bytes, bytes, size);
  Py_XDECREF(old);  // after the slot is consistent: a str's dealloc runs no Python code anyway
  return str;
}

}  // namespace derirezaro::codec::key_cache
