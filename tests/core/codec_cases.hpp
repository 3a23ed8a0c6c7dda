// Helpers and the canonical (Value, bytes) table shared by the writer and
// reader suites: every row is the one most compact encoding of its Value, so
// the writer must produce exactly those bytes and the reader must give the
// Value back and re-encode to the same bytes.
#pragma once

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "codec/byte_buffer.hpp"
#include "codec/value.hpp"
#include "codec/value_reader.hpp"
#include "codec/value_writer.hpp"

namespace derirezaro::codec {

inline std::string encode(const Value& value) {
  ByteBuffer out;
  write_value(value, out);
  return std::string(reinterpret_cast<const char*>(out.data()), out.size());
}

namespace testdata {

// "cd 01 00" -> the three bytes; spaces are ignored.
inline std::string hex(std::string_view text) {
  auto nibble = [](char c) { return static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10); };
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ' ') continue;
    out.push_back(static_cast<char>(nibble(text[i]) << 4 | nibble(text[i + 1])));
    ++i;
  }
  return out;
}

inline std::string to_hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

}  // namespace testdata

// gtest prints a Value as its encoding, which is what a reader of a failure
// wants to see.
inline void PrintTo(const Value& value, std::ostream* os) { *os << testdata::to_hex(encode(value)); }

}  // namespace derirezaro::codec

