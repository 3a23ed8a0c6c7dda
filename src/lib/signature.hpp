// Signature: a member's parameters, read once from its text signature, and
// the argument binding that every call goes through.
//
// Every parameter is positional-or-keyword; the leading ones without a
// default are required (signature_text.hpp reads and checks the text).
// Binding fills one slot per parameter (null = not
// given) and raises the interpreter-style TypeError texts:
//   "<full name> takes N positional arguments but G were given"
//   "<full name> takes from R to N positional arguments but G were given"
//   "<full name> got multiple values for argument 'x'"
//   "<full name> got an unexpected keyword argument 'x'"
//   "<full name> missing K required positional argument(s): 'a', 'b', and 'c'"
// where the full name is "Class.member()" or "function()".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "lib/python.hpp"
#include "lib/signature_text.hpp"

namespace derirezaro::py {

class Signature {
 public:
  // `qualified_name` is "Store.set" or "dumps"; `text_signature` is the
  // member's "($self, namespace, key, default=None)" or "(obj)". Throws
  // std::invalid_argument, naming both, when the text cannot be read.
  Signature(std::string_view qualified_name, std::string_view text_signature);

  const std::string& full_name() const { return full_name_; }  // "Store.set()"
  size_t size() const { return names_.size(); }
  const char* name(size_t i) const { return names_[i].c_str(); }

  // Vectorcall form: `args` holds `nargs` positional values and then one
  // value per name in `kwnames` (which may be null).
  bool bind(PyObject* const* args, size_t nargs, PyObject* kwnames, PyObject** slots) const;
  // Tuple-and-dict form, for constructors.
  bool bind(PyObject* args, PyObject* kwargs, PyObject** slots) const;

 private:
  bool bind_positional(PyObject* const* args, size_t nargs, PyObject** slots) const;
  bool bind_keyword(PyObject* name, PyObject* value, PyObject** slots) const;
  bool check_required(PyObject* const* slots) const;
  void raise(const std::string& tail) const;

  std::string full_name_;           // "Store.set()"
  std::vector<std::string> names_;  // parameter names, $self excluded
  size_t required_ = 0;
};

}  // namespace derirezaro::py
