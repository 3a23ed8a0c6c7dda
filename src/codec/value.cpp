#include "codec/value.hpp"

namespace derirezaro::codec {

namespace {

struct SameVariantEqual {
  const Value& other;

  bool operator()(const Nil&) const { return true; }
  bool operator()(bool b) const { return b == std::get<bool>(other.data); }
  bool operator()(const Integer& n) const { return n == std::get<Integer>(other.data); }
  bool operator()(float f) const { return f == std::get<float>(other.data); }
  bool operator()(double d) const { return d == std::get<double>(other.data); }
  bool operator()(const String& s) const {
    const auto& o = std::get<String>(other.data);
    return s.valid_utf8 == o.valid_utf8 && s.bytes == o.bytes;
  }
  bool operator()(const Bytes& b) const { return b.data == std::get<Bytes>(other.data).data; }
  bool operator()(const Array& a) const { return a == std::get<Array>(other.data); }
  bool operator()(const Map& m) const { return m == std::get<Map>(other.data); }
  bool operator()(const Extension& e) const {
    const auto& o = std::get<Extension>(other.data);
    return e.type == o.type && e.data == o.data;
  }
};

}  // namespace

bool operator==(const Value& a, const Value& b) {
  if (a.data.index() != b.data.index()) return false;
  return std::visit(SameVariantEqual{b}, a.data);
}

bool operator==(const MapEntry& a, const MapEntry& b) { return a.key == b.key && a.value == b.value; }

}  // namespace derirezaro::codec
