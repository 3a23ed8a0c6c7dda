#include "codec/value_writer.hpp"

#include <cassert>

#include "codec/msgpack_writer.hpp"

namespace derirezaro::codec {

namespace {

uint32_t wire_length(size_t n) {
  assert(n <= UINT32_MAX && "lengths are checked before a Value reaches the writer");
  return static_cast<uint32_t>(n);
}

struct ValueWriter {
  ByteBuffer& out;

  void operator()(const Nil&) const { msgpack::write_nil(out); }
  void operator()(bool b) const { msgpack::write_bool(out, b); }
  void operator()(const Integer& n) const {
    if (n.negative) {
      msgpack::write_negative(out, n.as_signed());
    } else {
      msgpack::write_uint(out, n.bits);
    }
  }
  void operator()(float f) const { msgpack::write_float32(out, f); }
  void operator()(double d) const { msgpack::write_float64(out, d); }
  void operator()(const String& s) const {
    // Text that failed the UTF-8 check is written exactly as binary, so that
    // decoding it again gives the same bytes back (as bytes).
    if (s.valid_utf8) {
      msgpack::write_str(out, s.bytes.data(), wire_length(s.bytes.size()));
    } else {
      msgpack::write_bin(out, s.bytes.data(), wire_length(s.bytes.size()));
    }
  }
  void operator()(const Bytes& b) const {
    msgpack::write_bin(out, b.data.data(), wire_length(b.data.size()));
  }
  void operator()(const Array& items) const {
    msgpack::write_array_header(out, wire_length(items.size()));
    for (const Value& item : items) std::visit(*this, item.data);
  }
  void operator()(const Map& entries) const {
    msgpack::write_map_header(out, wire_length(entries.size()));
    for (const MapEntry& entry : entries) {
      std::visit(*this, entry.key.data);
      std::visit(*this, entry.value.data);
    }
  }
  void operator()(const Extension& e) const {
    msgpack::write_ext_header(out, e.type, wire_length(e.data.size()));
    out.append(e.data.data(), e.data.size());
  }
};

}  // namespace

void write_value(const Value& value, ByteBuffer& out) { std::visit(ValueWriter{out}, value.data); }

}  // namespace derirezaro::codec
