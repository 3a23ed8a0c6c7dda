// derirezaro._list_elements: how many elements at the ends of a list channel's
// new value a put has stored already, unchanged (langgraph/list_elements.py
// owns the rule and the snapshot format; this is its fast road).
//
// An element counts as stored when it is the very object stored at its
// position and its content still equals the snapshot taken when it was
// stored. "Equals" is Python's `==` of the live content and the snapshot, as
// list and tuple equality applies it: identity first, then the comparison.
// The snapshots are plain data that share their immutable leaves with the
// objects they were copied from, so a value left alone is the very leaf the
// snapshot holds, and one identity test settles it. Containers (exact dict,
// list, tuple on both sides) are walked here rather than compared by the
// interpreter: a dict whose keys sit in the order they were copied in is
// compared entry by entry, position against position, with no lookups.
// Anything else, and a dict whose keys are in another order, is compared by
// the interpreter, so every answer is the one `==` gives.
//
// A comparison that raises an Exception counts as a difference, as the Python
// check's `except Exception` has it; any other exception (KeyboardInterrupt)
// propagates. A snapshot of a shape this file does not know, and a model
// class that reads its attributes in its own way, are handed to the Python
// check (`unchanged`), one element at a time.
//
// Nothing is read through a borrowed reference across a call that can run
// Python code (an __eq__, an attribute read): such a call may change or free
// the containers being walked, so what it compares is held, and lists are
// read through bounds-checked calls. A free-threaded build copies each
// list's items and dict's entries with references, under the container's
// lock (ElementSnapshot), and walks the copy.
#include "langgraph/py_list_elements.hpp"

#include <array>
#include <atomic>
#include <new>
#include <utility>
#include <vector>

#include "codec/py_element_snapshot.hpp"
#include "lib/call.hpp"
#include "lib/py_ref.hpp"

namespace derirezaro::py {

namespace {

// What comparing one value with its snapshot found. kRaised: an exception
// the caller must see is set.
enum Verdict : int { kRaised = -1, kDiffers = 0, kEqual = 1, kUndecided = 2 };

// Levels of nesting compared before the interpreter's recursion check is
// made at each further level: the snapshots a chat keeps nest a few deep.
constexpr int kUncheckedLevels = 16;

// A model's snapshot: (class, fields, extra, fields set, private).
constexpr Py_ssize_t kModelSnapshotSize = 5;

Verdict failed() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return kRaised;
  PyErr_Clear();
  return kDiffers;
}

// What a model's attributes are read by: interned names and the types and
// objects a class's own reads are told apart by. Made once and kept for the
// life of the process.
struct Names {
  std::array<PyObject*, 4> model;  // __dict__ and the three slots, in snapshot order
  PyObject* getattribute;
  PyObject* mro;
  PyObject* object_getattribute;  // object.__getattribute__
  PyTypeObject* member_descriptor;
  PyTypeObject* getset_descriptor;
};

PyObject* from_types_module(const char* name) {
  PyRef types = PyRef::steal(PyImport_ImportModule("types"));
  return types ? PyObject_GetAttrString(types.get(), name) : nullptr;
}

// Null with an exception set when they cannot be made. Made without a lock
// held (a free-threaded build must not block in C++ while Python code runs):
// two threads may both make them, and the loser's are released.
const Names* names() {
  static std::atomic<const Names*> made{nullptr};
  if (const Names* known = made.load(std::memory_order_acquire)) return known;
  std::array<PyRef, 8> held;
  const char* const texts[] = {
      "__dict__", "__pydantic_extra__", "__pydantic_fields_set__", "__pydantic_private__", "__getattribute__",
      "__mro__"};
  for (size_t i = 0; i < 6; ++i) {
    held[i] = PyRef::steal(PyUnicode_InternFromString(texts[i]));
    if (!held[i]) return nullptr;
  }
  held[6] = PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyBaseObject_Type), held[4].get()));
  PyRef member = PyRef::steal(from_types_module("MemberDescriptorType"));
  PyRef getset = PyRef::steal(from_types_module("GetSetDescriptorType"));
  if (!held[6] || !member || !getset) return nullptr;
  if (!PyType_Check(member.get()) || !PyType_Check(getset.get())) {
    PyErr_SetString(PyExc_TypeError, "types.MemberDescriptorType and GetSetDescriptorType must be types");
    return nullptr;
  }
  auto* fresh = new (std::nothrow) Names{{held[0].get(), held[1].get(), held[2].get(), held[3].get()},
                                         held[4].get(),
                                         held[5].get(),
                                         held[6].get(),
                                         reinterpret_cast<PyTypeObject*>(member.get()),
                                         reinterpret_cast<PyTypeObject*>(getset.get())};
  if (fresh == nullptr) {
    PyErr_NoMemory();
    return nullptr;
  }
  const Names* expected = nullptr;
  if (!made.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
    delete fresh;  // another thread's are kept; ours are released with `held`
    return expected;
  }
  for (PyRef& ref : held) ref.release();  // kept for ever, as the Names hold them
  member.release();
  getset.release();
  return fresh;
}

