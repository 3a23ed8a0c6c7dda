// Python objects to and from Value trees.
#include <string>
#include <utility>

#include "codec/py_codec.hpp"
#include "codec/py_walker.hpp"
#include "lib/py_ref.hpp"

namespace derirezaro::codec {

namespace {

using py::PyRef;

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

PyObject* bytes_object(const std::string& bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

struct ToPython {
  PyObject* operator()(const Nil&) const {
    Py_INCREF(Py_None);
    return Py_None;
  }
  PyObject* operator()(bool b) const { return PyBool_FromLong(b); }
  PyObject* operator()(const Integer& n) const {
    return n.negative ? PyLong_FromLongLong(n.as_signed()) : PyLong_FromUnsignedLongLong(n.bits);
  }
  PyObject* operator()(float f) const { return PyFloat_FromDouble(static_cast<double>(f)); }
  PyObject* operator()(double d) const { return PyFloat_FromDouble(d); }
  PyObject* operator()(const String& s) const {
    if (!s.valid_utf8) return bytes_object(s.bytes);
    return PyUnicode_DecodeUTF8(s.bytes.data(), static_cast<Py_ssize_t>(s.bytes.size()), nullptr);
  }
  PyObject* operator()(const Bytes& b) const { return bytes_object(b.data); }
  PyObject* operator()(const Array& items) const {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < items.size(); ++i) {
      PyObject* item = value_to_py(items[i]);
      if (item == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
    }
    return list.release();
  }
  PyObject* operator()(const Map& entries) const {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const MapEntry& entry : entries) {
      PyRef key = PyRef::steal(value_to_py(entry.key));
      if (!key) return nullptr;
      PyRef value = PyRef::steal(value_to_py(entry.value));
      if (!value) return nullptr;
      if (PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) return nullptr;
    }
    return dict.release();
  }
  PyObject* operator()(const Extension&) const {
    PyErr_SetString(PyExc_ValueError, messages::kExtensionUnsupported);
    return nullptr;
  }
};

}  // namespace

bool py_to_value(PyObject* obj, Value& out) {
  ValueSink sink;
  PyWalker<ValueSink> walker(sink);
  return walker.walk(obj, out);
}

PyObject* value_to_py(const Value& value) { return std::visit(ToPython{}, value.data); }

}  // namespace derirezaro::codec
