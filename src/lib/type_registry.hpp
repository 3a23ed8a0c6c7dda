// Creating the module's classes and functions from their member tables.
//
// Every class is made the same way: type name "derirezaro._core.<Name>",
// base `object`, the interpreter's default flags and nothing else. So the
// classes are final (not acceptable base types), instances carry no
// __dict__ and no weak-reference slot, take no part in cyclic garbage
// collection, and compare and hash by identity. A class with a constructor
// keeps its text signature in its docstring ("<Name><signature>\n--\n\n<doc>"),
// which the interpreter splits into __text_signature__ and __doc__; a class
// without one gets a __new__ that raises "No constructor defined for <Name>".
//
// Method tables, docstrings and Signatures made here live for the process:
// type objects and built-in functions point into them and are never freed.
#pragma once

#include <vector>

#include "lib/call.hpp"
#include "lib/instance.hpp"
#include "lib/python.hpp"

namespace derirezaro::py {

struct ClassDefinition {
  const char* name;  // bare class name, "Store"
  const char* doc;
  int basicsize;
  destructor dealloc;
  std::vector<MemberDef> members;  // registered in this order
};

// Returns a new reference to the created type, or null with an exception set.
PyTypeObject* create_class(const ClassDefinition& definition);

// Creates the class for Record on first call, and returns it (a new
// reference) on every call.
template <class Record>
PyTypeObject* class_for(const char* doc, std::vector<MemberDef> (*members)()) {
  if (Instance<Record>::type == nullptr) {
    ClassDefinition definition{Record::kClassName, doc, static_cast<int>(sizeof(Instance<Record>)),
                               &Instance<Record>::dealloc, members()};
    Instance<Record>::type = create_class(definition);  // the static keeps this reference
    if (Instance<Record>::type == nullptr) return nullptr;
  }
  Py_INCREF(Instance<Record>::type);
  return Instance<Record>::type;
}

// A built-in function bound to `module` and named with the module's name.
PyObject* create_function(PyObject* module, const MemberDef& def);

}  // namespace derirezaro::py
