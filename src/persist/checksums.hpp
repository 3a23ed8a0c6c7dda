// The two checksums a stored record is held to, computed as the Python side
// computes them, so native replay and Python replay accept the same records
// (FORMAT.md beside this file says what each covers).
//
// crc32: the CRC-32 of zlib and PNG (reflected polynomial 0xEDB88320), with
// zlib's convention for continuing: crc32(b, crc32(a)) == crc32(a + b), and
// crc32 of nothing from 0 is 0. Slicing by eight: eight table lookups per
// 8-byte word, so a keyframe's body costs about a byte per cycle or less.
//
// blake2b_64: BLAKE2b (RFC 7693) with an 8-byte digest and no key, read as
// a little-endian integer; what hashlib.blake2b(data, digest_size=8) gives.
// A record's state digest sums one of these per entry.
#pragma once

#include <cstddef>
#include <cstdint>

namespace derirezaro::persist {

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0) noexcept;

// Whether checksumming this many bytes is long work (lib/gil.hpp): past it,
// a binding checksums without the interpreter lock.
bool checksum_is_long_work(size_t bytes) noexcept;

// BLAKE2b-64 over the concatenation of up to three pieces, so that an entry
// (a header, the namespace and key, the value) hashes without a copy.
struct Piece {
  const uint8_t* data;
  size_t size;
};
uint64_t blake2b_64(const Piece* pieces, size_t count) noexcept;

}  // namespace derirezaro::persist
