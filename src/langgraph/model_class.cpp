#include "langgraph/model_class.hpp"

#include <atomic>
#include <cstring>
#include <new>
#include <utility>

#ifndef Py_GIL_DISABLED
#include <structmember.h>
#endif

namespace derirezaro::py {

namespace {

PyObject* from_types_module(const char* name) {
  PyRef types = PyRef::steal(PyImport_ImportModule("types"));
  return types ? PyObject_GetAttrString(types.get(), name) : nullptr;
}

}  // namespace

// Made without a lock held (a free-threaded build must not block in C++
// while Python code runs): two threads may both make them, and the loser's
// are released.
const ModelNames* model_names() {
  static std::atomic<const ModelNames*> made{nullptr};
  if (const ModelNames* known = made.load(std::memory_order_acquire)) return known;
  constexpr size_t kTexts = 8;
  std::array<PyRef, kTexts + 2> held;
  const char* const texts[kTexts] = {"__dict__",
                                     "__pydantic_extra__",
                                     "__pydantic_fields_set__",
                                     "__pydantic_private__",
                                     "__getattribute__",
                                     "__mro__",
                                     "__new__",
                                     "__objclass__"};
  for (size_t i = 0; i < kTexts; ++i) {
    held[i] = PyRef::steal(PyUnicode_InternFromString(texts[i]));
    if (!held[i]) return nullptr;
  }
  auto* object = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
  held[kTexts] = PyRef::steal(PyObject_GetAttr(object, held[4].get()));
  held[kTexts + 1] = PyRef::steal(PyObject_GetAttr(object, held[6].get()));
  PyRef member = PyRef::steal(from_types_module("MemberDescriptorType"));
  PyRef getset = PyRef::steal(from_types_module("GetSetDescriptorType"));
  if (!held[kTexts] || !held[kTexts + 1] || !member || !getset) return nullptr;
  if (!PyType_Check(member.get()) || !PyType_Check(getset.get())) {
    PyErr_SetString(PyExc_TypeError, "types.MemberDescriptorType and GetSetDescriptorType must be types");
    return nullptr;
  }
  auto tp_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
  if (tp_new == nullptr) return nullptr;
  auto* fresh = new (std::nothrow) ModelNames{{held[0].get(), held[1].get(), held[2].get(), held[3].get()},
                                              held[4].get(),
                                              held[5].get(),
                                              held[6].get(),
                                              held[7].get(),
                                              held[kTexts].get(),
                                              held[kTexts + 1].get(),
                                              tp_new,
                                              reinterpret_cast<PyTypeObject*>(member.get()),
                                              reinterpret_cast<PyTypeObject*>(getset.get())};
  if (fresh == nullptr) {
    PyErr_NoMemory();
    return nullptr;
  }
  const ModelNames* expected = nullptr;
  if (!made.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
    delete fresh;  // another thread's are kept; ours are released with `held`
    return expected;
  }
  for (PyRef& ref : held) ref.release();  // kept for ever, as the names hold them
  member.release();
  getset.release();
  return fresh;
}

const ModelClass* ModelClasses::learn(PyTypeObject* type) {
  ModelClass made{
      PyRef::borrow(reinterpret_cast<PyObject*>(type)), type, false, false, {}, {}, {}, {-1, -1, -1}};
  const int plain = reads_plainly(type, made);
  if (plain < 0) return nullptr;
  made.plain = plain == 1;
  classes_.push_back(std::move(made));
  const ModelClass* reads = plain == 1 ? &classes_.back() : nullptr;
  known_.push_back({type, reads});
  return reads;
}

int ModelClasses::reads_plainly(PyTypeObject* type, ModelClass& out) {
  PyObject* cls = reinterpret_cast<PyObject*>(type);
  PyRef own = PyRef::steal(PyObject_GetAttr(cls, names_.getattribute));
  if (!own) return -1;
  if (own.get() != names_.object_getattribute) return 0;
  const int dict = instance_dict_is_plain(cls);
  if (dict != 1) return dict;
  for (size_t i = 0; i < kModelSlots; ++i) {
    PyRef slot = PyRef::steal(PyObject_GetAttr(cls, names_.model[i + 1]));
    if (!slot) return -1;
    if (Py_TYPE(slot.get()) != names_.member_descriptor) return 0;
    PyTypeObject* kind = Py_TYPE(slot.get());
    out.getters[i] = reinterpret_cast<descrgetfunc>(PyType_GetSlot(kind, Py_tp_descr_get));
    out.setters[i] = reinterpret_cast<descrsetfunc>(PyType_GetSlot(kind, Py_tp_descr_set));
    if (out.getters[i] == nullptr || out.setters[i] == nullptr) return 0;
    out.offsets[i] = slot_offset(type, slot.get());
    if (out.offsets[i] == -2) return -1;
    out.slots[i] = std::move(slot);
  }
  PyRef made_by = PyRef::steal(PyObject_GetAttr(cls, names_.new_name));
  if (!made_by) return -1;
  // The type's own slot too: a `__new__ = object.__new__` in a class body
  // leaves the slot a base's, which object.__new__ itself would refuse to skip.
  out.plain_new = made_by.get() == names_.object_new &&
                  reinterpret_cast<newfunc>(PyType_GetSlot(type, Py_tp_new)) == names_.object_tp_new;
  return 1;
}

// Whether the first class of `cls`'s MRO to name `__dict__` names the instance dict's descriptor.
int ModelClasses::instance_dict_is_plain(PyObject* cls) {
  PyRef mro = PyRef::steal(PyObject_GetAttr(cls, names_.mro));
  if (!mro || !PyTuple_Check(mro.get())) return -1;
  for (Py_ssize_t i = 0; i < PyTuple_Size(mro.get()); ++i) {
    PyRef space = PyRef::steal(PyObject_GetAttr(PyTuple_GetItem(mro.get(), i), names_.model[0]));
    if (!space) return -1;
    PyRef found = PyRef::steal(PyObject_GetItem(space.get(), names_.model[0]));
    if (!found) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
      PyErr_Clear();
      continue;
    }
    return Py_TYPE(found.get()) == names_.getset_descriptor ? 1 : 0;
  }
  return 0;
}

