#include "codec/py_value.hpp"

#include <string>
#include <utility>

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

}  // namespace

bool py_to_value(PyObject* obj, Value& out) {
  ValueSink sink;
  PyWalker<ValueSink> walker(sink);
  return walker.walk(obj, out);
}

}  // namespace derirezaro::codec
