// Key hashing for the persistent maps: the 128-bit per-map seed, where fresh
// seeds come from, and the default hasher policy.
//
// Every new map draws its own seed, so an input crafted to collide in one
// map (or one process) does not collide in another, and nothing can depend on
// an iteration order that the seed decides. A copy of a map shares its
// source's seed: the two share nodes, and nodes are laid out by hash.
#pragma once

#include <cstdint>
#include <string_view>

#include "store/siphash.hpp"

namespace derirezaro::store {

struct HashSeed {
  uint64_t k0 = 0;
  uint64_t k1 = 0;
  bool operator==(const HashSeed&) const = default;
};

// A fresh, unpredictable seed. The first call reads 16 bytes from the
// operating system (getrandom, or std::random_device where that is missing)
// as a process secret; each call then returns SipHash-1-3, keyed by that
// secret, of a process-wide counter. SipHash is a pseudo-random function,
// so seeds are as unpredictable as the secret, and a new map costs a few
// dozen nanoseconds instead of a system call. Thread-safe. Throws
// std::system_error only if the first call finds no source of randomness
// at all; a later call tries again.
HashSeed fresh_hash_seed();

// The default hasher policy: SipHash-1-3 keyed by the map's seed, truncated
// to the low 32 bits that the trie consumes.
//
// A hasher policy is any type with
//   uint32_t operator()(const HashSeed&, std::string_view key) const noexcept
// that is a pure function of its arguments. Tests substitute weak ones
// (constant, or a hash read out of the key) to force exact trie shapes.
struct SeededSipHash {
  uint32_t operator()(const HashSeed& seed, std::string_view key) const noexcept {
    return static_cast<uint32_t>(siphash13(seed.k0, seed.k1, key.data(), key.size()));
  }
};

}  // namespace derirezaro::store
