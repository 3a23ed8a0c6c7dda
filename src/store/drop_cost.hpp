// How much freeing may be done on a thread that holds a lock other threads
// wait for (in the binding, the interpreter lock), and what counts.
//
// Dropping the last reference to a structure frees every node that only
// it keeps; for a store of a million entries that is a few hundred
// milliseconds, during which no other Python thread runs if the drop keeps
// the interpreter lock. Giving the lock up costs more than a small drop,
// though: winning it back beside a busy thread can take a whole switch
// interval (5 ms). So a drop is weighed first, by a walk that stops as soon
// as it has counted kShortFreeBudget nodes and entries: within the budget
// it is short work and keeps the lock; beyond it, the binding frees
// without it (lib/gil.hpp, drop_off_lock_if_large).
//
// What counts: a node that the drop frees and each entry in it (values that
// are maps counting what dropping them frees in turn), and a snapshot
// record when this is its last reference. A shared node, or a record held
// elsewhere too, only loses a count and costs nothing. Weighing reads
// reference counts that other threads may be lowering at the same moment:
// a racing drop of another copy can make the real cost larger than
// counted, never the drop unsafe.
#pragma once

#include <cstddef>
#include <memory>
#include <ranges>

#include "store/shard.hpp"
#include "store/snapshot.hpp"
#include "store/store.hpp"

namespace derirezaro::store {

// Nodes and entries: a few microseconds' worth of freeing.
inline constexpr size_t kShortFreeBudget = 2048;

// drop_frees_at_most(doomed, budget): whether dropping `doomed` frees at
// most `budget` nodes and entries; spends the budget on what it counts.
inline bool drop_frees_at_most(const NamespaceMap& map, size_t& budget) noexcept {
  return map.drop_frees_at_most(budget);
}
inline bool drop_frees_at_most(const ShardState& shard, size_t& budget) noexcept {
  return shard.contents.namespaces.drop_frees_at_most(budget);
}
// Only the last reference frees; a null one frees nothing.
bool drop_frees_at_most(const Store::SnapshotRef& record, size_t& budget) noexcept;
inline bool drop_frees_at_most(const std::unique_ptr<Store>& store, size_t& budget) {
  return store == nullptr || store->drop_frees_at_most(budget);
}
// Several things dropped together, each counted on its own: right when
// they share no nodes with each other (the sixteen shards' maps, which
// hold different namespaces), short otherwise.
template <std::ranges::range Things>
bool drop_frees_at_most(const Things& things, size_t& budget) {
  for (const auto& thing : things) {
    if (!drop_frees_at_most(thing, budget)) return false;
  }
  return true;
}

// Whether dropping `doomed` is short work: frees at most kShortFreeBudget.
template <class T>
bool frees_little(const T& doomed) {
  size_t budget = kShortFreeBudget;
  return drop_frees_at_most(doomed, budget);
}

// The same as a predicate, for lib/gil.hpp's drop_off_lock_if_large.
struct FreesMuch {
  template <class T>
  bool operator()(const T& doomed) const {
    return !frees_little(doomed);
  }
};
inline constexpr FreesMuch frees_much{};

}  // namespace derirezaro::store
