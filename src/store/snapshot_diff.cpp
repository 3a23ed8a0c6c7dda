#include "store/snapshot_diff.hpp"

namespace derirezaro::store {

namespace {

// Thrown out of a walk that has found more entries than its budget allows:
// the map walks have no early exit, and nothing they hold needs unwinding.
struct BudgetSpent {};

// Appends to `out` every entry of `from` that `to` lacks, and, when
// `changed` is given, every entry both hold with different bytes; in the
// order of a walk over `from`. Values compare by block first (a shared
// block is equal without reading it), then by bytes. A namespace lies in the same shard in every
// record, so it is looked up in the element of the same index. With a
// `budget`, each entry found spends one, and one more than it holds throws
// BudgetSpent.
void walk_differences(const ShardStates& from, const ShardStates& to, std::vector<EntryName>& out,
                      std::vector<EntryName>* changed, size_t* budget = nullptr) {
  auto keep = [budget](std::vector<EntryName>& list, EntryName name) {
    if (budget != nullptr) {
      if (*budget == 0) throw BudgetSpent{};
      --*budget;
    }
    list.push_back(name);
  };
  for (size_t i = 0; i < kShardCount; ++i) {
    const NamespaceMap& ours = from[i].contents.namespaces;
    const NamespaceMap& theirs = to[i].contents.namespaces;
    ours.for_each_entry_not_shared_with(theirs, [&](const NamespaceMap::Entry& ns) {
      const std::string_view name = ns.key.view();
      const KeyMap* other_keys = theirs.find(name);
      if (other_keys == nullptr) {
        ns.value.for_each_entry([&](const KeyMap::Entry& entry) { keep(out, {name, entry.key.view()}); });
        return;
      }
      ns.value.for_each_entry_not_shared_with(*other_keys, [&](const KeyMap::Entry& entry) {
        const SharedBytesRef* other_value = other_keys->find(entry.key.view());
        if (other_value == nullptr) {
          keep(out, {name, entry.key.view()});
        } else if (changed != nullptr && entry.value != *other_value) {
          keep(*changed, {name, entry.key.view()});
        }
      });
    });
  }
}

}  // namespace

SnapshotDiff diff(const SnapshotData& self, const SnapshotData& base) {
  SnapshotDiff out;
  walk_differences(self.shards, base.shards, out.added, &out.changed);
  walk_differences(base.shards, self.shards, out.removed, nullptr);
  return out;
}

std::optional<SnapshotDiff> diff_within(const SnapshotData& self, const SnapshotData& base, size_t limit) {
  SnapshotDiff out;
  size_t budget = limit;
  try {
    walk_differences(self.shards, base.shards, out.added, &out.changed, &budget);
    walk_differences(base.shards, self.shards, out.removed, nullptr, &budget);
  } catch (const BudgetSpent&) {
    return std::nullopt;
  }
  return out;
}

}  // namespace derirezaro::store
