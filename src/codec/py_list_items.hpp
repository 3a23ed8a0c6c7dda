// A list's size and items read straight from the list object, where the
// interpreter's list layout is known.
//
// Under the stable ABI a list's items are reached only through
// PyList_GetItem, a call with its own type and bounds checks: about ten
// instructions an item, a sixth of all that a run of numbers spends on one.
// The stable ABI does not promise the layout behind it, so the
// direct read is gated, once, at module load (decide_list_reads): the running
// interpreter is 3.10 through 3.14, not free-threaded, its list type is at
// least as large as the layout below, and a probe list read through that
// layout gives exactly the size and items the promised calls give, while it
// grows. Every other interpreter (a later version, another implementation)
// gets the promised calls for every read, at their cost.
//
// A direct read is sound only while the list cannot change under it: the
// caller runs no Python code between reading an item and using it (the walk
// runs none at all), and reads the item array through the list object for
// each item, so an array the list has since reallocated is never read.
#pragma once

#include <cstring>

#include "lib/python.hpp"

namespace derirezaro::codec {

namespace detail {

// A list as every interpreter the gate admits lays it out: the variable-size
// object head (whose size is the item count), then the item array.
struct KnownListLayout {
  PyVarObject head;
  PyObject** items;
};

inline bool g_direct_list_reads = false;

inline const KnownListLayout* known_layout(PyObject* list) {
  return reinterpret_cast<const KnownListLayout*>(list);
}

// Whether a `list` of `count` items reads the same through the layout as
// through the promised calls.
inline bool reads_as_promised(PyObject* list, Py_ssize_t count) {
  const KnownListLayout* known = known_layout(list);
  if (known->head.ob_base.ob_type != &PyList_Type || known->head.ob_size != count ||
      PyList_Size(list) != count)
    return false;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (known->items[i] != PyList_GetItem(list, i)) return false;
  }
  return true;
}

// The interpreter's version and build, as far as the gate needs them.
inline bool known_interpreter() {
  PyObject* hexversion = PySys_GetObject("hexversion");  // borrowed
  if (hexversion == nullptr || !PyLong_Check(hexversion)) return false;
  const long version = PyLong_AsLong(hexversion);
  if (version < 0x030A0000 || version >= 0x030F0000) return false;
  // A free-threaded build puts more in every object's head ("t" in its ABI
  // flags where the platform has them; elsewhere the probe tells).
  if (PyObject* flags = PySys_GetObject("abiflags"); flags != nullptr && PyUnicode_Check(flags)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(flags, &size);
    if (text == nullptr || std::memchr(text, 't', static_cast<size_t>(size)) != nullptr) return false;
  }
  PyObject* basicsize = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyList_Type), "__basicsize__");
  if (basicsize == nullptr) return false;
  const long list_size = PyLong_Check(basicsize) ? PyLong_AsLong(basicsize) : -1;
  Py_DECREF(basicsize);
  return list_size >= static_cast<long>(sizeof(KnownListLayout));
}

// A probe list, grown one item at a time past a few reallocations of its
// array, reads as promised at every size.
inline bool probe_reads_as_promised() {
  PyObject* probe = PyList_New(0);
  if (probe == nullptr) return false;
  bool same = reads_as_promised(probe, 0);
  for (long i = 0; same && i < 20; ++i) {
    PyObject* item = PyLong_FromLong(i * 1000003);  // distinct objects, so a misplaced read shows
    same = item != nullptr && PyList_Append(probe, item) == 0 && reads_as_promised(probe, i + 1);
    Py_XDECREF(item);
  }
  Py_DECREF(probe);
  return same;
}

}  // namespace detail

// Decides, once at module load and before any walk, whether lists are read
// directly. Any error on the way leaves the promised calls in place and no
// exception set.
inline void decide_list_reads() {
#ifndef Py_GIL_DISABLED
  detail::g_direct_list_reads = detail::known_interpreter() && detail::probe_reads_as_promised();
  if (PyErr_Occurred()) {
    PyErr_Clear();
    detail::g_direct_list_reads = false;
  }
#endif
}

// Without an interpreter lock another thread may resize a list: the walk
// reads a snapshot of it there, never the list itself.
inline bool direct_list_reads() {
#ifdef Py_GIL_DISABLED
  return false;
#else
  return detail::g_direct_list_reads;
#endif
}

// Valid only where direct_list_reads(), for a list or a subclass of list
// (which keeps the list's layout at the start of its own).
inline Py_ssize_t known_list_size(PyObject* list) { return detail::known_layout(list)->head.ob_size; }

// Borrowed; valid only where direct_list_reads() and for i below the size.
// The array is read through the list for every item, never kept.
inline PyObject* known_list_item(PyObject* list, Py_ssize_t i) {
  return detail::known_layout(list)->items[i];
}

}  // namespace derirezaro::codec
