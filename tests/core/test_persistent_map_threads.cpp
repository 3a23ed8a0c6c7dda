// The store's sharing pattern under threads: one writer mutates the shared
// map under a write lock (in place where it owns the nodes), while readers
// take copies under a read lock, read them with no lock at all, and drop
// them, some on other threads than the ones that made them. Meant to run
// under ThreadSanitizer too, which checks that the node counts order every
// read of a node before the in-place writes the count then permits.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "map_test_support.hpp"

namespace derirezaro::store {
namespace {

using namespace test_support;

using KeyMap = PersistentMap<Bytes>;
using NamespaceMap = PersistentMap<KeyMap>;

constexpr int kNamespaces = 12;
constexpr int kKeysPerNamespace = 5;
constexpr int kWrites = 3000;
constexpr int kCopies = 300;  // the writer keeps going until readers have checked this many

// Every write sets all keys of one namespace to one new value under the
// lock, so a consistent copy shows, per namespace, all keys with one value.
std::string check_copy(const NamespaceMap& copy) {
  std::string error;
  copy.for_each([&](std::string_view ns, const KeyMap& keys) {
    if (keys.size() != kKeysPerNamespace) error = std::string(ns) + " has a partial write";
    const Bytes* first = keys.find("k0");
    keys.for_each([&](std::string_view key, const Bytes& value) {
      if (first == nullptr || value.view() != first->view())
        error = std::string(ns) + "/" + std::string(key) + " torn";
    });
  });
  return error;
}

TEST(PersistentMapThreads, CopiesAreReadAndDroppedWhileOneThreadWrites) {
  LeakCheck leaks;
  std::shared_mutex lock;
  NamespaceMap shared(HashSeed{1, 1});  // guarded by `lock`
  std::atomic<bool> stop{false};
  std::atomic<int> copies_checked{0};
  std::mutex errors_lock;
  std::vector<std::string> errors;  // guarded by errors_lock
  std::mutex box_lock;
  std::vector<NamespaceMap> box;  // copies handed between readers; guarded by box_lock

  auto report = [&](std::string error) {
    std::lock_guard guard(errors_lock);
    errors.push_back(std::move(error));
  };

  std::thread writer([&] {
    std::mt19937_64 rng(1);
    for (int write = 1; write <= kWrites || copies_checked.load() < kCopies; ++write) {
      const std::string ns = numbered("ns", rng() % kNamespaces);
      const Bytes value = bytes(numbered("w", write));  // made outside the lock, as the store does
      std::unique_lock guard(lock);
      if (write % 400 == 0) {
        shared.erase(ns);
        continue;
      }
      KeyMap* keys = shared.find_for_update(ns);
      if (keys == nullptr) {
        KeyMap fresh;
        for (int k = 0; k < kKeysPerNamespace; ++k) fresh.insert_or_assign(numbered("k", k), value);
        shared.insert_or_assign(ns, std::move(fresh));
      } else {
        for (int k = 0; k < kKeysPerNamespace; ++k) keys->insert_or_assign(numbered("k", k), value);
      }
    }
    stop = true;
  });

  std::vector<std::thread> readers;
  for (int id = 0; id < 3; ++id) {
    readers.emplace_back([&, id] {
      std::vector<NamespaceMap> kept;
      int round = 0;
      while (!stop.load()) {
        ++round;
        NamespaceMap copy(HashSeed{});
        {
          std::shared_lock guard(lock);
          copy = shared;
        }
        if (std::string error = check_copy(copy); !error.empty()) report(error);
        if (round % 16 == 0) {
          std::string why;
          if (!copy.validate(&why)) report(why);
        }
        copies_checked.fetch_add(1, std::memory_order_relaxed);
        kept.push_back(std::move(copy));
        if (kept.size() > 4) {
          // Reader 0 drops what the others made; they hand theirs over.
          std::lock_guard guard(box_lock);
          if (id == 0) {
            box.clear();
            kept.erase(kept.begin());
          } else {
            box.push_back(std::move(kept.front()));
            kept.erase(kept.begin());
          }
        }
      }
      for (const NamespaceMap& old : kept) {
        if (std::string error = check_copy(old); !error.empty()) report("kept copy: " + error);
      }
    });
  }
  writer.join();
  for (std::thread& reader : readers) reader.join();
  box.clear();

  EXPECT_TRUE(errors.empty()) << errors.front();
  EXPECT_GE(copies_checked.load(), kCopies);
  EXPECT_EQ(check_copy(shared), "");
  EXPECT_TRUE(is_valid(shared));
}

}  // namespace
}  // namespace derirezaro::store
