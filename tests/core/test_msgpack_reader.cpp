// The reader takes untrusted bytes. What it must get right: the Value each
// marker stands for, the first error and its exact text, the depth budget,
// and never allocating on the strength of a length it has no bytes for.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "codec/msgpack_reader.hpp"
#include "codec_cases.hpp"

// Records the largest single allocation while armed, so a test can show that
// a declared length alone never sizes an allocation. These replace the
// allocation functions of the whole core_tests binary (tracking acts only
// while armed); every non-aligned form is replaced, so whatever one of them
// allocates is released by the same malloc/free pair.
namespace {
bool g_tracking = false;
size_t g_largest = 0;

void* tracked_new(size_t n) {
  if (g_tracking && n > g_largest) g_largest = n;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(size_t n) { return tracked_new(n); }
void* operator new[](size_t n) { return tracked_new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace derirezaro::codec {
namespace {

using msgpack::ReadErrorKind;
using testdata::CanonicalCase;
using testdata::case_name;
using testdata::decode;
using testdata::hex;
using testdata::int_value;
using testdata::to_hex;
using testdata::uint_value;

msgpack::ReadError validate(std::string_view bytes) {
  return msgpack::validate(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// ---- successful reads ------------------------------------------------------

void expect_round_trip(const CanonicalCase& c) {
  // Trailing bytes are never looked at, even ones that could not start a value.
  for (const std::string& input : {c.bytes, c.bytes + hex("c1 dd ff")}) {
    const ReadResult r = decode(input);
    ASSERT_EQ(r.error.kind, ReadErrorKind::none) << r.error.message();
    EXPECT_EQ(validate(input).kind, ReadErrorKind::none);
    if (c.value == c.value) {  // NaN: the bytes below decide
      EXPECT_EQ(r.value, c.value);
    }
    EXPECT_EQ(to_hex(encode(r.value)), to_hex(c.bytes));
  }
}

class ReaderScalarTest : public ::testing::TestWithParam<CanonicalCase> {};
TEST_P(ReaderScalarTest, ReadsBackAndReencodesIdentically) { expect_round_trip(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Reader, ReaderScalarTest, ::testing::ValuesIn(testdata::canonical_scalars()),
                         case_name);

class ReaderLengthTest : public ::testing::TestWithParam<testdata::LengthCase> {};
TEST_P(ReaderLengthTest, ReadsBackAndReencodesIdentically) {
  expect_round_trip(testdata::materialise(GetParam()));
}
INSTANTIATE_TEST_SUITE_P(Reader, ReaderLengthTest, ::testing::ValuesIn(testdata::length_boundaries()),
                         testdata::length_name);

// Forms the writer never produces but the reader must accept.
TEST(Reader, NonCanonicalMarkersDecode) {
  const Value five = uint_value(5);
  const Value minus1 = int_value(-1);
  const Value one_a = Array{String{"a"}};
  const struct {
    const char* input;
    Value expected;
  } rows[] = {
      {"c1", Nil{}},  // the reserved marker reads as nil
      {"cc 05", five},
      {"cd 00 05", five},
      {"ce 00 00 00 05", five},
      {"cf 00 00 00 00 00 00 00 05", five},
      // Signed markers carrying a non-negative number give the unsigned form.
      {"d0 05", five},
      {"d1 00 05", five},
      {"d2 00 00 00 05", five},
      {"d3 00 00 00 00 00 00 00 05", five},
      {"d0 00", uint_value(0)},
      {"d3 7f ff ff ff ff ff ff ff", uint_value(INT64_MAX)},
      {"d0 ff", minus1},
      {"d1 ff ff", minus1},
      {"d2 ff ff ff ff", minus1},
      {"d3 ff ff ff ff ff ff ff ff", minus1},
      {"d1 80 00", int_value(-32768)},
      {"d9 01 61", String{"a"}},
      {"da 00 01 61", String{"a"}},
      {"db 00 00 00 01 61", String{"a"}},
      {"c5 00 01 ff", Bytes{"\xff"}},
      {"c6 00 00 00 01 ff", Bytes{"\xff"}},
      {"c7 01 05 aa", Extension{5, "\xaa"}},
      {"c8 00 02 ff aa bb", Extension{-1, "\xaa\xbb"}},
      {"c9 00 00 00 00 7f", Extension{127, ""}},
      {"dc 00 01 a1 61", one_a},
      {"dd 00 00 00 01 a1 61", one_a},
      {"de 00 01 05 ff", Map{{five, minus1}}},
      {"df 00 00 00 01 05 ff", Map{{five, minus1}}},
      // Text failing the UTF-8 check keeps its bytes and carries the mark,
      // as a map key as well as a value.
      {"a1 ff", String{"\xff", false}},
      {"a3 ed a0 80", String{"\xed\xa0\x80", false}},
      {"d9 02 c0 80", String{"\xc0\x80", false}},
      {"81 a1 ff c0", Map{{String{"\xff", false}, Nil{}}}},
      {"ca 7f 80 00 00", std::numeric_limits<float>::infinity()},
  };
  for (const auto& row : rows) {
    const ReadResult r = decode(hex(row.input));
    EXPECT_EQ(r.error.kind, ReadErrorKind::none) << row.input;
    EXPECT_EQ(r.value, row.expected) << row.input;
  }
}

// Fixstr, fixarray and fixmap carry their length in the marker's low bits
// (five for text, four for containers); every one of them, not only the ends.
TEST(Reader, EveryFixMarker) {
  for (uint32_t n = 0; n <= 31; ++n) {
    const std::string text(n, 'x');
    EXPECT_EQ(decode(static_cast<char>(0xa0 + n) + text).value, Value(String{text}));
  }
  for (uint32_t n = 0; n <= 15; ++n) {
    EXPECT_EQ(decode(static_cast<char>(0x90 + n) + std::string(n, '\xc2')).value,
              Value(Array(n, Value(false))));
    EXPECT_EQ(decode(static_cast<char>(0x80 + n) + std::string(2 * n, '\xc3')).value,
              Value(Map(n, MapEntry{true, true})));
  }
}

// ---- errors ----------------------------------------------------------------

std::string expected_text(ReadErrorKind kind, uint64_t declared, uint64_t available) {
  switch (kind) {
    case ReadErrorKind::marker_missing:
      return "I/O error while reading marker byte: failed to fill whole buffer";
    case ReadErrorKind::field_short:
      return "I/O error while reading non-marker bytes: failed to fill whole buffer";
    case ReadErrorKind::body_short:
      return "I/O error while reading non-marker bytes: Expected " + std::to_string(declared) +
             " bytes, read " + std::to_string(available) + " bytes";
    case ReadErrorKind::depth_exceeded: return "depth limit exceeded";
    default: return "";
  }
}

// Reads `input` with the Value builder and the Validator, which must report
// the identical error (the Python decoder trusts the Validator's verdict),
// and checks it against the expectation.
void expect_read_error(const std::string& input, ReadErrorKind kind, uint64_t declared = 0,
                       uint64_t available = 0) {
  SCOPED_TRACE(to_hex(input.substr(0, 16)) + (input.size() > 16 ? " ..." : ""));
  const msgpack::ReadError from_value = decode(input).error;
  const msgpack::ReadError from_validator = validate(input);
  EXPECT_EQ(from_value.kind, kind);
  EXPECT_TRUE(from_validator.kind == from_value.kind && from_validator.declared == from_value.declared &&
              from_validator.available == from_value.available);
  if (kind == ReadErrorKind::none) return;
  // The text carries the body numbers, so this also checks them.
  EXPECT_EQ(from_value.message(), expected_text(kind, declared, available));
}

TEST(Reader, ErrorsAndTheirTexts) {
  const auto marker = ReadErrorKind::marker_missing;
  const auto field = ReadErrorKind::field_short;
  const auto body = ReadErrorKind::body_short;
  const struct {
    const char* input;
    ReadErrorKind kind;
    uint64_t declared = 0;
    uint64_t available = 0;
  } rows[] = {
      {"", marker},
      {"92 01", marker},  // a container with fewer elements than its count
      {"81", marker},
      {"81 01", marker},  // key present, value missing
      {"dc 00 02 c0", marker},
      // Every fixed-size field one byte short.
      {"cc", field},
      {"cd 01", field},
      {"ce 00 00 00", field},
      {"cf 00 00 00 00 00 00 00", field},
      {"d0", field},
      {"d1 ff", field},
      {"d2 ff ff ff", field},
      {"d3 ff ff ff ff ff ff ff", field},
      {"ca 3f c0 00", field},
      {"cb 3f f8 00 00 00 00 00", field},
      {"c4", field},
      {"c5 00", field},
      {"c6 00 00 00", field},
      {"c7", field},
      {"c8 00", field},
      {"c9 00 00 00", field},
      {"d9", field},
      {"da 00", field},
      {"db 00 00 00", field},
      {"dc 00", field},
      {"dd 00 00 00", field},
      {"de 00", field},
      {"df 00 00 00", field},
      {"92 c0 cd 01", field},
      // An extension's type byte missing is a field error, not a short body.
      {"d4", field},
      {"d8", field},
      {"c7 00", field},
      {"c9 00 00 00 05", field},
      // Bodies cut short name the declared length and what was there.
      {"a5 61 62", body, 5, 2},
      {"d9 20 61", body, 32, 1},
      {"c4 03 01", body, 3, 1},
      {"c5 01 00", body, 256, 0},
      {"d4 01", body, 1, 0},
      {"d5 01 00", body, 2, 1},
      {"d8 01", body, 16, 0},
      {"c7 03 01 aa", body, 3, 1},
      {"93 c0 a3 61", body, 3, 1},
      {"c6 ff ff ff ff 00", body, 4294967295u, 1},
      {"db ff ff ff ff", body, 4294967295u, 0},
      {"c9 ff ff ff ff 01", body, 4294967295u, 0},
  };
  for (const auto& row : rows) {
    expect_read_error(hex(row.input), row.kind, row.declared, row.available);
  }
  EXPECT_EQ(decode(hex("a5 61 62")).error.message(),
            "I/O error while reading non-marker bytes: Expected 5 bytes, read 2 bytes");
}

// The Validator skips runs of fixed-size scalars on a path of its own, with
// no bounds check for as many items as are sure to fit. Cutting a long run
// at every length, including inside every field width and right at the
// edge of that safe span, must give the Value builder's verdict.
TEST(Reader, ScalarRunsCutAnywhere) {
  std::string items;
  for (const char* item : {"00", "7f", "e0", "c0", "c2", "c3", "cc ff", "cd 01 00", "ce 01 00 00 00",
                           "cf 01 00 00 00 00 00 00 00", "d0 80", "d1 80 00", "d2 80 00 00 00",
                           "d3 80 00 00 00 00 00 00 00", "ca 3f c0 00 00", "cb 3f f8 00 00 00 00 00 00"}) {
    items += hex(item);
  }
  std::string input = hex("dc 00 81");  // 8 copies of the 16 items, then a str
  for (int i = 0; i < 8; ++i) input += items;
  input += hex("a1 61");
  for (size_t cut = 0; cut <= input.size(); ++cut) {
    const std::string part = input.substr(0, cut);
    const msgpack::ReadError expected = decode(part).error;
    EXPECT_EQ(expected.kind == ReadErrorKind::none, cut == input.size());
    expect_read_error(part, expected.kind, expected.declared, expected.available);
  }
}

// `count` copies of `open` (each starting one container level whose next
// element is the level below), `tail` as the innermost value, then `count`
// copies of `close` (whatever each level still expects after that element).
std::string nest(const char* open, int count, const char* tail, const char* close = "") {
  std::string out;
  for (int i = 0; i < count; ++i) out += hex(open);
  out += hex(tail);
  for (int i = 0; i < count; ++i) out += hex(close);
  return out;
}

// A value costs one unit of the 1024 budget, each container level one more,
// a bin body one more, a str or ext body two more. Budget checks come first
// in each step, but a length or count field belongs to the marker's step, so
// it is read before the body's check.
TEST(Reader, DepthBudgetLimitsAndPrecedence) {
  const auto none = ReadErrorKind::none;
  const auto depth = ReadErrorKind::depth_exceeded;
  const struct {
    const char* open;
    int count;
    const char* tail;
    ReadErrorKind kind;
    uint64_t declared = 0;
    uint64_t available = 0;
    const char* close = "";
  } rows[] = {
      {"91", 511, "90", none},
      {"91", 512, "90", depth},  // 512 nested arrays, then 513
      {"91", 511, "01", none},
      {"91", 512, "01", depth},
      {"91", 510, "a1 61", none},
      {"91", 511, "a1 61", depth},
      {"91", 511, "c4 01 61", none},
      {"91", 512, "c4 01 61", depth},
      {"91", 510, "d4 01 00", none},
      {"91", 511, "d4 01 00", depth},
      {"81 c0", 511, "80", none},
      {"81 c0", 512, "80", depth},  // maps count like arrays
      {"81 c0", 511, "01", none},
      {"81 c0", 512, "01", depth},
      {"81 c0", 510, "a1 61", none},
      {"81 c0", 511, "a1 61", depth},
      {"81", 511, "80", none, 0, 0, "c0"},
      {"81", 512, "80", depth, 0, 0, "c0"},  // keys too
      {"dc 00 01", 511, "90", none},
      {"dc 00 01", 512, "90", depth},
      // Which error wins at the limit.
      {"91", 511, "dc 00", ReadErrorKind::field_short},  // count cut short
      {"91", 511, "dc 00 00", none},
      {"91", 511, "dc 00 01", depth},
      {"91", 511, "", ReadErrorKind::marker_missing},
      {"91", 512, "", depth},  // depth before the missing marker
      {"91", 512, "cd 01", depth},
      {"91", 510, "a5 61 62", ReadErrorKind::body_short, 5, 2},
      {"91", 511, "a5 61 62", depth},  // before the short body
      {"91", 511, "d9", ReadErrorKind::field_short},
      {"91", 511, "d4", ReadErrorKind::field_short},  // type byte before body budget
      {"91", 511, "c4 05 61", ReadErrorKind::body_short, 5, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.count) + " x " + row.open + " | " + row.tail);
    expect_read_error(nest(row.open, row.count, row.tail, row.close), row.kind, row.declared, row.available);
  }
}

// Declared lengths near 2^32 over a few bytes must fail at once: the reader
// may reserve at most 64 KiB ahead of the bytes actually present.
TEST(Reader, HugeDeclaredLengthsDoNotAllocate) {
  auto largest_allocation = [](const std::string& bytes, msgpack::ReadErrorKind& kind) {
    g_largest = 0;
    g_tracking = true;
    kind = decode(bytes).error.kind;
    g_tracking = false;
    return g_largest;
  };
  ReadErrorKind kind;
  for (const char* input : {"dd ff ff ff ff", "df ff ff ff ff", "dd ff ff ff ff c0 c0", "c6 ff ff ff ff 61",
                            "db ff ff ff ff 61", "c9 ff ff ff ff 01 61"}) {
    EXPECT_LE(largest_allocation(hex(input), kind), size_t{65536}) << input;
    EXPECT_NE(kind, ReadErrorKind::none) << input;
  }
  // The tracker does see the reader's allocations: a body that is present is
  // copied in one piece.
  EXPECT_GE(largest_allocation(hex("c6 00 01 86 a0") + std::string(100000, 'x'), kind), 100000u);
  EXPECT_EQ(kind, ReadErrorKind::none);
}

}  // namespace
}  // namespace derirezaro::codec
