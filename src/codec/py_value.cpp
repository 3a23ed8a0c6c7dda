#include "codec/py_value.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/py_state_check.hpp"
#include "codec/py_walker.hpp"
#include "lib/py_ref.hpp"

namespace derirezaro::codec {

namespace {

// Counts here come from live Python containers, so reserving is safe.
// Each node is built in place (variant::emplace): a Value assigned from a
// temporary would be built, then moved, then destroyed.
struct ValueSink {
  using Node = Value;

  bool nil(Node& out) {
    out.data.emplace<Nil>();
    return true;
  }
  bool boolean(bool b, Node& out) {
    out.data.emplace<bool>(b);
    return true;
  }
  bool uint(uint64_t n, Node& out) {
    out.data.emplace<Integer>(Integer::from_unsigned(n));
    return true;
  }
  bool negative(int64_t v, Node& out) {
    out.data.emplace<Integer>(Integer::from_signed(v));
    return true;
  }
  bool float64(double d, Node& out) {
    out.data.emplace<double>(d);
    return true;
  }
  bool str(const char* p, uint32_t n, Node& out) {
    out.data.emplace<String>().bytes.assign(p, n);  // valid_utf8: the walk read it as a str
    return true;
  }
  bool bytes(const char* p, uint32_t n, Node& out) {
    out.data.emplace<Bytes>().data.assign(p, n);
    return true;
  }
  bool array_begin(uint32_t count, Node& out) {
    out.data.emplace<Array>().reserve(count);
    return true;
  }
  bool array_item(Node& array, Node&& item) {
    std::get<Array>(array.data).push_back(std::move(item));
    return true;
  }
  bool map_begin(uint32_t count, Node& out) {
    out.data.emplace<Map>().reserve(count);
    return true;
  }
  bool map_entry(Node& map, Node&& key, Node&& value) {
    std::get<Map>(map.data).push_back(MapEntry{std::move(key), std::move(value)});
    return true;
  }
};

// A new str of `name`; names come from condition text, so they are UTF-8
// and only a failed allocation fails.
PyObject* name_object(std::string_view name) {
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

// The depth at which a top-level dict's entries are walked.
constexpr int kEntryDepth = 1;

// Converts `value`, found under the read key `name`, into a new entry of
// `entries`; on a failure `entries` is dropped whole by the caller.
bool build_entry(Map& entries, std::string_view name, PyObject* value, int depth) {
  ValueSink build;
  MapEntry& entry = entries.emplace_back();
  entry.key.data.emplace<String>().bytes.assign(name.data(), name.size());
  return PyWalker<ValueSink>(build, false, depth).walk(value, entry.value);
}

// The read keys of a dict whose keys are all exact str, each looked up once.
// The dict lookup is exact for such keys: equal str hash equally and compare
// by content without running Python code, and content equality of str is
// byte equality of their UTF-8.
bool collect_by_lookup(PyObject* dict, const NameSet& roots, const NameObjects& objects, Map& entries) {
  for (std::string_view name : roots) {
    PyObject* key = objects.find(name);
    py::PyRef made;
    if (key == nullptr) {
      made = py::PyRef::steal(name_object(name));
      if (!made) return false;
      key = made.get();
    }
#ifdef Py_GIL_DISABLED
    PyObject* found = nullptr;  // a strong reference: another thread may replace the entry
    if (PyDict_GetItemRef(dict, key, &found) < 0) return false;
    py::PyRef held = py::PyRef::steal(found);
#else
    PyObject* found = PyDict_GetItemWithError(dict, key);  // borrowed: no Python code runs below
    if (found == nullptr && PyErr_Occurred()) return false;
#endif
    if (found != nullptr && !build_entry(entries, name, found, kEntryDepth)) return false;
  }
  return true;
}

// The read keys of a dict with some key that is not an exact str: a str
// subclass may hash or compare as it pleases, and a bytes key equal in hash
// to a name would be compared with it (a warning under -b), so every key is
// read for its UTF-8 bytes instead, as the walk has already done once.
bool collect_by_scan(PyObject* dict, const NameSet& roots, Map& entries) {
  CheckSink check;
  return PyWalker<CheckSink>(check).walk_dict_entries(
      dict, [](uint32_t) { return true; },
      [&](PyObject* key, PyObject* value, int depth) {
        if (!PyUnicode_Check(key)) return true;
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &size);  // cached by the walk
        if (text == nullptr) return false;
        const std::string_view name(text, static_cast<size_t>(size));
        return !roots.contains(name) || build_entry(entries, name, value, depth);
      });
}

// Walks the whole of `dict` as encoding it would, and tells whether every
// key is an exact str.
bool check_dict(PyObject* dict, bool& text_keys_only) {
  auto note = [&](PyObject* key) {
    if (Py_TYPE(key) != &PyUnicode_Type) text_keys_only = false;
  };
#ifdef Py_GIL_DISABLED
  CheckSink check;
  return PyWalker<CheckSink>(check).walk_dict_entries(
      dict, [](uint32_t) { return true; },
      [&](PyObject* key, PyObject* value, int depth) {
        note(key);
        Nothing nothing;
        PyWalker<CheckSink> at_depth(check, false, depth);
        return at_depth.walk(key, nothing) && at_depth.walk(value, nothing);
      });
#else
  return StateCheck().dict(dict, kEntryDepth, note);
#endif
}

}  // namespace

bool NameObjects::add(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (objects_.find(name) != objects_.end()) continue;
    py::PyRef object = py::PyRef::steal(name_object(name));
    if (!object) return false;
    objects_.emplace(name, std::move(object));
  }
  return true;
}

bool py_to_value_reading(PyObject* obj, const NameSet& roots, const NameObjects& objects, Value& out) {
  if (!PyDict_Check(obj)) {
    CheckSink check;
    Nothing nothing;
    if (!PyWalker<CheckSink>(check).walk(obj, nothing)) return false;
    out = Nil{};  // not a map: every path reads nothing, as in the whole conversion
    return true;
  }
  // The whole walk first, as the whole conversion's: every key and every
  // value in order at the depth it would have, with no test per key beyond
  // noting whether it is an exact str. Then the read keys, a few, are
  // looked up and only their values built.
  bool text_keys_only = true;
  if (!check_dict(obj, text_keys_only)) return false;
  Map entries;
  entries.reserve(roots.size());
  if (!(text_keys_only ? collect_by_lookup(obj, roots, objects, entries)
                       : collect_by_scan(obj, roots, entries)))
    return false;
  out = std::move(entries);
  return true;
}

}  // namespace derirezaro::codec
