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
  EncodeBuffer& buffer;
  ByteBuffer& out = buffer.bytes();

  bool nil(Node&) {
    msgpack::write_nil(out);
    return true;
  }
  bool boolean(bool b, Node&) {
    msgpack::write_bool(out, b);
    return true;
  }
  bool uint(uint64_t n, Node&) {
    msgpack::write_uint(out, n);
    return true;
  }
  bool negative(int64_t v, Node&) {
    msgpack::write_negative(out, v);
    return true;
  }
  bool float64(double d, Node&) {
    msgpack::write_float64(out, d);
    return true;
  }
  [[gnu::always_inline]] bool str(const char* p, uint32_t n, Node&) {
    if (n < EncodeBuffer::kBorrowThreshold) {  // most strings: one reservation for header and text
      out.reserve_extra(5 + size_t{n});
      msgpack::put_str(out, p, n);
      return true;
    }
    msgpack::write_str_header(out, n);
    buffer.append_leaf(p, n);
    return true;
  }
  bool bytes(const char* p, uint32_t n, Node&) {
    msgpack::write_bin_header(out, n);
    buffer.append_leaf(p, n);
    return true;
  }
  bool array_begin(uint32_t n, Node&) {
    msgpack::write_array_header(out, n);
    return true;
  }
  bool array_item(Node&, Node&&) { return true; }
  bool map_begin(uint32_t n, Node&) {
    msgpack::write_map_header(out, n);
    return true;
  }
  bool map_entry(Node&, Node&&, Node&&) { return true; }
};

}  // namespace

bool refuse_wire_length(Py_ssize_t length, const char* what, const char* unit) {
  const std::string message = std::string(what) + " too long for msgpack: " + std::to_string(length) + " " +
                              unit + " (the format allows at most 4294967295)";
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return false;
}

bool encode_into(PyObject* obj, EncodeBuffer& out, MapKeys keys) {
  MsgpackSink sink{out};
  PyWalker<MsgpackSink> walker(sink, keys == MapKeys::readable);
  MsgpackSink::Node node;
  return walker.walk(obj, node);
}

EncodeBuffer& ScratchEncodeBuffer::thread_buffer() {
  static thread_local EncodeBuffer buffer;
  return buffer;
}

bool& ScratchEncodeBuffer::thread_buffer_in_use() {
  static thread_local bool in_use = false;
  return in_use;
}

ScratchEncodeBuffer::ScratchEncodeBuffer() {
  if (!thread_buffer_in_use()) {
    thread_buffer_in_use() = true;
    leased_ = true;
  }
}

ScratchEncodeBuffer::~ScratchEncodeBuffer() {
  if (!leased_) return;
  thread_buffer().reset(kRetainedScratch);
  thread_buffer_in_use() = false;
}

PyObject* encode_to_bytes(PyObject* obj) {
  ScratchEncodeBuffer scratch;
  EncodeBuffer& buffer = scratch.get();
  if (!encode_into(obj, buffer)) return nullptr;
  PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(buffer.size()));
  if (result == nullptr) return nullptr;
  buffer.copy_to(reinterpret_cast<uint8_t*>(PyBytes_AsString(result)));
  return result;
}

}  // namespace derirezaro::codec
