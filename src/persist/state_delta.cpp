#include "persist/state_delta.hpp"

#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "codec/msgpack_writer.hpp"
#include "persist/entry_hash.hpp"
#include "store/siphash.hpp"
#include "store/snapshot_diff.hpp"

namespace derirezaro::persist {

namespace {

namespace mp = codec::msgpack;
using store::EntryName;

// The encoded value of an entry the diff named: it is there.
std::string_view value_in(const store::SnapshotData& data, const EntryName& name) {
  const auto& namespaces = data.shards[store::shard_index(name.ns)].contents.namespaces;
  return namespaces.find(name.ns)->find(name.key)->view();
}

// Entries grouped by namespace, namespaces in order of first appearance, as
// `dict.setdefault(namespace, ...)` groups them.
class Grouped {
 public:
  void add(const EntryName& name) {
    const auto [at, fresh] = index_.try_emplace(name.ns, groups_.size());
    if (fresh) groups_.push_back({name.ns, {}});
    groups_[at->second].names.push_back(&name);
  }

  struct Group {
    std::string_view ns;
    std::vector<const EntryName*> names;
  };
  const std::vector<Group>& groups() const { return groups_; }

 private:
  std::unordered_map<std::string_view, size_t> index_;
  std::vector<Group> groups_;
};

void write_text(codec::ByteBuffer& out, std::string_view text) {
  mp::write_str(out, text.data(), static_cast<uint32_t>(text.size()));
}

}  // namespace

std::optional<uint64_t> state_delta(const store::SnapshotData& now, const store::SnapshotData& before,
                                    uint64_t digest, size_t max_entries, codec::ByteBuffer& out) {
  const std::optional<store::SnapshotDiff> found = store::diff_within(now, before, max_entries);
  if (!found) return std::nullopt;
  const store::SnapshotDiff& diff = *found;

  Grouped sets, removes;
  for (const EntryName& name : diff.removed) {
    digest -= entry_hash(name.ns, name.key, value_in(before, name));
    removes.add(name);
  }
  for (const EntryName& name : diff.changed) digest -= entry_hash(name.ns, name.key, value_in(before, name));
  for (const auto* part : {&diff.added, &diff.changed}) {
    for (const EntryName& name : *part) sets.add(name);
  }

  mp::write_array_header(out, 2);
  mp::write_map_header(out, static_cast<uint32_t>(sets.groups().size()));
  for (const Grouped::Group& group : sets.groups()) {
    write_text(out, group.ns);
    mp::write_map_header(out, static_cast<uint32_t>(group.names.size()));
    for (const EntryName* name : group.names) {
      const std::string_view value = value_in(now, *name);
      write_text(out, name->key);
      out.append(value.data(), value.size());
      digest += entry_hash(name->ns, name->key, value);
    }
  }
  mp::write_map_header(out, static_cast<uint32_t>(removes.groups().size()));
  for (const Grouped::Group& group : removes.groups()) {
    write_text(out, group.ns);
    mp::write_array_header(out, static_cast<uint32_t>(group.names.size()));
    for (const EntryName* name : group.names) write_text(out, name->key);
  }
  return digest;
}

}  // namespace derirezaro::persist
