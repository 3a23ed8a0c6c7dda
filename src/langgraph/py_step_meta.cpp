// meta_fields: the record meta of a put, built in one call.
//
// Every put passes here with a checkpoint of a handful of keys and metadata
// that is mostly flat maps of str and numbers; in Python the copy, the
// timestamp's parse and the walk proving the values plain cost a tenth of a
// step. The checks are of exact types alone, so no Python code runs while
// the dicts are walked and their borrowed items stay valid; without an
// interpreter lock (a free-threaded build) no container of the caller's is
// walked, and such meta goes to the serde.
#include <cstdint>
#include <optional>
#include <string_view>

#include "langgraph/py_step.hpp"
#include "langgraph/utc_timestamp.hpp"
#include "lib/errors.hpp"
#include "lib/py_ref.hpp"

namespace derirezaro::py {

namespace {

// How deep plain data may nest: the codec's readers go deeper, but metadata
// this deep is not metadata, and the serde is the safe way to keep it.
constexpr int kPlainDepth = 32;

// Whether the codec keeps `value` exactly as the serde would give it back:
// str, float, bool, None, ints of 64 bits (signed or not), and lists,
// tuples (which come back as lists from either) and str-keyed dicts of those.
bool plain(PyObject* value, int depth) {
  if (PyUnicode_CheckExact(value) || PyFloat_CheckExact(value) || PyBool_Check(value) || value == Py_None) {
    return true;
  }
  if (PyLong_CheckExact(value)) {
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) return true;
    if (overflow < 0) return false;
    PyLong_AsUnsignedLongLong(value);
    if (!PyErr_Occurred()) return true;
    PyErr_Clear();
    return false;
  }
  if (depth > kPlainDepth) return false;
#ifdef Py_GIL_DISABLED
  // Another thread may change a container while it is walked, and the walk
  // holds its items borrowed: the serde, which reads it as Python code does,
  // keeps it instead.
  return false;
#endif
  if (PyDict_CheckExact(value)) {
    Py_ssize_t at = 0;
    PyObject *key = nullptr, *item = nullptr;
    while (PyDict_Next(value, &at, &key, &item)) {
      if (!PyUnicode_CheckExact(key) || !plain(item, depth + 1)) return false;
    }
    return true;
  }
  const bool list = PyList_CheckExact(value);
  if (!list && !PyTuple_CheckExact(value)) return false;
  const Py_ssize_t size = list ? PyList_Size(value) : PyTuple_Size(value);
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (!plain(list ? PyList_GetItem(value, i) : PyTuple_GetItem(value, i), depth + 1)) return false;
  }
  return true;
}

struct Names {
  PyObject* id;
  PyObject* channel_values;
  PyObject* channel_versions;
  PyObject* versions_seen;
  PyObject* ts;
  PyObject* v;
  PyObject* updated_channels;
};

const Names* names() {
  static const Names interned = {
      PyUnicode_InternFromString("id"),
      PyUnicode_InternFromString("channel_values"),
      PyUnicode_InternFromString("channel_versions"),
      PyUnicode_InternFromString("versions_seen"),
      PyUnicode_InternFromString("ts"),
      PyUnicode_InternFromString("v"),
      PyUnicode_InternFromString("updated_channels"),
  };
  return all_made(interned);
}

// `others[key]` taken out: a new reference, or null (no error) when absent.
// False with an exception set on failure.
bool pop(PyObject* others, PyObject* key, PyRef& out) {
  PyObject* found = PyDict_GetItemWithError(others, key);
  if (found == nullptr) return !PyErr_Occurred();
  out = PyRef::borrow(found);
  return PyDict_DelItem(others, key) == 0;
}

bool drop(PyObject* others, PyObject* key) {
  PyRef dropped;
  return pop(others, key, dropped);
}

// The list of str LangGraph writes, or None: kept in the meta's own field.
bool usual_updated(PyObject* updated) {
  if (updated == Py_None) return true;
#ifdef Py_GIL_DISABLED
  return false;  // the list is the caller's: walked by the serde (see `plain`)
#endif
  if (!PyList_CheckExact(updated)) return false;
  for (Py_ssize_t i = 0, n = PyList_Size(updated); i < n; ++i) {
    if (!PyUnicode_CheckExact(PyList_GetItem(updated, i))) return false;
  }
  return true;
}

// The timestamp as stored: an int where that reads back as the same text.
PyRef stored_ts(PyRef ts) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(ts.get(), &size);
  if (text == nullptr) {  // lone surrogates: not the shape, kept as they are
    PyErr_Clear();
    return ts;
  }
  const std::optional<int64_t> micros =
      langgraph::round_trip_micros(std::string_view(text, static_cast<size_t>(size)));
  return micros ? PyRef::steal(PyLong_FromLongLong(*micros)) : std::move(ts);
}

PyObject* absent_or(PyRef& field) { return field ? field.release() : (Py_INCREF(Py_False), Py_False); }

}  // namespace

PyObject* meta_fields(PyObject* checkpoint, PyObject* metadata) {
  if (!PyDict_CheckExact(checkpoint)) {
    raise_error(PyExc_TypeError, "a checkpoint must be a dict, not " + type_qualname(checkpoint));
    return nullptr;
  }
  const Names* n = names();
  if (n == nullptr) return nullptr;
  PyRef others = PyRef::steal(PyDict_Copy(checkpoint));
  if (!others) return nullptr;
  PyObject* o = others.get();
  PyRef ts, v, updated;
  if (!drop(o, n->id) || !drop(o, n->channel_values) || !drop(o, n->channel_versions) ||
      !drop(o, n->versions_seen) || !pop(o, n->ts, ts) || !pop(o, n->v, v) ||
      !pop(o, n->updated_channels, updated)) {
    return nullptr;
  }
  // A field of an unusual type goes back among the others, at their end, as the serde keeps it.
  if (ts && !PyUnicode_CheckExact(ts.get())) {
    if (PyDict_SetItem(o, n->ts, ts.get()) != 0) return nullptr;
    ts = PyRef();
  }
  if (v && !PyLong_CheckExact(v.get())) {
    if (PyDict_SetItem(o, n->v, v.get()) != 0) return nullptr;
    v = PyRef();
  }
  if (updated && !usual_updated(updated.get())) {
    if (PyDict_SetItem(o, n->updated_channels, updated.get()) != 0) return nullptr;
    updated = PyRef();
  }
  if (ts) {
    ts = stored_ts(std::move(ts));
    if (!ts) return nullptr;
  }
  const bool is_plain = plain(o, 1) && plain(metadata, 1);
  PyRef both = PyRef::steal(PyList_New(2));
  PyRef meta = PyRef::steal(PyList_New(7));
  if (!both || !meta) return nullptr;
  PyList_SetItem(both.get(), 0, others.release());  // steals
  Py_INCREF(metadata);
  PyList_SetItem(both.get(), 1, metadata);
  PyObject* fields[7] = {Py_None, Py_None, nullptr, nullptr, nullptr, Py_None, both.release()};
  Py_INCREF(Py_None), Py_INCREF(Py_None), Py_INCREF(Py_None);
  fields[2] = absent_or(ts), fields[3] = absent_or(v), fields[4] = absent_or(updated);
  for (Py_ssize_t i = 0; i < 7; ++i) PyList_SetItem(meta.get(), i, fields[i]);
  return Py_BuildValue("(NO)", meta.release(), is_plain ? Py_True : Py_False);
}

}  // namespace derirezaro::py
