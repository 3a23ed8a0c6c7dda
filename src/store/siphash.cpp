#include "store/siphash.hpp"

#include <bit>
#include <cstring>

namespace derirezaro::store {

namespace {

uint64_t load_le64(const unsigned char* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

struct SipState {
  uint64_t v0, v1, v2, v3;

  SipState(uint64_t k0, uint64_t k1) noexcept
      : v0(k0 ^ 0x736f6d6570736575ull),
        v1(k1 ^ 0x646f72616e646f6dull),
        v2(k0 ^ 0x6c7967656e657261ull),
        v3(k1 ^ 0x7465646279746573ull) {}

  void round() noexcept {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  void compress(uint64_t m) noexcept {
    v3 ^= m;
    round();
    v0 ^= m;
  }

  uint64_t finish() noexcept {
    v2 ^= 0xff;
    round();
    round();
    round();
    return v0 ^ v1 ^ v2 ^ v3;
  }
};

// SipHash-1-3 of `data` followed by `suffix` (at most 8 bytes). Whole blocks
// of `data` are read in place; the few bytes left over and the suffix are
// assembled in a 16-byte stack buffer, which holds at most one more whole
// block and the final partial one.
uint64_t siphash13_with_suffix(uint64_t k0, uint64_t k1, const unsigned char* data, size_t size,
                               const unsigned char* suffix, size_t suffix_size) noexcept {
  SipState s(k0, k1);
  const size_t whole = size & ~size_t{7};
  for (size_t i = 0; i < whole; i += 8) s.compress(load_le64(data + i));

  unsigned char tail[16] = {};
  const size_t left = size - whole;  // 0..7
  if (left != 0) std::memcpy(tail, data + whole, left);
  if (suffix_size != 0) std::memcpy(tail + left, suffix, suffix_size);
  size_t tail_size = left + suffix_size;  // 0..15
  const unsigned char* last = tail;
  if (tail_size >= 8) {
    s.compress(load_le64(tail));
    last = tail + 8;
    tail_size -= 8;
  }
  // The final block: the remaining 0..7 bytes, zero-padded, with the total
  // length modulo 256 in the top byte.
  unsigned char final_block[8] = {};
  if (tail_size != 0) std::memcpy(final_block, last, tail_size);
  const uint64_t total = static_cast<uint64_t>(size + suffix_size);
  s.compress(load_le64(final_block) | (total << 56));
  return s.finish();
}

}  // namespace

uint64_t siphash13(uint64_t k0, uint64_t k1, const void* data, size_t size) noexcept {
  return siphash13_with_suffix(k0, k1, static_cast<const unsigned char*>(data), size, nullptr, 0);
}

size_t shard_index(std::string_view ns) noexcept {
  static constexpr unsigned char kTerminator = 0xff;
  const uint64_t h = siphash13_with_suffix(0, 0, reinterpret_cast<const unsigned char*>(ns.data()), ns.size(),
                                           &kTerminator, 1);
  return static_cast<size_t>(h & (kShardCount - 1));
}

}  // namespace derirezaro::store
