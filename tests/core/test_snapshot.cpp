// What dropping a store or a snapshot record costs. Snapshots' contents,
// ids, history, restores and diffs are checked against a model in
// test_store.cpp.
#include <memory>
#include <optional>
#include <tuple>

#include "store/drop_cost.hpp"
#include "store/store.hpp"
#include "support.hpp"

namespace derirezaro::store {
namespace {

using namespace test;

// Whether dropping a store or a record is short work, beside what else
// keeps its contents: the drop is long only where it frees the entries.
TEST(Snapshots, DropCostCountsOnlyWhatDies) {
  enum Held { none, by_caller, by_history };
  // (entries, who holds a snapshot, whether the store is cleared after it,
  // whether dropping the store is long)
  const std::tuple<int, Held, bool, bool> table[] = {
      {10, none, false, false},        {5000, none, false, true},      {5000, by_caller, false, false},
      {5000, by_history, false, true}, {5000, by_caller, true, false}, {5000, by_history, true, true},
  };
  for (const auto& [entries, held, cleared, long_drop] : table) {
    auto store = std::make_unique<Store>(held == none ? std::optional<uint64_t>(0) : std::nullopt);
    for (int i = 0; i < entries; ++i) set(*store, numbered("ns", i % 3), numbered("k", i), bytes("v"));
    Store::SnapshotRef kept = held == none ? nullptr : snapshot(*store);
    for (int n = 0; cleared && n < 3; ++n) {
      Shard::Writing shard = store->shard_for(numbered("ns", n)).write();
      store->take_all(shard);
    }
    if (held == by_history) {
      EXPECT_TRUE(frees_little(kept)) << "the history keeps it: dropping this reference frees nothing";
      kept = nullptr;
    }
    EXPECT_EQ(!frees_little(store), long_drop) << entries << " entries, held " << held;
  }
}

}  // namespace
}  // namespace derirezaro::store
