// PyRef: an owned (strong) reference, released when it goes out of scope.
//
// Binding code holds every new reference in a PyRef until it is handed to
// the interpreter, so an early return on error cannot leak.
#pragma once

#include <utility>

#include "lib/python.hpp"

namespace derirezaro::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes ownership of a new reference (which may be null after a failed call).
  static PyRef steal(PyObject* obj) { return PyRef(obj); }
  // Adds a reference to a borrowed one.
  static PyRef borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  explicit PyRef(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace derirezaro::py
