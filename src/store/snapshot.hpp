// SnapshotData: the immutable record behind a snapshot.
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
#include <utility>

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

// ShardStates with element i made by `make(i)`, in index order. A default
// ShardStates would draw sixteen fresh hash seeds only to overwrite them:
// the records of snapshot and restore are built this way instead.
template <class Make>
ShardStates make_shard_states(Make&& make) {
  return [&]<size_t... I>(std::index_sequence<I...>) {
    return ShardStates{make(I)...};  // a braced list runs its elements in order
  }(std::make_index_sequence<kShardCount>{});
}

struct SnapshotData {
  uint64_t id = 0;
  double timestamp = 0.0;  // seconds since the Unix epoch; 0.0 for a clock before it
  std::optional<uint64_t> parent;
  uint64_t size_bytes = 0;  // the store's byte total: the sum of the shards' totals
  ShardStates shards;
};

}  // namespace derirezaro::store
