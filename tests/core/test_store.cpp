// Where the store keeps what. SipHash-1-3 places a namespace in its shard,
// the same shard in every process (pytest checks each namespace's shard
// against the interpreter's hash). The entry operations, snapshots,
// restores and diffs run on the locked shards as the binding runs them
// (each through its shard's lock guards): contents and byte and entry
// accounting against a model over a random history, with allocations
// failing, and what a poisoned shard refuses. Nothing recounts the totals
// that len() and the byte total rest on, so the checks here recount them
// from the maps.
#include <algorithm>
#include <optional>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "store/snapshot_diff.hpp"
#include "store/store.hpp"
#include "support.hpp"

namespace derirezaro::store {
namespace {

using namespace test;
using Names = std::vector<EntryName>;

// Expected values from the interpreter's own SipHash-1-3,
// _imp.source_hash(k0, data) with k1 = 0, as little-endian numbers, over
// the first n bytes of 00 01 02 ...: every tail length of one and of two
// blocks, whole blocks, and a first key.
TEST(StoreShards, SipHashMatchesTheInterpreter) {
  constexpr uint64_t kZeroKeys[] = {0xd1fba762150c532cull, 0x68a914128e01e473ull, 0x010bac45c41e3669ull,
                                    0x4d4c9a4a8ef6e0adull, 0x7cc43f98813e4dbdull, 0x5abe2169dff36275ull,
                                    0xe3c25f87624f1cdbull, 0x2f098ab0c751325aull, 0xead411e67ebe2eeaull,
                                    0x75927f9d95124362ull, 0xaf9f77a65ab51a1dull, 0xfe64ce8b6617fcffull,
                                    0xa6baf4fb0f9fe1c2ull, 0xa0cf3211850f8e0dull, 0x7f86049379fbfe67ull,
                                    0xf30eb725bb91c9eaull, 0x8972188433a5c5b7ull};
  uint8_t pattern[64];
  for (uint8_t i = 0; i < 64; ++i) pattern[i] = i;
  for (size_t n = 0; n < std::size(kZeroKeys); ++n) EXPECT_EQ(siphash13(0, 0, pattern, n), kZeroKeys[n]) << n;
  EXPECT_EQ(siphash13(0, 0, pattern, 64), 0x75e05fd5bbc870c6ull);
  EXPECT_EQ(siphash13(1, 0, pattern, 15), 0x535280d545ebc696ull);
  EXPECT_EQ(siphash13(0x0706050403020100ull, 0, pattern, 15), 0x7f501f340ece0c62ull);
}

// The model's namespaces that belong in shard `index`.
Deep in_shard(Deep model, size_t index) {
  std::erase_if(model, [&](const auto& entry) { return shard_index(entry.first) != index; });
  return model;
}

// The diff's oracle, the plain walk: every entry of `from`, looked up in `to`.
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

// Three stores, each against a model, over random sets (new namespaces and
// keys; longer, shorter, empty and equal values in new blocks), erases
// (present, absent, a namespace's last key: the namespace stays), clears of
// a shard, snapshots, and restores (also of other stores' snapshots). One
// set, erase or snapshot in eight runs with each of its allocations failing
// in turn: every failure leaves the shard, the totals and the history as
// they were, and the shard unpoisoned; a snapshot that fails takes no id.
// A set repeated on the path it has just made exclusive allocates nothing.
// Ids run on from the last one handed out, whatever was restored since, and
// the history keeps the newest, up to the store's limit. Every shard is
// recounted against the model now and then; and the diff that skips what
// two snapshots share gives exactly the lists of the plain walk, in the
// same order, whole or within a limit.
TEST(StoreModel, StoresSnapshotsAndRestoresMatchTheirModels) {
  LeakCheck leaks;
  std::mt19937_64 rng(3);
  std::vector<std::string> names = {"", "ns"};  // then short names, and long ones of arbitrary bytes
  while (names.size() < 60) {
    names.push_back(numbered("ns", rng() % 1000));
    if (rng() % 4 == 0) names.back() += std::string(rng() % 40, static_cast<char>(0x80 + rng() % 0x80));
  }
  const std::optional<uint64_t> limits[] = {std::nullopt, 2, 0};
  Store stores[] = {Store(limits[0]), Store(limits[1]), Store(limits[2])};
  Deep models[3];
  std::vector<uint64_t> ids[3];   // those each store has handed out
  std::vector<uint64_t> kept[3];  // those of them its history was asked to keep
  std::vector<std::pair<Store::SnapshotRef, Deep>> taken;

  for (int step = 0; step < 6000; ++step) {
    const size_t which = rng() % 8 == 0 ? 1 + rng() % 2 : 0;
    Store& store = stores[which];
    Deep& model = models[which];
    const std::string &ns = names[rng() % 30], &key = names[rng() % names.size()];
    const size_t index = shard_index(ns);
    const auto dice = rng() % 100;
    if (dice < 2) {
      Shard::Writing shard = store.shard(index).write();
      store.take_all(shard);
      std::erase_if(model, [&](const auto& entry) { return shard_index(entry.first) == index; });
    } else if (dice < 4 && !taken.empty()) {
      const auto& [record, held] = taken[rng() % taken.size()];
      restore(store, *record);
      model = held;
    } else if (dice < 10) {
      const std::vector<uint64_t> retained_before = store.retained_snapshot_ids();
      const bool keep = rng() % 4 != 0;  // else numbered alike, and left out of the history
      Store::SnapshotRef record;
      const auto take = [&] { record = snapshot(store, keep); };
      if (rng() % 8 == 0) {
        fail_each_allocation(
            take, [&](int64_t n) { ASSERT_EQ(store.retained_snapshot_ids(), retained_before) << n; });
      } else {
        take();
      }
      EXPECT_EQ(record->parent, ids[which].empty() ? std::nullopt : std::optional(ids[which].back()));
      ids[which].push_back(record->id);
      EXPECT_EQ(record->id, ids[which].size());
      if (keep) kept[which].push_back(record->id);
      const size_t retained = std::min<size_t>(kept[which].size(), limits[which].value_or(SIZE_MAX));
      EXPECT_EQ(store.retained_snapshot_ids(), std::vector(kept[which].end() - retained, kept[which].end()));
      taken.emplace_back(std::move(record), model);
    } else {
      std::string value = numbered("v", rng() % 4);
      if (rng() % 4 == 0) value.resize(rng() % 300, '.');
      const SharedBytesRef encoded = bytes(value);  // made before the lock, as the binding does
      const bool present = model.count(ns) != 0 && model[ns].count(key) != 0;
      auto write = [&] {
        if (dice < 60) return set(store, ns, key, encoded);
        ASSERT_EQ(erase(store, ns, key), present);
      };
      if (rng() % 8 == 0) {
        const uint64_t size = store.size_bytes(), count = store.entry_count();
        fail_each_allocation(write, [&](int64_t n) {
          EXPECT_NO_THROW(EXPECT_EQ(recount(store, index).namespaces, in_shard(model, index)))
              << "allocation " << n << " failed";
          EXPECT_EQ(store.size_bytes(), size);
          EXPECT_EQ(store.entry_count(), count);
        });
      } else {
        write();
      }
      if (dice < 60) {
        model[ns][key] = value;
        EXPECT_TRUE(allocates_nothing([&] { set(store, ns, key, encoded); })) << "a repeated set allocated";
      } else if (present) {
        model[ns].erase(key);
      }
    }
    for (size_t s = 0; step % 300 == 299 && s < 3; ++s) {
      const std::vector<Recount> shards = recount_all(stores[s]);
      for (size_t i = 0; i < shards.size(); ++i) EXPECT_EQ(shards[i].namespaces, in_shard(models[s], i)) << i;
    }
    for (int pair = 0; step % 97 == 96 && pair < 20 && !taken.empty(); ++pair) {
      const SnapshotData& self = *taken[rng() % taken.size()].first;
      const SnapshotData& base = *taken[rng() % taken.size()].first;
      SnapshotDiff plain;
      plain_walk(self.shards, base.shards, plain.added, &plain.changed);
      plain_walk(base.shards, self.shards, plain.removed, nullptr);
      const size_t size = plain.added.size() + plain.removed.size() + plain.changed.size();
      for (const size_t limit : {SIZE_MAX, size, size + 1, size == 0 ? size_t{0} : size - 1, size / 2}) {
        const std::optional<SnapshotDiff> fast =
            limit == SIZE_MAX ? diff(self, base) : diff_within(self, base, limit);
        ASSERT_EQ(fast.has_value(), size <= limit) << "limit " << limit;
        if (fast) {
          ASSERT_EQ(std::tie(fast->added, fast->removed, fast->changed),
                    std::tie(plain.added, plain.removed, plain.changed));
        }
      }
    }
    ASSERT_FALSE(HasFailure()) << "step " << step;
  }
  EXPECT_GT(taken.size(), 300u);
}

// A change that fails with anything but std::bad_alloc has broken an
// invariant halfway: its shard refuses every later guard and count, for
// good, while the other shards go on; so does a restore, before it changes
// anything. (The model above
// shows that running out of memory poisons nothing.)
TEST(StoreModel, FailingWorkPoisonsOnlyItsShard) {
  LeakCheck leaks;
  Store store(std::nullopt), source(std::nullopt);
  for (int i = 0; i < 200; ++i) set(store, numbered("ns", i), "k", bytes("before"));
  for (int i = 0; i < 200; ++i) set(source, numbered("ns", i), "k", bytes("after!"));
  Shard& shard = store.shard(9);
  EXPECT_THROW(shard.write().change([](ShardContents&, std::atomic<uint64_t>&) { throw 7; }), int);
  // Each refusal must let the lock go again, or the next one would wait
  // for ever (or, when trying, report the lock busy instead).
  for (int round = 0; round < 2; ++round) {
    EXPECT_THROW(shard.read(), ShardPoisoned);
    EXPECT_THROW(shard.write(), ShardPoisoned);
    EXPECT_THROW(shard.try_read(), ShardPoisoned);
    EXPECT_THROW(shard.try_write(), ShardPoisoned);
    EXPECT_THROW(store.entry_count(), ShardPoisoned);
  }
  // A restore meets the poisoned shard after taking the write locks of
  // shards 0 to 8: it changes nothing and lets them go unpoisoned.
  std::vector<Deep> healthy;
  for (size_t i = 0; i < 9; ++i) healthy.push_back(recount(store, i).namespaces);
  const uint64_t total = store.size_bytes();
  EXPECT_THROW(restore(store, *snapshot(source)), ShardPoisoned);
  EXPECT_EQ(store.size_bytes(), total);
  for (size_t i = 0; i < 9; ++i) {
    EXPECT_EQ(recount(store, i).namespaces, healthy[i]) << "shard " << i << " changed";
    Shard::Writing writing = store.shard(i).write();
    EXPECT_NO_THROW(store.take_all(writing)) << "shard " << i << " was poisoned";
  }
}

}  // namespace
}  // namespace derirezaro::store
