// Where the store keeps what. SipHash-1-3 places a namespace in its shard,
// the same shard in every process (pytest checks each namespace's shard
// against the interpreter's hash). The entry operations run on the locked
// shards as the binding runs them (each through its shard's lock guard):
// byte and entry accounting against a model over a random history, with
// snapshots of shard maps held and allocations failing, and what a
// poisoned shard refuses. Nothing recounts the totals that len()
// and the byte total rest on, so the checks here recount them from the maps.
#include <random>
#include <vector>

#include "store/store.hpp"
#include "support.hpp"

namespace derirezaro::store {
namespace {

using namespace test;

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

// Random sets (new namespaces and keys, longer, shorter and empty values),
// erases (present, absent, a namespace's last key: the namespace stays),
// clears of a shard, and copies of shard maps held as a snapshot holds
// them. One set or erase in eight runs with each of its allocations
// failing in turn: every failure leaves the shard and the totals as they
// were, and the shard unpoisoned. A set repeated on the path it has just
// made exclusive allocates nothing.
TEST(StoreModel, AccountingMatchesModel) {
  LeakCheck leaks;
  std::mt19937_64 rng(3);
  std::vector<std::string> names = {"", "ns"};  // then short names, and long ones of arbitrary bytes
  while (names.size() < 40) {
    names.push_back(numbered("ns", rng() % 1000));
    if (rng() % 4 == 0) names.back() += std::string(rng() % 40, static_cast<char>(0x80 + rng() % 0x80));
  }
  Store store(std::nullopt);
  Deep model;

  for (int step = 0; step < 6000; ++step) {
    const std::string& ns = names[rng() % names.size()];
    const std::string& key = names[rng() % 12];
    const size_t index = shard_index(ns);
    const auto dice = rng() % 100;
    if (dice < 2) {
      Shard::Writing shard = store.shard(index).write();
      store.take_all(shard);
      std::erase_if(model, [&](const auto& entry) { return shard_index(entry.first) == index; });
    } else {
      std::string value = numbered("v", step);
      value.resize(rng() % 2 ? rng() % 3 : rng() % 300, '.');
      const SharedBytesRef encoded = bytes(value);  // made before the lock, as the binding does
      const bool present = model.count(ns) != 0 && model[ns].count(key) != 0;
      auto write = [&] {
        if (dice < 60) return set(store, ns, key, encoded);
        ASSERT_EQ(erase(store, ns, key), present);
      };
      if (rng() % 8 == 0) {
        const uint64_t size = store.size_bytes(), count = store.entry_count();
        fail_each_allocation(write, [&](uint64_t n) {
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
    if (step % 300 == 299) {
      const std::vector<Recount> shards = recount_all(store);
      for (size_t i = 0; i < shards.size(); ++i) EXPECT_EQ(shards[i].namespaces, in_shard(model, i)) << i;
      ASSERT_FALSE(HasFailure()) << "step " << step;
    }
  }
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
