// derirezaro._core: the module's assembly. Each subsystem's binding file
// exports its own functions or class; this file lists them in the order
// they appear in the module and in __all__. Adding a class is one line in
// `module_classes`.
#include <string>
#include <vector>

#include "codec/py_functions.hpp"
#include "graph/py_graph.hpp"
#include "langgraph/py_list_elements.hpp"
#include "langgraph/py_step.hpp"
#include "lib/module_init.hpp"
#include "persist/py_replay.hpp"
#include "store/py_snapshot.hpp"
#include "store/py_store.hpp"

namespace derirezaro {

namespace {

constexpr const char* kVersion = "0.9.2";

std::string core_version() { return kVersion; }

std::vector<py::MemberDef> module_functions() {
  std::vector<py::MemberDef> rows = {
      py::function<&core_version>(
          "core_version", "()",
          "Return the version string of the compiled core.\n\n"
          "The Python package and its tests use it to confirm that the native module loaded."),
  };
  for (const py::MemberDef& row : codec::module_functions()) rows.push_back(row);
  return rows;
}

std::vector<py::ClassFactory> module_classes() {
  return {&py::store_class, &py::snapshot_class, &py::graph_class};
}

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

std::vector<py::SubmoduleDefinition> submodules() {
  return {py::replay_module(), py::list_elements_module(), py::step_module()};
}

const py::ModuleDefinition kModule = {"derirezaro._core", kVersion, &module_functions, &module_classes,
                                      &submodules};

}  // namespace

}  // namespace derirezaro

PyMODINIT_FUNC PyInit__core() {
  return derirezaro::py::initialise_module(derirezaro::g_module_def, derirezaro::kModule);
}
