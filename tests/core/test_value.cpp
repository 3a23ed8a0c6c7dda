// Value equality is what routing conditions compare with, so it must never
// convert between variants and must follow IEEE 754 for floats.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "codec_cases.hpp"

namespace derirezaro::codec {
namespace {

using testdata::int_value;
using testdata::uint_value;

// One "zero" of every variant: equal payloads as far as bytes or numbers go,
// so only the variant can tell them apart.
std::vector<Value> zero_of_each_kind() {
  return {Nil{}, false, uint_value(0), 0.0f, 0.0, String{}, Bytes{}, Array{}, Map{}, Extension{}};
}

TEST(ValueEquality, DifferentVariantsAreNeverEqual) {
  const std::vector<Value> zeros = zero_of_each_kind();
  ASSERT_EQ(zeros.size(), 10u);
  for (size_t i = 0; i < zeros.size(); ++i) {
    EXPECT_EQ(static_cast<size_t>(zeros[i].kind()), i);
    for (size_t j = 0; j < zeros.size(); ++j) {
      EXPECT_EQ(zeros[i] == zeros[j], i == j) << i << " vs " << j;
    }
  }
}

TEST(ValueEquality, Rules) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  constexpr float nanf = std::numeric_limits<float>::quiet_NaN();
  const struct {
    const char* rule;
    Value a;
    Value b;
    bool equal;
  } rows[] = {
      {"int vs float of the same number", uint_value(1), 1.0, false},
      {"float32 vs float64 of the same number", 1.5f, 1.5, false},
      {"text vs binary of the same bytes", String{"a"}, Bytes{"a"}, false},
      {"ext vs binary of the same bytes", Extension{0, "a"}, Bytes{"a"}, false},
      {"NaN64 is not equal to itself", nan, nan, false},
      {"NaN32 is not equal to itself", nanf, nanf, false},
      {"NaN inside a container", Array{nan}, Array{nan}, false},
      {"zero and negative zero (64)", 0.0, -0.0, true},
      {"zero and negative zero (32)", 0.0f, -0.0f, true},
      {"bool", true, false, false},
      {"same unsigned from either constructor", uint_value(5), int_value(5), true},
      // Same 64 bits, different numbers: the form must take part.
      {"-1 vs 2^64-1", int_value(-1), uint_value(UINT64_MAX), false},
      {"INT64_MIN vs 2^63", int_value(INT64_MIN), uint_value(1ull << 63), false},
      {"valid vs invalid mark, same bytes", String{"a", true}, String{"a", false}, false},
      {"both invalid, same bytes", String{"\xff", false}, String{"\xff", false}, true},
      {"strings differ by one byte", String{"ab"}, String{"ac"}, false},
      {"string prefix", String{"a"}, String{"ab"}, false},
      {"ext type differs", Extension{1, "a"}, Extension{2, "a"}, false},
      {"ext data differs", Extension{1, "a"}, Extension{1, "b"}, false},
      {"ext equal", Extension{-1, "ab"}, Extension{-1, "ab"}, true},
      {"array length", Array{Nil{}}, Array{Nil{}, Nil{}}, false},
      {"array order", Array{uint_value(1), uint_value(2)}, Array{uint_value(2), uint_value(1)}, false},
      {"nested difference", Array{Array{Map{{Nil{}, uint_value(1)}}}},
       Array{Array{Map{{Nil{}, uint_value(2)}}}}, false},
      {"nested equal", Array{Array{Map{{Nil{}, Bytes{"x"}}}}}, Array{Array{Map{{Nil{}, Bytes{"x"}}}}}, true},
      {"map order matters", Map{{String{"a"}, uint_value(1)}, {String{"b"}, uint_value(2)}},
       Map{{String{"b"}, uint_value(2)}, {String{"a"}, uint_value(1)}}, false},
      {"map duplicate keys are kept", Map{{uint_value(1), uint_value(2)}, {uint_value(1), uint_value(3)}},
       Map{{uint_value(1), uint_value(3)}}, false},
      {"map key differs, value same", Map{{uint_value(1), Nil{}}}, Map{{uint_value(2), Nil{}}}, false},
      {"map with non-scalar keys", Map{{Array{}, Map{}}}, Map{{Array{}, Map{}}}, true},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.a == row.b, row.equal) << row.rule;
    EXPECT_EQ(row.b == row.a, row.equal) << row.rule << " (swapped)";
  }
}

// The unsigned form exactly when not negative, whatever the constructor: the
// writer picks its family from the form, so a non-negative number in the
// negative form would be written as garbage.
TEST(IntegerForm, NormalisesBySign) {
  const int64_t signed_values[] = {INT64_MIN, INT32_MIN, -129, -1, 0, 1, 127, INT64_MAX};
  for (int64_t v : signed_values) {
    const Integer n = Integer::from_signed(v);
    EXPECT_EQ(n.negative, v < 0) << v;
    EXPECT_EQ(n.as_signed(), v);
    if (v >= 0) {
      EXPECT_EQ(n, Integer::from_unsigned(static_cast<uint64_t>(v))) << v;
    }
  }
  EXPECT_FALSE(Integer::from_unsigned(UINT64_MAX).negative);
  EXPECT_FALSE(Integer::from_unsigned(1ull << 63).negative);
}

}  // namespace
}  // namespace derirezaro::codec
