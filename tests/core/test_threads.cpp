// The store under threads, meant to run under ThreadSanitizer too: the
// shards through their real locks, and snapshots (map copies read and
// dropped while writers change the maps in place, where they own the
// nodes) and restores racing with writers.
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "store/store.hpp"
#include "support.hpp"

namespace derirezaro::store {
namespace {

using namespace test;

// One thread sets a counter in namespace "a" and then the same counter in
// "b", on another shard. Workers set, erase, find (trying the read lock
// first) and clear on namespaces that share shards, in both stores. One
// thread snapshots `store`: every snapshot is one moment, so it shows b
// equal to a or one behind. Another restores snapshots of either store into
// `restored`, a store of its own, so the counter stays monotonic. Afterwards
// each shard's totals, and each store's, match a recount of the maps.
TEST(Threads, ShardsSnapshotsAndRestoresUnderConcurrentWriters) {
  LeakCheck leaks;
  Store store(uint64_t{8}), restored(std::nullopt);
  ASSERT_NE(shard_index("a"), shard_index("b"));
  std::atomic<int> writing{3};  // the counter's writer and two workers, until each is done
  auto counter = [](const SnapshotData& data, std::string_view ns) {
    const KeyMap* keys = data.shards[shard_index(ns)].contents.namespaces.find(ns);
    return keys != nullptr && keys->contains("n") ? std::stoi(std::string(keys->find("n")->view())) : 0;
  };
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int n = 1; n <= 20000; ++n) {
      set(store, "a", "n", bytes(std::to_string(n)));
      set(store, "b", "n", bytes(std::to_string(n)));
    }
    --writing;
  });
  for (uint64_t seed = 1; seed <= 2; ++seed) {
    threads.emplace_back([&, seed] {
      std::mt19937_64 rng(seed);
      for (int op = 0; op < 20000; ++op) {
        Store& target = rng() % 2 == 0 ? store : restored;
        const std::string ns = numbered("ns", rng() % 24), key = numbered("k", rng() % 4);
        const SharedBytesRef value = bytes(std::string(rng() % 50, 'x'));  // made before the lock
        const auto dice = rng() % 1000;
        if (dice < 500) {
          set(target, ns, key, value);
        } else if (dice < 800) {
          erase(target, ns, key);
        } else if (dice < 998) {
          // A try that fails must leave the lock as it was.
          if (auto shard = target.shard_for(ns).try_read()) {
            Store::find(shard->contents(), ns, key);
          } else {
            Store::find(target.shard_for(ns).read().contents(), ns, key);
          }
        } else {
          for (size_t i = 0; i < Store::shard_count(); ++i) {  // only `restored`: `store` holds the counter
            NamespaceMap removed;
            {
              Shard::Writing shard = restored.shard(i).write();
              removed = restored.take_all(shard);
            }  // freed after the lock is let go, as the binding does
          }
        }
      }
      --writing;
    });
  }
  threads.emplace_back([&] {
    for (int taken = 0; writing.load() > 0 || taken < 100; ++taken) {
      const Store::SnapshotRef record = snapshot(store);
      const int a = counter(*record, "a"), b = counter(*record, "b");
      EXPECT_TRUE(b == a || b == a - 1) << "a=" << a << " b=" << b;
    }
  });
  threads.emplace_back([&] {
    std::vector<Store::SnapshotRef> kept;
    for (std::mt19937_64 rng(9); writing.load() > 0;) {
      kept.push_back(snapshot(rng() % 2 == 0 ? store : restored));
      restore(restored, *kept[rng() % kept.size()]);
    }
  });
  for (std::thread& thread : threads) thread.join();
  recount_all(store);
  recount_all(restored);
}

}  // namespace
}  // namespace derirezaro::store
