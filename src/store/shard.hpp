// Shard: one of the store's sixteen partitions, a reader-writer lock around
// the persistent map of the namespaces that hash to it.
//
// The contents are reachable only through a guard that holds the lock:
// `Reading` (shared lock; const contents) and `Writing` (exclusive lock;
// changes go through `change`). A guard is made only by taking the lock
// (`read`, `write`, waiting) or by trying it (`try_read`, `try_write`, not
// waiting), so no caller can reach the contents without it. The guards
// are what the binding's lock primitive works with (lib/gil.hpp): it tries
// first while it holds the interpreter lock, and waits only after giving
// that lock up.
//
// What guards what:
// - `lock_` guards `contents_` (the map and its byte total): read access
//   under a shared lock, any change under the exclusive lock.
// - `entries_` (the number of keys in all namespaces of the shard) is only
//   written under the exclusive lock and is atomic, so `len()` can read the
//   sixteen counts without taking any lock.
// - `poisoned_` is set, and never cleared, when a change under the
//   exclusive lock fails with anything but std::bad_alloc: that means an
//   invariant broke and the contents cannot be trusted. Every later guard
//   fails to be made, with ShardPoisoned. Running out of memory does not
//   poison: the map's mutations are strongly exception-safe, so a failed
//   write leaves the contents as they were.
//
// EveryShardLock is the lock source through which snapshot (read) and
// restore (write) hold all sixteen shard locks at once.
//
// Long work copies and goes: a map copies in O(1), so a walk copies what it
// needs under the lock and walks after releasing it, and emptying a shard
// moves its map out under the lock and frees it after.
//
// Each shard sits in its own cache lines, so threads working on different
// shards do not contend for one line.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <new>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "store/persistent_map.hpp"
#include "store/shared_bytes.hpp"
#include "store/siphash.hpp"

namespace derirezaro::store {

// Key to encoded value (the value's MessagePack bytes).
using KeyMap = PersistentMap<SharedBytesRef>;
// Namespace to the KeyMap of its keys.
using NamespaceMap = PersistentMap<KeyMap>;

struct ShardContents {
  NamespaceMap namespaces;
  uint64_t bytes = 0;  // sum of the encoded values' sizes in `namespaces`
};

// Thrown by any access to a poisoned shard.
class ShardPoisoned : public std::logic_error {
 public:
  ShardPoisoned() : std::logic_error("a store shard is poisoned: an earlier write failed halfway") {}
};

class alignas(64) Shard {
  // Only the shard makes guards: their constructors take this key.
  class Key {
    friend class Shard;
    Key() = default;
  };

 public:
  // The shared lock, held: the contents, read-only.
  class Reading {
   public:
    Reading(Shard& shard, Key) : shard_(&shard) { shard.check_after_locking(/*exclusive=*/false); }
    Reading(Reading&& other) noexcept : shard_(std::exchange(other.shard_, nullptr)) {}
    Reading& operator=(Reading&&) = delete;
    ~Reading() {
      if (shard_ != nullptr) shard_->lock_.unlock_shared();
    }

    const ShardContents& contents() const { return shard_->contents_; }

   private:
    Shard* shard_;
  };

  // The exclusive lock, held: the contents, and the one way to change them.
  class Writing {
   public:
    Writing(Shard& shard, Key) : shard_(&shard) { shard.check_after_locking(/*exclusive=*/true); }
    Writing(Writing&& other) noexcept : shard_(std::exchange(other.shard_, nullptr)) {}
    Writing& operator=(Writing&&) = delete;
    ~Writing() {
      if (shard_ != nullptr) shard_->lock_.unlock();
    }

    const ShardContents& contents() const { return shard_->contents_; }

    // Runs `change(ShardContents&, std::atomic<uint64_t>& entries)`; a
    // failure other than std::bad_alloc poisons the shard.
    template <class Change>
    auto change(Change&& change) {
      try {
        return change(shard_->contents_, shard_->entries_);
      } catch (const std::bad_alloc&) {
        throw;
      } catch (...) {
        shard_->poisoned_.store(true, std::memory_order_relaxed);
        throw;
      }
    }

   private:
    Shard* shard_;
  };

  // Wait for the lock.
  Reading read() {
    lock_.lock_shared();
    return Reading(*this, Key{});
  }
  Writing write() {
    lock_.lock();
    return Writing(*this, Key{});
  }
  // Do not wait: empty when another thread holds the lock in a conflicting mode.
  std::optional<Reading> try_read() {
    if (!lock_.try_lock_shared()) return std::nullopt;
    return Reading(*this, Key{});
  }
  std::optional<Writing> try_write() {
    if (!lock_.try_lock()) return std::nullopt;
    return Writing(*this, Key{});
  }

  // The lock in one mode, as the binding's lock primitive takes it.
  struct ReadLock {
    Shard& shard;
    std::optional<Reading> try_acquire() const { return shard.try_read(); }
    Reading acquire() const { return shard.read(); }
  };
  struct WriteLock {
    Shard& shard;
    std::optional<Writing> try_acquire() const { return shard.try_write(); }
    Writing acquire() const { return shard.write(); }
  };
  ReadLock read_lock() { return {*this}; }
  WriteLock write_lock() { return {*this}; }

  // Runs `count(const NamespaceMap&)` under the shared lock, for weighing
  // what dropping the shard would free (store/drop_cost.hpp). Poisoning is
  // not checked: whatever the contents hold, dropping the shard frees it.
  template <class Count>
  bool count_contents(Count&& count) {
    std::shared_lock<std::shared_mutex> held(lock_);
    return count(std::as_const(contents_.namespaces));
  }

  // Keys in this shard; lock-free, consistent as of the last finished write.
  uint64_t entries() const {
    check_not_poisoned();
    return entries_.load(std::memory_order_relaxed);
  }

 private:
  void check_not_poisoned() const {
    if (poisoned_.load(std::memory_order_relaxed)) throw ShardPoisoned();
  }
  // A guard's constructor has just taken the lock; if the shard is poisoned
  // it lets the lock go again before refusing.
  void check_after_locking(bool exclusive) {
    if (!poisoned_.load(std::memory_order_relaxed)) return;
    if (exclusive) {
      lock_.unlock();
    } else {
      lock_.unlock_shared();
    }
    throw ShardPoisoned();
  }

  std::shared_mutex lock_;
  ShardContents contents_;
  std::atomic<uint64_t> entries_{0};
  std::atomic<bool> poisoned_{false};
};

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
