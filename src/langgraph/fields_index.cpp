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

constexpr const char kCapsuleName[] = "derirezaro._list_elements.FieldsIndex";

void release(PyObject* capsule) {
  delete static_cast<FieldsIndex*>(PyCapsule_GetPointer(capsule, kCapsuleName));
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
  auto* index = new (std::nothrow) FieldsIndex;
  if (index == nullptr) return PyErr_NoMemory();
  PyRef capsule = PyRef::steal(PyCapsule_New(index, kCapsuleName, &release));
  if (!capsule) {
    delete index;
    return nullptr;
  }
  for (size_t i = 0; i < index->state.size(); ++i) {
    index->state[i] = PyTuple_GetItem(state, static_cast<Py_ssize_t>(i) + 1);
    Py_INCREF(index->state[i]);
  }
  for (size_t i = 0; i < index->slots.size(); ++i) {
    PyObject* kept = index->slot(i);
    index->slots[i] = {nullptr, kept, empty_container(kept)};  // borrowed from `state`
  }
  // The context repeats the pointer: read back without comparing the name's text (`fields_index_of`).
  if (PyCapsule_SetContext(capsule.get(), index) != 0) return nullptr;
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
      PyRef held = PyRef::steal(name);
      index->names.push_back(name);
      held.release();
      index->names_are_str = index->names_are_str && PyUnicode_CheckExact(name);
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (PyErr_Occurred()) return nullptr;
  return capsule.release();
}

// Every index is made here with this very name, so the name's address tells one apart.
const FieldsIndex* fields_index_of(PyObject* capsule) {
  if (Py_TYPE(capsule) != &PyCapsule_Type || PyCapsule_GetName(capsule) != kCapsuleName) return nullptr;
  return static_cast<const FieldsIndex*>(PyCapsule_GetContext(capsule));
}

}  // namespace derirezaro::py
