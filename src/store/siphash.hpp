// SipHash-1-3: the store's string hash, for shard selection (fixed keys) and
// for the persistent maps' key hashes (a random key per map).
//
// The standard 64-bit SipHash with one compression round per 8-byte block
// and three finalisation rounds; the message is read as little-endian 64-bit
// words whatever the host's byte order, so results agree across machines.
// One round fewer than the usual 2-4 variant: short keys dominate here, and
// 1-3 is the trade-off the interpreter itself makes for the same job.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace derirezaro::store {

inline constexpr size_t kShardCount = 16;

uint64_t siphash13(uint64_t k0, uint64_t k1, const void* data, size_t size) noexcept;

// The shard that holds namespace `ns`: the low four bits of SipHash-1-3 with
// both keys 0 over the namespace's bytes followed by one 0xFF byte. The keys
// are fixed, so a namespace lands in the same shard in every process. The
// trailing byte is fed through the final block: no copy, no allocation.
size_t shard_index(std::string_view ns) noexcept;

}  // namespace derirezaro::store
