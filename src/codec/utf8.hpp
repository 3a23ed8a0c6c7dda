// Strict UTF-8 well-formedness: no overlong forms, no surrogate code points
// (U+D800..U+DFFF), nothing above U+10FFFF, no truncated sequences. This is
// the same rule the interpreter's strict UTF-8 codec applies.
//
// One rule, utf8_sequence_length, decides what a sequence is; the check and
// the decoder both ask it, so bytes are well formed exactly when the decoder
// reads every non-ASCII byte as part of a sequence of two or more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace derirezaro::codec {

// Length of the well-formed multi-byte sequence starting at `p` (`left`
// bytes readable, at least 1), or 0 if none does; an ASCII byte is 0 too,
// the callers having taken it on their fast path. Only the second byte's
// range depends on the lead byte (Unicode Table 3-7): that is where
// overlongs, surrogates and values above U+10FFFF are cut, so no code point
// has to be assembled to reject one.
inline size_t utf8_sequence_length(const uint8_t* p, size_t left) noexcept {
  const uint8_t lead = p[0];
  size_t length;
  uint8_t second_min = 0x80;
  uint8_t second_max = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) second_min = 0xa0;  // overlong below U+0800
    if (lead == 0xed) second_max = 0x9f;  // surrogates U+D800..U+DFFF
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) second_min = 0x90;  // overlong below U+10000
    if (lead == 0xf4) second_max = 0x8f;  // above U+10FFFF
  } else {
    return 0;  // ASCII, 0x80..0xc1 (continuation or overlong lead) and 0xf5..0xff
  }
  if (left < length) return 0;
  if (p[1] < second_min || p[1] > second_max) return 0;
  for (size_t i = 2; i < length; ++i) {
    if ((p[i] & 0xc0) != 0x80) return 0;
  }
  return length;
}

bool is_well_formed_utf8(const uint8_t* bytes, size_t size);

struct DecodedCodePoint {
  char32_t value;
  size_t length;  // bytes read, at least 1
};

// The code point that starts at byte `at` (< text.size()). Text from a
// Python str is well formed; anything else (an ill-formed, truncated,
// overlong or surrogate sequence) reads as U+FFFD one byte at a time, so a
// caller always advances and never reads past the end.
inline DecodedCodePoint decode_utf8(std::string_view text, size_t at) noexcept {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data()) + at;
  if (p[0] < 0x80) return {p[0], 1};
  const size_t length = utf8_sequence_length(p, text.size() - at);
  if (length == 0) return {0xfffd, 1};
  // The lead byte keeps 7 - length payload bits: 5, 4 or 3.
  char32_t value = p[0] & (0x7fu >> length);
  for (size_t i = 1; i < length; ++i) value = (value << 6) | (p[i] & 0x3fu);
  return {value, length};
}

// `c` is a Unicode scalar value (what decode_utf8 returns).
inline void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xc0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xe0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  }
}

}  // namespace derirezaro::codec
