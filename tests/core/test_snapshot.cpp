// Snapshots, restore and diff in the core. The diff that skips what two
// snapshots share must give exactly the lists of the plain walk, in the
// same order; a random history of writes, clears, restores (also of another
// store's snapshots) and snapshots of all of it checks that, and checks
// every snapshot against the contents it had when it was taken.
#include <random>
#include <string>
#include <vector>

#include "store/snapshot_diff.hpp"
#include "store/store.hpp"
#include "support.hpp"

namespace derirezaro::store {
namespace {

using namespace test;

// The plain walk: every entry of `from`, looked up in `to`.
void plain_walk(const ShardStates& from, const ShardStates& to, std::vector<EntryName>& out,
                std::vector<EntryName>* changed) {
  for (size_t i = 0; i < kShardCount; ++i) {
    from[i].contents.namespaces.for_each([&](std::string_view ns, const KeyMap& keys) {
      const KeyMap* other = to[i].contents.namespaces.find(ns);
      keys.for_each([&](std::string_view key, const SharedBytesRef& value) {
        const SharedBytesRef* theirs = other != nullptr ? other->find(key) : nullptr;
        if (theirs == nullptr) {
          out.push_back({ns, key});
        } else if (changed != nullptr && theirs->view() != value.view()) {
          changed->push_back({ns, key});
        }
      });
    });
  }
}

SnapshotDiff plain_diff(const SnapshotData& self, const SnapshotData& base) {
  SnapshotDiff out;
  plain_walk(self.shards, base.shards, out.added, &out.changed);
  plain_walk(base.shards, self.shards, out.removed, nullptr);
  return out;
}

// The whole content of a record, and its totals recounted.
Deep contents_of(const SnapshotData& data) {
  Deep out;
  uint64_t bytes = 0, entries = 0;
  for (const ShardState& shard : data.shards) {
    for (auto& [ns, keys] : deep(shard.contents.namespaces)) {
      for (const auto& [key, value] : keys) bytes += value.size();
      entries += keys.size();
      out.emplace(ns, std::move(keys));
    }
  }
  EXPECT_EQ(bytes, data.size_bytes);
  return out;
}

TEST(Snapshots, DiffSkipsSharedStructureAndMatchesThePlainWalk) {
  LeakCheck leaks;
  std::mt19937_64 rng(11);
  Store store(std::nullopt), other(std::nullopt);
  std::vector<std::pair<Store::SnapshotRef, Deep>> taken;  // each with what it held
  uint64_t last_id = 0;
  for (int step = 0; step < 4000; ++step) {
    const std::string ns = numbered("ns", rng() % 30), key = numbered("k", rng() % 60);
    Store& target = rng() % 8 == 0 ? other : store;
    const auto dice = rng() % 1000;
    if (dice < 600) {
      // Equal bytes in a new block now and then: changed only if the bytes differ.
      set(target, ns, key, bytes(numbered("v", rng() % 4)));
    } else if (dice < 850) {
      erase(target, ns, key);
    } else if (dice < 855) {
      for (size_t i = 0; i < kShardCount; ++i) {
        Shard::Writing shard = target.shard(i).write();
        target.take_all(shard);
      }
    } else if (dice < 875 && !taken.empty()) {
      restore(store, *taken[rng() % taken.size()].first);  // also of `other`'s snapshots
    } else if (dice < 940) {
      Store::SnapshotRef record = snapshot(target);
      if (&target == &store) {
        EXPECT_EQ(record->parent.value_or(0), last_id);
        last_id = record->id;
      }
      taken.emplace_back(record, contents_of(*record));
    }
    if (step % 97 == 96 && taken.size() >= 2) {
      for (int pair = 0; pair < 20; ++pair) {
        const SnapshotData& self = *taken[rng() % taken.size()].first;
        const SnapshotData& base = *taken[rng() % taken.size()].first;
        const SnapshotDiff fast = diff(self, base), plain = plain_diff(self, base);
        ASSERT_EQ(fast.added, plain.added) << "step " << step;
        ASSERT_EQ(fast.removed, plain.removed) << "step " << step;
        ASSERT_EQ(fast.changed, plain.changed) << "step " << step;
      }
      for (const auto& [record, held] : taken) ASSERT_EQ(contents_of(*record), held) << "a snapshot changed";
      // Restored state, later writes and all: the store's totals still add up.
      recount_all(store);
      recount_all(other);
    }
  }
  EXPECT_GT(taken.size(), 200u);
}

// Two snapshots around a handful of writes share nearly everything: the
// diff visits only the copied paths, not the 20,000 entries.
TEST(Snapshots, DiffCostFollowsTheChange) {
  Store store(std::nullopt);
  for (int i = 0; i < 20000; ++i) set(store, numbered("ns", i % 50), numbered("k", i), bytes("v"));
  const Store::SnapshotRef before = snapshot(store);
  set(store, "ns3", "k3", bytes("new"));
  erase(store, "ns4", "k4");
  set(store, "fresh", "k", bytes("v"));
  const Store::SnapshotRef after = snapshot(store);
  size_t visited = 0;
  for (size_t i = 0; i < kShardCount; ++i) {
    after->shards[i].contents.namespaces.for_each_entry_not_shared_with(
        before->shards[i].contents.namespaces, [&](const auto& ns) {
          const KeyMap* old = before->shards[i].contents.namespaces.find(ns.key.view());
          if (old == nullptr) return;
          ns.value.for_each_entry_not_shared_with(*old, [&](const auto&) { ++visited; });
        });
  }
  EXPECT_LT(visited, 200u);
  const SnapshotDiff change = diff(*after, *before);
  EXPECT_EQ(change.added, (std::vector<EntryName>{{"fresh", "k"}}));
  EXPECT_EQ(change.removed, (std::vector<EntryName>{{"ns4", "k4"}}));
  EXPECT_EQ(change.changed, (std::vector<EntryName>{{"ns3", "k3"}}));
}

TEST(Snapshots, HistoryKeepsTheNewestAndIdsRunOn) {
  for (const std::optional<uint64_t> limit :
       {std::optional<uint64_t>(0), std::optional<uint64_t>(2), std::optional<uint64_t>()}) {
    Store store(limit);
    for (int i = 0; i < 5; ++i) snapshot(store);
    const std::vector<uint64_t> expected = !limit        ? std::vector<uint64_t>{1, 2, 3, 4, 5}
                                           : *limit == 2 ? std::vector<uint64_t>{4, 5}
                                                         : std::vector<uint64_t>{};
    EXPECT_EQ(store.retained_snapshot_ids(), expected);
    restore(store, *snapshot(store));
    const Store::SnapshotRef next = snapshot(store);
    EXPECT_EQ(next->id, 7u);
    EXPECT_EQ(next->parent, 6u);
  }
}

// A restore that meets a poisoned shard fails before changing anything, and
// the write locks it took on the way are let go unpoisoned.
TEST(Snapshots, RestoreRefusesAPoisonedStoreAndChangesNothing) {
  LeakCheck leaks;
  Store store(std::nullopt), source(std::nullopt);
  for (int i = 0; i < 200; ++i) set(store, numbered("ns", i), "k", bytes("before"));
  for (int i = 0; i < 200; ++i) set(source, numbered("ns", i), "k", bytes("after!"));
  const Store::SnapshotRef wanted = snapshot(source);
  EXPECT_THROW(store.shard(9).write().change([](ShardContents&, std::atomic<uint64_t>&) { throw 7; }), int);
  const std::vector<Recount> healthy = [&] {
    std::vector<Recount> out;
    for (size_t i = 0; i < kShardCount; ++i) {
      if (i != 9) out.push_back(recount(store, i));
    }
    return out;
  }();
  const uint64_t total = store.size_bytes();
  EXPECT_THROW(restore(store, *wanted), ShardPoisoned);
  EXPECT_THROW(store.every_shard_for_writing().try_acquire(), ShardPoisoned);
  for (size_t i = 0, k = 0; i < kShardCount; ++i) {
    if (i == 9) continue;
    EXPECT_EQ(recount(store, i).namespaces, healthy[k++].namespaces) << "shard " << i << " changed";
    EXPECT_NO_THROW(store.shard(i).write()) << "shard " << i << " was poisoned";
  }
  EXPECT_EQ(store.size_bytes(), total);
}

}  // namespace
}  // namespace derirezaro::store
