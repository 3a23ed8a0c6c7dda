#include "langgraph/fields_index.hpp"

#include <new>

#include "lib/py_ref.hpp"

namespace derirezaro::py {

namespace {

// Null unless `value` is an empty exact dict or list, which one size check compares.
PyTypeObject* empty_container(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  const bool empty =
      (type == &PyDict_Type && PyDict_Size(value) == 0) || (type == &PyList_Type && PyList_Size(value) == 0);
  return empty ? type : nullptr;
}

constexpr unsigned long kClassFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

// The class of the objects that hold an index, made once and kept for the
// process. Made without a lock (a free-threaded build must not block in C++
// while Python code may run): two threads may both make one, and the
// loser's is released. Final, and not collected: an index reaches only
// plain data.
PyTypeObject* index_class() {
  if (PyTypeObject* made = fields_index_class.load(std::memory_order_acquire)) return made;
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(&Instance<FieldsIndex>::dealloc)},
      {Py_tp_doc, const_cast<char*>("An index of a model snapshot's state, read by the native check.")},
      {0, nullptr},
  };
  static PyType_Spec shape{"derirezaro._list_elements.FieldsIndex",
                           static_cast<int>(sizeof(Instance<FieldsIndex>)), 0, kClassFlags, slots};
  auto* fresh = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&shape));
  if (fresh == nullptr) return nullptr;
  PyTypeObject* expected = nullptr;
  if (!fields_index_class.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
    Py_DECREF(fresh);
    return expected;
  }
  return fresh;  // the static keeps this reference
}

}  // namespace

FieldsIndex::~FieldsIndex() {
  for (const Field& field : fields) {
    Py_DECREF(field.key);
    Py_DECREF(field.value);
  }
  for (PyObject* name : names) Py_DECREF(name);
  for (PyObject* item : state) Py_XDECREF(item);
}

PyObject* make_fields_index(PyObject* state) {
  if (!PyTuple_CheckExact(state) || PyTuple_Size(state) != 5 ||
      !PyDict_CheckExact(PyTuple_GetItem(state, 1))) {
    PyErr_SetString(PyExc_TypeError,
                    "state must be a tuple (class, fields dict, extra, set fields, private)");
    return nullptr;
  }
  PyObject* fields = PyTuple_GetItem(state, 1);
  PyObject* fields_set = PyTuple_GetItem(state, 3);
  PyTypeObject* cls = index_class();
  if (cls == nullptr) return nullptr;
  PyRef held = PyRef::steal(Instance<FieldsIndex>::create(cls));
  if (!held) return nullptr;
  FieldsIndex* index = &Instance<FieldsIndex>::from(held.get())->record;
  for (size_t i = 0; i < index->state.size(); ++i) {
    index->state[i] = PyTuple_GetItem(state, static_cast<Py_ssize_t>(i) + 1);
    Py_INCREF(index->state[i]);
  }
  for (size_t i = 0; i < index->slots.size(); ++i) {
    PyObject* kept = index->slot(i);
    index->slots[i] = {nullptr, kept, empty_container(kept)};  // borrowed from `state`
  }
  try {
    index->fields.reserve(static_cast<size_t>(PyDict_Size(fields)));
    Py_ssize_t at = 0;
    PyObject *key, *value;
    while (PyDict_Next(fields, &at, &key, &value)) {
      Py_INCREF(key);
      Py_INCREF(value);
      index->fields.push_back({key, value, empty_container(value)});
    }
    PyRef names = PyRef::steal(PyObject_GetIter(fields_set));
    if (!names) return nullptr;
    while (PyObject* name = PyIter_Next(names.get())) {
      PyRef name_held = PyRef::steal(name);
      index->names.push_back(name);
      name_held.release();
      index->names_are_str = index->names_are_str && PyUnicode_CheckExact(name);
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (PyErr_Occurred()) return nullptr;
  return held.release();
}

}  // namespace derirezaro::py
