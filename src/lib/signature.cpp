#include "lib/signature.hpp"

#include <utility>

namespace derirezaro::py {

namespace {

const char* were(size_t count) { return count == 1 ? "was" : "were"; }

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string join_quoted(const std::vector<std::string>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ",";
      out += (i + 1 == names.size()) ? " and " : " ";
    }
    out += "'" + names[i] + "'";
  }
  return out;
}

}  // namespace

Signature::Signature(std::string_view qualified_name, std::string_view text_signature)
    : full_name_(std::string(qualified_name) + "()") {
  ParameterList params = parse_text_signature(qualified_name, text_signature);
  names_ = std::move(params.names);
  required_ = params.required;
}

void Signature::raise(const std::string& tail) const {
  PyErr_SetString(PyExc_TypeError, (full_name_ + tail).c_str());
}

bool Signature::bind_positional(PyObject* const* args, size_t nargs, PyObject** slots) const {
  if (nargs > names_.size()) {
    std::string takes = required_ == names_.size()
                            ? std::to_string(names_.size())
                            : "from " + std::to_string(required_) + " to " + std::to_string(names_.size());
    raise(" takes " + takes + " positional arguments but " + std::to_string(nargs) + " " + were(nargs) +
          " given");
    return false;
  }
  for (size_t i = 0; i < nargs; ++i) slots[i] = args[i];
  return true;
}

bool Signature::bind_keyword(PyObject* name, PyObject* value, PyObject** slots) const {
  for (size_t i = 0; i < names_.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, names_[i].c_str()) != 0) continue;
    if (slots[i] != nullptr) {
      raise(" got multiple values for argument '" + names_[i] + "'");
      return false;
    }
    slots[i] = value;
    return true;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) return false;
  raise(" got an unexpected keyword argument '" + std::string(text, static_cast<size_t>(size)) + "'");
  return false;
}

bool Signature::check_required(PyObject* const* slots) const {
  std::vector<std::string> missing;
  for (size_t i = 0; i < required_; ++i) {
    if (slots[i] == nullptr) missing.push_back(names_[i]);
  }
  if (missing.empty()) return true;
  raise(" missing " + std::to_string(missing.size()) + " required positional " +
        (missing.size() == 1 ? "argument" : "arguments") + ": " + join_quoted(missing));
  return false;
}

bool Signature::bind(PyObject* const* args, size_t nargs, PyObject* kwnames, PyObject** slots) const {
  if (kwnames == nullptr && nargs >= required_ && nargs <= names_.size()) {
    // The common call, arguments by position alone and enough of them: nothing to check.
    for (size_t i = 0; i < nargs; ++i) slots[i] = args[i];
    return true;
  }
  if (!bind_positional(args, nargs, slots)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!bind_keyword(PyTuple_GetItem(kwnames, i), args[nargs + static_cast<size_t>(i)], slots)) {
        return false;
      }
    }
  }
  return check_required(slots);
}

bool Signature::bind(PyObject* args, PyObject* kwargs, PyObject** slots) const {
  const size_t nargs = args != nullptr ? static_cast<size_t>(PyTuple_Size(args)) : 0;
  PyObject* positional[kMaxParams + 1] = {};
  // Only the count matters once it exceeds the parameters: the error says so.
  const size_t copied = nargs <= kMaxParams ? nargs : 0;
  for (size_t i = 0; i < copied; ++i) positional[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  if (nargs > names_.size()) return bind_positional(positional, nargs, slots);
  if (!bind_positional(positional, nargs, slots)) return false;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!bind_keyword(name, value, slots)) return false;
    }
  }
  return check_required(slots);
}

}  // namespace derirezaro::py
