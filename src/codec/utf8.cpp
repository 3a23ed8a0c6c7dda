#include "codec/utf8.hpp"

#include <cstring>

namespace derirezaro::codec {

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
    const size_t length = utf8_sequence_length(bytes + i, size - i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

}  // namespace derirezaro::codec
