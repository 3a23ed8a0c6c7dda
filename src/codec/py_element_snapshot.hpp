// ElementSnapshot: owned references to a list's items or a dict's keys and
// values, taken in one go while the container is locked against other
// threads. Only a free-threaded interpreter needs it: there another thread
// may resize a list or dict while the walk reads it, and a borrowed item may
// be freed under the walk. The walk reads the snapshot instead, so the count
// it writes up front matches what follows, and every element it visits
// stays alive until the container's walk ends.
//
// The lock is the container's own critical section, held only while the
// references are copied: the walk of the elements locks nothing, so it
// never waits for another container with this one held.
#pragma once

#include "lib/python.hpp"

#ifdef Py_GIL_DISABLED

#include <cstddef>
#include <new>
#include <vector>

namespace derirezaro::codec {

class ElementSnapshot {
 public:
  ElementSnapshot() = default;
  ~ElementSnapshot() {
    for (PyObject* obj : refs_) Py_DECREF(obj);
  }
  ElementSnapshot(const ElementSnapshot&) = delete;
  ElementSnapshot& operator=(const ElementSnapshot&) = delete;

  // The list's items; false with MemoryError set when the copy cannot be made.
  bool take_list(PyObject* list) {
    bool taken = true;
    Py_BEGIN_CRITICAL_SECTION(list);
    const Py_ssize_t count = PyList_GET_SIZE(list);
    taken = reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; taken && i < count; ++i) refs_.push_back(Py_NewRef(PyList_GET_ITEM(list, i)));
    Py_END_CRITICAL_SECTION();
    return taken || no_memory();
  }

  // The dict's entries as key, value, key, value, ...
  bool take_dict(PyObject* dict) {
    bool taken = true;
    Py_BEGIN_CRITICAL_SECTION(dict);
    taken = reserve(2 * static_cast<size_t>(PyDict_GET_SIZE(dict)));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (taken && PyDict_Next(dict, &pos, &key, &value)) {
      refs_.push_back(Py_NewRef(key));
      refs_.push_back(Py_NewRef(value));
    }
    Py_END_CRITICAL_SECTION();
    return taken || no_memory();
  }

  size_t size() const { return refs_.size(); }
  PyObject* operator[](size_t i) const { return refs_[i]; }

 private:
  // No Python API may fail inside the critical section, so the one
  // allocation happens first.
  bool reserve(size_t n) {
    try {
      refs_.reserve(n);
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  [[gnu::cold]] static bool no_memory() {
    PyErr_NoMemory();
    return false;
  }

  std::vector<PyObject*> refs_;
};

}  // namespace derirezaro::codec

#endif  // Py_GIL_DISABLED
