// The sharing patterns under threads, meant to run under ThreadSanitizer
// too: copies of a map read and dropped while one thread writes in place,
// the store's shards through their real locks, and snapshots and restores
// racing with writers.
#include <atomic>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "store/store.hpp"
#include "support.hpp"

namespace derirezaro::store {
namespace {

using namespace test;

// Every write sets all five keys of one namespace to one new value, so a
// consistent copy shows one value per namespace.
void expect_untorn(const NamespaceMap& copy) {
  for (const auto& [ns, keys] : deep(copy)) {
    EXPECT_EQ(keys.size(), 5u) << ns << " has a partial write";
    for (const auto& [key, value] : keys) EXPECT_EQ(value, keys.begin()->second) << ns << "/" << key;
  }
}

// One writer changes the map under a write lock, in place where it owns the
// nodes, while readers copy it under a read lock, then read and drop their
// copies with no lock. ThreadSanitizer checks that the node counts order
// every read of a node before the in-place writes a count of one permits.
TEST(Threads, MapCopiesAreReadAndDroppedWhileOneThreadWrites) {
  LeakCheck leaks;
  std::shared_mutex lock;
  NamespaceMap shared(HashSeed{1, 1});  // guarded by `lock`
  std::atomic<int> copies{0};
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::mt19937_64 rng(1);
    for (int write = 1; write <= 3000 || copies.load() < 300; ++write) {
      const std::string ns = numbered("ns", rng() % 12);
      const SharedBytesRef value = bytes(numbered("w", write));  // made outside the lock, as the store does
      std::unique_lock guard(lock);
      if (write % 400 == 0) {
        shared.erase(ns);
        continue;
      }
      KeyMap fresh;
      KeyMap* keys = shared.find_for_update(ns);
      for (int k = 0; k < 5; ++k)
        (keys != nullptr ? keys : &fresh)->insert_or_assign(numbered("k", k), value);
      if (keys == nullptr) shared.insert_or_assign(ns, std::move(fresh));
    }
    stop = true;
  });
  std::vector<std::thread> readers;
  for (int id = 0; id < 3; ++id) {
    readers.emplace_back([&] {
      std::vector<NamespaceMap> kept;  // each checked again once the writer has gone on
      while (!stop.load()) {
        {
          std::shared_lock guard(lock);
          kept.push_back(shared);
        }
        expect_untorn(kept.back());
        copies.fetch_add(1);
        if (kept.size() == 4) {
          expect_untorn(kept.front());
          kept.erase(kept.begin());
        }
      }
    });
  }
  writer.join();
  for (std::thread& reader : readers) reader.join();
  expect_untorn(shared);
}

// Workers set, erase, find and clear on namespaces that share shards,
// through the shard locks. Afterwards each shard's totals must match a
// recount of its maps, and the store's lock-free totals their sum. (Shard
// maps copied while writers write are the pattern above.)
TEST(Threads, StoreShardsUnderConcurrentReadersAndWriters) {
  LeakCheck leaks;
  Store store(std::nullopt);
  auto worker = [&](uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (int op = 0; op < 20000; ++op) {
      const std::string ns = numbered("ns", rng() % 24), key = numbered("k", rng() % 4);
      const SharedBytesRef value = bytes(std::string(rng() % 50, 'x'));  // made before the lock
      const auto dice = rng() % 1000;
      if (dice < 500) {
        Shard::Writing shard = store.shard_for(ns).write();
        store.set(shard, ns, key, value);
      } else if (dice < 800) {
        Shard::Writing shard = store.shard_for(ns).write();
        store.erase(shard, ns, key);
      } else if (dice < 998) {
        // A try that fails must leave the lock as it was.
        if (auto shard = store.shard_for(ns).try_read()) {
          Store::find(shard->contents(), ns, key);
        } else {
          Store::find(store.shard_for(ns).read().contents(), ns, key);
        }
      } else {
        for (size_t i = 0; i < Store::shard_count(); ++i) {
          NamespaceMap removed;
          {
            Shard::Writing shard = store.shard(i).write();
            removed = store.take_all(shard);
          }  // freed after the lock is let go, as the binding does
        }
      }
    }
  };
  std::vector<std::thread> threads;
  for (uint64_t seed = 1; seed <= 4; ++seed) threads.emplace_back(worker, seed);
  for (std::thread& thread : threads) thread.join();

  recount_all(store);
}

// One writer sets a counter in namespace "a" and then the same counter in
// "b", on another shard, while other threads snapshot and restore: every
// snapshot is one moment, so it shows b equal to a or one behind. Restores
// (of snapshots of the same store) race with the writers too; afterwards
// each shard's totals, and the store's, match a recount of the maps.
TEST(Threads, SnapshotsAreOneMomentAndRestoreKeepsTheTotals) {
  LeakCheck leaks;
  Store store(uint64_t{8});
  ASSERT_NE(shard_index("a"), shard_index("b"));
  std::atomic<bool> stop{false};
  auto counter_of = [](const SnapshotData& data, std::string_view ns) -> int {
    const KeyMap* keys = data.shards[shard_index(ns)].contents.namespaces.find(ns);
    const SharedBytesRef* value = keys != nullptr ? keys->find("n") : nullptr;
    return value != nullptr ? std::stoi(std::string(value->view())) : 0;
  };
  std::thread counter([&] {
    for (int n = 1; n <= 20000; ++n) {
      set(store, "a", "n", bytes(std::to_string(n)));
      set(store, "b", "n", bytes(std::to_string(n)));
    }
    stop = true;
  });
  // Restores target a store of their own, so the counter stays monotonic;
  // the writers below write to both.
  Store restored(std::nullopt);
  std::thread noise([&] {
    std::mt19937_64 rng(5);
    while (!stop.load()) {
      Store& target = rng() % 2 == 0 ? store : restored;
      const std::string ns = numbered("ns", rng() % 40);
      if (rng() % 3 == 0) {
        erase(target, ns, "k");
      } else {
        set(target, ns, "k", bytes(std::string(rng() % 30, 'x')));
      }
    }
  });
  std::thread snapshots([&] {
    int taken = 0;
    while (!stop.load() || taken < 100) {
      const Store::SnapshotRef record = snapshot(store);
      const int a = counter_of(*record, "a"), b = counter_of(*record, "b");
      EXPECT_TRUE(b == a || b == a - 1) << "a=" << a << " b=" << b;
      ++taken;
    }
  });
  std::thread restorer([&] {
    std::mt19937_64 rng(9);
    std::vector<Store::SnapshotRef> kept;
    while (!stop.load()) {
      kept.push_back(snapshot(rng() % 2 == 0 ? store : restored));
      restore(restored, *kept[rng() % kept.size()]);
    }
  });
  for (std::thread* thread : {&counter, &noise, &snapshots, &restorer}) thread->join();
  recount_all(store);
  recount_all(restored);
}

}  // namespace
}  // namespace derirezaro::store
