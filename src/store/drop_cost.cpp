#include "store/drop_cost.hpp"

#include <mutex>

namespace derirezaro::store {

bool drop_frees_at_most(const Store::SnapshotRef& record, size_t& budget) noexcept {
  if (record == nullptr || record.use_count() > 1) return true;
  if (budget == 0) return false;
  --budget;  // the record itself
  for (const ShardState& shard : record->shards) {
    if (!shard.contents.namespaces.drop_frees_at_most(budget)) return false;
  }
  return true;
}

bool Store::drop_frees_at_most(size_t& budget) {
  std::lock_guard<std::mutex> held(history_lock_);
  bool dying_records = false;
  for (const SnapshotRef& record : history_) dying_records = dying_records || record.use_count() == 1;
  if (!dying_records) {
    // The records outlive the store: nodes the shards share with them only
    // lose a count.
    for (Shard& shard : shards_) {
      if (!shard.count_contents([&](const NamespaceMap& map) { return map.drop_frees_at_most(budget); })) {
        return false;
      }
    }
    return true;
  }
  for (Shard& shard : shards_) {
    if (!shard.count_contents([&](const NamespaceMap& map) { return map.holds_at_most(budget); }))
      return false;
  }
  for (const SnapshotRef& record : history_) {
    if (record.use_count() > 1) continue;
    if (budget == 0) return false;
    --budget;
    for (const ShardState& shard : record->shards) {
      if (!shard.contents.namespaces.holds_at_most(budget)) return false;
    }
  }
  return true;
}

}  // namespace derirezaro::store
