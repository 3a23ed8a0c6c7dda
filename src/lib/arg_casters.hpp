// ArgCaster<T>: converts one bound Python argument to the C++ type a member
// declares for that parameter. The call wrapper picks the caster from the
// member's own signature, so declaring a parameter's type is all a member
// does to get its conversion and its error text.
//
// `convert` is only called for arguments that were given; a parameter left
// at its default keeps the value-initialised T (null, empty, nullopt).
// On failure it sets a Python exception; the wrapper then applies the
// "argument '<name>': ..." rule to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "lib/errors.hpp"
#include "lib/instance.hpp"
#include "lib/python.hpp"

namespace derirezaro::py {

// A `str` argument as UTF-8, borrowed from the argument object (which the
// caller keeps alive for the whole call).
struct Utf8 {
  std::string_view text;
};

// A `bytes` argument (subclasses accepted), borrowed likewise.
struct ByteView {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// An argument that must be an instance of one of the module's classes
// (exactly: the classes are final): its record, borrowed from the argument,
// which the caller keeps alive for the whole call. The argument's own
// borrow flag is not taken, so this is for records that never change
// (Snapshot) or that the member only reads under their own locks.
template <class Record>
struct InstanceOf {
  Record* record = nullptr;
};

template <class T>
struct ArgCaster;

template <class Record>
struct ArgCaster<InstanceOf<Record>> {
  static bool convert(PyObject* obj, InstanceOf<Record>& out) {
    if (Instance<Record>::type == nullptr || Py_TYPE(obj) != Instance<Record>::type) {
      raise_conversion_error(obj, Record::kClassName);
      return false;
    }
    out.record = &Instance<Record>::from(obj)->record;
    return true;
  }
};

template <>
struct ArgCaster<PyObject*> {
  static bool convert(PyObject* obj, PyObject*& out) {
    out = obj;
    return true;
  }
};

template <>
struct ArgCaster<Utf8> {
  static bool convert(PyObject* obj, Utf8& out) {
    if (!PyUnicode_Check(obj)) {
      raise_conversion_error(obj, "PyString");
      return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);  // UnicodeEncodeError passes unchanged
    if (text == nullptr) return false;
    out.text = std::string_view(text, static_cast<size_t>(size));
    return true;
  }
};

template <>
struct ArgCaster<ByteView> {
  static bool convert(PyObject* obj, ByteView& out) {
    if (!PyBytes_Check(obj)) {
      raise_conversion_error(obj, "PyBytes");
      return false;
    }
    out.data = reinterpret_cast<const uint8_t*>(PyBytes_AsString(obj));
    out.size = static_cast<size_t>(PyBytes_Size(obj));
    return true;
  }
};

// A parameter that also takes None (the same as leaving it out), unlike
// std::optional<T>, for which None is a wrong type like any other.
template <class T>
struct NoneOr {
  std::optional<T> value;
};

template <class T>
struct ArgCaster<NoneOr<T>> {
  static bool convert(PyObject* obj, NoneOr<T>& out) {
    if (obj == Py_None) return true;
    T value{};
    if (!ArgCaster<T>::convert(obj, value)) return false;
    out.value = std::move(value);
    return true;
  }
};

template <class T>
struct ArgCaster<std::optional<T>> {
  static bool convert(PyObject* obj, std::optional<T>& out) {
    T value{};
    if (!ArgCaster<T>::convert(obj, value)) return false;
    out = std::move(value);
    return true;
  }
};

}  // namespace derirezaro::py
