// apply_plain: a put's changes to its timeline's store, for the put nearly
// every step makes: some channels' versions moved, their new values are not
// lists, and the nodes' seen versions moved for some channels. The layout is
// the one langgraph/layout.py describes; its `apply` knows every other case
// (removals, list channels kept element by element) and runs when this
// answers None.
//
// Decided before anything is written: whether the put is one this answers.
// Once it writes, an error (a value the serde or the codec refuses) leaves
// the store part written, as the Python path would: the put's caller puts
// the store back to the record its timeline holds.
//
// The checkpoint's dicts are the caller's, and the serde is Python code that
// could change them: every item used across a call into it is held by a
// reference of this code's own.
#include <string>
#include <string_view>
#include <vector>

#include "langgraph/py_step.hpp"
#include "lib/errors.hpp"
#include "lib/py_ref.hpp"
#include "store/py_store.hpp"

namespace derirezaro::py {

namespace {

// The store's namespaces (layout.py).
constexpr std::string_view kVersions = "v";
constexpr std::string_view kNodes = "n";
constexpr std::string_view kSeenPrefix = "s:";
constexpr std::string_view kValues = "c";

struct Names {
  PyObject* channel_versions;
  PyObject* channel_values;
  PyObject* versions_seen;
  PyObject* versions;
  PyObject* seen;
  PyObject* values;
  PyObject* lists;
  PyObject* kept;
  PyObject* moved;
  PyObject* usual;  // the serde's usual type, stored without its name
};

const Names* names() {
  static const Names interned = {
      PyUnicode_InternFromString("channel_versions"),
      PyUnicode_InternFromString("channel_values"),
      PyUnicode_InternFromString("versions_seen"),
      PyUnicode_InternFromString("versions"),
      PyUnicode_InternFromString("seen"),
      PyUnicode_InternFromString("values"),
      PyUnicode_InternFromString("lists"),
      PyUnicode_InternFromString("kept"),
      PyUnicode_InternFromString("moved"),
      PyUnicode_InternFromString("msgpack"),
  };
  return all_made(interned);
}

// An exact dict found under `key` of a dict, or an attribute: held. Null and
// no error when it is absent or not a dict (the Python path decides then);
// `failed` when looking raised.
PyRef dict_item(PyObject* dict, PyObject* key, bool& failed) {
  PyObject* found = PyDict_GetItemWithError(dict, key);
  if (found == nullptr) {
    failed = PyErr_Occurred() != nullptr;
    return PyRef();
  }
  return PyDict_CheckExact(found) ? PyRef::borrow(found) : PyRef();
}

PyRef dict_attribute(PyObject* object, PyObject* name, bool& failed) {
  PyRef found = PyRef::steal(PyObject_GetAttr(object, name));
  if (!found) {
    failed = true;
    return PyRef();
  }
  return PyDict_CheckExact(found.get()) ? std::move(found) : PyRef();
}

// A key's UTF-8, as the store names entries; null with TypeError or
// UnicodeEncodeError set, as Store.set raises for such a key.
const char* utf8(PyObject* key, Py_ssize_t& size) {
  if (!PyUnicode_Check(key)) {
    raise_error(PyExc_TypeError, "a channel or node name must be a str, not " + type_qualname(key));
    return nullptr;
  }
  return PyUnicode_AsUTF8AndSize(key, &size);
}

bool set(store::Store& store, std::string_view ns, PyObject* key, PyObject* value) {
  Py_ssize_t size = 0;
  const char* text = utf8(key, size);
  return text != nullptr && set_entry(store, ns, std::string_view(text, static_cast<size_t>(size)), value);
}

bool erase(store::Store& store, std::string_view ns, PyObject* key) {
  Py_ssize_t size = 0;
  const char* text = utf8(key, size);
  if (text == nullptr) return false;
  delete_entry(store, ns, std::string_view(text, static_cast<size_t>(size)));
  return true;
}

// Whether a and b are equal, as `==` decides; -1 on error.
int equal(PyObject* a, PyObject* b) { return a == b ? 1 : PyObject_RichCompareBool(a, b, Py_EQ); }

// The serde's (type, bytes) of a value: `kind, data = dumps_typed(value)`
// with `data = bytes(data)`. Null with an exception set.
PyRef typed(PyObject* dumps_typed, PyObject* value, PyRef& kind, PyRef& data) {
  PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(dumps_typed, value, nullptr));
  if (!result) return PyRef();
  PyRef pair =
      PyTuple_CheckExact(result.get()) ? std::move(result) : PyRef::steal(PySequence_Tuple(result.get()));
  if (!pair) return PyRef();
  if (PyTuple_Size(pair.get()) != 2) {
    PyErr_Format(PyExc_ValueError, "dumps_typed gave %zd values, not (type, bytes)",
                 PyTuple_Size(pair.get()));
    return PyRef();
  }
  kind = PyRef::borrow(PyTuple_GetItem(pair.get(), 0));
  PyObject* raw = PyTuple_GetItem(pair.get(), 1);
  data = PyBytes_CheckExact(raw) ? PyRef::borrow(raw)
                                 : PyRef::steal(PyObject_CallFunctionObjArgs(
                                       reinterpret_cast<PyObject*>(&PyBytes_Type), raw, nullptr));
  if (!data) return PyRef();
  return PyRef::steal(PyTuple_Pack(2, kind.get(), data.get()));
}

struct Put {
  PyRef versions, values, seen;                                        // the checkpoint's
  PyRef base_versions, base_seen, base_values, base_lists, base_kept;  // the base State's
  std::vector<PyRef> changed;  // channels whose version moved, in the checkpoint's order
  std::vector<PyRef> written;  // channels whose value is written: `changed`, then the others named
  std::vector<PyRef> written_values;
  // The checkpoint's nodes and seen maps, each checked to be a dict before the serde runs, which
  // could put something else in their place.
  std::vector<std::pair<PyRef, PyRef>> nodes;
};

// Fills `put` and answers whether it is a put of plain values; -1 on error.
int read_put(PyObject* base, PyObject* checkpoint, PyObject* new_versions, const Names& n, Put& put) {
  bool failed = false;
  put.versions = dict_item(checkpoint, n.channel_versions, failed);
  if (!failed && put.versions) put.values = dict_item(checkpoint, n.channel_values, failed);
  if (!failed && put.values) put.seen = dict_item(checkpoint, n.versions_seen, failed);
  if (!failed && put.seen) put.base_versions = dict_attribute(base, n.versions, failed);
  if (!failed && put.base_versions) put.base_seen = dict_attribute(base, n.seen, failed);
  if (!failed && put.base_seen) put.base_values = dict_attribute(base, n.values, failed);
  if (!failed && put.base_values) put.base_lists = dict_attribute(base, n.lists, failed);
  if (!failed && put.base_lists) put.base_kept = dict_attribute(base, n.kept, failed);
  if (failed) return -1;
  if (!put.base_kept) return 0;
  PyObject* versions = put.versions.get();
  PyObject* base_versions = put.base_versions.get();

  // Which versions moved; a channel of the base's that the checkpoint lacks is a removal.
  Py_ssize_t at = 0, kept = 0;
  PyObject *channel = nullptr, *version = nullptr;
  while (PyDict_Next(versions, &at, &channel, &version)) {
    PyRef held = PyRef::borrow(channel);  // a version's __eq__ may take it out of the dict
    PyObject* before = PyDict_GetItemWithError(base_versions, channel);
    if (before == nullptr && PyErr_Occurred()) return -1;
    kept += before != nullptr;
    const int same = before == nullptr ? 0 : equal(before, version);
    if (same < 0) return -1;
    if (!same) put.changed.push_back(std::move(held));
  }
  if (kept != PyDict_Size(base_versions)) return 0;

  // The channels written: the moved ones and those `new_versions` names that the checkpoint has.
  PyRef written = PyRef::steal(PyDict_New());
  if (!written) return -1;
  for (const PyRef& moved : put.changed) {
    if (PyDict_SetItem(written.get(), moved.get(), Py_None) != 0) return -1;
  }
  at = 0;
  while (PyDict_Next(new_versions, &at, &channel, &version)) {
    const int has = PyDict_Contains(versions, channel);
    if (has < 0 || (has && PyDict_SetItem(written.get(), channel, Py_None) != 0)) return -1;
  }
  at = 0;
  PyObject* unused = nullptr;
  while (PyDict_Next(written.get(), &at, &channel, &unused)) {
    PyRef value = PyRef::borrow(PyDict_GetItemWithError(put.values.get(), channel));
    if (!value) return PyErr_Occurred() ? -1 : 0;  // a value dropped
    const int was_list = PyDict_Contains(put.base_lists.get(), channel);
    if (was_list < 0) return -1;
    if (PyList_CheckExact(value.get()) || was_list) return 0;
    put.written.push_back(PyRef::borrow(channel));
    put.written_values.push_back(std::move(value));
  }

  // A node of the base's that the checkpoint lacks is a removal; a seen map must be a dict.
  at = 0, kept = 0;
  PyObject *node = nullptr, *seen_map = nullptr;
  while (PyDict_Next(put.seen.get(), &at, &node, &seen_map)) {
    if (!PyDict_CheckExact(seen_map)) return 0;
    PyObject* before = PyDict_GetItemWithError(put.base_seen.get(), node);
    if (before == nullptr && PyErr_Occurred()) return -1;
    if (before != nullptr && !PyDict_CheckExact(before)) return 0;
    kept += before != nullptr;
    put.nodes.emplace_back(PyRef::borrow(node), PyRef::borrow(seen_map));
  }
  return kept == PyDict_Size(put.base_seen.get()) ? 1 : 0;
}

// A seen map of at most this many channels is compared whole before the
// guesses are tried: one comparison stops at the first channel that differs.
constexpr Py_ssize_t kComparedWhole = 32;

// The channels a node's seen map most likely moved for, once each: those
// this put writes and those its base's put moved (the nodes they triggered
// have seen them since).
bool seen_guesses(PyObject* base, const Put& put, const Names& n, std::vector<PyRef>& out) {
  PyRef unique = PyRef::steal(PyDict_New());
  PyRef moved = PyRef::steal(PyObject_GetAttr(base, n.moved));
  PyRef items = moved ? PyRef::steal(PyObject_GetIter(moved.get())) : PyRef();
  if (!unique || !items) return false;
  for (const PyRef& channel : put.written) {
    if (PyDict_SetItem(unique.get(), channel.get(), Py_None) != 0) return false;
  }
  while (PyRef channel = PyRef::steal(PyIter_Next(items.get()))) {
    if (PyDict_SetItem(unique.get(), channel.get(), Py_None) != 0) return false;
  }
  if (PyErr_Occurred()) return false;
  Py_ssize_t at = 0;
  PyObject *channel = nullptr, *unused = nullptr;
  while (PyDict_Next(unique.get(), &at, &channel, &unused)) out.push_back(PyRef::borrow(channel));
  return true;
}

// Whether a guessed channel's version differs between the maps (absent in
// both is no difference); -1 on error.
int a_guess_moved(PyObject* seen_map, PyObject* before, const std::vector<PyRef>& guesses) {
  for (const PyRef& channel : guesses) {
    PyObject* now = PyDict_GetItemWithError(seen_map, channel.get());
    if (now == nullptr && PyErr_Occurred()) return -1;
    PyObject* old = PyDict_GetItemWithError(before, channel.get());
    if (old == nullptr && PyErr_Occurred()) return -1;
    if (now == nullptr || old == nullptr) {
      if (now != old) return 1;
      continue;
    }
    const int same = equal(now, old);
    if (same <= 0) return same < 0 ? -1 : 1;
  }
  return 0;
}

// `before` with the guessed channels at their new versions, when that is the
// whole of `seen_map` (nothing else moved, nothing dropped); the guesses
// that moved go to `moved`. Null, and no error, when it is not.
PyRef guessed_map(PyObject* seen_map, PyObject* before, const std::vector<PyRef>& guesses,
                  std::vector<std::pair<PyRef, PyRef>>& moved, bool& failed) {
  failed = true;
  PyRef guessed = PyRef::steal(PyDict_Copy(before));
  if (!guessed) return PyRef();
  for (const PyRef& channel : guesses) {
    PyObject* now = PyDict_GetItemWithError(seen_map, channel.get());
    if (now == nullptr) {
      if (PyErr_Occurred()) return PyRef();
      continue;
    }
    PyRef held = PyRef::borrow(now);  // the comparison may run code that takes it out of the map
    PyObject* old = PyDict_GetItemWithError(before, channel.get());
    if (old == nullptr && PyErr_Occurred()) return PyRef();
    const int same = old == nullptr ? 0 : equal(old, now);
    if (same < 0) return PyRef();
    if (PyDict_SetItem(guessed.get(), channel.get(), now) != 0) return PyRef();
    if (!same) moved.emplace_back(PyRef::borrow(channel.get()), std::move(held));
  }
  const int whole = equal(guessed.get(), seen_map);
  if (whole < 0) return PyRef();
  failed = false;
  return whole ? std::move(guessed) : PyRef();
}

// Writes what moved in one node's seen map (`before` null for a new node)
// and returns the map the new state keeps; null with `unchanged` when
// nothing moved, else null with an exception set. The guesses answer most
// puts with one copy and one comparison in C, as the Python apply does.
PyRef write_seen(store::Store& store, PyObject* node, PyObject* seen_map, PyObject* before,
                 const std::vector<PyRef>& guesses, bool& unchanged) {
  std::vector<std::pair<PyRef, PyRef>> moved;
  PyRef now;
  if (before != nullptr) {
    bool whole_first = PyDict_Size(seen_map) <= kComparedWhole;
    if (!whole_first) {
      const int guessed_moved = a_guess_moved(seen_map, before, guesses);
      if (guessed_moved < 0) return PyRef();
      whole_first = guessed_moved == 0;
    }
    if (whole_first) {
      const int same = equal(seen_map, before);
      if (same < 0) return PyRef();
      if (same) {
        unchanged = true;
        return PyRef();
      }
    }
    bool failed = false;
    now = guessed_map(seen_map, before, guesses, moved, failed);
    if (failed) return PyRef();
  }
  Py_ssize_t size = 0;
  const char* name = utf8(node, size);
  if (name == nullptr) return PyRef();
  std::string ns(kSeenPrefix);
  ns.append(name, static_cast<size_t>(size));
  if (!now) {  // the guesses were not all: every channel compared
    moved.clear();
    now = PyRef::steal(PyDict_Copy(seen_map));
    if (!now) return PyRef();
    Py_ssize_t at = 0;
    PyObject *channel = nullptr, *version = nullptr;
    if (before != nullptr) {
      std::vector<PyRef> dropped;
      while (PyDict_Next(before, &at, &channel, &version)) {
        const int has = PyDict_Contains(seen_map, channel);
        if (has < 0) return PyRef();
        if (!has) dropped.push_back(PyRef::borrow(channel));
      }
      for (const PyRef& gone : dropped) {
        if (!erase(store, ns, gone.get())) return PyRef();
      }
    }
    at = 0;
    while (PyDict_Next(seen_map, &at, &channel, &version)) {
      // Held across the comparison, which may run code that changes the map.
      PyRef held_channel = PyRef::borrow(channel), held_version = PyRef::borrow(version);
      PyObject* old = before == nullptr ? nullptr : PyDict_GetItemWithError(before, channel);
      if (old == nullptr && PyErr_Occurred()) return PyRef();
      const int same = old == nullptr ? 0 : equal(old, version);
      if (same < 0) return PyRef();
      if (!same) moved.emplace_back(std::move(held_channel), std::move(held_version));
    }
  }
  for (const auto& [key, value] : moved) {
    if (!set(store, ns, key.get(), value.get())) return PyRef();
  }
  return now;
}

PyRef copy_or_share(PyObject* dict, bool copy) {
  return copy ? PyRef::steal(PyDict_Copy(dict)) : PyRef::borrow(dict);
}

}  // namespace

