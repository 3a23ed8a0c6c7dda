// StateCheck: whether encoding a Python object would succeed, and if not the
// exception it would raise, for routing, which checks every state it is
// given but encodes none of it.
//
// The walk (py_walker.hpp) owns the type rules; this is a faster road to the
// same answer. The objects that fill most states (exact str, int, float,
// dict and list, None and bools in the outermost levels) are checked here
// with only the interpreter calls that can refuse them: a str's UTF-8 form,
// an int's range, a container's length. A float, None or a bool cannot be
// refused and costs a type test. Anything else (a subclass, a tuple, bytes,
// an int outside 64 bits, an unsupported type, a container deeper than
// kQuickLevels) is handed to the walk itself, at the depth it has here, so
// what is refused, with which exception, and in which order is the walk's.
//
// Only with the interpreter lock: it reads containers in place, as the walk
// does only where no other thread can change them. A free-threaded build
// checks with the walk.
#pragma once

#include <cstdint>

#include "codec/py_walker.hpp"
#include "lib/python.hpp"

namespace derirezaro::codec {

// Builds nothing: the walk alone finds every error converting would raise.
template <class N>
struct Checking {
  using Node = N;
  bool nil(Node&) { return true; }
  bool boolean(bool, Node&) { return true; }
  bool uint(uint64_t, Node&) { return true; }
  bool negative(int64_t, Node&) { return true; }
  bool float64(double, Node&) { return true; }
  bool str(const char*, uint32_t, Node&) { return true; }
  bool bytes(const char*, uint32_t, Node&) { return true; }
  bool array_begin(uint32_t, Node&) { return true; }
  bool array_item(Node&, Node&&) { return true; }
  bool map_begin(uint32_t, Node&) { return true; }
  bool map_entry(Node&, Node&&, Node&&) { return true; }
};

struct Nothing {};
using CheckSink = Checking<Nothing>;

#ifndef Py_GIL_DISABLED

class StateCheck {
 public:
  // Containers nested this deep are left to the walk. Below the levels the
  // walk enters without the interpreter's recursion check (16), so no check
  // it would make is skipped here, and this recursion stays shallow.
  static constexpr int kQuickLevels = 8;

  // `obj`, inside `depth` containers: true, or false with the exception
  // encoding it there would raise.
  [[gnu::always_inline]] bool element(PyObject* obj, int depth) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) {
      Py_ssize_t size = 0;
      if (PyUnicode_AsUTF8AndSize(obj, &size) == nullptr) return false;  // strict: lone surrogates raise
      return check_wire_length(size, "str", "UTF-8 bytes");
    }
    if (type == &PyLong_Type) {
      int overflow = 0;
      PyLong_AsLongLongAndOverflow(obj, &overflow);  // an exact int cannot fail
      return overflow == 0 || walk(obj, depth);      // beyond int64: the walk knows the rest
    }
    if (type == &PyFloat_Type || obj == Py_None || type == &PyBool_Type) return true;
    if (depth < kQuickLevels) {
      if (type == &PyDict_Type) return dict(obj, depth + 1, [](PyObject*) {});
      if (type == &PyList_Type) return list(obj, depth + 1);
    }
    return walk(obj, depth);
  }

  // A dict whose entries sit inside `depth` containers (its own included),
  // with `on_key(key)` told every key before it is checked.
  template <class OnKey>
  [[gnu::noinline]] bool dict(PyObject* obj, int depth, OnKey&& on_key) {
    if (!check_wire_length(PyDict_Size(obj), "dict", "entries")) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(obj, &pos, &key, &value)) {
      on_key(key);
      if (!element(key, depth) || !element(value, depth)) return false;
    }
    return true;
  }

 private:
  [[gnu::noinline]] bool list(PyObject* obj, int depth) {
    const Py_ssize_t count = PyList_Size(obj);
    if (!check_wire_length(count, "list", "elements")) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!element(PyList_GetItem(obj, i), depth)) return false;
    }
    return true;
  }

  [[gnu::noinline]] bool walk(PyObject* obj, int depth) {
    Nothing nothing;
    return PyWalker<CheckSink>(sink_, false, depth).walk(obj, nothing);
  }

  CheckSink sink_;
};

#endif

}  // namespace derirezaro::codec