// Where member descriptor `slot` reads in an instance of `type`:
// the offset its declaring class's member table gives it, which is what the
// descriptor itself reads; -1 when it must be read through the descriptor;
// -2 with an exception set.
Py_ssize_t ModelClasses::slot_offset(PyTypeObject* type, PyObject* slot) {
#ifdef Py_GIL_DISABLED
  (void)type, (void)slot;
  return -1;
#else
  PyRef owner = PyRef::steal(PyObject_GetAttr(slot, names_.objclass));
  if (!owner) return -2;
  if (!PyType_Check(owner.get())) return -1;
  auto* declaring = reinterpret_cast<PyTypeObject*>(owner.get());
  if (!PyType_IsSubtype(type, declaring)) return -1;
  const auto* members = static_cast<const PyMemberDef*>(PyType_GetSlot(declaring, Py_tp_members));
  if (members == nullptr) {
    PyErr_Clear();  // a class without a member table of its own to show: read through the descriptor
    return -1;
  }
  // The descriptor's own name, not the one it was found under: a class may
  // hold another slot's descriptor under this name, and reads that slot.
  PyRef own_name = PyRef::steal(PyObject_GetAttrString(slot, "__name__"));
  if (!own_name) return -2;
  const char* name =
      PyUnicode_Check(own_name.get()) ? PyUnicode_AsUTF8AndSize(own_name.get(), nullptr) : nullptr;
  if (name == nullptr) {
    if (PyErr_Occurred() != nullptr) return -2;
    return -1;
  }
  for (const PyMemberDef* member = members; member->name != nullptr; ++member) {
    if (std::strcmp(member->name, name) == 0) {
      const bool plain = member->type == T_OBJECT_EX && member->flags == 0 && member->offset > 0;
      return plain ? member->offset : -1;
    }
  }
  return -1;
#endif
}

}  // namespace derirezaro::py
