// The module's entry point and body.
//
// Process-wide state, and what guards it:
// - `g_module`, the one module object: written once by the first successful
//   initialisation, under the interpreter lock; read-only afterwards.
// - `g_interpreter_id`: atomic; set once, by the first initialisation that
//   gets as far as asking for the interpreter's id.
// - the type objects (Instance<Record>::type) and the signatures and method
//   tables behind them: written during initialisation, read-only afterwards.
// - the PanicException class (errors.cpp): created under the interpreter lock
//   on first use.
#include <atomic>
#include <cstdint>
#include <vector>

#include "codec/py_codec.hpp"
#include "lib/call.hpp"
#include "lib/py_ref.hpp"
#include "lib/python.hpp"
#include "lib/type_registry.hpp"
#include "store/py_store.hpp"

namespace derirezaro::py {

namespace {

constexpr const char* kVersion = "0.9.2";

std::atomic<int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "The `derirezaro._core` native module.",
    0,        // no per-module state: single-phase initialisation
    nullptr,  // functions are added one by one by the module body
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// --- module functions ---------------------------------------------------

PyObject* core_version() { return PyUnicode_FromString(kVersion); }

PyObject* dumps(PyObject* obj) { return codec::encode_to_bytes(obj); }

PyObject* loads(ByteView data) { return codec::decode_to_object(data.data, data.size); }

std::vector<MemberDef> module_functions() {
  return {
      function<&core_version>(
          "core_version", "()",
          "Return the version string of the compiled core.\n\n"
          "The Python package and its tests use it to confirm that the native module loaded."),
      function<&dumps>(
          "dumps", "(obj)",
          "Serialize a Python object to msgpack bytes (derirezaro's stable, cross-language codec)."),
      function<&loads>("loads", "(data)", "Deserialize msgpack bytes back into a Python object."),
  };
}

// The module's classes, in the order they are added. Each entry creates its
// type on first use and returns a new reference to it.
using ClassFactory = PyTypeObject* (*)();
const std::vector<ClassFactory>& module_classes() {
  static const std::vector<ClassFactory> classes = {&store_class};
  return classes;
}

// --- module body --------------------------------------------------------

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

bool run_module_body(PyObject* module) {
  if (!add(module, "__version__", PyUnicode_FromString(kVersion))) return false;
  for (const MemberDef& def : module_functions()) {
    if (!add(module, def.name, create_function(module, def))) return false;
  }
  for (ClassFactory make_class : module_classes()) {
    PyRef cls = PyRef::steal(reinterpret_cast<PyObject*>(make_class()));
    if (!cls) return false;
    PyRef name = PyRef::steal(PyObject_GetAttrString(cls.get(), "__name__"));
    if (!name) return false;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
    if (text == nullptr || !add(module, text, cls.release())) return false;
  }
  return true;
}

PyObject* initialise() {
  PyInterpreterState* state = PyInterpreterState_Get();
  const int64_t id = state != nullptr ? PyInterpreterState_GetID(state) : -1;
  if (id < 0) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
    return nullptr;
  }
  int64_t expected = -1;
  if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "derirezaro._core does not support sub-interpreters: it is already loaded "
                    "in another interpreter of this process");
    return nullptr;
  }
  if (g_module != nullptr) {
    Py_INCREF(g_module);
    return g_module;
  }
  PyRef module = PyRef::steal(PyModule_Create2(&g_module_def, PYTHON_ABI_VERSION));
  if (!module || !run_module_body(module.get())) return nullptr;
  g_module = module.get();
  Py_INCREF(g_module);  // the process keeps one reference for ever
  return module.release();
}

}  // namespace

}  // namespace derirezaro::py

PyMODINIT_FUNC PyInit__core() { return derirezaro::py::initialise(); }
