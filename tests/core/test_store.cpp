// The store's entry operations on its locked shards, driven the way the
// binding drives them (take the shard's lock, run the work through
// Shard::read or Shard::write): the byte and entry accounting against a
// model over random histories, where namespaces live, what a failed
// allocation leaves behind, and what a poisoned shard refuses.
//
// The accounting is what len() and the size report rest on, and nothing
// recounts it: one wrong step in set, erase or clear stays wrong for the
// life of the store. So every check below recounts from the maps themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <new>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "map_test_support.hpp"
#include "store/store.hpp"
#include "store_test_support.hpp"

namespace derirezaro::store {
namespace {

using namespace test_support;

void set(Store& store, std::string_view ns, std::string_view key, const Bytes& value) {
  write_shard(store.shard_for(ns), [&](ShardContents& shard, std::atomic<uint64_t>& entries) {
    store.set(shard, entries, ns, key, value);
  });
}

bool erase(Store& store, std::string_view ns, std::string_view key) {
  return write_shard(store.shard_for(ns), [&](ShardContents& shard, std::atomic<uint64_t>& entries) {
    return store.erase(shard, entries, ns, key);
  });
}

void clear_shard(Store& store, size_t index) {
  write_shard(store.shard(index),
              [&](ShardContents& shard, std::atomic<uint64_t>& entries) { store.clear(shard, entries); });
}

// Shard by shard, as the binding clears the whole store.
void clear_all(Store& store) {
  for (size_t i = 0; i < Store::shard_count(); ++i) clear_shard(store, i);
}

std::optional<std::string> find(Store& store, std::string_view ns, std::string_view key) {
  const std::optional<Bytes> found = read_shard(
      store.shard_for(ns), [&](const ShardContents& shard) { return Store::find(shard, ns, key); });
  if (!found) return std::nullopt;
  return std::string(found->view());
}

std::vector<std::string> sorted(const std::vector<Bytes>& names) {
  std::vector<std::string> out;
  for (const Bytes& name : names) out.emplace_back(name.view());
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> keys(Store& store, std::string_view ns) {
  return sorted(
      read_shard(store.shard_for(ns), [&](const ShardContents& shard) { return Store::keys(shard, ns); }));
}

std::vector<std::string> namespaces(Store& store) {
  std::vector<Bytes> names;
  for (size_t i = 0; i < Store::shard_count(); ++i) {
    read_shard(store.shard(i), [&](const ShardContents& shard) { Store::append_namespaces(shard, names); });
  }
  return sorted(names);
}

// ------------------------------------------------------------ recounting

using Deep = std::map<std::string, std::map<std::string, std::string>>;  // ns -> key -> value

Deep deep_contents(const NamespaceMap& namespaces) {
  Deep out;
  namespaces.for_each(
      [&](std::string_view ns, const KeyMap& keys) { out[std::string(ns)] = contents(keys); });
  EXPECT_EQ(out.size(), namespaces.size());
  return out;
}

uint64_t value_bytes(const Deep& deep) {
  uint64_t total = 0;
  for (const auto& [ns, keys] : deep) {
    for (const auto& [key, value] : keys) total += value.size();
  }
  return total;
}

uint64_t entry_total(const Deep& deep) {
  uint64_t total = 0;
  for (const auto& [ns, keys] : deep) total += keys.size();
  return total;
}

// One shard as its maps show it, next to the totals the shard keeps.
struct ShardView {
  Deep namespaces;
  uint64_t bytes = 0;    // the shard's own running total
  uint64_t entries = 0;  // Shard::entries()

  bool operator==(const ShardView&) const = default;
};

// Reads one shard under its read lock, validating every map on the way.
ShardView view_shard(Shard& shard) {
  ShardView view;
  read_shard(shard, [&](const ShardContents& contents) {
    EXPECT_TRUE(is_valid(contents.namespaces));
    contents.namespaces.for_each(
        [](std::string_view ns, const KeyMap& keys) { EXPECT_TRUE(is_valid(keys)) << "namespace " << ns; });
    view.namespaces = deep_contents(contents.namespaces);
    view.bytes = contents.bytes;
  });
  view.entries = shard.entries();
  return view;
}

using Model = std::map<std::pair<std::string, std::string>, std::string>;

// The whole store against the model: every shard's totals against a recount
// of its own maps, every namespace in its own shard, the store's totals
// against the sum of all, and the entries and namespaces themselves.
void expect_store_matches(Store& store, const Model& model, const std::set<std::string>& model_namespaces) {
  Model stored;
  std::set<std::string> stored_namespaces;
  uint64_t bytes = 0;
  for (size_t i = 0; i < Store::shard_count(); ++i) {
    SCOPED_TRACE(numbered("shard ", i));
    const ShardView view = view_shard(store.shard(i));
    EXPECT_EQ(view.bytes, value_bytes(view.namespaces));
    EXPECT_EQ(view.entries, entry_total(view.namespaces));
    bytes += value_bytes(view.namespaces);
    for (const auto& [ns, keys] : view.namespaces) {
      EXPECT_EQ(shard_index(ns), i) << "namespace '" << ns << "' is in the wrong shard";
      stored_namespaces.insert(ns);
      for (const auto& [key, value] : keys) stored[{ns, key}] = value;
    }
  }
  uint64_t model_bytes = 0;
  for (const auto& [where, value] : model) model_bytes += value.size();
  EXPECT_EQ(stored, model);
  EXPECT_EQ(stored_namespaces, model_namespaces);
  EXPECT_EQ(bytes, model_bytes);
  EXPECT_EQ(store.size_bytes(), model_bytes);
  EXPECT_EQ(store.entry_count(), model.size());
}

// Namespaces and keys of every kind: empty, one byte, long, and bytes that
// are not text (the store does not look inside them).
std::vector<std::string> name_pool(std::mt19937_64& rng, std::string_view prefix, size_t count) {
  std::set<std::string> names = {"", std::string(prefix)};
  while (names.size() < count) {
    std::string name(prefix);
    name += std::to_string(rng() % 1000);
    if (rng() % 4 == 0) name += std::string(rng() % 40, static_cast<char>(0x80 + rng() % 0x80));
    names.insert(name);
  }
  return {names.begin(), names.end()};
}

// ------------------------------------------------------------ model test

struct HistoryCase {
  const char* name;
  uint64_t seed;
  size_t namespaces;
  size_t keys;
  size_t max_value;
};

void PrintTo(const HistoryCase& c, std::ostream* os) { *os << c.name; }

class StoreHistory : public ::testing::TestWithParam<HistoryCase> {};

// Random sets (new namespace, new key, replacing a longer or shorter value,
// empty values), erases (present, absent, a namespace's last key), clears of
// one shard and of the whole store. After each step the touched entry and
// namespace are read back; the whole store is recounted regularly.
TEST_P(StoreHistory, AccountingMatchesModel) {
  LeakCheck leaks;
  const HistoryCase& c = GetParam();
  std::mt19937_64 rng(c.seed);
  const std::vector<std::string> ns_pool = name_pool(rng, "ns", c.namespaces);
  const std::vector<std::string> key_pool = name_pool(rng, "k", c.keys);
  Store store(std::nullopt);
  Model model;
  std::set<std::string> model_namespaces;

  for (int step = 0; step < 4000; ++step) {
    SCOPED_TRACE(numbered("step ", step));
    const std::string& ns = ns_pool[rng() % ns_pool.size()];
    const std::string& key = key_pool[rng() % key_pool.size()];
    ASSERT_EQ(&store.shard_for(ns), &store.shard(shard_index(ns)));
    const auto dice = rng() % 1000;
    if (dice < 4) {
      clear_all(store);
      model.clear();
      model_namespaces.clear();
    } else if (dice < 20) {
      const size_t index = shard_index(ns);
      clear_shard(store, index);
      std::erase_if(model, [&](const auto& entry) { return shard_index(entry.first.first) == index; });
      std::erase_if(model_namespaces, [&](const std::string& name) { return shard_index(name) == index; });
    } else if (dice < 600) {
      std::string value = numbered("v", step);
      value.resize(rng() % (c.max_value + 1), '.');  // sometimes empty, sometimes cut short
      set(store, ns, key, bytes(value));
      model[{ns, key}] = value;
      model_namespaces.insert(ns);
    } else {
      const bool present = model.erase({ns, key}) != 0;
      ASSERT_EQ(erase(store, ns, key), present);
    }

    const auto it = model.find({ns, key});
    ASSERT_EQ(find(store, ns, key),
              it == model.end() ? std::nullopt : std::optional<std::string>(it->second));
    std::vector<std::string> expected_keys;
    for (const auto& [where, value] : model) {
      if (where.first == ns) expected_keys.push_back(where.second);
    }
    ASSERT_EQ(keys(store, ns), expected_keys);
    if (step % 100 == 0) {
      expect_store_matches(store, model, model_namespaces);
      ASSERT_EQ(namespaces(store),
                std::vector<std::string>(model_namespaces.begin(), model_namespaces.end()));
      if (HasFailure()) return;
    }
  }
  expect_store_matches(store, model, model_namespaces);
}

INSTANTIATE_TEST_SUITE_P(Histories, StoreHistory,
                         ::testing::Values(
                             // every shard busy, namespaces that fill up and empty out
                             HistoryCase{"ManyNamespacesFewKeys", 1, 48, 6, 40},
                             // a few namespaces, so several share a shard and shards stay empty
                             HistoryCase{"FewNamespacesManyKeys", 2, 5, 60, 300},
                             // mostly tiny and empty values: size changes of 0 and 1 byte
                             HistoryCase{"TinyValues", 3, 20, 10, 2}),
                         [](const ::testing::TestParamInfo<HistoryCase>& param) { return param.param.name; });

// ------------------------------------------------------------ namespaces and clear

// A namespace outlives its last key: it is still listed, with no keys, and
// takes new keys again. Erasing anything absent changes nothing and makes
// no namespace.
TEST(StoreNamespaces, ErasingTheLastKeyKeepsTheNamespace) {
  LeakCheck leaks;
  Store store(std::nullopt);
  set(store, "users", "alice", bytes("12345"));
  set(store, "users", "bob", bytes("678"));
  ASSERT_TRUE(erase(store, "users", "alice"));
  ASSERT_TRUE(erase(store, "users", "bob"));

  EXPECT_EQ(namespaces(store), std::vector<std::string>{"users"});
  EXPECT_EQ(keys(store, "users"), std::vector<std::string>{});
  EXPECT_EQ(find(store, "users", "bob"), std::nullopt);
  EXPECT_EQ(view_shard(store.shard_for("users")), (ShardView{{{"users", {}}}, 0, 0}));

  EXPECT_FALSE(erase(store, "users", "bob"));
  EXPECT_FALSE(erase(store, "nowhere", "bob"));
  EXPECT_EQ(namespaces(store), std::vector<std::string>{"users"});
  expect_store_matches(store, {}, {"users"});

  set(store, "users", "carol", bytes("9"));
  expect_store_matches(store, {{{"users", "carol"}, "9"}}, {"users"});
}

// Clearing drops every namespace of every shard and returns the byte total
// to zero, while a copy of the shard maps taken before, as a snapshot is,
// keeps everything it held.
TEST(StoreClear, EmptiesEveryShardAndLeavesCopiesWhole) {
  LeakCheck leaks;
  Store store(std::nullopt);
  Model model;
  std::set<std::string> model_namespaces;
  for (int n = 0; n < 80; ++n) {
    const std::string ns = numbered("ns", n);
    for (int k = 0; k < 3; ++k) {
      const std::string value(static_cast<size_t>(n + k), 'x');
      set(store, ns, numbered("k", k), bytes(value));
      model[{ns, numbered("k", k)}] = value;
    }
    model_namespaces.insert(ns);
  }
  std::vector<NamespaceMap> copies;
  std::vector<ShardView> before;
  for (size_t i = 0; i < Store::shard_count(); ++i) {
    before.push_back(view_shard(store.shard(i)));
    ASSERT_FALSE(before.back().namespaces.empty()) << "shard " << i << " got no namespace; pick more";
    read_shard(store.shard(i), [&](const ShardContents& shard) { copies.push_back(shard.namespaces); });
  }
  expect_store_matches(store, model, model_namespaces);

  clear_all(store);
  expect_store_matches(store, {}, {});
  EXPECT_EQ(keys(store, "ns7"), std::vector<std::string>{});
  EXPECT_EQ(find(store, "ns7", "k1"), std::nullopt);
  for (size_t i = 0; i < Store::shard_count(); ++i) {
    EXPECT_EQ(deep_contents(copies[i]), before[i].namespaces) << "shard " << i;
    EXPECT_TRUE(is_valid(copies[i]));
  }

  clear_all(store);  // clearing what is empty
  expect_store_matches(store, {}, {});
  set(store, "ns7", "k1", bytes("after"));
  expect_store_matches(store, {{{"ns7", "k1"}, "after"}}, {"ns7"});
}

// ------------------------------------------------------------ out of memory

enum class Op { set, erase };

struct OomCase {
  const char* name;
  Op op;
  std::string ns;
  std::string key;
  size_t value_size;  // for set
  bool allocates;     // whether the operation must allocate, so at least one failure is seen
};

void PrintTo(const OomCase& c, std::ostream* os) { *os << c.name; }

class StoreOutOfMemory : public ::testing::TestWithParam<std::tuple<OomCase, bool>> {};

// The n-th allocation of one operation fails, for n = 0, 1, 2, ... until it
// succeeds. After each failure the shard is exactly as before (entries,
// byte total, entry count, and the store's totals), its maps are valid, it
// is not poisoned, and a copy of the shard map taken before is untouched.
TEST_P(StoreOutOfMemory, FailedOperationLeavesTheShardAsItWas) {
  LeakCheck leaks;
  const OomCase& c = std::get<0>(GetParam());
  const bool with_snapshot = std::get<1>(GetParam());
  Store store(std::nullopt);
  Model model;
  std::set<std::string> model_namespaces;
  auto put = [&](const std::string& ns, const std::string& key, const std::string& value) {
    set(store, ns, key, bytes(value));
    model[{ns, key}] = value;
    model_namespaces.insert(ns);
  };
  for (int n = 0; n < 48; ++n) {
    for (int k = 0; k < 12; ++k) {
      put(numbered("ns", n), numbered("k", k), std::string(static_cast<size_t>(20 + k), 'o'));
    }
  }
  put("solo", "only", "a value of its own");

  Shard& shard = store.shard_for(c.ns);
  std::optional<NamespaceMap> snapshot;
  if (with_snapshot) {
    read_shard(shard, [&](const ShardContents& contents) { snapshot = contents.namespaces; });
  }
  const ShardView before = view_shard(shard);
  const uint64_t size_before = store.size_bytes();
  const uint64_t count_before = store.entry_count();
  const Bytes value = bytes(std::string(c.value_size, 'n'));  // made before any allocation is made to fail

  int failures = 0;
  for (;; ++failures) {
    ASSERT_LT(failures, 64) << "the operation never succeeded";
    testing::fail_allocation_after(static_cast<uint64_t>(failures));
    try {
      if (c.op == Op::set) {
        set(store, c.ns, c.key, value);
      } else {
        erase(store, c.ns, c.key);
      }
      testing::stop_failing_allocations();
      break;
    } catch (const std::bad_alloc&) {
      testing::stop_failing_allocations();
    }
    SCOPED_TRACE(numbered("allocation ", failures) + " failed");
    EXPECT_NO_THROW(EXPECT_EQ(view_shard(shard), before)) << "a failed allocation poisoned the shard";
    EXPECT_EQ(store.size_bytes(), size_before);
    EXPECT_EQ(store.entry_count(), count_before);
    if (snapshot) {
      EXPECT_EQ(deep_contents(*snapshot), before.namespaces);
    }
    if (HasFailure()) return;
  }
  if (c.allocates) {
    EXPECT_GT(failures, 0) << "no allocation was made to fail";
  }

  if (c.op == Op::set) {
    model[{c.ns, c.key}] = std::string(c.value_size, 'n');
    model_namespaces.insert(c.ns);
  } else {
    model.erase({c.ns, c.key});
  }
  expect_store_matches(store, model, model_namespaces);
  if (snapshot) {
    EXPECT_EQ(deep_contents(*snapshot), before.namespaces);
    EXPECT_TRUE(is_valid(*snapshot));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Operations, StoreOutOfMemory,
    ::testing::Combine(
        ::testing::Values(OomCase{"SetInANewNamespace", Op::set, "fresh", "k0", 30, true},
                          OomCase{"SetANewKey", Op::set, "ns3", "fresh", 30, true},
                          OomCase{"SetReplacingWithALongerValue", Op::set, "ns3", "k4", 300, false},
                          OomCase{"SetReplacingWithAShorterValue", Op::set, "ns3", "k4", 1, false},
                          OomCase{"SetReplacingWithAnEmptyValue", Op::set, "ns3", "k4", 0, false},
                          OomCase{"SetAnEmptyKey", Op::set, "ns3", "", 5, false},
                          OomCase{"EraseAKey", Op::erase, "ns3", "k4", 0, true},
                          OomCase{"EraseANamespacesLastKey", Op::erase, "solo", "only", 0, false},
                          OomCase{"EraseAnAbsentKey", Op::erase, "ns3", "absent", 0, false},
                          OomCase{"EraseInAnUnknownNamespace", Op::erase, "nowhere", "k0", 0, false}),
        ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<OomCase, bool>>& param) {
      return std::string(std::get<0>(param.param).name) +
             (std::get<1>(param.param) ? "_AfterSnapshot" : "_Exclusive");
    });

// ------------------------------------------------------------ poisoning

struct PoisonCase {
  const char* name;
  void (*fail)();
  bool poisons;
};

void PrintTo(const PoisonCase& c, std::ostream* os) { *os << c.name; }

class StorePoison : public ::testing::TestWithParam<PoisonCase> {};

// Work that fails with anything but std::bad_alloc has broken an invariant
// halfway: its shard refuses every later read, write and count, and keeps
// refusing; its work is never run again. The other shards go on. Running
// out of memory poisons nothing.
TEST_P(StorePoison, FailingWorkPoisonsOnlyItsShard) {
  LeakCheck leaks;
  const PoisonCase& c = GetParam();
  Store store(std::nullopt);
  for (int n = 0; n < 64; ++n) set(store, numbered("ns", n), "k", bytes(numbered("v", n)));
  const std::string victim = "ns5";
  const size_t victim_index = shard_index(victim);
  int other = 0;
  while (shard_index(numbered("ns", other)) == victim_index) ++other;
  const std::string bystander = numbered("ns", other);
  const uint64_t size_before = store.size_bytes();
  Shard& shard = store.shard(victim_index);

  bool threw = false;
  try {
    write_shard(shard, [&](ShardContents&, std::atomic<uint64_t>&) { c.fail(); });
  } catch (const ShardPoisoned&) {
    ADD_FAILURE() << "the failing write itself reported a poisoned shard";
  } catch (...) {
    threw = true;  // the work's own exception, passed on
  }
  ASSERT_TRUE(threw);

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(numbered("access round ", round));
    if (c.poisons) {
      bool ran = false;
      EXPECT_THROW(read_shard(shard, [&](const ShardContents&) { ran = true; }), ShardPoisoned);
      EXPECT_THROW(write_shard(shard, [&](ShardContents&, std::atomic<uint64_t>&) { ran = true; }),
                   ShardPoisoned);
      EXPECT_FALSE(ran) << "work ran on a poisoned shard";
      EXPECT_THROW(find(store, victim, "k"), ShardPoisoned);
      EXPECT_THROW(set(store, victim, "k", bytes("x")), ShardPoisoned);
      EXPECT_THROW(shard.entries(), ShardPoisoned);
      // The store's entry count includes the poisoned shard's, which cannot
      // be trusted.
      EXPECT_THROW(store.entry_count(), ShardPoisoned);
    } else {
      EXPECT_EQ(find(store, victim, "k"), "v5");
      EXPECT_EQ(shard.entries(), view_shard(shard).entries);
      EXPECT_EQ(store.entry_count(), 64u);
    }
    // A shard that is not poisoned works as before, reads and writes.
    EXPECT_NO_THROW(EXPECT_EQ(find(store, bystander, "k"), numbered("v", other)));
    EXPECT_NO_THROW(set(store, bystander, "k2", bytes("more")));
    EXPECT_NO_THROW(EXPECT_TRUE(erase(store, bystander, "k2")));
    EXPECT_NO_THROW(store.shard_for(bystander).entries());
    EXPECT_EQ(store.size_bytes(), size_before);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Failures, StorePoison,
    ::testing::Values(PoisonCase{"LogicError", [] { throw std::logic_error("broken invariant"); }, true},
                      PoisonCase{"RuntimeError", [] { throw std::runtime_error("odd"); }, true},
                      PoisonCase{"NotAnException", [] { throw 7; }, true},
                      PoisonCase{"OutOfMemory", [] { throw std::bad_alloc(); }, false}),
    [](const ::testing::TestParamInfo<PoisonCase>& param) { return param.param.name; });

}  // namespace
}  // namespace derirezaro::store
