#include "codec/py_value.hpp"

#include <algorithm>
#include <cstdint>
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
template <class N>
struct Checking {
  using Node = N;
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

struct Nothing {};
using CheckSink = Checking<Nothing>;

// For dict keys: checks as CheckSink does, and keeps a str's UTF-8 text,
// which the walk has just obtained anyway.
struct KeyText {
  const char* text = nullptr;  // null for a key that is not a str
  uint32_t size = 0;
};
struct KeySink : Checking<KeyText> {
  bool str(const char* p, uint32_t n, Node& out) {
    out = {p, n};
    return true;
  }
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
  KeySink keys;
  const bool walked = checker.walk_dict_entries(
      obj, [](uint32_t) { return true; },
      [&](PyObject* key, PyObject* value, int depth) {
        KeyText name;
        if (!PyWalker<KeySink>(keys, false, depth).walk(key, name)) return false;
        if (name.text == nullptr || !roots.contains(std::string_view(name.text, name.size))) {
          return PyWalker<CheckSink>(check, false, depth).walk(value, nothing);
        }
        // Built in place; on a failure, `entries` is dropped whole.
        MapEntry& entry = entries.emplace_back();
        entry.key.data.emplace<String>().bytes.assign(name.text, name.size);
        return PyWalker<ValueSink>(build, false, depth).walk(value, entry.value);
      });
  if (!walked) return false;
  out = std::move(entries);
  return true;
}

}  // namespace derirezaro::codec
