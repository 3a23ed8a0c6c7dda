// Shard: one of the store's sixteen partitions, a reader-writer lock around
// the persistent map of the namespaces that hash to it.
//
// What guards what:
// - `lock_` guards `contents_` (the map and its byte total): read access
//   under a shared lock, any change under the exclusive lock.
// - `entries_` (the number of keys in all namespaces of the shard) is only
//   written under the exclusive lock and is atomic, so `len()` can read the
//   sixteen counts without taking any lock.
// - `poisoned_` is set, and never cleared, when work under the exclusive
//   lock fails with anything but std::bad_alloc: that means an invariant
//   broke and the contents cannot be trusted. Every later access fails.
//   Running out of memory does not poison: the map's mutations are strongly
//   exception-safe, so a failed write leaves the contents as they were.
//
// Each shard sits in its own cache lines, so threads working on different
// shards do not contend for one line.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <stdexcept>

#include "store/persistent_map.hpp"
#include "store/shared_bytes.hpp"

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

enum class Access : uint8_t { read, write };

class alignas(64) Shard {
 public:
  bool try_lock(Access access) { return access == Access::read ? lock_.try_lock_shared() : lock_.try_lock(); }
  void lock(Access access) {
    if (access == Access::read) {
      lock_.lock_shared();
    } else {
      lock_.lock();
    }
  }
  void unlock(Access access) {
    if (access == Access::read) {
      lock_.unlock_shared();
    } else {
      lock_.unlock();
    }
  }

  // Runs `work(const ShardContents&)`; the caller holds the lock (either kind).
  template <class Work>
  auto read(Work&& work) const {
    check_not_poisoned();
    return work(static_cast<const ShardContents&>(contents_));
  }

  // Runs `work(ShardContents&, std::atomic<uint64_t>& entries)`; the caller
  // holds the exclusive lock.
  template <class Work>
  auto write(Work&& work) {
    check_not_poisoned();
    try {
      return work(contents_, entries_);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
      poisoned_.store(true, std::memory_order_relaxed);
      throw;
    }
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

  std::shared_mutex lock_;
  ShardContents contents_;
  std::atomic<uint64_t> entries_{0};
  std::atomic<bool> poisoned_{false};
};

// Holds a shard's lock until the end of the scope. By default it takes the
// lock, waiting if need be; `adopt_lock` takes over one the caller already
// holds (after a successful try_lock).
class ShardLock {
 public:
  ShardLock(Shard& shard, Access access) : shard_(shard), access_(access) { shard_.lock(access_); }
  ShardLock(Shard& shard, Access access, std::adopt_lock_t) : shard_(shard), access_(access) {}
  ~ShardLock() { shard_.unlock(access_); }
  ShardLock(const ShardLock&) = delete;
  ShardLock& operator=(const ShardLock&) = delete;

 private:
  Shard& shard_;
  Access access_;
};

}  // namespace derirezaro::store
