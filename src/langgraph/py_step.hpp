// The module derirezaro._step (py_step.cpp): the parts of the LangGraph
// saver's put that the interpreter spent most on, in the same shared object
// as _core. Each answers only the cases it is sure of; for the others it
// says so and the Python code that knows every case runs instead.
#pragma once

#include <cstddef>

#include "lib/module_init.hpp"
#include "lib/python.hpp"

namespace derirezaro::py {

SubmoduleDefinition step_module();

// `names`, a struct of PyObject* fields each interned once for the life of
// the process (the module has no per-module state), if every one was made;
// else null with an exception set: MemoryError on the calls after the first
// failed one, whose own error is long gone.
template <class Names>
const Names* all_made(const Names& names) {
  const auto* all = reinterpret_cast<PyObject* const*>(&names);
  for (size_t i = 0; i < sizeof(Names) / sizeof(PyObject*); ++i) {
    if (all[i] == nullptr) return PyErr_Occurred() ? nullptr : (PyErr_NoMemory(), nullptr);
  }
  return &names;
}

// py_step_meta.cpp: (meta, plain) for a checkpoint dict and its metadata.
PyObject* meta_fields(PyObject* checkpoint, PyObject* metadata);

// py_step_apply.cpp: the State a put of plain values leaves, or None.
PyObject* apply_plain(PyObject* store, PyObject* base, PyObject* checkpoint, PyObject* new_versions,
                      PyObject* dumps_typed, PyObject* state_class);

}  // namespace derirezaro::py
