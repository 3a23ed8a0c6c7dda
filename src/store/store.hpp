// Store: the sixteen shards and what the store keeps beside them, and the
// entry operations as work on one locked shard.
//
// The operations below take the guard of the right shard (Shard::Reading or
// Shard::Writing) as proof that its lock is held; taking the lock is the
// caller's business, because the Python binding decides how to wait for it
// (never while it holds the interpreter lock).
//
// Byte total: `size_bytes` is the sum of the sizes of all stored encoded
// values. Every change to it is made while the write lock of the shard
// whose bytes change is held, by the same amount as that shard's own total;
// `take_all` subtracts a shard's total as it empties that shard, and
// `restore` sets every shard's total and the store's at once, under every
// write lock. So the store's total equals the sum of the shards' totals
// whenever no write is in progress, also when writes race with `clear`.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "store/allocation.hpp"
#include "store/shard.hpp"
#include "store/siphash.hpp"
#include "store/snapshot.hpp"

namespace derirezaro::store {

class Store {
 public:
  explicit Store(std::optional<uint64_t> max_history) : max_history_(max_history) {}
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  Shard& shard_for(std::string_view ns) { return shards_[shard_index(ns)]; }
  Shard& shard(size_t index) { return shards_[index]; }
  static constexpr size_t shard_count() { return kShardCount; }

  const std::optional<uint64_t>& max_history() const { return max_history_; }
  uint64_t size_bytes() const { return size_bytes_.load(std::memory_order_relaxed); }

  // Number of (namespace, key) entries: sixteen atomic reads, no lock.
  uint64_t entry_count() const;

  // --- work on a locked shard ------------------------------------------

  // Stores `value` under (ns, key), replacing any value.
  void set(Shard::Writing& shard, std::string_view ns, std::string_view key, const SharedBytesRef& value);
  // Stores the entries of a namespace the shard does not hold yet, built
  // as one key map (PersistentMap::from_entries): how a whole state is
  // loaded at once. `entries` is consumed; a key given twice keeps its last
  // value. Strong guarantee for the shard.
  void add_namespace(Shard::Writing& shard, std::string_view ns, std::vector<KeyMap::Entry>&& entries);
  // Removes (ns, key); whether it was there. The namespace stays, even when
  // this was its last key.
  bool erase(Shard::Writing& shard, std::string_view ns, std::string_view key);
  // Empties the shard and hands back what it held, so the caller can free
  // it after letting the lock go.
  NamespaceMap take_all(Shard::Writing& shard);

  // The encoded value at (ns, key), shared (no bytes copied).
  static std::optional<SharedBytesRef> find(const ShardContents& shard, std::string_view ns,
                                            std::string_view key);
  // A copy (O(1)) of the keys of `ns`, empty when `ns` is unknown, to walk
  // after the lock is let go.
  static KeyMap keys_of(const ShardContents& shard, std::string_view ns);

  // --- snapshots (snapshot.cpp) ----------------------------------------

  using SnapshotRef = std::shared_ptr<const SnapshotData>;

  EveryShardLock<Shard::Reading> every_shard_for_reading() { return EveryShardLock<Shard::Reading>(shards_); }
  EveryShardLock<Shard::Writing> every_shard_for_writing() { return EveryShardLock<Shard::Writing>(shards_); }

  // What a snapshot captures under every read lock: one moment of the store.
  struct Capture {
    ShardStates shards;
    uint64_t size_bytes = 0;
  };
  // Under every read lock: sixteen O(1) map copies and the byte total.
  Capture capture(const std::vector<Shard::Reading>& locked) const;
  // After the shard locks are let go: takes the next id, swaps it in as the
  // last id (the one before is the parent), stamps the time, and keeps the
  // record in the history, trimmed to max_history. The history never holds
  // more than max_history records, so at most one is trimmed off: it is
  // moved to `trimmed` (else `trimmed` is left null), for the caller to drop
  // when it suits it (dropping a record can free a great deal). Strong
  // guarantee: every allocation comes before the id is taken, so on
  // std::bad_alloc the ids, the parent of the next record and the history
  // are as they were.
  // Without `kept`, the record is numbered the same way but the history
  // neither keeps it nor trims: for a caller that holds the snapshots it
  // needs itself (a persisted timeline takes one per commit, and an
  // unbounded history would keep every one of them alive).
  SnapshotRef record_snapshot(Capture&& capture, SnapshotRef& trimmed, bool kept = true);

  // Under every write lock: each shard takes the snapshot's map, totals and
  // count, and the store the snapshot's byte total. Hands back what the
  // shards held, for the caller to drop after letting the locks go. Cannot
  // fail: every step is an O(1) copy or swap.
  ShardStates restore(std::vector<Shard::Writing>& locked, const SnapshotData& snapshot) noexcept;

  // The ids of the records the history keeps, oldest first (for tests: the
  // history is otherwise never read).
  std::vector<uint64_t> retained_snapshot_ids() const;

  // Whether dropping the store would free at most `budget` nodes and
  // entries; spends the budget on what it counts (see store/drop_cost.hpp).
  // Records only the history holds die with the shards and may share their
  // nodes, so no one part's own count says what goes: with such records
  // every node reachable from the shards and from them is counted, shared
  // or not. That can count nodes that a snapshot held elsewhere keeps
  // alive, never too few.
  bool drop_frees_at_most(size_t& budget);

 private:
  std::array<Shard, kShardCount> shards_;
  const std::optional<uint64_t> max_history_;
  std::atomic<uint64_t> size_bytes_{0};

  // Snapshot numbering and history, all guarded by `history_lock_`, so the
  // history keeps its records in id order. The shard locks are let go
  // before it is taken.
  mutable std::mutex history_lock_;
  uint64_t next_snapshot_id_ = 1;
  std::optional<uint64_t> last_snapshot_id_;
  std::deque<SnapshotRef, StoreAllocator<SnapshotRef>> history_;  // oldest first; at most max_history records
};

}  // namespace derirezaro::store
