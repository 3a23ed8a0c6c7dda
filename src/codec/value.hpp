// Value: the codec's dynamic value, the form between Python objects and
// MessagePack bytes, and the form in which routing state is evaluated.
//
// A Value is a tree: every node owns its children, nothing is shared and
// nothing can be cyclic, so copying is a deep copy and destruction is plain.
//
// Invariants
// - An Integer is held in the unsigned form exactly when it is not negative,
//   whatever produced it; `Integer::from_signed` normalises, so two equal
//   numbers always have identical representations.
// - Lengths and counts are 64-bit in memory; the writer's caller guarantees
//   they fit the wire format's 32 bits (Python conversion rejects larger).
// - Float32, Extension and a String that failed the UTF-8 check come only
//   from decoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace derirezaro::codec {

struct Value;
struct MapEntry;

struct Nil {};

struct Integer {
  uint64_t bits = 0;      // the number itself when !negative, else its two's complement
  bool negative = false;  // true exactly when the number is below zero

  static Integer from_unsigned(uint64_t n) { return {n, false}; }
  static Integer from_signed(int64_t n) { return {static_cast<uint64_t>(n), n < 0}; }
  int64_t as_signed() const { return static_cast<int64_t>(bits); }
  bool operator==(const Integer&) const = default;
};

struct String {
  std::string bytes;
  bool valid_utf8 = true;  // false only for decoded text that failed the check
};

struct Bytes {
  std::string data;
};

struct Extension {
  int8_t type = 0;
  std::string data;
};

using Array = std::vector<Value>;
using Map = std::vector<MapEntry>;  // stored order kept; keys may repeat

enum class Kind : uint8_t {
  nil,
  boolean,
  integer,
  float32,
  float64,
  string,
  bytes,
  array,
  map,
  extension,
};

struct Value {
  // Alternative order matches Kind, so `kind()` is the variant index.
  std::variant<Nil, bool, Integer, float, double, String, Bytes, Array, Map, Extension> data;

  Value() = default;
  template <class T>
  Value(T alternative) : data(std::move(alternative)) {}

  Kind kind() const { return static_cast<Kind>(data.index()); }

  template <class T>
  const T* get_if() const {
    return std::get_if<T>(&data);
  }
  template <class T>
  T* get_if() {
    return std::get_if<T>(&data);
  }
};

struct MapEntry {
  Value key;
  Value value;
};

// Structural equality that never converts between variants: Integer 1 and
// Float64 1.0 differ, floats compare as IEEE 754 (NaN != NaN, 0.0 == -0.0),
// a String and a Bytes with the same bytes differ, and Maps compare pair by
// pair in stored order.
bool operator==(const Value& a, const Value& b);
bool operator==(const MapEntry& a, const MapEntry& b);

// The same equality, for a caller that meters its work: `charge(0)` is
// called before each pair of values is compared, and `charge(n)` before n
// bytes of two String, Bytes or Extension bodies are. Recursion follows the
// values' depth, which conversion and the reader bound.
template <class Charge>
bool equal_values(const Value& a, const Value& b, Charge& charge) {
  const auto same_body = [&charge](const std::string& x, const std::string& y) {
    if (x.size() != y.size()) return false;
    charge(x.size());
    return x == y;
  };
  charge(0);
  if (a.data.index() != b.data.index()) return false;
  switch (a.kind()) {
    case Kind::nil: return true;
    case Kind::boolean: return *a.get_if<bool>() == *b.get_if<bool>();
    case Kind::integer: return *a.get_if<Integer>() == *b.get_if<Integer>();
    case Kind::float32: return *a.get_if<float>() == *b.get_if<float>();
    case Kind::float64: return *a.get_if<double>() == *b.get_if<double>();
    case Kind::string: {
      const String &s = *a.get_if<String>(), &t = *b.get_if<String>();
      return s.valid_utf8 == t.valid_utf8 && same_body(s.bytes, t.bytes);
    }
    case Kind::bytes: return same_body(a.get_if<Bytes>()->data, b.get_if<Bytes>()->data);
    case Kind::array: {
      const Array &x = *a.get_if<Array>(), &y = *b.get_if<Array>();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i) {
        if (!equal_values(x[i], y[i], charge)) return false;
      }
      return true;
    }
    case Kind::map: {
      const Map &x = *a.get_if<Map>(), &y = *b.get_if<Map>();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i) {
        if (!equal_values(x[i].key, y[i].key, charge) || !equal_values(x[i].value, y[i].value, charge)) {
          return false;
        }
      }
      return true;
    }
    case Kind::extension: {
      const Extension &e = *a.get_if<Extension>(), &f = *b.get_if<Extension>();
      return e.type == f.type && same_body(e.data, f.data);
    }
  }
  return false;  // every Kind is handled above; the variant has no other index
}

}  // namespace derirezaro::codec
