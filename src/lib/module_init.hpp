// Creating a module object from its definition: the body of PyInit_<name>.
//
// Single-phase initialisation: the first successful import builds the
// module and the process keeps it for ever; later imports in the same
// interpreter get the same object. Only the main interpreter may import
// it, since its classes and functions are process-wide; a sub-interpreter
// is refused before anything is built, so it leaves nothing behind.
//
// Importing never ends the process. Every failure while the module is
// built becomes a Python exception: a Python error raised by the
// interpreter stays as it is, std::bad_alloc becomes MemoryError, and any
// other C++ exception (a malformed text signature, a broken invariant)
// becomes ImportError "could not initialise <name>: <what>". A failed
// import leaves nothing behind that a later attempt would trip over.
//
// One module per shared object: the state behind this is file-static.
#pragma once

#include <vector>

#include "lib/call.hpp"
#include "lib/python.hpp"

namespace derirezaro::py {

// Creates one of the module's classes on first call and returns a new
// reference to it (or null with an exception set, or throws).
using ClassFactory = PyTypeObject* (*)();

// A module of functions that lives in the same shared object, registered
// in sys.modules under its full name while the main module is built, so
// that importing it needs nothing of its own. It is not an attribute of the
// main module: the main module's names stay exactly its own.
struct SubmoduleDefinition {
  const char* name;  // "derirezaro._replay"
  const char* doc;
  std::vector<MemberDef> (*functions)();
};

struct ModuleDefinition {
  const char* name;                        // "derirezaro._core": the import name, for messages
  const char* version;                     // becomes __version__
  std::vector<MemberDef> (*functions)();   // added in this order
  std::vector<ClassFactory> (*classes)();  // added after them, in this order
  std::vector<SubmoduleDefinition> (*submodules)();
};

// Adds __version__, the functions and the classes, each also appended to
// __all__, then registers the submodules. Returns a new reference, or null
// with a Python exception set.
PyObject* initialise_module(PyModuleDef& def, const ModuleDefinition& definition) noexcept;

}  // namespace derirezaro::py
