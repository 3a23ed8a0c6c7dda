#include "lib/module_init.hpp"

#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <string>

#include "lib/errors.hpp"
#include "lib/py_ref.hpp"
#include "lib/type_registry.hpp"

namespace derirezaro::py {

namespace {

// The module object, written once by the first successful initialisation
// and read-only afterwards. Only the main interpreter reaches it, and its
// import lock keeps two initialisations from running at once; the atomic
// is for a free-threaded interpreter, where a reader need not hold any lock.
std::atomic<PyObject*> g_module{nullptr};

// CPython gives the main interpreter, the first it creates, the id 0.
constexpr int64_t kMainInterpreterId = 0;

// Appends `name` to the module's __all__ (creating the list when absent),
// then sets the attribute. Steals `value`.
bool add(PyObject* module, const char* name, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  if (!owned) return false;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
  } else if (!PyList_Check(all.get())) {
    raise_conversion_error(all.get(), "PyList");
    return false;
  }
  PyRef name_object = PyRef::steal(PyUnicode_FromString(name));
  if (!name_object || PyList_Append(all.get(), name_object.get()) != 0) {
    raise_panic("could not append to the module's __all__");
    return false;
  }
  return PyObject_SetAttrString(module, name, owned.get()) == 0;
}

bool run_module_body(PyObject* module, const ModuleDefinition& definition) {
  if (!add(module, "__version__", PyUnicode_FromString(definition.version))) return false;
  for (const MemberDef& def : definition.functions()) {
    if (!add(module, def.name, create_function(module, def))) return false;
  }
  for (ClassFactory make_class : definition.classes()) {
    PyRef cls = PyRef::steal(reinterpret_cast<PyObject*>(make_class()));
    if (!cls) return false;
    PyRef name = PyRef::steal(PyObject_GetAttrString(cls.get(), "__name__"));
    if (!name) return false;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
    if (text == nullptr || !add(module, text, cls.release())) return false;
  }
  return true;
}

bool register_submodule(const SubmoduleDefinition& definition) {
  PyRef module = PyRef::steal(PyModule_New(definition.name));
  if (!module) return false;
  PyRef doc = PyRef::steal(PyUnicode_FromString(definition.doc));
  if (!doc || PyObject_SetAttrString(module.get(), "__doc__", doc.get()) != 0) return false;
  for (const MemberDef& def : definition.functions()) {
    if (!add(module.get(), def.name, create_function(module.get(), def))) return false;
  }
  return PyDict_SetItemString(PyImport_GetModuleDict(), definition.name, module.get()) == 0;
}

// Submodules go in last: a failure before them leaves none in sys.modules,
// and one among them takes out those already in.
bool register_submodules(const ModuleDefinition& definition) {
  if (definition.submodules == nullptr) return true;
  const std::vector<SubmoduleDefinition> submodules = definition.submodules();
  for (size_t i = 0; i < submodules.size(); ++i) {
    if (register_submodule(submodules[i])) continue;
    PyObject* modules = PyImport_GetModuleDict();
    for (size_t j = 0; j < i; ++j) {
      if (PyDict_DelItemString(modules, submodules[j].name) != 0) PyErr_Clear();
    }
    return false;
  }
  return true;
}

// Refuses every interpreter but the main one, before anything is built or
// kept: a sub-interpreter may be refused by CPython itself after this
// returns (3.12 checks an isolated one only once the module is built), so
// nothing here may depend on the import going through. The main
// interpreter can then import the module whatever a sub-interpreter tried.
bool check_interpreter(const ModuleDefinition& definition) {
  PyInterpreterState* state = PyInterpreterState_Get();
  const int64_t id = state != nullptr ? PyInterpreterState_GetID(state) : -1;
  if (id < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    return false;
  }
  if (id != kMainInterpreterId) {
    PyErr_Format(PyExc_ImportError,
                 "%s does not support sub-interpreters: import it in the main interpreter only "
                 "(this is interpreter %lld)",
                 definition.name, static_cast<long long>(id));
    return false;
  }
  return true;
}

PyObject* build_module(PyModuleDef& def, const ModuleDefinition& definition) {
  PyRef module = PyRef::steal(PyModule_Create2(&def, PYTHON_ABI_VERSION));
  if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
  // Every object the module shares between calls is safe without the
  // interpreter lock: the stores and graphs lock themselves, each thread
  // decodes with a key cache of its own, the encoder copies what it walks
  // under the container's lock, and what is made lazily is published
  // atomically.
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) != 0) return nullptr;
#endif
  if (!run_module_body(module.get(), definition) || !register_submodules(definition)) return nullptr;
  Py_INCREF(module.get());  // the process keeps one reference for ever
  g_module.store(module.get(), std::memory_order_release);
  return module.release();
}

// Called from a catch block while the module is being built.
void raise_import_failure(const ModuleDefinition& definition) noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_ImportError, "could not initialise %s: %s", definition.name, e.what());
  } catch (...) {
    PyErr_Format(PyExc_ImportError, "could not initialise %s: an unknown C++ exception", definition.name);
  }
}

}  // namespace

PyObject* initialise_module(PyModuleDef& def, const ModuleDefinition& definition) noexcept {
  if (!check_interpreter(definition)) return nullptr;
  if (PyObject* built = g_module.load(std::memory_order_acquire)) {
    Py_INCREF(built);
    return built;
  }
  try {
    return build_module(def, definition);
  } catch (...) {
    // A Python error raised before the throw is superseded: the C++ failure
    // is the one that stopped the import.
    PyErr_Clear();
    raise_import_failure(definition);
    return nullptr;
  }
}

}  // namespace derirezaro::py
