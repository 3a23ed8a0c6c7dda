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
#include "langgraph/element_rebuild.hpp"
#include "langgraph/fields_index.hpp"
#include "langgraph/model_class.hpp"
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

// A model's snapshot: (class, fields, extra, fields set, private, FieldsIndex).
constexpr Py_ssize_t kModelSnapshotSize = 6;

Verdict failed() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return kRaised;
  PyErr_Clear();
  return kDiffers;
}

class Comparison {
 public:
  explicit Comparison(const ModelNames& names) : classes_(names) {}

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

  // Model `element` against its snapshot, as `_model_state(element) == snapshot[:5]`.
  Verdict model(PyObject* element, PyObject* snapshot) {
    // A tuple's size never changes: read in place.
    if (!PyTuple_CheckExact(snapshot) || Py_SIZE(snapshot) != kModelSnapshotSize) return kUndecided;
    const FieldsIndex* index = fields_index_of(PyTuple_GetItem(snapshot, kModelSnapshotSize - 1));
    if (index == nullptr) return kUndecided;
    const ModelClass* reads = classes_.find(Py_TYPE(element));
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
    Verdict same = indexed_fields(fields.get(), *index);
    for (size_t i = 0; same == kEqual && i < kModelSlots; ++i) {
      PyRef value = PyRef::steal(reads->get(i, element));
      if (!value) return failed();
      same = i == 1 ? names(value.get(), *index) : field(value.get(), index->slots[i]);
    }
    return same;
  }

 private:
  // A model's instance dict against its snapshot's, read from the index
  // position by position while the keys are the very ones copied, in the
  // order copied; otherwise dict equality decides (`kept`: the snapshot's dict).
  Verdict indexed_fields(PyObject* live, const FieldsIndex& index) {
    PyObject* kept = index.fields_dict();
    if (!PyDict_CheckExact(live)) return interpreted(live, kept);
    const auto& fields = index.fields;
    if (PyDict_Size(live) != static_cast<Py_ssize_t>(fields.size())) return kDiffers;
#ifdef Py_GIL_DISABLED
    codec::ElementSnapshot entries;
    if (!entries.take_dict(live)) return failed();
    if (entries.size() != 2 * fields.size()) return kDiffers;
    for (size_t i = 0; i < fields.size(); ++i) {
      if (entries[2 * i] != fields[i].key) return interpreted(live, kept);
      const Verdict same = field(entries[2 * i + 1], fields[i]);
      if (same != kEqual) return same;
    }
    return kEqual;
#else
    // PyDict_Next stays in bounds of a dict an __eq__ has changed meanwhile.
    // The index's vector is never resized, so its bounds are read once.
    // (A lookup per kept key would not depend on the order, but costs the
    // interpreter twice what a step of PyDict_Next does.)
    const FieldsIndex::Field* next = fields.data();
    const FieldsIndex::Field* const end = next + fields.size();
    const unsigned long calls = calls_;
    Py_ssize_t at = 0;
    PyObject *key, *value;
    for (; next != end; ++next) {
      if (!PyDict_Next(live, &at, &key, &value)) return kDiffers;
      if (key != next->key) return interpreted(live, kept);
      if (value != next->value) {
        const Verdict same = field(value, *next);
        if (same != kEqual) return same;
      }
    }
    // Every entry matched and the size was read before them: the dict holds
    // no more unless Python code ran meanwhile and grew it.
    if (calls_ == calls) return kEqual;
    return PyDict_Next(live, &at, &key, &value) ? kDiffers : kEqual;
#endif
  }

  // A field's live value against its snapshot's. Most fields that are not
  // the very object kept are an empty dict or list copied: one size settles those.
  Verdict field(PyObject* live, const FieldsIndex::Field& kept) {
    if (kept.empty != nullptr && Py_TYPE(live) == kept.empty) {
      return (kept.empty == &PyDict_Type ? PyDict_Size(live) : list_size(live)) == 0 ? kEqual : kDiffers;
    }
    return items(live, kept.value);
  }

  // A model's set fields against its snapshot's frozenset. When every kept
  // name is a str, sets of one size where each kept name is in the live set
  // are equal (str equality is the hash's); otherwise set equality decides.
  Verdict names(PyObject* live, const FieldsIndex& index) {
    PyObject* kept = index.slot(1);
    const bool a_set = Py_TYPE(live) == &PySet_Type || Py_TYPE(live) == &PyFrozenSet_Type;
    if (!index.names_are_str || !a_set) return interpreted(live, kept);
    if (PySet_Size(live) != static_cast<Py_ssize_t>(index.names.size())) return kDiffers;
    for (PyObject* name : index.names) {
      const int found = PySet_Contains(live, name);
      if (found < 0) return failed();
      if (found == 0) return kDiffers;
    }
    return kEqual;
  }

  // An exact list's size, read in place where no other thread can be resizing it.
  static Py_ssize_t list_size(PyObject* list) {
#ifdef Py_GIL_DISABLED
    return PyList_Size(list);
#else
    return Py_SIZE(list);
#endif
  }

  static Verdict undecided_or_raised() {
    if (PyErr_Occurred() == nullptr) return kUndecided;
    return failed() == kRaised ? kRaised : kUndecided;
  }

  // Hands a comparison to the interpreter, which may run Python code: a walk
  // that saw `calls_` stay put knows that nothing it has read has changed.
  Verdict interpreted(PyObject* live, PyObject* kept) {
    ++calls_;
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

  ModelClasses classes_;
  int depth_ = 0;
  unsigned long calls_ = 0;  // of `interpreted`
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
  const ModelNames* known = model_names();
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

PyObject* fields_index(PyObject* state) { return make_fields_index(state); }

PyObject* rebuilt_elements(PyObject* entries) { return rebuilt(entries); }

std::vector<MemberDef> list_elements_functions() {
  return {
      function<&fields_index>(
          "fields_index", "(state)",
          "An opaque index of a model's state (class, fields dict, extra, set fields, private), which\n"
          "`ends` reads in place of the snapshot; it holds its own references to all but the class,\n"
          "which `ends` reads from the snapshot."),
      function<&rebuilt_elements>(
          "rebuilt", "(entries)",
          "For each entry (a tuple of a snapshot and whether it is of a model, then anything, or\n"
          "None), a new object equal to what the snapshot was taken of, sharing with it only atoms\n"
          "and tuples of atoms; None for None and for a model whose class is not made plainly."),
      function<&ends>(
          "ends", "(value, objects, snapshots, models, unchanged)",
          "How many elements at the head of list `value`, and then at its tail, are stored already.\n\n"
          "An element is stored when it is the object at its place in `objects` (from the head, or\n"
          "from the tail) and its content equals the snapshot beside it in `snapshots`: with\n"
          "`models`, a model's (*state, fields_index(state)), its state being (class, fields,\n"
          "extra, fields set, private), else the element.\n"
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
