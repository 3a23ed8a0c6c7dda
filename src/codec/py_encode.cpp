// Encoding Python objects straight into MessagePack bytes.
#include <string>

#include "codec/msgpack_writer.hpp"
#include "codec/py_codec.hpp"
#include "codec/py_walker.hpp"

namespace derirezaro::codec {

namespace {

// Writes as it is visited: a container's header goes out before its
// elements, which the walk visits depth-first in order.
struct MsgpackSink {
  struct Node {};
  ByteBuffer& out;

  bool nil(Node&) { msgpack::write_nil(out); return true; }
  bool boolean(bool b, Node&) { msgpack::write_bool(out, b); return true; }
  bool uint(uint64_t n, Node&) { msgpack::write_uint(out, n); return true; }
  bool negative(int64_t v, Node&) { msgpack::write_negative(out, v); return true; }
  bool float64(double d, Node&) { msgpack::write_float64(out, d); return true; }
  bool str(const char* p, uint32_t n, Node&) { msgpack::write_str(out, p, n); return true; }
  bool bytes(const char* p, uint32_t n, Node&) { msgpack::write_bin(out, p, n); return true; }
  bool array_begin(uint32_t n, Node&) { msgpack::write_array_header(out, n); return true; }
  bool array_item(Node&, Node&&) { return true; }
  bool map_begin(uint32_t n, Node&) { msgpack::write_map_header(out, n); return true; }
  bool map_entry(Node&, Node&&, Node&&) { return true; }
};

}  // namespace

bool check_wire_length(Py_ssize_t length, const char* what, const char* unit) {
  if (static_cast<uint64_t>(length) <= UINT32_MAX) return true;
  const std::string message = std::string(what) + " too long for msgpack: " + std::to_string(length) +
                              " " + unit + " (the format allows at most 4294967295)";
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return false;
}

bool encode_into(PyObject* obj, ByteBuffer& out) {
  MsgpackSink sink{out};
  PyWalker<MsgpackSink> walker(sink);
  MsgpackSink::Node node;
  return walker.walk(obj, node);
}

PyObject* encode_to_bytes(PyObject* obj) {
  ByteBuffer buffer;
  if (!encode_into(obj, buffer)) return nullptr;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.data()),
                                   static_cast<Py_ssize_t>(buffer.size()));
}

}  // namespace derirezaro::codec
