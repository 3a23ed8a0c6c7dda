// derirezaro._import_probe: a test-only extension, built only with
// -DDERIREZARO_BUILD_PROBES=ON, that creates its module through the same
// initialisation as derirezaro._core and fails on request, so the tests can
// show that no failure during import ends the process.
//
// The environment variable DERIREZARO_PROBE_FAILURE picks the failure,
// read at each import attempt (a failed single-phase import runs again):
//   (unset or empty)   none: the module imports
//   function_signature a function's text signature is malformed
//   method_signature   a method's text signature is malformed
//   bad_alloc          a class factory throws std::bad_alloc
//   logic_error        a class factory throws std::logic_error
//   python_error       a class factory fails with a Python ValueError
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "lib/module_init.hpp"
#include "lib/type_registry.hpp"

namespace derirezaro::probe {

namespace {

std::string_view failure() {
  const char* text = std::getenv("DERIREZARO_PROBE_FAILURE");
  return text != nullptr ? text : "";
}

struct ProbeRecord {
  static constexpr const char* kClassName = "Probe";
};

bool echo(PyObject* flag) { return flag == Py_True; }
bool method(ProbeRecord&, PyObject* flag) { return flag == Py_True; }

std::vector<py::MemberDef> functions() {
  const char* text = failure() == "function_signature" ? "(flag, *)" : "(flag)";
  return {py::function<&echo>("echo", text, "Whether `flag` is True.")};
}

std::vector<py::MemberDef> probe_members() {
  const char* text = failure() == "method_signature" ? "($self, flag=None, other)" : "($self, flag)";
  return {py::method<&method>("method", text, "Whether `flag` is True.")};
}

PyTypeObject* probe_class() {
  const std::string_view kind = failure();
  if (kind == "bad_alloc") throw std::bad_alloc();
  if (kind == "logic_error") throw std::logic_error("the probe's class factory broke");
  if (kind == "python_error") {
    PyErr_SetString(PyExc_ValueError, "the probe's class factory failed");
    return nullptr;
  }
  return py::class_for<ProbeRecord>("A class with one method.", &probe_members);
}

std::vector<py::ClassFactory> classes() { return {&probe_class}; }

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_import_probe",
    "Fails on request while it is imported.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

const py::ModuleDefinition kModule = {"derirezaro._import_probe", "0", &functions, &classes, nullptr};

}  // namespace

}  // namespace derirezaro::probe

PyMODINIT_FUNC PyInit__import_probe() {
  return derirezaro::py::initialise_module(derirezaro::probe::g_module_def, derirezaro::probe::kModule);
}
