// What the Python surface cannot reach cheaply: the generated Unicode
// tables against a second reading of the database (Python's unicodedata,
// sampled into unicode_sample.inc by tools/make_unicode_tables.py), the
// float rendering over many doubles, and bytes no Python str can hold.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/utf8.hpp"
#include "condition/lexer.hpp"
#include "condition/token.hpp"
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

// "Float(<text>)" -> <text>.
std::string float_text(double value) {
  Token token;
  token.kind = TokenKind::Float;
  token.number = value;
  const std::string rendered = render(token);
  EXPECT_EQ(rendered.substr(0, 6), "Float(");
  EXPECT_EQ(rendered.back(), ')');
  return rendered.substr(6, rendered.size() - 7);
}

// The fewest significant digits with which printf writes a value that
// reads back exactly: an oracle independent of to_chars.
int shortest_digits(double value) {
  for (int precision = 1; precision <= 17; ++precision) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.*e", precision - 1, value);
    if (std::strtod(buffer, nullptr) == value) return precision;
  }
  return 17;
}

void check_float(double value) {
  const std::string text = float_text(value);
  SCOPED_TRACE(text);
  double back = 0.0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
  ASSERT_TRUE(ec == std::errc{} && ptr == text.data() + text.size());
  ASSERT_EQ(std::memcmp(&back, &value, sizeof back), 0);  // the same bits: -0.0 stays negative

  const double magnitude = std::fabs(value);
  const size_t e = text.find('e');
  const bool plain = magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16);
  ASSERT_EQ(e == std::string::npos, plain);
  std::string significant = text.substr(0, e);
  if (plain) {
    const size_t point = text.find('.');
    ASSERT_TRUE(point != std::string::npos && point + 1 < text.size());
  } else {
    const std::string exponent = text.substr(e + 1);
    ASSERT_TRUE(exponent.find('+') == std::string::npos);
    ASSERT_NE(exponent[exponent[0] == '-' ? 1 : 0], '0');
  }
  if (magnitude == 0.0) return;
  // Count significant digits: drop the sign and point, then the zeros
  // that only place the point (leading ones, and trailing ones of a plain
  // form, where "100.0" has one significant digit).
  std::erase_if(significant, [](char ch) { return ch == '-' || ch == '.'; });
  significant.erase(0, significant.find_first_not_of('0'));
  significant.erase(significant.find_last_not_of('0') + 1);
  EXPECT_EQ(static_cast<int>(significant.size()), shortest_digits(value));
}

TEST(ConditionLexer, FloatRenderingIsShortestAndReadsBack) {
  // Few and many shortest digits, subnormals and the extremes; the loop
  // below adds each side of every power of ten, the form boundaries among
  // them.
  const double chosen[] = {0.0,  1e-4,  2.0,    0.25,   0.1,   0.30000000000000004, 123456789012345.6,
                           1e16, 1e300, 5e-324, 1e-320, 1.5e-7};
  std::vector<double> values(std::begin(chosen), std::end(chosen));
  values.insert(values.end(), {std::numeric_limits<double>::max(), std::numeric_limits<double>::min()});
  for (int exponent = -30; exponent <= 30; ++exponent) {
    const double power = std::pow(10.0, exponent);
    values.insert(values.end(), {power, std::nextafter(power, 0.0), std::nextafter(power, 1e308), 7 * power});
  }
  std::mt19937_64 random(20240);
  for (int i = 0; i < 20000; ++i) {
    uint64_t bits = random();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (std::isfinite(value)) values.push_back(value);
    // Bit patterns cluster at huge and tiny magnitudes; add values near 1.
    values.push_back(std::ldexp(static_cast<double>(bits >> 11), -53 + static_cast<int>(bits % 80) - 20));
  }
  for (const double value : values) {
    check_float(value);
    check_float(-value);
  }
  EXPECT_EQ(float_text(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(float_text(-std::numeric_limits<double>::infinity()), "-inf");
}

// A Python str is always well formed, so only here can the lexer meet
// truncated sequences, stray continuation bytes or encoded surrogates. It
// must stop cleanly, and whatever it hands on (token text, messages,
// renderings) must be well-formed UTF-8 again.
TEST(ConditionLexer, IllFormedBytesNeverReachTheOutput) {
  // Ill-formed: a lone lead byte, a stray continuation, a truncated
  // sequence, an encoded surrogate, an overlong form, a value above
  // U+10FFFF; then what gives them context.
  const std::string pieces[] = {
      "\xff", "\x80", "\xe2\x82", "\xed\xa0\x80", "\xc0\xaf",     "\xf4\x90\x80\x80",
      "'",    "\"",   "\\",       "a1",           "-1.5",         "==",
      " ",    ".",    "\xc3\xa9", "\xcc\x81",     "\xe2\x80\xa8", "\xe3\x80\x80"};
  std::mt19937 random(7);
  auto well_formed = [](const std::string& s) {
    return codec::is_well_formed_utf8(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  };
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    for (int n = static_cast<int>(random() % 12); n > 0; --n) text += pieces[random() % std::size(pieces)];
    // An exactly sized copy: a read past the end is a sanitizer report.
    const std::unique_ptr<char[]> exact(new char[text.size()]);
    std::memcpy(exact.get(), text.data(), text.size());
    std::vector<Token> tokens;
    std::string error;
    if (!tokenize(std::string_view(exact.get(), text.size()), tokens, error)) {
      EXPECT_TRUE(well_formed(error)) << error;
      continue;
    }
    ASSERT_LE(tokens.size(), text.size());
    for (const Token& token : tokens) EXPECT_TRUE(well_formed(render(token)) && well_formed(token.text));
  }
}

}  // namespace
}  // namespace derirezaro::condition
