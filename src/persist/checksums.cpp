#include "persist/checksums.hpp"

#include <array>
#include <cstring>
#include <utility>

namespace derirezaro::persist {

namespace {

// About a tenth of a millisecond of CRC-32.
constexpr size_t kShortChecksumBytes = 256 * 1024;

// --- CRC-32 ------------------------------------------------------------------

// kCrcTables[0] is the byte-at-a-time table; kCrcTables[k][b] is the CRC of
// byte b followed by k zero bytes, which is what slicing by eight combines.
constexpr auto kCrcTables = [] {
  std::array<std::array<uint32_t, 256>, 8> tables{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t c = b;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    tables[0][b] = c;
  }
  for (size_t k = 1; k < 8; ++k) {
    for (uint32_t b = 0; b < 256; ++b) {
      const uint32_t prev = tables[k - 1][b];
      tables[k][b] = tables[0][prev & 0xff] ^ (prev >> 8);
    }
  }
  return tables;
}();

uint32_t load_le32(const uint8_t* p) noexcept {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

uint64_t load_le64(const uint8_t* p) noexcept {
  return static_cast<uint64_t>(load_le32(p)) | static_cast<uint64_t>(load_le32(p + 4)) << 32;
}

// --- BLAKE2b -----------------------------------------------------------------

constexpr std::array<uint64_t, 8> kIv = {
    0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
    0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179,
};

// The message schedule: round r takes its words in the order kSigma[r % 10].
constexpr unsigned kRounds = 12;
constexpr uint8_t kSigma[10][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
};

constexpr uint64_t rotr(uint64_t x, int n) noexcept { return (x >> n) | (x << (64 - n)); }

struct Blake2b {
  std::array<uint64_t, 8> h = kIv;
  uint64_t counter = 0;  // bytes compressed so far; inputs here stay far below 2^64
  std::array<uint8_t, 128> block{};
  size_t filled = 0;

  Blake2b() { h[0] ^= 0x01010000u | 8u; }  // depth 1, fanout 1, no key, 8-byte digest

  void compress(const uint8_t* data, bool last) noexcept {
    uint64_t m[16];
    for (size_t i = 0; i < 16; ++i) m[i] = load_le64(data + 8 * i);
    uint64_t v[16];
    for (size_t i = 0; i < 8; ++i) v[i] = h[i], v[i + 8] = kIv[i];
    v[12] ^= counter;
    if (last) v[14] = ~v[14];
    // Every round spelled out: the schedule's indices are then constants,
    // so the words stay in registers instead of being looked up per round.
    [&]<size_t... R>(std::index_sequence<R...>) {
      (round<R % 10>(v, m), ...);
    }(std::make_index_sequence<kRounds>{});
    for (size_t i = 0; i < 8; ++i) h[i] ^= v[i] ^ v[i + 8];
  }

  template <size_t S>
  [[gnu::always_inline]] static void round(uint64_t (&v)[16], const uint64_t (&m)[16]) noexcept {
    constexpr const uint8_t* s = kSigma[S];
    mix(v, 0, 4, 8, 12, m[s[0]], m[s[1]]);
    mix(v, 1, 5, 9, 13, m[s[2]], m[s[3]]);
    mix(v, 2, 6, 10, 14, m[s[4]], m[s[5]]);
    mix(v, 3, 7, 11, 15, m[s[6]], m[s[7]]);
    mix(v, 0, 5, 10, 15, m[s[8]], m[s[9]]);
    mix(v, 1, 6, 11, 12, m[s[10]], m[s[11]]);
    mix(v, 2, 7, 8, 13, m[s[12]], m[s[13]]);
    mix(v, 3, 4, 9, 14, m[s[14]], m[s[15]]);
  }

  [[gnu::always_inline]] static void mix(uint64_t (&v)[16], int a, int b, int c, int d, uint64_t x,
                                         uint64_t y) noexcept {
    v[a] = v[a] + v[b] + x, v[d] = rotr(v[d] ^ v[a], 32);
    v[c] = v[c] + v[d], v[b] = rotr(v[b] ^ v[c], 24);
    v[a] = v[a] + v[b] + y, v[d] = rotr(v[d] ^ v[a], 16);
    v[c] = v[c] + v[d], v[b] = rotr(v[b] ^ v[c], 63);
  }

  // The last block is compressed by finish(), never here: a full block is
  // held back until more input shows that it is not the last.
  void update(const uint8_t* data, size_t size) noexcept {
    while (size > 0) {
      if (filled == block.size()) {
        counter += block.size();
        compress(block.data(), false);
        filled = 0;
      }
      const size_t take = std::min(size, block.size() - filled);
      std::memcpy(block.data() + filled, data, take);
      filled += take, data += take, size -= take;
    }
  }

  uint64_t finish() noexcept {
    counter += filled;
    std::memset(block.data() + filled, 0, block.size() - filled);
    compress(block.data(), true);
    return h[0];  // the first 8 digest bytes are h[0]'s little-endian bytes
  }
};

}  // namespace

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc) noexcept {
  const auto& t = kCrcTables;
  uint32_t c = ~crc;
  for (; size >= 8; data += 8, size -= 8) {
    const uint32_t low = load_le32(data) ^ c;
    const uint32_t high = load_le32(data + 4);
    c = t[7][low & 0xff] ^ t[6][(low >> 8) & 0xff] ^ t[5][(low >> 16) & 0xff] ^ t[4][low >> 24] ^
        t[3][high & 0xff] ^ t[2][(high >> 8) & 0xff] ^ t[1][(high >> 16) & 0xff] ^ t[0][high >> 24];
  }
  for (; size > 0; ++data, --size) c = t[0][(c ^ *data) & 0xff] ^ (c >> 8);
  return ~c;
}

uint64_t blake2b_64(const Piece* pieces, size_t count) noexcept {
  Blake2b state;
  for (size_t i = 0; i < count; ++i) state.update(pieces[i].data, pieces[i].size);
  return state.finish();
}

bool checksum_is_long_work(size_t bytes) noexcept { return bytes > kShortChecksumBytes; }

}  // namespace derirezaro::persist
