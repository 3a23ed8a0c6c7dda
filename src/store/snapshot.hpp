// SnapshotData: the immutable record behind a snapshot, and EveryShardLock,
// the lock source that snapshot (read) and restore (write) hold all sixteen
// shard locks through.
//
// A record is built once and never changed, and shared (std::shared_ptr,
// atomic counts) by every Snapshot object wrapping it and by the store's
// history while it is kept there; so any thread may read it without a lock.
// Its shard maps are O(1) copies of the store's: they share every node that
// no later write has copied.
//
// Besides what a snapshot shows (id, timestamp, parent, byte total, the
// maps), each shard's own byte total and entry count are kept, so that
// restoring sets them exactly instead of recounting the maps.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "store/shard.hpp"
#include "store/siphash.hpp"

namespace derirezaro::store {

struct ShardState {
  ShardContents contents;  // the namespace map and its byte total
  uint64_t entries = 0;
};

// A namespace's entries lie in the element that shard_index() picks for it,
// in every record, so a record can be compared with, or restored into, any
// store.
using ShardStates = std::array<ShardState, kShardCount>;

struct SnapshotData {
  uint64_t id = 0;
  double timestamp = 0.0;  // seconds since the Unix epoch; 0.0 for a clock before it
  std::optional<uint64_t> parent;
  uint64_t size_bytes = 0;  // the store's byte total: the sum of the shards' totals
  ShardStates shards;
};

class Store;

// Every shard's lock in one mode (Guard is Shard::Reading or
// Shard::Writing), taken in ascending shard order. A try that finds a
// shard busy lets go of those it took, so a waiting retry starts again from
// shard 0 and the order never inverts.
template <class Guard>
class EveryShardLock {
 public:
  using Guards = std::vector<Guard>;  // element i holds shard i

  explicit EveryShardLock(std::array<Shard, kShardCount>& shards) : shards_(shards) {}

  std::optional<Guards> try_acquire() const {
    Guards guards;
    guards.reserve(kShardCount);
    for (Shard& shard : shards_) {
      std::optional<Guard> guard = try_one(shard);
      if (!guard) return std::nullopt;  // `guards` lets the others go
      guards.push_back(std::move(*guard));
    }
    return guards;
  }

  Guards acquire() const {
    Guards guards;
    guards.reserve(kShardCount);
    for (Shard& shard : shards_) guards.push_back(wait_for_one(shard));
    return guards;
  }

 private:
  static std::optional<Guard> try_one(Shard& shard) {
    if constexpr (std::is_same_v<Guard, Shard::Reading>) {
      return shard.try_read();
    } else {
      return shard.try_write();
    }
  }
  static Guard wait_for_one(Shard& shard) {
    if constexpr (std::is_same_v<Guard, Shard::Reading>) {
      return shard.read();
    } else {
      return shard.write();
    }
  }

  std::array<Shard, kShardCount>& shards_;
};

}  // namespace derirezaro::store