namespace derirezaro::codec::testdata {

inline ReadResult decode(std::string_view bytes) {
  return read_value(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

inline Value uint_value(uint64_t n) { return Integer::from_unsigned(n); }
inline Value int_value(int64_t n) { return Integer::from_signed(n); }

struct CanonicalCase {
  std::string name;
  Value value;
  std::string bytes;
};

inline void PrintTo(const CanonicalCase& c, std::ostream* os) { *os << c.name; }
inline std::string case_name(const ::testing::TestParamInfo<CanonicalCase>& info) { return info.param.name; }

// Scalars at every boundary where the writer switches form.
inline std::vector<CanonicalCase> canonical_scalars() {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  constexpr double inf = std::numeric_limits<double>::infinity();
  return {
      {"nil", Nil{}, hex("c0")},
      {"false", false, hex("c2")},
      {"true", true, hex("c3")},
      {"u0", uint_value(0), hex("00")},
      {"u127", uint_value(127), hex("7f")},
      {"u128", uint_value(128), hex("cc 80")},
      {"u255", uint_value(255), hex("cc ff")},
      {"u256", uint_value(256), hex("cd 01 00")},
      {"u65535", uint_value(65535), hex("cd ff ff")},
      {"u65536", uint_value(65536), hex("ce 00 01 00 00")},
      {"u2p32m1", uint_value(0xffffffffu), hex("ce ff ff ff ff")},
      {"u2p32", uint_value(0x100000000u), hex("cf 00 00 00 01 00 00 00 00")},
      {"u2p63", uint_value(1ull << 63), hex("cf 80 00 00 00 00 00 00 00")},
      {"umax", uint_value(UINT64_MAX), hex("cf ff ff ff ff ff ff ff ff")},
      {"n1", int_value(-1), hex("ff")},
      {"n32", int_value(-32), hex("e0")},
      {"n33", int_value(-33), hex("d0 df")},
      {"n128", int_value(-128), hex("d0 80")},
      {"n129", int_value(-129), hex("d1 ff 7f")},
      {"n32768", int_value(-32768), hex("d1 80 00")},
      {"n32769", int_value(-32769), hex("d2 ff ff 7f ff")},
      {"n2p31", int_value(INT32_MIN), hex("d2 80 00 00 00")},
      {"n2p31m1", int_value(int64_t{INT32_MIN} - 1), hex("d3 ff ff ff ff 7f ff ff ff")},
      {"nmin", int_value(INT64_MIN), hex("d3 80 00 00 00 00 00 00 00")},
      {"f32", 1.5f, hex("ca 3f c0 00 00")},
      {"f32neg0", -0.0f, hex("ca 80 00 00 00")},
      {"f64", 1.5, hex("cb 3f f8 00 00 00 00 00 00")},
      {"f64neg0", -0.0, hex("cb 80 00 00 00 00 00 00 00")},
      {"f64inf", -inf, hex("cb ff f0 00 00 00 00 00 00")},
      {"f64nan", nan, hex("cb 7f f8 00 00 00 00 00 00")},
      {"nested", Array{uint_value(1), Array{uint_value(2)}}, hex("92 01 91 02")},
      {"map", Map{{String{"a"}, uint_value(1)}}, hex("81 a1 61 01")},
      {"dupkeys", Map{{uint_value(1), uint_value(2)}, {uint_value(1), uint_value(3)}}, hex("82 01 02 01 03")},
      {"text", String{"\xc3\xa9"}, hex("a2 c3 a9")},
      {"ext_neg_type", Extension{-128, "\x01"}, hex("d4 80 01")},
  };
}

// Every length or count boundary of the str, bin, array, map and ext
// families. The rows are kept small (tests are registered from them at
// start-up); `materialise` builds the Value and bytes when a test runs.
// Payload bytes are filler; only the header is interesting.
struct LengthCase {
  char family;  // s(tr) b(in) a(rray) m(ap) e(xt)
  uint32_t n;
  const char* header;
};

inline void PrintTo(const LengthCase& c, std::ostream* os) { *os << c.family << c.n; }
inline std::string length_name(const ::testing::TestParamInfo<LengthCase>& info) {
  std::string name = std::to_string(info.param.n);
  name.insert(name.begin(), info.param.family);
  return name;
}

inline std::vector<LengthCase> length_boundaries() {
  return {
      {'s', 0, "a0"},
      {'s', 31, "bf"},
      {'s', 32, "d9 20"},
      {'s', 255, "d9 ff"},
      {'s', 256, "da 01 00"},
      {'s', 65535, "da ff ff"},
      {'s', 65536, "db 00 01 00 00"},
      {'b', 0, "c4 00"},
      {'b', 255, "c4 ff"},
      {'b', 256, "c5 01 00"},
      {'b', 65535, "c5 ff ff"},
      {'b', 65536, "c6 00 01 00 00"},
      {'a', 0, "90"},
      {'a', 15, "9f"},
      {'a', 16, "dc 00 10"},
      {'a', 65535, "dc ff ff"},
      {'a', 65536, "dd 00 01 00 00"},
      {'m', 0, "80"},
      {'m', 15, "8f"},
      {'m', 16, "de 00 10"},
      {'m', 65535, "de ff ff"},
      {'m', 65536, "df 00 01 00 00"},
      {'e', 0, "c7 00"},
      {'e', 1, "d4"},
      {'e', 2, "d5"},
      {'e', 3, "c7 03"},
      {'e', 4, "d6"},
      {'e', 5, "c7 05"},
      {'e', 8, "d7"},
      {'e', 15, "c7 0f"},
      {'e', 16, "d8"},
      {'e', 17, "c7 11"},
      {'e', 255, "c7 ff"},
      {'e', 256, "c8 01 00"},
      {'e', 65535, "c8 ff ff"},
      {'e', 65536, "c9 00 01 00 00"},
  };
}

inline CanonicalCase materialise(const LengthCase& row) {
  CanonicalCase c{std::to_string(row.n), Nil{}, hex(row.header)};
  c.name.insert(c.name.begin(), row.family);
  switch (row.family) {
    case 's':
      c.value = String{std::string(row.n, 'a')};
      c.bytes.append(row.n, 'a');
      break;
    case 'b':
      c.value = Bytes{std::string(row.n, '\xff')};
      c.bytes.append(row.n, '\xff');
      break;
    case 'a':
      c.value = Array(row.n, Value{});
      c.bytes.append(row.n, '\xc0');
      break;
    case 'm':
      c.value = Map(row.n, MapEntry{true, Nil{}});
      for (uint32_t i = 0; i < row.n; ++i) c.bytes += "\xc3\xc0";
      break;
    default:
      c.value = Extension{-2, std::string(row.n, '\x07')};
      c.bytes += '\xfe';
      c.bytes.append(row.n, '\x07');
  }
  return c;
}

}  // namespace derirezaro::codec::testdata
