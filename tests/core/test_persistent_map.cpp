// The persistent map against std::unordered_map, over long random histories
// in which several copies of one map live and change side by side; then the
// exact shapes the hash-to-path function promises, path copying, nested
// maps and seeds. Failure injection and threads have their own files.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "map_test_support.hpp"

namespace derirezaro::store {
namespace {

using namespace test_support;

using KeyMap = PersistentMap<Bytes>;
using NamespaceMap = PersistentMap<KeyMap>;
using PathMap = PersistentMap<Bytes, PathHash>;
using Model = std::unordered_map<std::string, std::string>;

// Keys of every kind the store meets: empty, short, long, and arbitrary
// bytes (a namespace or key is UTF-8, but the map must not care).
std::vector<std::string> random_keys(std::mt19937_64& rng, size_t count) {
  std::set<std::string> keys = {"", "a", "default"};
  while (keys.size() < count) {
    std::string key(rng() % 3 == 0 ? rng() % 40 : rng() % 6 + 1, '\0');
    for (char& c : key) c = static_cast<char>(rng() % 4 == 0 ? rng() : 'a' + rng() % 26);
    keys.insert(key);
  }
  return {keys.begin(), keys.end()};
}

// ------------------------------------------------------------ model test

struct HasherName {
  template <class H>
  static std::string GetName(int) {
    if (std::is_same_v<H, SeededSipHash>) return "SipHash";
    if (std::is_same_v<H, FewBitsHash>) return "FewBits";
    return "Constant";
  }
};

template <class Hasher>
class PersistentMapModel : public ::testing::Test {};
using Hashers = ::testing::Types<SeededSipHash, FewBitsHash, ConstantHash>;
TYPED_TEST_SUITE(PersistentMapModel, Hashers, HasherName);

enum class MutationKind { insert, erase, update };

template <class Map>
struct Version {
  Map map;
  Model model;
};

// Applies one mutation to a map and, if the map did not throw, to its model,
// checking what the map returned against the model.
template <class Map>
void apply(Version<Map>& v, MutationKind kind, const std::string& key, const std::string& value) {
  const auto it = v.model.find(key);
  const bool present = it != v.model.end();
  switch (kind) {
    case MutationKind::insert: {
      const std::optional<Bytes> old = v.map.insert_or_assign(key, bytes(value));
      ASSERT_EQ(old.has_value(), present);
      if (present) {
        EXPECT_EQ(old->view(), it->second);
      }
      v.model[key] = value;
      break;
    }
    case MutationKind::erase: {
      const std::optional<typename Map::Entry> removed = v.map.erase(key);
      ASSERT_EQ(removed.has_value(), present);
      if (present) {
        EXPECT_EQ(removed->key.view(), key);
        EXPECT_EQ(removed->value.view(), it->second);
        v.model.erase(it);
      }
      break;
    }
    case MutationKind::update: {
      Bytes replacement = bytes(value);  // allocated before the map is touched
      Bytes* slot = v.map.find_for_update(key);
      ASSERT_EQ(slot != nullptr, present);
      if (present) {
        EXPECT_EQ(slot->view(), it->second);
        *slot = std::move(replacement);
        it->second = value;
      }
      break;
    }
  }
}

template <class Map>
void expect_matches_model(const Version<Map>& v) {
  ASSERT_TRUE(is_valid(v.map));
  const std::map<std::string, std::string> expected(v.model.begin(), v.model.end());
  ASSERT_EQ(contents(v.map), expected);
}

// Random insert / overwrite / erase / find / find_for_update / copy / clear
// over up to six live versions. After every mutation the touched key is
// looked up in every version, so a write that leaks into a copy (or a copy
// that loses an entry) shows at once; every version is checked in full
// and validated regularly. One mutation in ten runs with an allocation
// failure injected at a random point, and the version must come out exactly
// as it went in.
TYPED_TEST(PersistentMapModel, RandomHistoryAcrossCopiesMatchesModel) {
  using Map = PersistentMap<Bytes, TypeParam>;
  LeakCheck leaks;
  std::mt19937_64 rng(0x5eed);
  const bool strong_hash = std::is_same_v<TypeParam, SeededSipHash>;
  const std::vector<std::string> pool = random_keys(rng, strong_hash ? 400 : 60);
  std::vector<Version<Map>> versions;
  versions.push_back({Map(HashSeed{rng(), rng()}), {}});

  const int steps = strong_hash ? 6000 : 3000;
  for (int step = 0; step < steps; ++step) {
    Version<Map>& v = versions[rng() % versions.size()];
    const std::string& key = pool[rng() % pool.size()];
    const std::string value = numbered("v", step);
    const auto dice = static_cast<unsigned>(rng() % 100);
    if (dice < 10 && versions.size() < 6) {
      versions.push_back(v);
      continue;
    }
    if (dice < 14) {
      versions[rng() % versions.size()] = versions[rng() % versions.size()];
      continue;
    }
    if (dice < 16 && versions.size() > 1) {
      versions.erase(versions.begin() + static_cast<long>(rng() % versions.size()));
      continue;
    }
    if (dice < 17) {
      const HashSeed seed = v.map.seed();
      v.map.clear();
      v.model.clear();
      EXPECT_EQ(v.map.seed(), seed);
      continue;
    }
    if (dice < 27) {
      const Bytes* found = v.map.find(key);
      const auto it = v.model.find(key);
      ASSERT_EQ(found != nullptr, it != v.model.end()) << key;
      if (found != nullptr) {
        EXPECT_EQ(found->view(), it->second);
      }
      continue;
    }
    const MutationKind kind = dice < 65   ? MutationKind::insert
                              : dice < 85 ? MutationKind::erase
                                          : MutationKind::update;
    if (rng() % 10 == 0) {
      const std::string before = v.map.dump();
      const int64_t nodes = PersistentMapStats::live_nodes();
      const int64_t blocks = PersistentMapStats::live_byte_blocks();
      testing::fail_allocation_after(rng() % 8);
      try {
        apply(v, kind, key, value);
      } catch (const std::bad_alloc&) {
        EXPECT_EQ(v.map.dump(), before);
        EXPECT_EQ(PersistentMapStats::live_nodes(), nodes);
        EXPECT_EQ(PersistentMapStats::live_byte_blocks(), blocks);
        expect_matches_model(v);
      }
      testing::stop_failing_allocations();
    } else {
      apply(v, kind, key, value);
    }
    ASSERT_FALSE(::testing::Test::HasFatalFailure()) << "step " << step;
    for (const Version<Map>& other : versions) {
      const Bytes* found = other.map.find(key);
      const auto it = other.model.find(key);
      ASSERT_EQ(found != nullptr, it != other.model.end()) << "step " << step << " key " << key;
      if (found != nullptr) {
        ASSERT_EQ(found->view(), it->second);
      }
      ASSERT_EQ(other.map.size(), other.model.size());
    }
    if (step % 250 == 0) {
      for (const Version<Map>& other : versions) expect_matches_model(other);
    }
  }
  for (const Version<Map>& other : versions) expect_matches_model(other);
}

// ------------------------------------------------------------ exact shapes

struct ShapeCase {
  const char* name;
  std::vector<std::string> inserted;
  std::vector<std::string> erased;
  const char* dump;
};

class PersistentMapShape : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(PersistentMapShape, HashBitsPlaceEveryKey) {
  LeakCheck leaks;
  const ShapeCase& c = GetParam();
  PathMap map(HashSeed{});
  for (const std::string& key : c.inserted) map.insert_or_assign(key, bytes(key));
  for (const std::string& key : c.erased) ASSERT_TRUE(map.erase(key).has_value()) << key;
  EXPECT_TRUE(is_valid(map));
  EXPECT_EQ(map.dump(), c.dump);
  EXPECT_EQ(map.size(), c.inserted.size() - c.erased.size());
}

const std::string kDeep = path_key(0xc0000005, "");  // root slot 5, slots 0 at depths 1-5, slot 3 at depth 6

INSTANTIATE_TEST_SUITE_P(
    Shapes, PersistentMapShape,
    ::testing::Values(
        ShapeCase{"DistinctRootSlots",
                  {path_key(0x1, "a"), path_key(0x2, "b")},
                  {},
                  "bitmap 1:\"0x00000001:a\" 2:\"0x00000002:b\"\n"},
        ShapeCase{"SharedFirstGroupSplitsOneLevelDown",
                  {path_key(0x01, "a"), path_key(0x21, "b")},
                  {},
                  "bitmap 1:*\n"
                  "  1: bitmap 0:\"0x00000001:a\" 1:\"0x00000021:b\"\n"},
        ShapeCase{"DeepestLevelUsesTheTopTwoBits",
                  {path_key(0x40000000, "a"), path_key(0x80000000, "b"), path_key(0xc0000000, "c")},
                  {},
                  "bitmap 0:*\n"
                  "  0: bitmap 0:*\n"
                  "    0: bitmap 0:*\n"
                  "      0: bitmap 0:*\n"
                  "        0: bitmap 0:*\n"
                  "          0: bitmap 0:*\n"
                  "            0: bitmap 1:\"0x40000000:a\" 2:\"0x80000000:b\" 3:\"0xc0000000:c\"\n"},
        ShapeCase{
            "EqualHashesMeetInACollisionListBelowTheDeepestLevel",
            {kDeep + "a", kDeep + "b", kDeep + "c"},
            {},
            "bitmap 5:*\n"
            "  5: bitmap 0:*\n"
            "    0: bitmap 0:*\n"
            "      0: bitmap 0:*\n"
            "        0: bitmap 0:*\n"
            "          0: bitmap 0:*\n"
            "            0: bitmap 3:*\n"
            "              3: collision 0xc0000005 \"0xc0000005:a\" \"0xc0000005:b\" \"0xc0000005:c\"\n"},
        ShapeCase{"RemovalFromACollisionListKeepsOrder",
                  {kDeep + "a", kDeep + "b", kDeep + "c"},
                  {kDeep + "b"},
                  "bitmap 5:*\n"
                  "  5: bitmap 0:*\n"
                  "    0: bitmap 0:*\n"
                  "      0: bitmap 0:*\n"
                  "        0: bitmap 0:*\n"
                  "          0: bitmap 0:*\n"
                  "            0: bitmap 3:*\n"
                  "              3: collision 0xc0000005 \"0xc0000005:a\" \"0xc0000005:c\"\n"},
        ShapeCase{"CollisionListOfOneBecomesALeafAtTheTop",
                  {kDeep + "a", kDeep + "b", path_key(0x1, "c")},
                  {kDeep + "a"},
                  "bitmap 1:\"0x00000001:c\" 5:\"0xc0000005:b\"\n"},
        ShapeCase{"NodeEmptiedToOneEntryGivesItToTheParent",
                  {path_key(0x01, "a"), path_key(0x21, "b"), path_key(0x02, "c")},
                  {path_key(0x01, "a")},
                  "bitmap 1:\"0x00000021:b\" 2:\"0x00000002:c\"\n"},
        ShapeCase{"ChainCollapsesIntoANodeThatHoldsMore",
                  {path_key(0x40000000, "a"), path_key(0x80000000, "b"), path_key(0x1, "c")},
                  {path_key(0x40000000, "a")},
                  "bitmap 0:\"0x80000000:b\" 1:\"0x00000001:c\"\n"},
        ShapeCase{"RootKeepsALoneLeaf",
                  {path_key(0x01, "a"), path_key(0x21, "b")},
                  {path_key(0x01, "a")},
                  "bitmap 1:\"0x00000021:b\"\n"},
        ShapeCase{"LastRemovalEmptiesTheMap", {path_key(0x01, "a")}, {path_key(0x01, "a")}, "empty\n"},
        ShapeCase{"EmptyKeyIsAKeyLikeAnyOther",
                  {"", path_key(0x0, "z")},
                  {},
                  "bitmap 0:*\n"
                  "  0: bitmap 0:*\n"
                  "    0: bitmap 0:*\n"
                  "      0: bitmap 0:*\n"
                  "        0: bitmap 0:*\n"
                  "          0: bitmap 0:*\n"
                  "            0: bitmap 0:*\n"
                  "              0: collision 0x00000000 \"\" \"0x00000000:z\"\n"}),
    [](const ::testing::TestParamInfo<ShapeCase>& shape) { return shape.param.name; });

TEST(PersistentMapShape, DeepestNodesAndListsAreCounted) {
  LeakCheck leaks;
  const int64_t nodes = PersistentMapStats::live_nodes();
  PathMap map(HashSeed{});
  for (const char* name : {"a", "b"}) map.insert_or_assign(kDeep + name, bytes(name));
  const TreeStats stats = map.tree_stats();
  EXPECT_EQ(stats.bitmap_nodes, 7u);
  EXPECT_EQ(stats.collision_nodes, 1u);
  EXPECT_EQ(stats.leaves, 2u);
  EXPECT_EQ(stats.max_depth, 7u);
  EXPECT_EQ(PersistentMapStats::live_nodes(), nodes + 8);
}

// The shape depends only on the set of keys: a map that reached its keys
// through a long history of inserts and removals has the very tree a map
// built from those keys has. (Without full hash collisions, whose list
// order records insertion order.)
TEST(PersistentMapShape, ShapeDoesNotDependOnHistory) {
  LeakCheck leaks;
  std::mt19937_64 rng(11);
  const std::vector<std::string> pool = random_keys(rng, 600);
  const HashSeed seed{rng(), rng()};
  KeyMap churned(seed);
  std::set<std::string> present;
  for (int step = 0; step < 4000; ++step) {
    const std::string& key = pool[rng() % pool.size()];
    if (rng() % 3 == 0) {
      churned.erase(key);
      present.erase(key);
    } else {
      churned.insert_or_assign(key, bytes("x"));
      present.insert(key);
    }
  }
  KeyMap built(seed);
  for (const std::string& key : present) built.insert_or_assign(key, bytes("x"));
  ASSERT_EQ(built.tree_stats().collision_nodes, 0u);
  EXPECT_TRUE(is_valid(churned));
  EXPECT_EQ(churned.dump(), built.dump());
}

// ------------------------------------------------------------ path copying

KeyMap map_of(size_t count, HashSeed seed = HashSeed{1, 2}) {
  KeyMap map(seed);
  for (size_t i = 0; i < count; ++i) map.insert_or_assign(numbered("key", i), bytes(numbered("v", i)));
  return map;
}

// After a copy, the first write on a path builds one node per level of that
// path and nothing else; the second write on the same path finds it
// exclusively owned and builds nothing.
TEST(PersistentMapSharing, FirstWriteAfterCopyCopiesOnlyItsPath) {
  LeakCheck leaks;
  KeyMap map = map_of(3000);
  const unsigned depth = map.tree_stats().max_depth;
  const KeyMap snapshot = map;
  const std::map<std::string, std::string> before = contents(snapshot);
  for (const char* key : {"key17", "key2500", "key999"}) {
    const int64_t nodes = PersistentMapStats::live_nodes();
    map.insert_or_assign(key, bytes("changed"));
    const int64_t built = PersistentMapStats::live_nodes() - nodes;
    EXPECT_GE(built, 1) << key;
    EXPECT_LE(built, static_cast<int64_t>(depth) + 1) << key;
    const int64_t again = PersistentMapStats::live_nodes();
    map.insert_or_assign(key, bytes("changed again"));
    EXPECT_EQ(PersistentMapStats::live_nodes(), again) << key;
  }
  EXPECT_EQ(contents(snapshot), before);
  EXPECT_EQ(map.find("key999")->view(), "changed again");
  EXPECT_TRUE(is_valid(map));
  EXPECT_TRUE(is_valid(snapshot));
}

// Writing in place needs no memory at all: with every allocation failing,
// overwriting and updating keys of an exclusively owned map still succeed.
TEST(PersistentMapSharing, ExclusiveOverwriteAllocatesNothing) {
  LeakCheck leaks;
  KeyMap map = map_of(500);
  Bytes value = bytes("new");
  testing::fail_allocation_after(0);
  EXPECT_TRUE(map.insert_or_assign("key42", value).has_value());
  EXPECT_NE(map.find_for_update("key43"), nullptr);
  EXPECT_TRUE(testing::allocation_failure_armed());
  testing::stop_failing_allocations();
  EXPECT_EQ(map.find("key42")->block(), value.block());
}

// Copying a node shares the key and value blocks instead of copying bytes.
TEST(PersistentMapSharing, PathCopiesShareKeyAndValueBytes) {
  LeakCheck leaks;
  KeyMap map = map_of(100);
  const KeyMap snapshot = map;
  const int64_t blocks = PersistentMapStats::live_byte_blocks();
  map.insert_or_assign("key5", bytes("other"));  // copies the path of key5
  // The new value is the only new block: the path copy shares every key
  // and value, and the snapshot still holds the replaced value.
  EXPECT_EQ(PersistentMapStats::live_byte_blocks(), blocks + 1);
  for (int i = 0; i < 100; ++i) {
    const std::string key = numbered("key", i);
    if (i != 5) {
      EXPECT_EQ(map.find(key)->block(), snapshot.find(key)->block()) << key;
    }
  }
}

TEST(PersistentMapSharing, CallerKeyBlockIsStoredAndHandedBack) {
  LeakCheck leaks;
  KeyMap map(HashSeed{});
  const Bytes key = bytes("shared key");
  map.insert_or_assign(key, bytes("v"));
  const Bytes* stored = nullptr;
  map.for_each_entry([&](const KeyMap::Entry& entry) { stored = &entry.key; });
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->block(), key.block());
  const std::optional<KeyMap::Entry> removed = map.erase("shared key");
  ASSERT_TRUE(removed.has_value());
  EXPECT_EQ(removed->key.block(), key.block());
  EXPECT_EQ(removed->value.view(), "v");
  EXPECT_TRUE(map.empty());
}

TEST(PersistentMapSharing, FindForUpdateOfAbsentKeyCopiesNothing) {
  LeakCheck leaks;
  KeyMap map = map_of(200);
  const KeyMap snapshot = map;
  EXPECT_EQ(map.find_for_update("absent"), nullptr);
  EXPECT_EQ(map.erase("absent"), std::nullopt);
  EXPECT_TRUE(map.shares_root_with(snapshot));
}

TEST(PersistentMapSharing, EveryNodeIsFreedWithTheLastMap) {
  const int64_t nodes = PersistentMapStats::live_nodes();
  const int64_t blocks = PersistentMapStats::live_byte_blocks();
  {
    std::vector<KeyMap> maps;
    maps.push_back(map_of(2000));
    for (int i = 0; i < 20; ++i) {
      maps.push_back(maps.back());
      maps.back().insert_or_assign(numbered("key", i * 97), bytes("x"));
      maps.back().erase(numbered("key", i * 31));
    }
    EXPECT_GT(PersistentMapStats::live_nodes(), nodes);
    maps.erase(maps.begin() + 3, maps.begin() + 12);
    maps[5].clear();
  }
  EXPECT_EQ(PersistentMapStats::live_nodes(), nodes);
  EXPECT_EQ(PersistentMapStats::live_byte_blocks(), blocks);
}

// ------------------------------------------------------------ nested maps

// A namespace's key map changed through find_for_update, as the store does
// for every write: copies of the outer map, taken before, keep the old
// inner map; an inner map copied out directly keeps it too.
TEST(PersistentMapNested, UpdateThroughFindForUpdateStaysOutOfCopies) {
  LeakCheck leaks;
  NamespaceMap outer(HashSeed{3, 4});
  for (int n = 0; n < 50; ++n) {
    KeyMap inner(HashSeed{5, static_cast<uint64_t>(n)});
    inner.insert_or_assign("k", bytes("old"));
    outer.insert_or_assign(numbered("ns", n), std::move(inner));
  }
  const NamespaceMap snapshot = outer;
  const KeyMap inner_copy = *outer.find("ns7");

  KeyMap* inner = outer.find_for_update("ns7");
  ASSERT_NE(inner, nullptr);
  inner->insert_or_assign("k", bytes("new"));
  inner->insert_or_assign("k2", bytes("added"));
  outer.find_for_update("ns8")->erase("k");

  EXPECT_EQ(outer.find("ns7")->find("k")->view(), "new");
  EXPECT_EQ(outer.find("ns7")->size(), 2u);
  EXPECT_TRUE(outer.find("ns8")->empty());
  EXPECT_EQ(snapshot.find("ns7")->find("k")->view(), "old");
  EXPECT_EQ(snapshot.find("ns7")->size(), 1u);
  EXPECT_EQ(snapshot.find("ns8")->size(), 1u);
  EXPECT_EQ(inner_copy.find("k")->view(), "old");
  EXPECT_EQ(inner_copy.size(), 1u);
  EXPECT_TRUE(is_valid(outer));
  EXPECT_TRUE(is_valid(snapshot));
  EXPECT_TRUE(is_valid(*outer.find("ns7")));
}

// Once a path is exclusively owned, later updates through it build nothing:
// the same inner map object comes back, and writes to it are in place.
TEST(PersistentMapNested, OwnedPathIsReusedWithoutCopies) {
  LeakCheck leaks;
  NamespaceMap outer(HashSeed{3, 4});
  KeyMap inner(HashSeed{5, 6});
  inner.insert_or_assign("k", bytes("v"));
  outer.insert_or_assign("ns", std::move(inner));
  const NamespaceMap snapshot = outer;
  KeyMap* first = outer.find_for_update("ns");
  first->insert_or_assign("k", bytes("w"));
  Bytes value = bytes("z");
  testing::fail_allocation_after(0);
  KeyMap* second = outer.find_for_update("ns");
  second->insert_or_assign("k", value);
  EXPECT_TRUE(testing::allocation_failure_armed());
  testing::stop_failing_allocations();
  EXPECT_EQ(first, second);
  EXPECT_EQ(snapshot.find("ns")->find("k")->view(), "v");
  EXPECT_EQ(outer.find("ns")->find("k")->view(), "z");
}

// ------------------------------------------------------------ seeds

TEST(PersistentMapSeed, NewMapsDrawFreshSeedsCopiesShareThem) {
  LeakCheck leaks;
  KeyMap a;
  KeyMap b;
  EXPECT_NE(a.seed(), b.seed());
  a.insert_or_assign("k", bytes("v"));
  const KeyMap copy = a;
  EXPECT_EQ(copy.seed(), a.seed());
  KeyMap moved = std::move(b);
  EXPECT_NE(moved.seed(), a.seed());
  const HashSeed seed = a.seed();
  a.clear();
  EXPECT_EQ(a.seed(), seed);
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(copy.size(), 1u);
}

TEST(PersistentMapSeed, FreshSeedsAreDistinctAcrossThreads) {
  std::vector<std::vector<HashSeed>> drawn(4);
  std::vector<std::thread> threads;
  for (auto& out : drawn) {
    threads.emplace_back([&out] {
      for (int i = 0; i < 2000; ++i) out.push_back(fresh_hash_seed());
    });
  }
  for (std::thread& t : threads) t.join();
  std::set<std::pair<uint64_t, uint64_t>> seen;
  for (const auto& out : drawn) {
    for (const HashSeed& s : out) seen.emplace(s.k0, s.k1);
  }
  EXPECT_EQ(seen.size(), 8000u);
}

}  // namespace
}  // namespace derirezaro::store
