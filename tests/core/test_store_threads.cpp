// The store's shards under concurrent readers and writers, through the real
// shard locks taken as the binding takes them: workers set, erase, find,
// list keys and namespaces and clear, on namespaces that overlap and that
// share shards, while another thread copies the shard maps under read locks
// as a snapshot does and keeps checking that its copies do not change.
// Afterwards every total must match a recount of the maps, and every stored
// value must be one that some thread wrote under that key. Meant to run
// under ThreadSanitizer as well, which sees any access to a shard's
// contents that its lock does not order.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "map_test_support.hpp"
#include "store/store.hpp"
#include "store_test_support.hpp"

namespace derirezaro::store {
namespace {

using namespace test_support;

constexpr int kWorkers = 3;
constexpr int kOpsPerWorker = 10000;  // at least; workers go on until the snapshots are all taken
constexpr int kSnapshots = 40;
constexpr int kKeys = 6;
constexpr size_t kMaxPadding = 60;

// Twelve namespaces: three shards hold three each, three more shards one
// each. Writers on different namespaces of one shard then contend for its
// lock, and clearing meets namespaces it did not expect.
std::vector<std::string> pick_namespaces() {
  std::map<size_t, std::vector<std::string>> by_shard;
  for (int n = 0; n < 400; ++n) {
    std::vector<std::string>& names = by_shard[shard_index(numbered("ns", n))];
    if (names.size() < 3) names.push_back(numbered("ns", n));
  }
  std::vector<std::string> out;
  int shards_used = 0;
  for (const auto& [index, names] : by_shard) {
    if (shards_used < 3) {
      out.insert(out.end(), names.begin(), names.end());
    } else if (shards_used < 6) {
      out.push_back(names.front());
    }
    ++shards_used;
  }
  return out;
}

// What a value written under (ns, key) starts with.
std::string value_prefix(const std::string& ns, int key) { return ns + "/" + numbered("k", key) + "/"; }

// The value thread `thread` writes in its operation `op`: unique, and of a
// length that varies so the byte totals do.
std::string value_for(const std::string& ns, int key, int thread, int op) {
  std::string value = value_prefix(ns, key) + numbered("t", thread) + numbered(".", op) + ";";
  value.append(static_cast<size_t>(op * 7 + thread) % (kMaxPadding + 1), static_cast<char>('a' + thread));
  return value;
}

// Errors found on any thread; gtest assertions stay on the main thread.
class Errors {
 public:
  void add(std::string error) {
    std::lock_guard guard(lock_);
    if (errors_.size() < 20) errors_.push_back(std::move(error));
  }
  std::vector<std::string> take() {
    std::lock_guard guard(lock_);
    return std::move(errors_);
  }

