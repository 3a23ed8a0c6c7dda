#include "store/snapshot_diff.hpp"

namespace derirezaro::store {

namespace {

// Appends to `out` every entry of `from` that `to` lacks, and, when
// `changed` is given, every entry both hold with different bytes; in the
// order of a walk over `from`. Values compare by block first (a shared
// block is equal without reading it), then by bytes. A namespace lies in the same shard in every
// record, so it is looked up in the element of the same index.
void walk_differences(const ShardStates& from, const ShardStates& to, std::vector<EntryName>& out,
                      std::vector<EntryName>* changed) {
  for (size_t i = 0; i < kShardCount; ++i) {
    const NamespaceMap& ours = from[i].contents.namespaces;
    const NamespaceMap& theirs = to[i].contents.namespaces;
    ours.for_each_entry_not_shared_with(theirs, [&](const NamespaceMap::Entry& ns) {
      const std::string_view name = ns.key.view();
      const KeyMap* other_keys = theirs.find(name);
      if (other_keys == nullptr) {
        ns.value.for_each_entry([&](const KeyMap::Entry& entry) { out.push_back({name, entry.key.view()}); });
        return;
      }
      ns.value.for_each_entry_not_shared_with(*other_keys, [&](const KeyMap::Entry& entry) {
        const SharedBytesRef* other_value = other_keys->find(entry.key.view());
        if (other_value == nullptr) {
          out.push_back({name, entry.key.view()});
        } else if (changed != nullptr && entry.value != *other_value) {
          changed->push_back({name, entry.key.view()});
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

}  // namespace derirezaro::store
