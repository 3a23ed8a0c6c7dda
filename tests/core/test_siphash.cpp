// SipHash-1-3 decides which shard holds a namespace, so it must match the
// published function bit for bit: a namespace's shard is part of what a
// store computes in every process. The vectors below come from the
// interpreter's own SipHash-1-3, `_imp.source_hash(k, data)` (k0 = k,
// k1 = 0), over prefixes of the bytes 00 01 02 ... 3f.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "store/siphash.hpp"

namespace derirezaro::store {
namespace {

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i);
  return bytes;
}

// A second implementation that shares no structure with the one under test:
// it pads the whole message into a byte vector first, then assembles each
// word byte by byte.
uint64_t reference_siphash13(uint64_t k0, uint64_t k1, const std::vector<uint8_t>& message) {
  auto rotl = [](uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
  uint64_t v[4] = {k0 ^ 0x736f6d6570736575ull, k1 ^ 0x646f72616e646f6dull, k0 ^ 0x6c7967656e657261ull,
                   k1 ^ 0x7465646279746573ull};
  auto round = [&] {
    v[0] += v[1], v[1] = rotl(v[1], 13), v[1] ^= v[0], v[0] = rotl(v[0], 32);
    v[2] += v[3], v[3] = rotl(v[3], 16), v[3] ^= v[2];
    v[0] += v[3], v[3] = rotl(v[3], 21), v[3] ^= v[0];
    v[2] += v[1], v[1] = rotl(v[1], 17), v[1] ^= v[2], v[2] = rotl(v[2], 32);
  };
  std::vector<uint8_t> padded = message;
  while (padded.size() % 8 != 7) padded.push_back(0);
  padded.push_back(static_cast<uint8_t>(message.size()));
  for (size_t i = 0; i < padded.size(); i += 8) {
    uint64_t m = 0;
    for (int j = 7; j >= 0; --j) m = (m << 8) | padded[i + j];
    v[3] ^= m;
    round();
    v[0] ^= m;
  }
  v[2] ^= 0xff;
  round(), round(), round();
  return v[0] ^ v[1] ^ v[2] ^ v[3];
}

// _imp.source_hash(0, bytes(range(64))[:n]) for n = 0..64.
constexpr uint64_t kZeroKeyVectors[65] = {
    0xd1fba762150c532cull, 0x68a914128e01e473ull, 0x010bac45c41e3669ull, 0x4d4c9a4a8ef6e0adull,
    0x7cc43f98813e4dbdull, 0x5abe2169dff36275ull, 0xe3c25f87624f1cdbull, 0x2f098ab0c751325aull,
    0xead411e67ebe2eeaull, 0x75927f9d95124362ull, 0xaf9f77a65ab51a1dull, 0xfe64ce8b6617fcffull,
    0xa6baf4fb0f9fe1c2ull, 0xa0cf3211850f8e0dull, 0x7f86049379fbfe67ull, 0xf30eb725bb91c9eaull,
    0x8972188433a5c5b7ull, 0x4883c49a2c009c1dull, 0xadc2c0b63044067dull, 0x091f4a3329f87d19ull,
    0x639e355ae68c0100ull, 0xb17bef2cb5213239ull, 0xf8aeb1066236ccfeull, 0x37332b1389daa4ffull,
    0x31185a47af932f3aull, 0xebf352e82ae23e2full, 0xed36ff242fe478b2ull, 0x2454d97d299299dfull,
    0x8cd57fe8130d0ac7ull, 0xbe98eb2faf0a0e85ull, 0xd427c34ee09470c6ull, 0x169739443111d49bull,
    0x31ef8061c910629bull, 0x7fb71d24dfa4c9f6ull, 0x92771f49e836d389ull, 0x3c393cf6f0853bc3ull,
    0xac77921fcc642bd3ull, 0x422a9751192ff266ull, 0xc680ae8a8c584ddfull, 0x6c76b6d34bb6d26bull,
    0x95bc321ab41d8206ull, 0x908a3a97a6d37669ull, 0xfcaf3c64874dd0b4ull, 0xf689479b32b84a44ull,
    0xd857641079efd1fdull, 0x8b581578722633f7ull, 0x83cb09d35ea7bcd4ull, 0x8485f7f5ae725a0dull,
    0xfe1f2445ba50237full, 0x23cece041d7866b0ull, 0x416687480b336c09ull, 0xf15960da7e7f3892ull,
    0xded6177b9826835aull, 0xf80dae51668be6beull, 0x17ecc6ee6647df18ull, 0x5220d642b4a52110ull,
    0xa4f0cf4ba4adc016ull, 0xe5125bb26d1f2976ull, 0x851b0e75f580d256ull, 0x12605250a37e39acull,
    0xd95a713568daebf1ull, 0xcdcf4a42ec0dd605ull, 0xa5c708712b617164ull, 0x385d3e39e5f37359ull,
    0x75e05fd5bbc870c6ull,
};

struct KeyedVector {
  uint64_t k0;
  size_t length;
  uint64_t expected;
};

// _imp.source_hash(k, bytes(range(64))[:n]), k read as a signed C long.
constexpr KeyedVector kKeyedVectors[] = {
    {0x0000000000000001ull, 0, 0xc44a0ebf4e962581ull},  {0x0000000000000001ull, 3, 0xd8c82d87fa4286e4ull},
    {0x0000000000000001ull, 8, 0x51738227823e2309ull},  {0x0000000000000001ull, 15, 0x535280d545ebc696ull},
    {0x0000000000000001ull, 64, 0x652ac99c0db06ea4ull}, {0x0706050403020100ull, 0, 0xf46d3bfe2ea281dcull},
    {0x0706050403020100ull, 3, 0xb0dc73387a51665cull},  {0x0706050403020100ull, 8, 0x5124317f8cfc24cbull},
    {0x0706050403020100ull, 15, 0x7f501f340ece0c62ull}, {0x0706050403020100ull, 64, 0xcea463ea3b564fbfull},
    {0xffffffffffffffffull, 0, 0xfc6fcc9f426fa39cull},  {0xffffffffffffffffull, 3, 0xfebdc0fe22fc6972ull},
    {0xffffffffffffffffull, 8, 0xa78131c11dcd1660ull},  {0xffffffffffffffffull, 15, 0x8c8708be091b4de4ull},
    {0xffffffffffffffffull, 64, 0xb4ebf8313adf41c0ull}, {0xaaaaaaaaaaaaaaaaull, 0, 0x566af05cf42de378ull},
    {0xaaaaaaaaaaaaaaaaull, 3, 0x037707a7d7309022ull},  {0xaaaaaaaaaaaaaaaaull, 8, 0x7f91e9560e0a5584ull},
    {0xaaaaaaaaaaaaaaaaull, 15, 0xacd4dbef17da7c8aull}, {0xaaaaaaaaaaaaaaaaull, 64, 0xbaf51d8ce3c38fedull},
};

TEST(SipHash13, MatchesInterpreterWithZeroKeysForEveryLengthUpTo64) {
  const std::vector<uint8_t> bytes = pattern(64);
  for (size_t n = 0; n <= 64; ++n) {
    EXPECT_EQ(siphash13(0, 0, bytes.data(), n), kZeroKeyVectors[n]) << "length " << n;
  }
}

TEST(SipHash13, MatchesInterpreterWithFirstKeySet) {
  const std::vector<uint8_t> bytes = pattern(64);
  for (const KeyedVector& v : kKeyedVectors) {
    EXPECT_EQ(siphash13(v.k0, 0, bytes.data(), v.length), v.expected)
        << std::hex << v.k0 << " length " << v.length;
  }
}

TEST(SipHash13, ReferenceAgreesWithInterpreter) {
  for (size_t n = 0; n <= 64; ++n) {
    EXPECT_EQ(reference_siphash13(0, 0, pattern(n)), kZeroKeyVectors[n]) << "length " << n;
  }
  for (const KeyedVector& v : kKeyedVectors) {
    EXPECT_EQ(reference_siphash13(v.k0, 0, pattern(v.length)), v.expected);
  }
}

// The interpreter's function fixes k1 = 0, so the second key is checked
// against the reference, with random keys, lengths and contents, at every
// alignment of the input.
TEST(SipHash13, AgreesWithReferenceForBothKeysAndAnyAlignment) {
  std::mt19937_64 rng(20240611);
  std::vector<uint8_t> storage(128 + 8);
  for (int trial = 0; trial < 2000; ++trial) {
    const uint64_t k0 = rng(), k1 = rng();
    const size_t length = rng() % 129;
    const size_t offset = rng() % 8;
    std::vector<uint8_t> message(length);
    for (uint8_t& b : message) b = static_cast<uint8_t>(rng());
    if (length != 0) std::memcpy(storage.data() + offset, message.data(), length);
    ASSERT_EQ(siphash13(k0, k1, storage.data() + offset, length), reference_siphash13(k0, k1, message))
        << "length " << length << " offset " << offset;
  }
}

TEST(ShardIndex, KnownNamespaces) {
  const struct {
    const char* ns;
    size_t shard;
  } cases[] = {{"default", 1}, {"x", 1},  {"a", 3}, {"users", 4},
               {"config", 5},  {"b", 10}, {"", 15}, {"y", 15}};
  for (const auto& c : cases) EXPECT_EQ(shard_index(c.ns), c.shard) << '"' << c.ns << '"';
}

// The terminator byte is spliced into the last block without a copy; every
// remainder length, including the one where it completes a whole block,
// must hash exactly as the concatenated message does. Namespaces may hold
// any bytes, zero and 0xff included.
TEST(ShardIndex, EqualsHashOfNamespaceWithTerminator) {
  std::mt19937_64 rng(7);
  for (size_t length = 0; length <= 40; ++length) {
    for (int trial = 0; trial < 20; ++trial) {
      std::string ns(length, '\0');
      for (char& c : ns) c = static_cast<char>(rng());
      const std::string message = ns + '\xff';
      const uint64_t full = siphash13(0, 0, message.data(), message.size());
      ASSERT_EQ(shard_index(ns), full & 15) << "length " << length;
      ASSERT_LT(shard_index(ns), kShardCount);
    }
  }
}

}  // namespace
}  // namespace derirezaro::store
