// The persistent map against std::unordered_map over long random histories
// in which several copies of one map live and change side by side, with
// failed allocations, under hashers from a real one to a constant; then
// what nodes and byte blocks cost.
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "support.hpp"

namespace derirezaro::store {
namespace {

using namespace test;

std::optional<std::string> seen(const SharedBytesRef* value) {
  return value != nullptr ? std::optional<std::string>(value->view()) : std::nullopt;
}

template <class Hasher>
class PersistentMapModel : public ::testing::Test {};
using Hashers = ::testing::Types<SeededSipHash, FewBitsHash, ConstantHash>;
TYPED_TEST_SUITE(PersistentMapModel, Hashers);

// Random inserts (through either key overload), overwrites, erases and
// updates in place over up to six versions that are copied, assigned,
// dropped and cleared. One write in four runs with each of its allocations
// failing in turn: every failure must leave the version exactly as it was
// (and, says LeakCheck, leak nothing). After every write its key is
// looked up in every version, so a write that leaks into a copy shows. And
// the promise snapshots rest on: a write leaves its path exclusively owned,
// so writing there again allocates nothing; an absent key copies nothing.
// Beside them, the two walks that lean on sharing: the one that skips what
// another version shares, and the weighing of a drop.
TYPED_TEST(PersistentMapModel, RandomHistoryAcrossCopies) {
  using Map = PersistentMap<SharedBytesRef, TypeParam>;
  struct Version {
    Map map;
    std::unordered_map<std::string, std::string> model;
  };
  LeakCheck leaks;
  std::mt19937_64 rng(11);
  std::vector<std::string> pool = {"", "a"};  // then short keys, and long ones of arbitrary bytes
  while (pool.size() < (std::is_same_v<TypeParam, SeededSipHash> ? 400u : 60u)) {
    std::string key(rng() % 3 == 0 ? rng() % 40 : rng() % 6 + 1, '\0');
    for (char& c : key) c = static_cast<char>(rng() % 4 == 0 ? rng() : 'a' + rng() % 26);
    pool.push_back(key);
  }
  std::vector<Version> versions(1, Version{Map(HashSeed{rng(), rng()}), {}});

  for (int step = 0; step < 6000; ++step) {
    const size_t which = rng() % versions.size();
    Version& v = versions[which];
    const std::string& key = pool[rng() % pool.size()];
    const std::string value = numbered("v", step);
    const auto dice = rng() % 100;
    if (dice < 4 && versions.size() < 6) {
      versions.push_back(v);
    } else if (dice < 6) {
      versions[rng() % versions.size()] = v;
    } else if (dice < 8 && versions.size() > 1) {
      // A drop weighed as short frees no more nodes than the weighing spent.
      size_t budget = rng() % 64;
      const size_t given = budget;
      const bool short_drop = v.map.drop_frees_at_most(budget);
      const int64_t nodes_before = PersistentMapStats::live_nodes();
      versions.erase(versions.begin() + static_cast<long>(which));
      if (short_drop) {
        EXPECT_LE(nodes_before - PersistentMapStats::live_nodes(), int64_t(given - budget));
      }
    } else if (dice < 9) {
      const HashSeed seed = v.map.seed();
      v.map.clear();
      v.model.clear();
      EXPECT_EQ(v.map.seed(), seed);
      EXPECT_NE(Map().seed(), seed);
    }
    if (dice < 10) continue;
    const auto it = v.model.find(key);
    const std::optional<std::string> old = it != v.model.end() ? std::optional(it->second) : std::nullopt;
    auto write = [&] {
      SharedBytesRef block = bytes(value);  // made before the map is touched
      if (dice < 55) {
        const auto replaced =
            dice % 2 ? v.map.insert_or_assign(key, block) : v.map.insert_or_assign(bytes(key), block);
        ASSERT_EQ(seen(replaced ? &*replaced : nullptr), old);
        v.model[key] = value;
        EXPECT_TRUE(allocates_nothing([&] { v.map.insert_or_assign(key, block); }));
      } else if (dice < 75) {
        const auto removed = v.map.erase(key);
        ASSERT_EQ(seen(removed ? &removed->value : nullptr), old);
        ASSERT_EQ(seen(removed ? &removed->key : nullptr), old ? std::optional(key) : std::nullopt);
        if (removed) v.model.erase(it);
        EXPECT_TRUE(allocates_nothing([&] { v.map.erase(key); }));
      } else if (dice < 90) {
        SharedBytesRef* slot = v.map.find_for_update(key);
        ASSERT_EQ(seen(slot), old);
        EXPECT_TRUE(allocates_nothing([&] { slot = v.map.find_for_update(key); }));
        if (slot == nullptr) return;
        *slot = std::move(block);
        it->second = value;
      }  // else only the lookups below
    };
    if (rng() % 4 == 0) {
      const auto before = contents(v.map);
      fail_each_allocation(write, [&](uint64_t n) {
        ASSERT_EQ(contents(v.map), before) << "step " << step << ", allocation " << n << " failed";
      });
    } else {
      write();
    }
    for (const Version& other : versions) {
      const auto in_model = other.model.find(key);
      ASSERT_EQ(seen(other.map.find(key)),
                in_model != other.model.end() ? std::optional(in_model->second) : std::nullopt)
          << "step " << step << " key " << key;
      ASSERT_EQ(other.map.size(), other.model.size()) << "step " << step;
      if (step % 500 == 0) {
        ASSERT_EQ(contents(other.map), std::map(other.model.begin(), other.model.end())) << "step " << step;
      }
    }
    if (step % 20 == 0) {
      // The walk that skips shared subtrees visits real entries, each once,
      // and every one that another version lacks or holds differently.
      const Version& other = versions[rng() % versions.size()];
      std::map<std::string, std::string> visited;
      v.map.for_each_entry_not_shared_with(other.map, [&](const auto& entry) {
        ASSERT_TRUE(visited.emplace(entry.key.view(), entry.value.view()).second) << "visited twice";
      });
      for (const auto& [k, held] : visited) ASSERT_EQ(v.model.at(k), held) << "step " << step;
      for (const auto& [k, held] : v.model) {
        const auto theirs = other.model.find(k);
        if (theirs == other.model.end() || theirs->second != held) {
          ASSERT_EQ(visited.count(k), 1u) << "step " << step << " missed " << k;
        }
      }
    }
  }
}

// A map built in one go is the map inserting its entries in order gives,
// node for node (dump() shows the exact tree, collision-list order
// included), with the last value of a repeated key; a build whose every
// allocation fails in turn leaks nothing.
TYPED_TEST(PersistentMapModel, BuildingInOneGoGivesTheInsertedTree) {
  using Map = PersistentMap<SharedBytesRef, TypeParam>;
  LeakCheck leaks;
  std::mt19937_64 rng(5);
  for (size_t size : {0u, 1u, 2u, 3u, 40u, 700u}) {
    const HashSeed seed{rng(), rng()};
    std::vector<typename Map::Entry> entries;
    Map inserted(seed);
    for (size_t i = 0; i < size; ++i) {
      const std::string key = numbered("k", rng() % (size + size / 4 + 1));  // some keys repeat
      const std::string value = numbered("v", i);
      entries.push_back({bytes(key), bytes(value)});
      inserted.insert_or_assign(key, bytes(value));
    }
    std::vector<typename Map::Entry> copy = entries;
    const Map built = Map::from_entries(seed, std::move(copy));
    ASSERT_EQ(built.dump(), inserted.dump()) << size << " entries";
    EXPECT_EQ(contents(built), contents(inserted));
    fail_each_allocation([&] { copy = entries, (void)Map::from_entries(seed, std::move(copy)); },
                         [](uint64_t) {});
  }
}

// The live counts LeakCheck relies on count; a block whose fill throws is
// freed, and a size that would wrap the header's addition is refused rather
// than allocated small.
TEST(PersistentMap, LiveCountsAndBlockFailures) {
  LeakCheck leaks;
  KeyMap map(HashSeed{});
  map.insert_or_assign("key", bytes("value"));
  EXPECT_EQ(PersistentMapStats::live_nodes() - leaks.nodes, 1);
  EXPECT_EQ(PersistentMapStats::live_byte_blocks() - leaks.blocks, 2);
  EXPECT_THROW(SharedBytesRef::build(8, [](char*) { throw std::runtime_error("fill"); }), std::runtime_error);
  EXPECT_THROW(SharedBytesRef::build(SIZE_MAX - 4, [](char*) {}), std::bad_alloc);
}

}  // namespace
}  // namespace derirezaro::store