PyObject* apply_plain(PyObject* store_object, PyObject* base, PyObject* checkpoint, PyObject* new_versions,
                      PyObject* dumps_typed, PyObject* state_class) {
  store::Store* store = store_of(store_object);
  if (store == nullptr) return nullptr;
#ifdef Py_GIL_DISABLED
  // The walks below hold the caller's items borrowed, which another thread
  // could free without an interpreter lock: the Python path runs instead.
  Py_INCREF(Py_None);
  return Py_None;
#endif
  const Names* n = names();
  if (n == nullptr) return nullptr;
  Put put;
  const int answered = PyDict_CheckExact(checkpoint) && PyDict_CheckExact(new_versions)
                           ? read_put(base, checkpoint, new_versions, *n, put)
                           : 0;
  if (answered <= 0) return answered < 0 ? nullptr : (Py_INCREF(Py_None), Py_None);

  // From here on the store is written.
  PyRef versions = PyRef::steal(PyDict_Copy(put.versions.get()));
  if (!versions) return nullptr;
  for (const PyRef& channel : put.changed) {
    PyObject* version = PyDict_GetItemWithError(versions.get(), channel.get());  // the copy: ours alone
    if (version == nullptr)
      return PyErr_Occurred() ? nullptr : (PyErr_SetObject(PyExc_KeyError, channel.get()), nullptr);
    if (!set(*store, kVersions, channel.get(), version)) return nullptr;
  }
  const bool moved = !put.written.empty();  // `changed` is among the written
  PyRef values = copy_or_share(put.base_values.get(), moved);
  PyRef lists = copy_or_share(put.base_lists.get(), moved);
  PyRef kept = copy_or_share(put.base_kept.get(), moved);
  if (!values || !lists || !kept) return nullptr;
  for (size_t i = 0; i < put.written.size(); ++i) {
    PyRef kind, data;
    PyRef pair = typed(dumps_typed, put.written_values[i].get(), kind, data);
    if (!pair) return nullptr;
    const int usual = PyUnicode_Check(kind.get()) ? equal(kind.get(), n->usual) : 0;
    if (usual < 0) return nullptr;
    PyRef stored = usual ? PyRef::steal(PyList_New(1)) : PyRef::steal(PyList_New(2));
    if (!stored) return nullptr;
    if (!usual) PyList_SetItem(stored.get(), 0, kind.release());  // steals
    PyList_SetItem(stored.get(), usual ? 0 : 1, data.release());
    if (!set(*store, kValues, put.written[i].get(), stored.get()) ||
        PyDict_SetItem(values.get(), put.written[i].get(), pair.get()) != 0) {
      return nullptr;
    }
  }

  std::vector<PyRef> guesses;
  if (!seen_guesses(base, put, *n, guesses)) return nullptr;
  PyRef seen = PyRef::steal(PyDict_Copy(put.base_seen.get()));
  if (!seen) return nullptr;
  for (const auto& [node_ref, map_ref] : put.nodes) {
    PyObject* before = PyDict_GetItemWithError(put.base_seen.get(), node_ref.get());
    if (before == nullptr && PyErr_Occurred()) return nullptr;
    const PyRef held_before = PyRef::borrow(before);
    if (before == nullptr && !set(*store, kNodes, node_ref.get(), Py_None)) return nullptr;
    bool unchanged = false;
    PyRef now = write_seen(*store, node_ref.get(), map_ref.get(), before, guesses, unchanged);
    if (!now && !unchanged) return nullptr;
    if (now && PyDict_SetItem(seen.get(), node_ref.get(), now.get()) != 0) return nullptr;
  }

  PyRef changed = PyRef::steal(PyFrozenSet_New(nullptr));
  if (!changed) return nullptr;
  for (const PyRef& channel : put.changed) {
    if (PySet_Add(changed.get(), channel.get()) != 0) return nullptr;
  }
  return PyObject_CallFunctionObjArgs(state_class, versions.get(), seen.get(), values.get(), lists.get(),
                                      changed.get(), Py_None, kept.get(), nullptr);
}

}  // namespace derirezaro::py
