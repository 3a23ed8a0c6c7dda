// How the state of a pydantic model is read and written without the
// interpreter's lookup of each attribute name: its instance dict, and the
// three slots beside it (__pydantic_extra__, __pydantic_fields_set__,
// __pydantic_private__), in the order a model's snapshot holds them.
//
// A class qualifies only when its reads are object's own: no
// __getattribute__ of its own, a `__dict__` that is the instance dict's
// descriptor, and slots that are member descriptors, which as data
// descriptors win over anything else of the same name. A class that does
// not is left to the interpreter by the caller. What is found about a class
// holds for one call (ModelClasses lives on its stack): a class changed by an
// __eq__ in the middle of a call is read as it was when the call met it.
#pragma once

#include <array>
#include <deque>
#include <vector>

#include "lib/py_ref.hpp"
#include "lib/python.hpp"

namespace derirezaro::py {

constexpr size_t kModelSlots = 3;

// Interned names and the objects a class's own reads are told apart by.
// Made once and kept for the life of the process.
struct ModelNames {
  std::array<PyObject*, 1 + kModelSlots> model;  // __dict__ and the three slots, in snapshot order
  PyObject* getattribute;
  PyObject* mro;
  PyObject* new_name;             // __new__
  PyObject* objclass;             // __objclass__
  PyObject* object_getattribute;  // object.__getattribute__
  PyObject* object_new;           // object.__new__
  newfunc object_tp_new;
  PyTypeObject* member_descriptor;
  PyTypeObject* getset_descriptor;
};

// Null with an exception set when they cannot be made.
const ModelNames* model_names();

struct ModelClass {
  // Held: a class freed during the call (by an __eq__) could otherwise be
  // followed by another of another layout at its address, read as this one.
  PyRef held;
  PyTypeObject* type;
  bool plain;      // reads as described at the top of the file
  bool plain_new;  // cls.__new__ is object.__new__: an instance is made without running Python code
  std::array<PyRef, kModelSlots> slots;
  std::array<descrgetfunc, kModelSlots> getters;
  std::array<descrsetfunc, kModelSlots> setters;
  // Where each slot sits in an instance, from the member table of the class
  // that declares it; -1 where it is read through its descriptor (always in
  // a free-threaded build, whose slot reads must be atomic).
  std::array<Py_ssize_t, kModelSlots> offsets;

  // Slot i of `obj` (an instance of `type`): a new reference, or null with an exception set.
  PyObject* get(size_t i, PyObject* obj) const {
    if (offsets[i] >= 0) {
      PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offsets[i]);
      if (value != nullptr) {
        Py_INCREF(value);
        return value;
      }
    }
    return getters[i](slots[i].get(), obj, reinterpret_cast<PyObject*>(type));
  }

  // Sets slot i of `obj` to `value` (stolen); false with an exception set.
  bool set(size_t i, PyObject* obj, PyObject* value) const {
    if (offsets[i] >= 0) {
      auto** at = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offsets[i]);
      PyObject* old = *at;
      *at = value;
      Py_XDECREF(old);
      return true;
    }
    const int done = setters[i](slots[i].get(), obj, value);
    Py_DECREF(value);
    return done == 0;
  }
};

// The classes met during one call.
class ModelClasses {
 public:
  explicit ModelClasses(const ModelNames& names) : names_(names) {}

  // Null when the class reads its attributes otherwise (and then with an
  // exception set if finding out failed). Met once an element: a chat's
  // classes alternate, so the few met are scanned as bare pointers.
  const ModelClass* find(PyTypeObject* type) {
    for (const Known& known : known_) {
      if (known.type == type) return known.reads;
    }
    return learn(type);
  }

 private:
  struct Known {
    PyTypeObject* type;
    const ModelClass* reads;  // null when the class does not read plainly
  };

  const ModelClass* learn(PyTypeObject* type);
  int reads_plainly(PyTypeObject* type, ModelClass& out);
  int instance_dict_is_plain(PyObject* cls);
  Py_ssize_t slot_offset(PyTypeObject* type, PyObject* slot);

  const ModelNames& names_;
  std::deque<ModelClass> classes_;  // a call meets a few; a deque keeps those found where they are
  std::vector<Known> known_;        // the same, in the same order
};

}  // namespace derirezaro::py
