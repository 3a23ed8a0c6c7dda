// Strong exception safety of every mutation: make the first allocation
// fail, then the second, and so on until the mutation succeeds; after each
// failure the map must be exactly as it was (same shape, same entries, no
// node freed or leaked, and a copy taken before still equal to it). The
// number of failures seen is the number of allocations the mutation makes,
// which the cases pin down: an exclusive path is changed in place, a shared
// one costs one node per level, never more.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "map_test_support.hpp"

namespace derirezaro::store {
namespace {

using namespace test_support;

using PathMap = PersistentMap<Bytes, PathHash>;

enum class Op { insert, erase, update };

struct FaultCase {
  const char* name;
  std::vector<std::string> initial;
  Op op;
  std::string key;
  int allocations_exclusive;  // what the mutation costs on an unshared map
  int allocations_shared;     // ... and while a copy shares every node
};

const std::string kC = path_key(0xc0000005, "");  // a full collision below a 6-node chain

// Runs `mutation` with the 1st, 2nd, ... allocation failing until it
// succeeds; checks after every failure that `map` is as it was. Returns the
// number of failures, that is, the allocations a successful run makes.
template <class Map, class Mutation>
int fail_until_success(Map& map, const std::optional<Map>& snapshot, Mutation mutation) {
  const std::string shape = map.dump();
  const auto entries = contents(map);
  for (int n = 0; n < 64; ++n) {
    const int64_t nodes = PersistentMapStats::live_nodes();
    const int64_t blocks = PersistentMapStats::live_byte_blocks();
    testing::fail_allocation_after(static_cast<uint64_t>(n));
    try {
      mutation(map);
      testing::stop_failing_allocations();
      return n;
    } catch (const std::bad_alloc&) {
      testing::stop_failing_allocations();
    }
    SCOPED_TRACE(numbered("allocation ", n) + " failed");
    EXPECT_EQ(map.dump(), shape);
    EXPECT_EQ(contents(map), entries);
    EXPECT_TRUE(is_valid(map));
    EXPECT_EQ(PersistentMapStats::live_nodes(), nodes);
    EXPECT_EQ(PersistentMapStats::live_byte_blocks(), blocks);
    if (snapshot) {
      EXPECT_TRUE(map.shares_root_with(*snapshot));
    }
    if (::testing::Test::HasFailure()) return -1;
  }
  ADD_FAILURE() << "the mutation never succeeded";
  return -1;
}

class PersistentMapFaults : public ::testing::TestWithParam<std::tuple<FaultCase, bool>> {};

TEST_P(PersistentMapFaults, FailedAllocationLeavesMapUnchanged) {
  LeakCheck leaks;
  const FaultCase& c = std::get<0>(GetParam());
  const bool shared = std::get<1>(GetParam());
  PathMap map(HashSeed{});
  std::map<std::string, std::string> model;
  for (const std::string& key : c.initial) {
    map.insert_or_assign(key, bytes(key + "=old"));
    model[key] = key + "=old";
  }
  std::optional<PathMap> snapshot;
  if (shared) snapshot = map;
  const Bytes value = bytes("new");  // made before any allocation is made to fail

  const int allocations = fail_until_success(map, snapshot, [&](PathMap& m) {
    switch (c.op) {
      case Op::insert: m.insert_or_assign(c.key, value); break;
      case Op::erase: m.erase(c.key); break;
      case Op::update:
        if (Bytes* slot = m.find_for_update(c.key)) *slot = value;
        break;
    }
  });
  EXPECT_EQ(allocations, shared ? c.allocations_shared : c.allocations_exclusive);

  if (c.op == Op::erase) {
    model.erase(c.key);
  } else if (c.op == Op::insert || model.count(c.key) != 0) {
    model[c.key] = "new";
  }
  EXPECT_TRUE(is_valid(map));
  EXPECT_EQ(contents(map), model);
  if (snapshot) {
    std::map<std::string, std::string> initial;
    for (const std::string& key : c.initial) initial[key] = key + "=old";
    EXPECT_EQ(contents(*snapshot), initial);
    EXPECT_TRUE(is_valid(*snapshot));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Mutations, PersistentMapFaults,
    ::testing::Combine(
        ::testing::Values(
            // key block + root
            FaultCase{"InsertIntoEmptyMap", {}, Op::insert, path_key(0x1, "a"), 2, 2},
            FaultCase{"InsertIntoFreeRootSlot", {path_key(0x1, "a")}, Op::insert, path_key(0x2, "b"), 2, 2},
            // key block + depth-6 node with both leaves + 5 chain nodes + root
            FaultCase{"InsertPushingALeafToTheDeepestLevel",
                      {path_key(0x40000000, "a")},
                      Op::insert,
                      path_key(0x80000000, "b"),
                      8,
                      8},
            // key block + list + 6 chain nodes + root
            FaultCase{"InsertCreatingACollisionList", {kC + "a"}, Op::insert, kC + "b", 9, 9},
            // exclusive: key block + list (the chain is changed in place)
            FaultCase{"InsertIntoACollisionList", {kC + "a", kC + "b"}, Op::insert, kC + "c", 2, 9},
            FaultCase{"OverwriteALeaf",
                      {path_key(0x01, "a"), path_key(0x21, "b")},
                      Op::insert,
                      path_key(0x21, "b"),
                      0,
                      2},
            FaultCase{"OverwriteInACollisionList", {kC + "a", kC + "b"}, Op::insert, kC + "b", 0, 8},
            FaultCase{"EraseShrinkingTheRoot",
                      {path_key(0x1, "a"), path_key(0x2, "b"), path_key(0x3, "c")},
                      Op::erase,
                      path_key(0x2, "b"),
                      1,
                      1},
            FaultCase{"EraseCollapsingACollisionListUpTheChain",
                      {kC + "a", kC + "b", path_key(0x1, "c")},
                      Op::erase,
                      kC + "a",
                      1,
                      1},
            FaultCase{"EraseCollapsingATwoLeafNode",
                      {path_key(0x01, "a"), path_key(0x21, "b"), path_key(0x02, "c")},
                      Op::erase,
                      path_key(0x01, "a"),
                      1,
                      1},
            FaultCase{
                "EraseFromACollisionListOfThree", {kC + "a", kC + "b", kC + "c"}, Op::erase, kC + "b", 1, 8},
            FaultCase{"EraseTheLastEntry", {path_key(0x1, "a")}, Op::erase, path_key(0x1, "a"), 0, 0},
            FaultCase{"EraseAbsentKeyOnAnOccupiedPath", {kC + "a", kC + "b"}, Op::erase, kC + "z", 0, 0},
            // shared: depth-6 node + 5 chain nodes + root
            FaultCase{"UpdateAtTheDeepestLevel",
                      {path_key(0x40000000, "a"), path_key(0x80000000, "b"), path_key(0x1, "c")},
                      Op::update,
                      path_key(0x80000000, "b"),
                      0,
                      7},
            FaultCase{"UpdateInACollisionList", {kC + "a", kC + "b"}, Op::update, kC + "b", 0, 8},
            FaultCase{"UpdateOfAnAbsentKey", {kC + "a", kC + "b"}, Op::update, kC + "z", 0, 0}),
        ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<FaultCase, bool>>& param) {
      return std::string(std::get<0>(param.param).name) +
             (std::get<1>(param.param) ? "_Shared" : "_Exclusive");
    });

// The store's write path: find a namespace's key map for update, then write
// into it. The two steps can fail separately; whichever fails, every entry
// is as it was and a snapshot taken before is untouched. (When the second
// step fails, the first has already made the namespace's path exclusively
// owned: that changes nodes, not entries, and frees nothing still in use.)
TEST(PersistentMapFaultsNested, NamespaceWriteFailsCleanly) {
  LeakCheck leaks;
  using Inner = PersistentMap<Bytes, PathHash>;
  using Outer = PersistentMap<Inner, PathHash>;
  Outer outer(HashSeed{});
  for (uint32_t n = 0; n < 40; ++n) {
    Inner inner(HashSeed{});
    for (uint32_t k = 0; k < 40; ++k) inner.insert_or_assign(path_key(k * 0x01010101u, "k"), bytes("old"));
    outer.insert_or_assign(path_key(n * 0x00102030u, "ns"), std::move(inner));
  }
  const std::optional<Outer> snapshot = outer;
  auto deep_contents = [](const Outer& map) {
    std::map<std::string, std::map<std::string, std::string>> out;
    map.for_each([&](std::string_view ns, const Inner& inner) { out[std::string(ns)] = contents(inner); });
    return out;
  };
  const auto before = deep_contents(outer);
  const std::string ns = path_key(7 * 0x00102030u, "ns");
  const Bytes value = bytes("new");
  for (int n = 0;; ++n) {
    ASSERT_LT(n, 64);
    testing::fail_allocation_after(static_cast<uint64_t>(n));
    try {
      Inner* inner = outer.find_for_update(ns);
      ASSERT_NE(inner, nullptr);
      inner->insert_or_assign(path_key(0x00000123, "fresh"), value);
      testing::stop_failing_allocations();
      break;
    } catch (const std::bad_alloc&) {
      testing::stop_failing_allocations();
    }
    ASSERT_EQ(deep_contents(outer), before) << "allocation " << n;
    ASSERT_TRUE(is_valid(outer));
    ASSERT_TRUE(is_valid(*outer.find(ns)));
  }
  EXPECT_EQ(deep_contents(*snapshot), before);
  EXPECT_EQ(outer.find(ns)->size(), 41u);
  EXPECT_EQ(snapshot->find(ns)->size(), 40u);
}

}  // namespace
}  // namespace derirezaro::store
