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
struct ValueSink {
  using Node = Value;

  bool nil(Node& out) {
    out = Nil{};
    return true;
  }
  bool boolean(bool b, Node& out) {
    out = b;
    return true;
  }
  bool uint(uint64_t n, Node& out) {
    out = Integer::from_unsigned(n);
    return true;
  }
  bool negative(int64_t v, Node& out) {
    out = Integer::from_signed(v);
    return true;
  }
  bool float64(double d, Node& out) {
    out = d;
    return true;
  }
  bool str(const char* p, uint32_t n, Node& out) {
    out = String{std::string(p, n), true};
    return true;
  }
  bool bytes(const char* p, uint32_t n, Node& out) {
    out = Bytes{std::string(p, n)};
    return true;
  }
  bool array_begin(uint32_t count, Node& out) {
    Array items;
    items.reserve(count);
    out = std::move(items);
    return true;
  }
  bool array_item(Node& array, Node&& item) {
    std::get<Array>(array.data).push_back(std::move(item));
    return true;
  }
  bool map_begin(uint32_t count, Node& out) {
    Map entries;
    entries.reserve(count);
    out = std::move(entries);
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

bool py_to_value(PyObject* obj, Value& out) {
  ValueSink sink;
  PyWalker<ValueSink> walker(sink);
  return walker.walk(obj, out);
}

bool py_to_value_reading(PyObject* obj, const std::vector<std::string>& roots, Value& out) {
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
        if (text == nullptr || !std::binary_search(roots.begin(), roots.end(), name))
          return inner.walk(value, nothing);
        Value converted;
        if (!PyWalker<ValueSink>(build, false, depth).walk(value, converted)) return false;
        entries.push_back(MapEntry{String{std::string(name), true}, std::move(converted)});
        return true;
      });
  if (!walked) return false;
  out = std::move(entries);
  return true;
}

}  // namespace derirezaro::codec
