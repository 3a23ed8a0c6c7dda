// The UTF-8 check decides whether decoded text comes back as text or as raw
// bytes, so it must agree with a strict decoder on every input. The check
// under test works from lead-byte ranges and an eight-byte ASCII fast path;
// the reference below decodes code points and applies the rules to them,
// which shares none of that structure.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "codec/utf8.hpp"

namespace derirezaro::codec {
namespace {

bool reference_well_formed(const std::string& s) {
  static const uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
  size_t i = 0;
  while (i < s.size()) {
    const uint32_t lead = static_cast<uint8_t>(s[i]);
    size_t length;
    uint32_t cp;
    if (lead < 0x80) {
      length = 1, cp = lead;
    } else if ((lead & 0xe0) == 0xc0) {
      length = 2, cp = lead & 0x1f;
    } else if ((lead & 0xf0) == 0xe0) {
      length = 3, cp = lead & 0x0f;
    } else if ((lead & 0xf8) == 0xf0) {
      length = 4, cp = lead & 0x07;
    } else {
      return false;  // a continuation byte, or a lead of five bytes or more
    }
    if (s.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      const uint32_t b = static_cast<uint8_t>(s[i + k]);
      if ((b & 0xc0) != 0x80) return false;
      cp = cp << 6 | (b & 0x3f);
    }
    if (cp < shortest[length] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    i += length;
  }
  return true;
}

// The check sees `s` followed by continuation bytes, so one that looked past
// the end it was given would take a sequence cut short for a complete one.
bool checked(const std::string& s) {
  const std::string padded = s + "\x80\x80\x80";
  return is_well_formed_utf8(reinterpret_cast<const uint8_t*>(padded.data()), s.size());
}

std::string bytes_of(uint32_t packed, size_t n) {
  std::string s(n, '\0');
  for (size_t k = 0; k < n; ++k) s[k] = static_cast<char>(packed >> (8 * (n - 1 - k)));
  return s;
}

TEST(Utf8, BoundaryTable) {
  const struct {
    const char* bytes;
    bool well_formed;
  } rows[] = {
      // Three-byte and shorter inputs are all covered exhaustively below;
      // these rows name the classes and pin the four-byte edges.
      {"\xc0\x80", false},          // overlong NUL
      {"\xed\xa0\x80", false},      // U+D800, first surrogate
      {"\xed\x9f\xbf", true},       // U+D7FF
      {"\xf0\x8f\xbf\xbf", false},  // overlong U+FFFF
      {"\xf0\x90\x80\x80", true},   // U+10000
      {"\xf4\x8f\xbf\xbf", true},   // U+10FFFF
      {"\xf4\x90\x80\x80", false},  // 0x110000
      {"\xf5\x80\x80\x80", false},  // lead beyond the range
      {"\xf0\x90\x80", false},      // truncated
      {"\x80", false},              // lone continuation
      {"abcdefg\xc3\xa9", true},    // sequence straddling an eight-byte window
      {"abcdefgh\xe2\x82", false},  // cut short right after a full ASCII window
  };
  for (const auto& row : rows) {
    const std::string s(row.bytes);
    EXPECT_EQ(checked(s), row.well_formed) << ::testing::PrintToString(s);
    EXPECT_EQ(reference_well_formed(s), row.well_formed) << ::testing::PrintToString(s);
  }
}

TEST(Utf8, AllSequencesUpToThreeBytes) {
  for (size_t n = 1; n <= 3; ++n) {
    const uint32_t limit = 1u << (8 * n);
    for (uint32_t packed = 0; packed < limit; ++packed) {
      const std::string s = bytes_of(packed, n);
      ASSERT_EQ(checked(s), reference_well_formed(s)) << ::testing::PrintToString(s);
    }
  }
}

// Four-byte space is too large to walk; draw leads from the whole byte range
// but continuations mostly from 0x80..0xbf, so the draws land near valid
// four-byte sequences instead of failing at the first byte.
TEST(Utf8, RandomFourByteSequencesAndMixedText) {
  std::mt19937 engine(20240611);
  auto rng = [&] { return static_cast<uint32_t>(engine()); };
  auto byte = [&](bool continuation_likely) {
    const uint32_t r = rng();
    if (continuation_likely && (r & 7) != 0) return static_cast<char>(0x80 | (r >> 8 & 0x3f));
    return static_cast<char>(r >> 8);
  };
  for (int i = 0; i < 2000000; ++i) {
    std::string s(4, '\0');
    s[0] = (i & 1) ? static_cast<char>(0xf0 | (rng() & 7)) : byte(false);
    for (size_t k = 1; k < 4; ++k) s[k] = byte(true);
    ASSERT_EQ(checked(s), reference_well_formed(s)) << ::testing::PrintToString(s);
  }
  // Mixed text: ASCII runs (for the fast path) between arbitrary sequences.
  const char* const pieces[] = {
      "a",    "abcdefgh",     "\xc3\xa9",         "\xe2\x82\xac", "\xf0\x9f\x98\x80",
      "\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82"};
  for (int i = 0; i < 200000; ++i) {
    std::string s;
    const uint32_t count = rng() % 8;
    for (uint32_t k = 0; k < count; ++k) {
      s += (rng() & 3) != 0 ? std::string(pieces[rng() % 5]) : std::string(pieces[rng() % 9]);
    }
    ASSERT_EQ(checked(s), reference_well_formed(s)) << ::testing::PrintToString(s);
  }
}

}  // namespace
}  // namespace derirezaro::codec
