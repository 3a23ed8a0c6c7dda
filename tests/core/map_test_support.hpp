// Shared helpers of the persistent map tests: hashers that force shapes,
// a reader of a map's whole contents, and a leak check.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>

#include "store/allocation.hpp"
#include "store/map_hash.hpp"
#include "store/persistent_map.hpp"
#include "store/shared_bytes.hpp"

namespace derirezaro::store::test_support {

using Bytes = SharedBytesRef;

inline Bytes bytes(std::string_view s) { return Bytes::copy_of(s); }

// prefix + decimal n, built by appending (g++ 12 misreports the
// literal-plus-temporary form under -Wrestrict).
inline std::string numbered(std::string_view prefix, uint64_t n) {
  std::string out(prefix);
  out += std::to_string(n);
  return out;
}

// Reads the hash out of the key, so a test places every key exactly:
// "0x0000001f:name" hashes to 0x1f. Other keys hash to 0.
struct PathHash {
  uint32_t operator()(const HashSeed&, std::string_view key) const noexcept {
    if (key.size() < 11 || key.substr(0, 2) != "0x" || key[10] != ':') return 0;
    uint32_t hash = 0;
    for (const char c : key.substr(2, 8)) {
      const uint32_t digit = c >= 'a' ? static_cast<uint32_t>(c - 'a' + 10) : static_cast<uint32_t>(c - '0');
      hash = hash * 16 + digit;
    }
    return hash;
  }
};

inline std::string path_key(uint32_t hash, std::string_view name) {
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "0x%08x:", static_cast<unsigned>(hash));
  return prefix + std::string(name);
}

// Every key in one collision list below a chain of one-child nodes.
struct ConstantHash {
  uint32_t operator()(const HashSeed&, std::string_view) const noexcept { return 0x5eed5eedu; }
};

// Four bits of a real hash, two used at the root and two at the deepest
// level: long chains, a crowded deepest level, many collision lists.
struct FewBitsHash {
  uint32_t operator()(const HashSeed& seed, std::string_view key) const noexcept {
    return SeededSipHash{}(seed, key) & 0xc0000003u;
  }
};

// The map's entries, sorted; fails the test if a key is visited twice.
template <class Map>
std::map<std::string, std::string> contents(const Map& map) {
  std::map<std::string, std::string> out;
  map.for_each([&](std::string_view key, const Bytes& value) {
    const bool fresh = out.emplace(std::string(key), std::string(value.view())).second;
    EXPECT_TRUE(fresh) << "visited twice: " << key;
  });
  EXPECT_EQ(out.size(), map.size());
  return out;
}

template <class Map>
::testing::AssertionResult is_valid(const Map& map) {
  std::string why;
  if (map.validate(&why)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << why << "\n" << map.dump();
}

// Declared first in a test, so it runs last: every node and byte block made
// during the test must be gone by then.
class LeakCheck {
 public:
  LeakCheck() = default;
  LeakCheck(const LeakCheck&) = delete;
  LeakCheck& operator=(const LeakCheck&) = delete;
  ~LeakCheck() {
    EXPECT_EQ(PersistentMapStats::live_nodes(), nodes_) << "map nodes leaked or freed twice";
    EXPECT_EQ(PersistentMapStats::live_byte_blocks(), blocks_) << "byte blocks leaked or freed twice";
  }

 private:
  int64_t nodes_ = PersistentMapStats::live_nodes();
  int64_t blocks_ = PersistentMapStats::live_byte_blocks();
};

}  // namespace derirezaro::store::test_support