class Comparison {
 public:
  explicit Comparison(const Names& names) : names_(names) {}

  // `live == kept`. The caller holds both.
  Verdict equal(PyObject* live, PyObject* kept) {
    if (live == kept) return kEqual;
    PyTypeObject* type = Py_TYPE(kept);
    if (Py_TYPE(live) == type) {
      if (type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type) {
        return nested(type, live, kept);
      }
    }
    return interpreted(live, kept);
  }

  // Model `element` against its snapshot, as `_model_state(element) == snapshot`.
  Verdict model(PyObject* element, PyObject* snapshot) {
    if (!PyTuple_CheckExact(snapshot) || PyTuple_Size(snapshot) != kModelSnapshotSize) return kUndecided;
    const ModelClass* reads = model_class(Py_TYPE(element));
    if (reads == nullptr) return undecided_or_raised();
    // The element's type stands for its __class__: a class that answers __class__
    // otherwise differs from its snapshot here, and is only encoded again.
    PyObject* cls = PyTuple_GetItem(snapshot, 0);
    if (cls != reinterpret_cast<PyObject*>(Py_TYPE(element))) {
      const Verdict same = interpreted(reinterpret_cast<PyObject*>(Py_TYPE(element)), cls);
      if (same != kEqual) return same;
    }
    PyRef fields = PyRef::steal(PyObject_GenericGetDict(element, nullptr));
    if (!fields) return failed();
    Verdict same = equal(fields.get(), PyTuple_GetItem(snapshot, 1));
    for (size_t i = 0; same == kEqual && i < reads->slots.size(); ++i) {
      PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(element));
      PyRef value = PyRef::steal(reads->getters[i](reads->slots[i].get(), element, type));
      if (!value) return failed();
      same = equal(value.get(), PyTuple_GetItem(snapshot, static_cast<Py_ssize_t>(i) + 2));
    }
    return same;
  }

 private:
  // How the attributes of a model's class are read without the interpreter's
  // lookup of each name: the instance dict, and the descriptor of each slot
  // called as the lookup would call it. Made only for a class whose reads are
  // object's own: no __getattribute__ of its own, a `__dict__` that is the
  // instance dict's descriptor, and slots that are member descriptors, which
  // as data descriptors win over anything else of the same name.
  struct ModelClass {
    PyTypeObject* type;
    bool plain;
    std::array<PyRef, 3> slots;  // __pydantic_extra__, __pydantic_fields_set__, __pydantic_private__
    std::array<descrgetfunc, 3> getters;
  };

  // Null when the class reads its attributes otherwise (and then with an
  // exception set if finding out failed). Found once a call for each class met.
  const ModelClass* model_class(PyTypeObject* type) {
    for (const ModelClass& known : classes_) {
      if (known.type == type) return known.plain ? &known : nullptr;
    }
    ModelClass made{type, false, {}, {}};
    const int plain = reads_plainly(type, made);
    if (plain < 0) return nullptr;
    made.plain = plain == 1;
    classes_.push_back(std::move(made));
    return plain == 1 ? &classes_.back() : nullptr;
  }

  int reads_plainly(PyTypeObject* type, ModelClass& out) {
    PyObject* cls = reinterpret_cast<PyObject*>(type);
    PyRef own = PyRef::steal(PyObject_GetAttr(cls, names_.getattribute));
    if (!own) return -1;
    if (own.get() != names_.object_getattribute) return 0;
    const int dict = instance_dict_is_plain(cls);
    if (dict != 1) return dict;
    for (size_t i = 0; i < out.slots.size(); ++i) {
      PyRef slot = PyRef::steal(PyObject_GetAttr(cls, names_.model[i + 1]));
      if (!slot) return -1;
      if (Py_TYPE(slot.get()) != names_.member_descriptor) return 0;
      out.getters[i] = reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(slot.get()), Py_tp_descr_get));
      if (out.getters[i] == nullptr) return 0;
      out.slots[i] = std::move(slot);
    }
    return 1;
  }

  // Whether the first class of `cls`'s MRO to name `__dict__` names the instance dict's descriptor.
  int instance_dict_is_plain(PyObject* cls) {
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

  static Verdict undecided_or_raised() {
    if (PyErr_Occurred() == nullptr) return kUndecided;
    return failed() == kRaised ? kRaised : kUndecided;
  }

  static Verdict interpreted(PyObject* live, PyObject* kept) {
    const int same = PyObject_RichCompareBool(live, kept, Py_EQ);
    if (same < 0) return failed();
    return same == 1 ? kEqual : kDiffers;
  }

  // A container's walk inside the recursion check, past the first levels.
  Verdict nested(PyTypeObject* type, PyObject* live, PyObject* kept) {
    const bool checked = depth_ >= kUncheckedLevels;
    if (checked && Py_EnterRecursiveCall(" while comparing a list element with its snapshot") != 0) {
      return failed();
    }
    ++depth_;
    const Verdict same = type == &PyDict_Type   ? dicts(live, kept)
                         : type == &PyList_Type ? lists(live, kept)
                                                : tuples(live, kept);
    --depth_;
    if (checked) Py_LeaveRecursiveCall();
    return same;
  }

  // Two values met at one place in the walk: equal when identical, else compared holding both.
  Verdict items(PyObject* live, PyObject* kept) {
    if (live == kept) return kEqual;
    PyRef hold_live = PyRef::borrow(live);
    PyRef hold_kept = PyRef::borrow(kept);
    return equal(live, kept);
  }

  Verdict tuples(PyObject* live, PyObject* kept) {
    const Py_ssize_t count = PyTuple_Size(kept);
    if (PyTuple_Size(live) != count) return kDiffers;
    for (Py_ssize_t i = 0; i < count; ++i) {
      const Verdict same = items(PyTuple_GetItem(live, i), PyTuple_GetItem(kept, i));
      if (same != kEqual) return same;
    }
    return kEqual;
  }

#ifdef Py_GIL_DISABLED
  Verdict lists(PyObject* live, PyObject* kept) {
    codec::ElementSnapshot live_items, kept_items;
    if (!live_items.take_list(live) || !kept_items.take_list(kept)) return failed();
    if (live_items.size() != kept_items.size()) return kDiffers;
    for (size_t i = 0; i < live_items.size(); ++i) {
      const Verdict same = items(live_items[i], kept_items[i]);
      if (same != kEqual) return same;
    }
    return kEqual;
  }

  Verdict dicts(PyObject* live, PyObject* kept) {
    codec::ElementSnapshot live_entries, kept_entries;
    if (!live_entries.take_dict(live) || !kept_entries.take_dict(kept)) return failed();
    if (live_entries.size() != kept_entries.size()) return kDiffers;
    for (size_t i = 0; i < live_entries.size(); i += 2) {
      if (live_entries[i] != kept_entries[i]) return interpreted(live, kept);
      const Verdict same = items(live_entries[i + 1], kept_entries[i + 1]);
      if (same != kEqual) return same;
    }
    return kEqual;
  }
#else
  Verdict lists(PyObject* live, PyObject* kept) {
    const Py_ssize_t count = PyList_Size(kept);
    if (PyList_Size(live) != count) return kDiffers;
    for (Py_ssize_t i = 0; i < count; ++i) {
      // An __eq__ met earlier may have shrunk either list: a size that moved is a difference.
      PyObject* live_item = PyList_GetItem(live, i);
      PyObject* kept_item = PyList_GetItem(kept, i);
      if (live_item == nullptr || kept_item == nullptr) return failed();
      const Verdict same = items(live_item, kept_item);
      if (same != kEqual) return same;
    }
    return kEqual;
  }

  // Position against position while the keys are the very ones copied, in
  // the order copied; a dict changed in that respect goes to dict equality.
  // PyDict_Next stays in bounds of a dict an __eq__ has changed meanwhile.
  Verdict dicts(PyObject* live, PyObject* kept) {
    if (PyDict_Size(live) != PyDict_Size(kept)) return kDiffers;
    Py_ssize_t live_at = 0, kept_at = 0;
    PyObject *live_key, *live_value, *kept_key, *kept_value;
    while (PyDict_Next(kept, &kept_at, &kept_key, &kept_value)) {
      if (!PyDict_Next(live, &live_at, &live_key, &live_value)) return kDiffers;
      if (live_key != kept_key) return interpreted(live, kept);
      const Verdict same = items(live_value, kept_value);
      if (same != kEqual) return same;
    }
    return kEqual;
  }
#endif

  const Names& names_;
  std::vector<ModelClass> classes_;  // a call meets a few classes
  int depth_ = 0;
};

