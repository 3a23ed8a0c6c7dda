#include "langgraph/element_rebuild.hpp"

#include "langgraph/model_class.hpp"
#include "lib/py_ref.hpp"

namespace derirezaro::py {

namespace {

// Deeper than any snapshot is made (list_elements.DEPTH): past it the
// snapshot is not one of ours, and the call fails rather than recurse on.
constexpr int kMaxDepth = 128;

bool is_atom(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || value == Py_None ||
         type == &PyBool_Type || type == &PyBytes_Type;
}

PyObject* fresh(PyObject* value, int depth);

// A copy of a snapshot's dict: the dict copied in one call, then its containers replaced by copies.
PyObject* fresh_dict(PyObject* value, int depth) {
  PyRef out = PyRef::steal(PyDict_Copy(value));
  if (!out) return nullptr;
  Py_ssize_t at = 0;
  PyObject *key, *item;
  // The snapshot is never changed, so walking it while writing to the copy is safe.
  while (PyDict_Next(value, &at, &key, &item)) {
    if (is_atom(item)) continue;
    PyRef copy = PyRef::steal(fresh(item, depth));
    if (!copy || (copy.get() != item && PyDict_SetItem(out.get(), key, copy.get()) != 0)) return nullptr;
  }
  return out.release();
}

PyObject* fresh_list(PyObject* value, int depth) {
  const Py_ssize_t count = PyList_Size(value);
  PyRef out = PyRef::steal(PyList_New(count));
  if (!out) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* copy = fresh(PyList_GetItem(value, i), depth);
    if (copy == nullptr) return nullptr;
    PyList_SetItem(out.get(), i, copy);  // steals
  }
  return out.release();
}

// A tuple of atoms is shared as it is; one holding containers is copied.
PyObject* fresh_tuple(PyObject* value, int depth) {
  const Py_ssize_t count = PyTuple_Size(value);
  Py_ssize_t first = 0;
  while (first < count && is_atom(PyTuple_GetItem(value, first))) ++first;
  if (first == count) {
    Py_INCREF(value);
    return value;
  }
  PyRef out = PyRef::steal(PyTuple_New(count));
  if (!out) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* copy = fresh(PyTuple_GetItem(value, i), depth);
    if (copy == nullptr) return nullptr;
    PyTuple_SetItem(out.get(), i, copy);  // steals
  }
  return out.release();
}

// A copy of plain data with new dicts and lists throughout; atoms shared.
PyObject* fresh(PyObject* value, int depth) {
  if (is_atom(value)) {
    Py_INCREF(value);
    return value;
  }
  if (depth >= kMaxDepth) {
    PyErr_SetString(PyExc_RecursionError, "a snapshot nested deeper than any is made");
    return nullptr;
  }
  PyTypeObject* type = Py_TYPE(value);
  if (type == &PyDict_Type) return fresh_dict(value, depth + 1);
  if (type == &PyList_Type) return fresh_list(value, depth + 1);
  if (type == &PyTuple_Type) return fresh_tuple(value, depth + 1);
  Py_INCREF(value);  // a frozenset of names, a class: nobody edits them
  return value;
}

// A model from its snapshot (class, fields, extra, fields set, private, index); None if its class is not
// made plainly.
PyObject* fresh_model(ModelClasses& classes, const ModelNames& names, PyObject* snapshot) {
  if (!PyTuple_CheckExact(snapshot) || PyTuple_Size(snapshot) < 5 ||
      !PyType_Check(PyTuple_GetItem(snapshot, 0))) {
    Py_RETURN_NONE;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GetItem(snapshot, 0));
  const ModelClass* made_as = classes.find(type);
  if (made_as == nullptr) {
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
  }
  if (!made_as->plain_new) Py_RETURN_NONE;
  PyRef no_args = PyRef::steal(PyTuple_New(0));
  if (!no_args) return nullptr;
  PyRef value = PyRef::steal(names.object_tp_new(type, no_args.get(), nullptr));
  if (!value) return nullptr;
  PyRef fields = PyRef::steal(fresh(PyTuple_GetItem(snapshot, 1), 0));
  if (!fields || PyObject_GenericSetDict(value.get(), fields.get(), nullptr) != 0) return nullptr;
  for (size_t i = 0; i < kModelSlots; ++i) {
    PyObject* kept = PyTuple_GetItem(snapshot, static_cast<Py_ssize_t>(i) + 2);
    PyObject* slot = i == 1 ? PySet_New(kept) : fresh(kept, 0);
    if (slot == nullptr || !made_as->set(i, value.get(), slot)) return nullptr;
  }
  return value.release();
}

}  // namespace

namespace {

// The cyclic collector paused while a batch is made. Made objects all live
// until the batch is handed out, so a collection in the middle finds nothing
// to free; it would only move them into older generations, whose collections
// walk every object of the process. After the batch, the first allocation
// collects the young ones once. Another thread (one a class lookup lets run)
// at worst has a collection deferred to the batch's end. A free-threaded
// build does not pause: its other threads run all along.
class CollectorPaused {
 public:
#ifdef Py_GIL_DISABLED
  CollectorPaused() = default;
#else
  CollectorPaused() : was_enabled_(PyGC_Disable() == 1) {}
  ~CollectorPaused() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  bool was_enabled_;
#endif
};

}  // namespace

PyObject* rebuilt(PyObject* entries) {
  if (!PyList_CheckExact(entries)) {
    PyErr_SetString(PyExc_TypeError, "entries must be a list");
    return nullptr;
  }
  const ModelNames* names = model_names();
  if (names == nullptr) return nullptr;
  ModelClasses classes(*names);
  const Py_ssize_t count = PyList_Size(entries);
  [[maybe_unused]] CollectorPaused paused;  // empty in a free-threaded build
  PyRef out = PyRef::steal(PyList_New(count));
  if (!out) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef entry = PyRef::borrow(PyList_GetItem(entries, i));
    if (!entry) return nullptr;
    PyObject* made;
    if (entry.get() == Py_None) {
      Py_INCREF(Py_None);
      made = Py_None;
    } else if (!PyTuple_Check(entry.get()) || PyTuple_Size(entry.get()) < 2) {
      PyErr_SetString(PyExc_TypeError, "an entry must be a tuple (snapshot, model, ...) or None");
      return nullptr;
    } else {
      const int model = PyObject_IsTrue(PyTuple_GetItem(entry.get(), 1));
      if (model < 0) return nullptr;
      PyObject* snapshot = PyTuple_GetItem(entry.get(), 0);
      made = model == 1 ? fresh_model(classes, *names, snapshot) : fresh(snapshot, 0);
      if (made == nullptr) return nullptr;
    }
    PyList_SetItem(out.get(), i, made);  // steals
  }
  return out.release();
}

}  // namespace derirezaro::py
