#include "lib/errors.hpp"

#include <atomic>
#include <exception>
#include <new>

#include "lib/py_ref.hpp"

namespace derirezaro::py {

namespace {

constexpr const char* kPanicWithoutMessage = "derirezaro internal failure";

// Made on first use, and kept for the process. Threads that race to make it
// (possible without an interpreter lock) each make one, and all but the first
// to publish drop theirs: no thread waits for another, since waiting on a
// lock of ours while attached to the interpreter could stall its garbage
// collector's stop of all threads.
PyObject* panic_exception_type() {
  static std::atomic<PyObject*> published{nullptr};
  PyObject* type = published.load(std::memory_order_acquire);
  if (type != nullptr) return type;
  PyObject* made =
      PyErr_NewExceptionWithDoc("derirezaro._core.PanicException",
                                "Raised when an internal invariant of derirezaro breaks. Derives "
                                "from BaseException so that `except Exception` does not hide it.",
                                PyExc_BaseException, nullptr);
  if (made == nullptr) return nullptr;
  if (published.compare_exchange_strong(type, made, std::memory_order_acq_rel, std::memory_order_acquire))
    return made;
  Py_DECREF(made);
  return type;
}

std::string utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return std::string(data, static_cast<size_t>(size));
}

}  // namespace

void raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // creating the class failed: that error stays set
  PyErr_SetString(type, message != nullptr && *message != '\0' ? message : kPanicWithoutMessage);
}

void raise_error(PyObject* type, std::string_view message) {
  PyRef text =
      PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

std::string type_qualname(PyObject* obj) {
  PyRef name =
      PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return "?";
  }
  return utf8_of(name.get());
}

void raise_conversion_error(PyObject* obj, const char* target) {
  // Built by appending: GCC 12 misreports chained operator+ here (-Wrestrict).
  std::string message = "'";
  message += type_qualname(obj);
  message += "' object cannot be converted to '";
  message += target;
  message += "'";
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

void prefix_argument_error(const char* param) {
  if (!PyErr_Occurred()) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef old_type = PyRef::steal(type);
  PyRef old_value = PyRef::steal(value);
  PyRef old_traceback = PyRef::steal(traceback);

  std::string message = std::string("argument '") + param + "': ";
  PyRef text = PyRef::steal(old_value ? PyObject_Str(old_value.get()) : nullptr);
  if (text) {
    message += utf8_of(text.get());
  } else {
    PyErr_Clear();
  }
  PyRef replacement = PyRef::steal(PyObject_CallFunction(PyExc_TypeError, "s", message.c_str()));
  if (!replacement) return;  // that failure (e.g. MemoryError) is now the pending error
  if (old_value) {
    PyObject* cause = PyException_GetCause(old_value.get());               // new reference or null
    if (cause != nullptr) PyException_SetCause(replacement.get(), cause);  // steals it
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

void raise_from_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const ErrorAlreadySet&) {
    if (!PyErr_Occurred()) raise_panic("a failure was reported without a Python exception");
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic(nullptr);
  }
}

}  // namespace derirezaro::py