// The elements of a list to compare, read as the build allows (see the top of the file).
class Items {
 public:
  bool take(PyObject* list) {
#ifdef Py_GIL_DISABLED
    return items_.take_list(list);
#else
    list_ = list;
    return true;
#endif
  }
  // Borrowed; null (nothing set) past the end.
  PyObject* at(Py_ssize_t i) const {
#ifdef Py_GIL_DISABLED
    return static_cast<size_t>(i) < items_.size() ? items_[static_cast<size_t>(i)] : nullptr;
#else
    PyObject* item = PyList_GetItem(list_, i);  // bounds-checked: IndexError past the end
    if (item == nullptr) PyErr_Clear();
    return item;
#endif
  }
  Py_ssize_t size() const {
#ifdef Py_GIL_DISABLED
    return static_cast<Py_ssize_t>(items_.size());
#else
    return PyList_Size(list_);
#endif
  }

 private:
#ifdef Py_GIL_DISABLED
  codec::ElementSnapshot items_;
#else
  PyObject* list_ = nullptr;
#endif
};

struct Lists {
  Items value, objects, snapshots;
  bool models;
  PyObject* unchanged;
};

// Whether element i of the new list is element j of the stored one, unchanged;
// kRaised with the exception set.
Verdict stored(Comparison& comparison, const Lists& lists, Py_ssize_t i, Py_ssize_t j) {
  PyObject* element = lists.value.at(i);
  if (element == nullptr || element != lists.objects.at(j)) return kDiffers;
  PyObject* snapshot = lists.snapshots.at(j);
  if (snapshot == nullptr) return kDiffers;
  PyRef hold_element = PyRef::borrow(element);
  PyRef hold_snapshot = PyRef::borrow(snapshot);
  const Verdict same =
      lists.models ? comparison.model(element, snapshot) : comparison.equal(element, snapshot);
  if (same != kUndecided) return same;
  PyRef answer = PyRef::steal(PyObject_CallFunctionObjArgs(lists.unchanged, element, snapshot, nullptr));
  if (!answer) return kRaised;
  const int truth = PyObject_IsTrue(answer.get());
  if (truth < 0) return kRaised;
  return truth == 1 ? kEqual : kDiffers;
}

