// Snapshots, restore and diff in the core. The diff that skips what two
// snapshots share must give exactly the lists of the plain walk, in the
// same order, over a random history of writes, clears, restores (also of
// another store's snapshots) and snapshots of all of it.
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "store/drop_cost.hpp"
#include "store/snapshot_diff.hpp"
#include "store/store.hpp"
#include "support.hpp"

namespace derirezaro::store {
namespace {

using namespace test;
using Names = std::vector<EntryName>;

// The plain walk: every entry of `from`, looked up in `to`.
void plain_walk(const ShardStates& from, const ShardStates& to, Names& out, Names* changed) {
  for (size_t i = 0; i < kShardCount; ++i) {
    from[i].contents.namespaces.for_each([&](std::string_view ns, const KeyMap& keys) {
      const KeyMap* other = to[i].contents.namespaces.find(ns);
      keys.for_each([&](std::string_view key, const SharedBytesRef& value) {
        const SharedBytesRef* theirs = other != nullptr ? other->find(key) : nullptr;
        if (theirs == nullptr) out.push_back({ns, key});
        if (theirs != nullptr && changed != nullptr && theirs->view() != value.view())
          changed->push_back({ns, key});
      });
    });
  }
}

TEST(Snapshots, DiffSkipsSharedStructureAndMatchesThePlainWalk) {
  LeakCheck leaks;
  std::mt19937_64 rng(11);
  Store store(std::nullopt), other(std::nullopt);
  std::vector<Store::SnapshotRef> taken;
  for (int step = 0; step < 4000; ++step) {
    const std::string ns = numbered("ns", rng() % 30), key = numbered("k", rng() % 60);
    Store& target = rng() % 8 == 0 ? other : store;
    const auto dice = rng() % 1000;
    if (dice < 600) {
      set(target, ns, key, bytes(numbered("v", rng() % 4)));  // equal bytes in new blocks too
    } else if (dice < 850) {
      erase(target, ns, key);
    } else if (dice < 855) {
      clear(target);
    } else if (dice < 875 && !taken.empty()) {
      restore(store, *taken[rng() % taken.size()]);  // also of `other`'s snapshots
    } else if (dice < 940) {
      taken.push_back(snapshot(target));
    }
    for (int pair = 0; step % 97 == 96 && pair < 20 && !taken.empty(); ++pair) {
      const SnapshotData& self = *taken[rng() % taken.size()];
      const SnapshotData& base = *taken[rng() % taken.size()];
      SnapshotDiff plain;
      plain_walk(self.shards, base.shards, plain.added, &plain.changed);
      plain_walk(base.shards, self.shards, plain.removed, nullptr);
      const SnapshotDiff fast = diff(self, base);
      ASSERT_EQ(std::tie(fast.added, fast.removed, fast.changed),
                std::tie(plain.added, plain.removed, plain.changed))
          << "step " << step;
      // Within a limit: the whole diff up to it, nothing past it.
      const size_t size = plain.added.size() + plain.removed.size() + plain.changed.size();
      for (const size_t limit : {size, size + 1, size == 0 ? size_t{0} : size - 1, size / 2}) {
        const std::optional<SnapshotDiff> bounded = diff_within(self, base, limit);
        ASSERT_EQ(bounded.has_value(), size <= limit) << "step " << step << ", limit " << limit;
        if (bounded) {
          ASSERT_EQ(std::tie(bounded->added, bounded->removed, bounded->changed),
                    std::tie(plain.added, plain.removed, plain.changed))
              << "step " << step;
        }
      }
    }
  }
  recount_all(store);  // restored state, later writes and all: the totals add up
  EXPECT_GT(taken.size(), 200u);
}

TEST(Snapshots, HistoryKeepsTheNewestAndIdsRunOn) {
  const std::pair<std::optional<uint64_t>, std::vector<uint64_t>> table[] = {
      {0, {}}, {2, {4, 5}}, {std::nullopt, {1, 2, 3, 4, 5}}};
  for (const auto& row : table) {
    const std::optional<uint64_t>& limit = row.first;
    const std::vector<uint64_t>& kept = row.second;  // a plain reference: lambdas below capture it
    Store store(limit);
    for (int i = 0; i < 5; ++i) snapshot(store);
    EXPECT_EQ(store.retained_snapshot_ids(), kept);
    // A snapshot that runs out of memory takes no id and leaves the history
    // as it was: the one that succeeds is next in line, after the last one
    // handed out.
    Store::SnapshotRef taken;
    fail_each_allocation(
        [&] { taken = snapshot(store); },
        [&](uint64_t n) { ASSERT_EQ(store.retained_snapshot_ids(), kept) << "allocation " << n; });
    EXPECT_EQ(taken->id, 6u);
    EXPECT_EQ(taken->parent, 5u);
    restore(store, *taken);
    EXPECT_EQ(snapshot(store)->parent, 6u) << "restore moved the parent chain";
  }
}

// Whether dropping a store or a record is short work, beside what else
// keeps its contents: the drop is long only where it frees the entries.
TEST(Snapshots, DropCostCountsOnlyWhatDies) {
  enum Held { none, by_caller, by_history };
  // (entries, who holds a snapshot, whether the store is cleared after it,
  // whether dropping the store is long)
  const std::tuple<int, Held, bool, bool> table[] = {
      {10, none, false, false},        {5000, none, false, true},      {5000, by_caller, false, false},
      {5000, by_history, false, true}, {5000, by_caller, true, false}, {5000, by_history, true, true},
  };
  for (const auto& [entries, held, cleared, long_drop] : table) {
    auto store = std::make_unique<Store>(held == none ? std::optional<uint64_t>(0) : std::nullopt);
    for (int i = 0; i < entries; ++i) set(*store, numbered("ns", i % 3), numbered("k", i), bytes("v"));
    Store::SnapshotRef kept = held == none ? nullptr : snapshot(*store);
    if (cleared) clear(*store);
    if (held == by_history) {
      EXPECT_TRUE(frees_little(kept)) << "the history keeps it: dropping this reference frees nothing";
      kept = nullptr;
    }
    EXPECT_EQ(!frees_little(store), long_drop) << entries << " entries, held " << held;
  }
}

}  // namespace
}  // namespace derirezaro::store
