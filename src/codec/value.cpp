#include "codec/value.hpp"

namespace derirezaro::codec {

namespace {

struct Uncounted {
  void operator()(size_t) const noexcept {}
};

}  // namespace

bool operator==(const Value& a, const Value& b) {
  Uncounted uncounted;
  return equal_values(a, b, uncounted);
}

bool operator==(const MapEntry& a, const MapEntry& b) { return a.key == b.key && a.value == b.value; }

}  // namespace derirezaro::codec