 private:
  std::mutex lock_;
  std::vector<std::string> errors_;  // guarded by lock_
};

using Deep = std::map<std::string, std::map<std::string, std::string>>;  // ns -> key -> value

Deep deep_contents(const NamespaceMap& namespaces) {
  Deep out;
  namespaces.for_each([&](std::string_view ns, const KeyMap& keys) {
    auto& into = out[std::string(ns)];
    keys.for_each([&](std::string_view key, const Bytes& value) { into[std::string(key)] = value.view(); });
  });
  return out;
}

// Checks one shard's recount against its totals and where its namespaces
// and values belong; says what is wrong, or nothing.
std::string check_shard(size_t index, const Deep& deep, uint64_t bytes, uint64_t entries) {
  uint64_t counted_bytes = 0;
  uint64_t counted_entries = 0;
  for (const auto& [ns, keys] : deep) {
    if (shard_index(ns) != index) return ns + " is in shard " + std::to_string(index);
    for (const auto& [key, value] : keys) {
      if (value.rfind(ns + "/" + key + "/", 0) != 0) return ns + "/" + key + " holds " + value;
      counted_bytes += value.size();
      ++counted_entries;
    }
  }
  if (counted_bytes != bytes) {
    return numbered("shard ", index) + numbered(" counts bytes ", bytes) +
           numbered(", holds ", counted_bytes);
  }
  if (counted_entries != entries) {
    return numbered("shard ", index) + numbered(" counts entries ", entries) +
           numbered(", holds ", counted_entries);
  }
  return {};
}

// A shard's map as a snapshot copies it, with what the shard held at that
// moment, recorded under the same read lock.
struct ShardCopy {
  NamespaceMap map;
  Deep recorded;
};

TEST(StoreThreads, TotalsAndCopiesHoldUnderConcurrentReadersAndWriters) {
  LeakCheck leaks;
  const std::vector<std::string> ns_pool = pick_namespaces();
  ASSERT_EQ(ns_pool.size(), 12u);
  const uint64_t max_entries = ns_pool.size() * kKeys;
  const uint64_t max_bytes = max_entries * 256;  // far above any value_for()

  Store store(std::nullopt);
  Errors errors;
  std::atomic<int> snapshots_taken{0};
  std::vector<std::set<std::string>> written(kWorkers);  // each worker's own, read after join
  std::vector<std::vector<ShardCopy>> snapshots;         // the snapshot thread's, read after join

  auto worker = [&](int id) {
    std::mt19937_64 rng(static_cast<uint64_t>(id) + 1);
    std::set<std::string>& mine = written[static_cast<size_t>(id)];
    for (int op = 0; op < kOpsPerWorker || snapshots_taken.load() < kSnapshots; ++op) {
      const std::string& ns = ns_pool[rng() % ns_pool.size()];
      const int key_index = static_cast<int>(rng() % kKeys);
      const std::string key = numbered("k", key_index);
      Shard& shard = store.shard_for(ns);
      const auto dice = rng() % 1000;
      if (dice < 400) {
        const std::string value = value_for(ns, key_index, id, op);
        mine.insert(value);
        const Bytes encoded = bytes(value);  // made before the lock, as the binding does
        write_shard(shard, [&](ShardContents& contents, std::atomic<uint64_t>& entries) {
          store.set(contents, entries, ns, key, encoded);
        });
      } else if (dice < 600) {
        write_shard(shard, [&](ShardContents& contents, std::atomic<uint64_t>& entries) {
          return store.erase(contents, entries, ns, key);
        });
      } else if (dice < 750) {
        const std::optional<Bytes> found =
            read_shard(shard, [&](const ShardContents& contents) { return Store::find(contents, ns, key); });
        if (found && found->view().rfind(value_prefix(ns, key_index), 0) != 0) {
          errors.add("find " + ns + "/" + key + " gave " + std::string(found->view()));
        }
      } else if (dice < 850) {
        const std::vector<Bytes> keys =
            read_shard(shard, [&](const ShardContents& contents) { return Store::keys(contents, ns); });
        std::set<std::string> seen;
        for (const Bytes& k : keys) {
          const std::string name(k.view());
          if (name.size() != 2 || name[0] != 'k' || name[1] < '0' || name[1] >= '0' + kKeys) {
            errors.add("keys of " + ns + " list " + name);
          }
          if (!seen.insert(name).second) errors.add("keys of " + ns + " list " + name + " twice");
        }
      } else if (dice < 900) {
        // All namespaces, one shard at a time, as the binding lists them.
        std::vector<Bytes> names;
        std::vector<size_t> from;
        for (size_t i = 0; i < Store::shard_count(); ++i) {
          read_shard(store.shard(i),
                     [&](const ShardContents& contents) { Store::append_namespaces(contents, names); });
          from.resize(names.size(), i);
        }
        std::set<std::string> seen;
        for (size_t n = 0; n < names.size(); ++n) {
          const std::string name(names[n].view());
          if (std::find(ns_pool.begin(), ns_pool.end(), name) == ns_pool.end())
            errors.add("unknown namespace " + name);
          if (shard_index(name) != from[n]) errors.add(name + numbered(" listed from shard ", from[n]));
          if (!seen.insert(name).second) errors.add("namespace " + name + " listed twice");
        }
      } else if (dice < 998) {
        // The lock-free totals: each shard's share is exact after each of
        // its writes, so the sum can never leave these bounds (a count that
        // ran below zero would wrap far past them).
        const uint64_t count = store.entry_count();
        const uint64_t size = store.size_bytes();
        if (count > max_entries) errors.add(numbered("entry count ", count));
        if (size > max_bytes) errors.add(numbered("size_bytes ", size));
      } else {
        for (size_t i = 0; i < Store::shard_count(); ++i) {
          write_shard(store.shard(i), [&](ShardContents& contents, std::atomic<uint64_t>& entries) {
            store.clear(contents, entries);
          });
        }
      }
    }
  };

  auto snapshotter = [&] {
    for (int round = 0; round < kSnapshots; ++round) {
      std::vector<ShardCopy> copy(Store::shard_count());
      for (size_t i = 0; i < Store::shard_count(); ++i) {
        Shard& shard = store.shard(i);
        uint64_t bytes = 0;
        uint64_t entries = 0;
        read_shard(shard, [&](const ShardContents& contents) {
          copy[i].map = contents.namespaces;
          copy[i].recorded = deep_contents(contents.namespaces);
          bytes = contents.bytes;
          entries = shard.entries();
        });
        if (std::string error = check_shard(i, copy[i].recorded, bytes, entries); !error.empty()) {
          errors.add("under the read lock: " + error);
        }
      }
      snapshots.push_back(std::move(copy));
      snapshots_taken.fetch_add(1);
      // The latest copies, while the workers write on.
      const size_t from = snapshots.size() > 6 ? snapshots.size() - 6 : 0;
      for (size_t s = from; s < snapshots.size(); ++s) {
        for (size_t i = 0; i < Store::shard_count(); ++i) {
          if (deep_contents(snapshots[s][i].map) != snapshots[s][i].recorded) {
            errors.add(numbered("snapshot ", s) + numbered(" changed in shard ", i));
          }
        }
      }
      if (round % 8 == 0) {
        for (const ShardCopy& shard_copy : snapshots.back()) {
          std::string why;
          if (!shard_copy.map.validate(&why)) errors.add("copy invalid: " + why);
        }
      }
    }
  };

  std::vector<std::thread> threads;
  for (int id = 0; id < kWorkers; ++id) threads.emplace_back(worker, id);
  threads.emplace_back(snapshotter);
  for (std::thread& thread : threads) thread.join();

  for (const std::string& error : errors.take()) ADD_FAILURE() << error;
  ASSERT_EQ(snapshots.size(), static_cast<size_t>(kSnapshots));

  std::set<std::string> every_write;
  for (const std::set<std::string>& mine : written) every_write.insert(mine.begin(), mine.end());
  uint64_t total_bytes = 0;
  uint64_t total_entries = 0;
  for (size_t i = 0; i < Store::shard_count(); ++i) {
    SCOPED_TRACE(numbered("shard ", i));
    Shard& shard = store.shard(i);
    read_shard(shard, [&](const ShardContents& contents) {
      EXPECT_TRUE(is_valid(contents.namespaces));
      const Deep deep = deep_contents(contents.namespaces);
      EXPECT_EQ(check_shard(i, deep, contents.bytes, shard.entries()), "");
      for (const auto& [ns, keys] : deep) {
        EXPECT_TRUE(is_valid(*contents.namespaces.find(ns)));
        for (const auto& [key, value] : keys) {
          EXPECT_EQ(every_write.count(value), 1u)
              << ns << "/" << key << " holds a value nobody wrote: " << value;
          total_bytes += value.size();
          ++total_entries;
        }
      }
    });
  }
  EXPECT_EQ(store.size_bytes(), total_bytes);
  EXPECT_EQ(store.entry_count(), total_entries);

  // Every copy still holds what its shard held when it was taken.
  for (size_t s = 0; s < snapshots.size(); ++s) {
    for (size_t i = 0; i < Store::shard_count(); ++i) {
      EXPECT_EQ(deep_contents(snapshots[s][i].map), snapshots[s][i].recorded)
          << "snapshot " << s << " shard " << i;
    }
  }
}

}  // namespace
}  // namespace derirezaro::store
