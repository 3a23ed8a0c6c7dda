#include "codec/value_reader.hpp"

#include <string>
#include <utility>

#include "codec/utf8.hpp"

namespace derirezaro::codec {

namespace {

std::string copy_bytes(const uint8_t* p, uint32_t n) {
  return std::string(reinterpret_cast<const char*>(p), n);
}

// Builds Values. Containers grow element by element: nothing is reserved
// from a declared count, since these bytes have not been validated.
struct ValueBuilder {
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
  bool float32(float f, Node& out) {
    out = f;
    return true;
  }
  bool float64(double d, Node& out) {
    out = d;
    return true;
  }
  bool str(const uint8_t* p, uint32_t n, bool /*small_map_key*/, Node& out) {
    out = String{copy_bytes(p, n), is_well_formed_utf8(p, n)};
    return true;
  }
  bool bin(const uint8_t* p, uint32_t n, Node& out) {
    out = Bytes{copy_bytes(p, n)};
    return true;
  }
  bool ext(int8_t type, const uint8_t* p, uint32_t n, Node& out) {
    out = Extension{type, copy_bytes(p, n)};
    return true;
  }
  bool array_begin(uint32_t, Node& out) {
    out = Array{};
    return true;
  }
  bool array_item(Node& array, uint32_t, Node&& item) {
    std::get<Array>(array.data).push_back(std::move(item));
    return true;
  }
  bool map_begin(uint32_t, Node& out) {
    out = Map{};
    return true;
  }
  bool map_entry(Node& map, Node&& key, Node&& value) {
    std::get<Map>(map.data).push_back(MapEntry{std::move(key), std::move(value)});
    return true;
  }
};

// The same builder over bytes validate() has passed: the reader skips every
// check, as it does for the Python decoder.
struct TrustedValueBuilder : ValueBuilder {
  static constexpr bool kTrusted = true;
};

template <class Builder>
ReadResult read_with(const uint8_t* data, size_t size) {
  Builder builder;
  msgpack::Reader<Builder> reader(data, size, builder);
  ReadResult result;
  if (!reader.read(result.value)) {
    result.value = Nil{};
    result.error = reader.error();
  }
  return result;
}

}  // namespace

ReadResult read_value(const uint8_t* data, size_t size) { return read_with<ValueBuilder>(data, size); }

ReadResult read_validated_value(const uint8_t* data, size_t size) {
  ReadResult result;
  result.error = msgpack::validate(data, size);
  if (result.error.kind != msgpack::ReadErrorKind::none) return result;
  return read_with<TrustedValueBuilder>(data, size);
}

}  // namespace derirezaro::codec
