// What the Python surface cannot reach: the generated Unicode tables against
// a second reading of the database (Python's unicodedata, sampled into
// unicode_sample.inc by tools/make_unicode_tables.py). Float rendering is
// checked at the surface, and bytes no Python str can hold by the fuzzer.
#include <gtest/gtest.h>

#include <cstddef>

#include "condition/unicode_tables.hpp"

namespace derirezaro::condition {
namespace {

struct SampleRow {
  char32_t code_point;
  const char* flags;  // white_space, alphabetic, numeric, grapheme_extend, unprintable: '1', '0' or '?'
};

constexpr SampleRow kSample[] = {
#include "unicode_sample.inc"
};

TEST(ConditionLexer, UnicodeTablesAgreeWithPythonsDatabase) {
  bool (*const properties[])(char32_t) = {is_white_space, is_alphabetic, is_numeric, is_grapheme_extend,
                                          is_unprintable};
  int seen[5][2] = {};
  for (const SampleRow& row : kSample) {
    for (size_t p = 0; p < 5; ++p) {
      if (row.flags[p] == '?') continue;
      const bool expected = row.flags[p] == '1';
      EXPECT_EQ(properties[p](row.code_point), expected)
          << "property " << p << " of U+" << std::hex << static_cast<uint32_t>(row.code_point);
      ++seen[p][expected];
    }
  }
  // A sample that lost its rows, or one side of a property, would pass
  // without checking anything.
  for (const auto& counts : seen) {
    EXPECT_GE(counts[0], 50);
    EXPECT_GE(counts[1], 10);
  }
}

}  // namespace
}  // namespace derirezaro::condition
