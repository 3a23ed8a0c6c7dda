// Instance<Record>: the memory layout of an instance of one of the module's
// classes: the object header, the borrow flag, then the C++ record.
//
// Records are constructed in place (they may hold locks, which cannot move)
// and destroyed by `dealloc`. The classes are final and not collected by the
// cyclic garbage collector, so `dealloc` is the whole lifecycle.
//
// A record whose destruction can be long work (it drops the last reference
// to a large structure) defines `void free_heavy_parts() noexcept`: `dealloc`
// calls it first, with the interpreter lock held, and it may give the lock
// up while it frees (lib/gil.hpp, drop_off_lock_if_large). The record is
// destroyed after it, so what it leaves must be cheap to destroy.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

#include "lib/borrow.hpp"
#include "lib/errors.hpp"
#include "lib/python.hpp"

namespace derirezaro::py {

// What the interpreter's object allocator promises: 16-byte alignment on
// 64-bit platforms, 8 on 32-bit ones. Instance memory comes from it.
inline constexpr size_t kObjectAllocatorAlignment = sizeof(void*) > 4 ? 16 : 8;

template <class Record>
struct Instance {
  PyObject_HEAD BorrowFlag borrow;
  Record record;

  // A record that needs more (a cache-line aligned lock, say) must hold its
  // over-aligned parts by pointer.
  static_assert(alignof(Record) <= kObjectAllocatorAlignment,
                "the object allocator cannot align this record: hold its over-aligned parts by pointer");

  // The class's type object: written once at import, read-only afterwards.
  static inline PyTypeObject* type = nullptr;

  static Instance* from(PyObject* obj) { return reinterpret_cast<Instance*>(obj); }

  // Allocates an instance of `cls` and constructs its record from `args`.
  // Returns a new reference, or null with a Python exception set.
  template <class... Args>
  static PyObject* create(PyTypeObject* cls, Args&&... args) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
    PyObject* obj = alloc(cls, 0);  // zeroed; holds a reference to `cls`
    if (obj == nullptr) return nullptr;
    Instance* self = from(obj);
    try {
      new (&self->borrow) BorrowFlag();
      new (&self->record) Record(std::forward<Args>(args)...);
    } catch (...) {
      free_memory(obj);
      raise_from_current_exception();
      return nullptr;
    }
    return obj;
  }

  static void dealloc(PyObject* obj) {
    Instance* self = from(obj);
    if constexpr (requires(Record& held) { held.free_heavy_parts(); }) self->record.free_heavy_parts();
    self->record.~Record();
    self->borrow.~BorrowFlag();
    free_memory(obj);
  }

 private:
  static void free_memory(PyObject* obj) {
    PyTypeObject* cls = Py_TYPE(obj);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(cls, Py_tp_free));
    free_fn(obj);
    Py_DECREF(cls);  // instances of heap types own a reference to their type
  }
};

}  // namespace derirezaro::py
