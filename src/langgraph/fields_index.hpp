// FieldsIndex: a model snapshot's state (class, fields dict, extra, set
// fields, private) laid out for the native check, held by the snapshot in an
// object beside it. The check reads the live instance dict once, position
// against position, and compares each value with the snapshot's by identity
// first, without walking the snapshot's dict or looking anything up by name.
//
// The object is an instance of a small class of this module's own, made on
// first use and kept for the process, with the index in place: telling one
// apart and reading it is a type compare, as the check does for every element
// of every put.
//
// Invariant: the dict and the names it was made from are never changed (a
// snapshot is immutable once made); the index holds its own references to
// them, so it stays valid whatever happens to the tuple around it. It holds
// none to the class: the object holding an index is invisible to the cyclic
// collector, and a class reaches far (its methods' globals and closures), so
// a class whose reach came back to a snapshot would never be freed. What the
// index holds is plain data copied, which reaches nothing; the class is read
// from the snapshot tuple, which the caller holds.
#pragma once

#include <array>
#include <atomic>
#include <vector>

#include "lib/instance.hpp"
#include "lib/python.hpp"

namespace derirezaro::py {

struct FieldsIndex {
  struct Field {
    PyObject* key;
    PyObject* value;
    PyTypeObject* empty;  // &PyDict_Type or &PyList_Type when the value is an empty one, else null
  };
  std::vector<Field> fields;  // in the dict's order
  // The state's items after the class, in snapshot order: fields dict, extra, set fields, private.
  std::array<PyObject*, 4> state{};
  std::vector<PyObject*> names;  // the set fields
  bool names_are_str = true;     // every name an exact str: membership in a live set is set equality's test

  FieldsIndex() = default;
  FieldsIndex(const FieldsIndex&) = delete;
  FieldsIndex& operator=(const FieldsIndex&) = delete;
  ~FieldsIndex();

  PyObject* fields_dict() const { return state[0]; }
  // Slot i of the model (0 extra, 1 set fields, 2 private), as kept.
  PyObject* slot(size_t i) const { return state[i + 1]; }
  std::array<Field, 3> slots{};  // the same as fields, keyless, for the native check
};

// The class of the objects that hold an index; null until the first is made.
inline std::atomic<PyTypeObject*> fields_index_class{nullptr};

// fields_index(state): an object holding the index of a model's state, a
// tuple (class, fields dict, extra, set fields, private).
PyObject* make_fields_index(PyObject* state);

// The index `held` holds; null (no exception) if it is not one of those objects.
inline const FieldsIndex* fields_index_of(PyObject* held) {
  if (Py_TYPE(held) != fields_index_class.load(std::memory_order_acquire)) return nullptr;
  return &Instance<FieldsIndex>::from(held)->record;
}

}  // namespace derirezaro::py
