#include "codec/py_value.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/py_walker.hpp"

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

// Builds nothing: the walk alone finds every error converting would raise.
struct CheckSink {
  struct Node {};
  bool nil(Node&) { return true; }
  bool boolean(bool, Node&) { return true; }
  bool uint(uint64_t, Node&) { return true; }
  bool negative(int64_t, Node&) { return true; }
  bool float64(double, Node&) { return true; }
  bool str(const char*, uint32_t, Node&) { return true; }
  bool bytes(const char*, uint32_t, Node&) { return true; }
  bool array_begin(uint32_t, Node&) { return true; }
  bool array_item(Node&, Node&&) { return true; }
  bool map_begin(uint32_t, Node&) { return true; }
  bool map_entry(Node&, Node&&, Node&&) { return true; }
};

}  // namespace

bool py_to_value_reading(PyObject* obj, const NameSet& roots, Value& out) {
  CheckSink check;
  CheckSink::Node nothing;
  PyWalker<CheckSink> checker(check);
  if (!PyDict_Check(obj)) {
    if (!checker.walk(obj, nothing)) return false;
    out = Nil{};  // not a map: every path reads nothing, as in the whole conversion
    return true;
  }
  // One walk, as the whole conversion's: every key and every value is
  // walked in order at the depth it would have, and only the values under
  // read keys are built on the way.
  Map entries;
  // A dict holds each read key at most once.
  entries.reserve(std::min(roots.size(), static_cast<size_t>(PyDict_Size(obj))));
  ValueSink build;
  const bool walked = checker.walk_dict_entries(
      obj, [](uint32_t) { return true; },
      [&](PyObject* key, PyObject* value, int depth) {
        PyWalker<CheckSink> inner(check, false, depth);
        if (!inner.walk(key, nothing)) return false;
        Py_ssize_t size = 0;
        const char* text =
            PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;  // walked: valid
        const std::string_view name(text != nullptr ? text : "", static_cast<size_t>(size));
        if (text == nullptr || !roots.contains(name)) return inner.walk(value, nothing);
        Value converted;
        if (!PyWalker<ValueSink>(build, false, depth).walk(value, converted)) return false;
        MapEntry& entry = entries.emplace_back();
        entry.key.data.emplace<String>().bytes.assign(name);
        entry.value = std::move(converted);
        return true;
      });
  if (!walked) return false;
  // Sorted by key bytes, so that evaluation finds a path's first segment by
  // binary search; a dict's keys are distinct, so the order is all that
  // changes, and no path can see the order of the keys it reads.
  std::sort(entries.begin(), entries.end(), [](const MapEntry& a, const MapEntry& b) {
    return a.key.get_if<String>()->bytes < b.key.get_if<String>()->bytes;
  });
  out = std::move(entries);
  return true;
}

}  // namespace derirezaro::codec
