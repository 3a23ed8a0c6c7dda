// How to go from one snapshot (`base`) to another (`self`): the entries
// added, removed and changed, compared by their encoded bytes.
//
// The result is that of the plain walk: "added" and "changed" in the order
// of a walk over `self` (shards ascending, then namespaces, then keys, each
// in its map's iteration order), "removed" in the order of the same walk
// over `base`. But the work follows the size of the change wherever the two
// share structure, as snapshots of one store do: a map node shared by both
// holds the same entries in both and is skipped whole (see
// PersistentMap::for_each_entry_not_shared_with), a KeyMap shared by both is
// skipped whole, and a value block shared by both is equal without a byte
// comparison. Snapshots that share nothing (of unrelated stores) are
// compared entry by entry, with the same result.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "store/snapshot.hpp"

namespace derirezaro::store {

// Views into the key blocks of the compared records: valid while both live.
struct EntryName {
  std::string_view ns;
  std::string_view key;
  bool operator==(const EntryName&) const = default;
};

struct SnapshotDiff {
  std::vector<EntryName> added;    // in `self`, not in `base`
  std::vector<EntryName> removed;  // in `base`, not in `self`
  std::vector<EntryName> changed;  // in both, with encoded values that differ
};

SnapshotDiff diff(const SnapshotData& self, const SnapshotData& base);

// The same, or nothing when it would name more than `limit` entries in all.
// The walk stops at the first entry past the limit, so finding out costs
// about `limit` entries' work, however large the change.
std::optional<SnapshotDiff> diff_within(const SnapshotData& self, const SnapshotData& base, size_t limit);

}  // namespace derirezaro::store