PyObject* ends(PyObject* value, PyObject* objects, PyObject* snapshots, PyObject* models,
               PyObject* unchanged) {
  if (!PyList_CheckExact(value) || !PyList_CheckExact(objects) || !PyList_CheckExact(snapshots)) {
    PyErr_SetString(PyExc_TypeError, "value, objects and snapshots must be lists");
    return nullptr;
  }
  if (PyList_Size(objects) != PyList_Size(snapshots)) {
    PyErr_SetString(PyExc_ValueError, "objects and snapshots must be of one length");
    return nullptr;
  }
  if (!PyCallable_Check(unchanged)) {
    PyErr_SetString(PyExc_TypeError, "unchanged must be callable");
    return nullptr;
  }
  const int with_models = PyObject_IsTrue(models);
  if (with_models < 0) return nullptr;
  const Names* known = names();
  if (known == nullptr) return nullptr;
  Lists lists{{}, {}, {}, with_models == 1, unchanged};
  if (!lists.value.take(value) || !lists.objects.take(objects) || !lists.snapshots.take(snapshots)) {
    return nullptr;
  }
  Comparison comparison(*known);
  const Py_ssize_t n_new = lists.value.size(), n_old = lists.objects.size();
  const Py_ssize_t common = n_new < n_old ? n_new : n_old;
  Py_ssize_t head = 0;
  for (; head < common; ++head) {
    const Verdict same = stored(comparison, lists, head, head);
    if (same == kRaised) return nullptr;
    if (same == kDiffers) break;
  }
  Py_ssize_t tail = 0;
  for (; tail < common - head; ++tail) {
    const Verdict same = stored(comparison, lists, n_new - 1 - tail, n_old - 1 - tail);
    if (same == kRaised) return nullptr;
    if (same == kDiffers) break;
  }
  return Py_BuildValue("(nn)", head, tail);
}

std::vector<MemberDef> list_elements_functions() {
  return {
      function<&ends>(
          "ends", "(value, objects, snapshots, models, unchanged)",
          "How many elements at the head of list `value`, and then at its tail, are stored already.\n\n"
          "An element is stored when it is the object at its place in `objects` (from the head, or\n"
          "from the tail) and its content equals the snapshot beside it in `snapshots`: with\n"
          "`models`, a model's (class, fields, extra, fields set, private), else the element.\n"
          "The tail is counted among the elements the head leaves. `unchanged(element, snapshot)`\n"
          "answers for an element this check does not know how to read. (head, tail)."),
  };
}

}  // namespace

SubmoduleDefinition list_elements_module() {
  return {"derirezaro._list_elements",
          "Native check of a list channel's stored elements, for derirezaro.langgraph.",
          &list_elements_functions};
}

}  // namespace derirezaro::py
