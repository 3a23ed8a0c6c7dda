// ResultCaster<T>: turns what a member returns into the Python object the
// caller receives, so members can return plain C++ values and leave the
// object building (and its failure paths) to one place.
//
//   PyObject*                 passed through: a new reference, or null with
//                             a Python exception set
//   bool                      True / False
//   integers                  int
//   double                    float
//   std::string, string_view  str (the bytes must be UTF-8)
//   std::optional<T>          None, or T's object
//   std::vector<T>            list of T's objects
//   std::pair, std::tuple     tuple of the elements' objects
//
// A binding file adds its own types by specialising ResultCaster, as it
// does ArgCaster. `to_python` returns a new reference, or null with a
// Python exception set; nothing it builds outlives a failure.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "lib/py_ref.hpp"
#include "lib/python.hpp"

namespace derirezaro::py {

template <class T, class = void>
struct ResultCaster;

template <class T>
PyObject* to_python(const T& value) {
  return ResultCaster<T>::to_python(value);
}

template <>
struct ResultCaster<PyObject*> {
  static PyObject* to_python(PyObject* obj) { return obj; }
};

template <>
struct ResultCaster<bool> {
  static PyObject* to_python(bool b) { return PyBool_FromLong(b); }
};

template <class T>
struct ResultCaster<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> {
  static PyObject* to_python(T n) {
    if constexpr (std::is_signed_v<T>) {
      return PyLong_FromLongLong(n);
    } else {
      return PyLong_FromUnsignedLongLong(n);
    }
  }
};

template <>
struct ResultCaster<double> {
  static PyObject* to_python(double d) { return PyFloat_FromDouble(d); }
};

template <>
struct ResultCaster<std::string_view> {
  static PyObject* to_python(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  }
};

template <>
struct ResultCaster<std::string> {
  static PyObject* to_python(const std::string& text) { return py::to_python(std::string_view(text)); }
};

template <class T>
struct ResultCaster<std::optional<T>> {
  static PyObject* to_python(const std::optional<T>& value) {
    if (!value) Py_RETURN_NONE;
    return py::to_python(*value);
  }
};

template <class T>
struct ResultCaster<std::vector<T>> {
  static PyObject* to_python(const std::vector<T>& items) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < items.size(); ++i) {
      PyObject* item = py::to_python(items[i]);
      if (item == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
    }
    return list.release();
  }
};

template <class... T>
struct ResultCaster<std::tuple<T...>> {
  static PyObject* to_python(const std::tuple<T...>& elements) {
    PyRef tuple = PyRef::steal(PyTuple_New(sizeof...(T)));
    if (!tuple) return nullptr;
    bool built = true;
    Py_ssize_t index = 0;
    std::apply(
        [&](const auto&... element) {
          // Stops at the first failure: && short-circuits the rest.
          built = ((set_item(tuple.get(), index++, py::to_python(element))) && ...);
        },
        elements);
    return built ? tuple.release() : nullptr;
  }

 private:
  static bool set_item(PyObject* tuple, Py_ssize_t index, PyObject* item) {
    if (item == nullptr) return false;
    PyTuple_SetItem(tuple, index, item);  // steals
    return true;
  }
};

template <class A, class B>
struct ResultCaster<std::pair<A, B>> {
  static PyObject* to_python(const std::pair<A, B>& pair) {
    return py::to_python(std::tuple<const A&, const B&>(pair.first, pair.second));
  }
};

}  // namespace derirezaro::py
