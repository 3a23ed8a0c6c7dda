#include "codec/msgpack_reader.hpp"

namespace derirezaro::codec::msgpack {

std::string ReadError::message() const {
  switch (kind) {
    case ReadErrorKind::none: return "no error";
    case ReadErrorKind::marker_missing:
      return "I/O error while reading marker byte: failed to fill whole buffer";
    case ReadErrorKind::field_short:
      return "I/O error while reading non-marker bytes: failed to fill whole buffer";
    case ReadErrorKind::body_short:
      return "I/O error while reading non-marker bytes: Expected " + std::to_string(declared) +
             " bytes, read " + std::to_string(available) + " bytes";
    case ReadErrorKind::depth_exceeded: return "depth limit exceeded";
  }
  return "unknown error";  // unreachable: the switch names every kind
}

ReadError validate(const uint8_t* data, size_t size) {
  Validator validator;
  Reader<Validator> reader(data, size, validator);
  Validator::Node node;
  reader.read(node);
  return reader.error();
}

}  // namespace derirezaro::codec::msgpack
