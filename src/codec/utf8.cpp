#include "codec/utf8.hpp"

#include <cstring>

namespace derirezaro::codec {

namespace {

bool is_continuation(uint8_t b) { return (b & 0xc0) == 0x80; }

// Length of the well-formed sequence starting at `p`, or 0 if none does.
// The second byte's range depends on the lead byte (Unicode Table 3-7):
// that is where overlongs, surrogates and values above U+10FFFF are cut.
size_t sequence_length(const uint8_t* p, size_t left) {
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
    return 0;  // 0x80..0xc1 (continuation or overlong lead) and 0xf5..0xff
  }
  if (left < length) return 0;
  if (p[1] < second_min || p[1] > second_max) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (!is_continuation(p[i])) return 0;
  }
  return length;
}

}  // namespace

bool is_well_formed_utf8(const uint8_t* bytes, size_t size) {
  size_t i = 0;
  while (i < size) {
    // ASCII runs dominate real text: test eight bytes at a time.
    if (size - i >= 8) {
      uint64_t chunk;
      std::memcpy(&chunk, bytes + i, sizeof chunk);
      if ((chunk & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    if (bytes[i] < 0x80) {
      ++i;
      continue;
    }
    const size_t length = sequence_length(bytes + i, size - i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

}  // namespace derirezaro::codec
