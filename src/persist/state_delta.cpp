#include "persist/state_delta.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "codec/msgpack_writer.hpp"
#include "persist/body_reader.hpp"
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

// Entries begin..end of one namespace's group, of the sets or the removes.
struct Part {
  const Grouped::Group* group;
  size_t begin;
  size_t end;
};

// Writes the chunk `[{namespace: {key: value}}, {namespace: [key]}]` of
// these parts, adding each value set to `digest`.
void write_chunk(const store::SnapshotData& now, const std::vector<Part>& sets,
                 const std::vector<Part>& removes, uint64_t& digest, codec::ByteBuffer& out) {
  mp::write_array_header(out, 2);
  mp::write_map_header(out, static_cast<uint32_t>(sets.size()));
  for (const Part& part : sets) {
    write_text(out, part.group->ns);
    mp::write_map_header(out, static_cast<uint32_t>(part.end - part.begin));
    for (size_t i = part.begin; i < part.end; ++i) {
      const EntryName& name = *part.group->names[i];
      const std::string_view value = value_in(now, name);
      write_text(out, name.key);
      out.append(value.data(), value.size());
      digest += entry_hash(name.ns, name.key, value);
    }
  }
  mp::write_map_header(out, static_cast<uint32_t>(removes.size()));
  for (const Part& part : removes) {
    write_text(out, part.group->ns);
    mp::write_array_header(out, static_cast<uint32_t>(part.end - part.begin));
    for (size_t i = part.begin; i < part.end; ++i) write_text(out, part.group->names[i]->key);
  }
}

// Writes the body of the change, one chunk or framed; false when a chunk is
// longer than its 4-byte length can say.
bool write_body(const store::SnapshotData& now, const Grouped& sets, const Grouped& removes,
                size_t chunk_entries, uint64_t& digest, codec::ByteBuffer& out) {
  size_t count = 0;
  for (const Grouped* side : {&sets, &removes}) {
    for (const Grouped::Group& group : side->groups()) count += group.names.size();
  }
  std::vector<Part> chunk_sets, chunk_removes;
  if (count <= chunk_entries) {
    for (const Grouped::Group& group : sets.groups()) chunk_sets.push_back({&group, 0, group.names.size()});
    for (const Grouped::Group& group : removes.groups()) {
      chunk_removes.push_back({&group, 0, group.names.size()});
    }
    write_chunk(now, chunk_sets, chunk_removes, digest, out);
    return true;
  }
  // Framed: the sets' namespaces and then the removes', split where a chunk fills.
  out.append(&kFramedBody, 1);
  bool fits = true;
  const auto close = [&] {
    const size_t length_at = out.size();
    const uint8_t room[4] = {};
    out.append(room, 4);
    write_chunk(now, chunk_sets, chunk_removes, digest, out);
    const size_t length = out.size() - length_at - 4;
    fits &= length <= UINT32_MAX;
    uint8_t* at = out.cursor() - out.size() + length_at;  // the buffer's start, writable
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(length >> (8 * (3 - i)));
    chunk_sets.clear();
    chunk_removes.clear();
  };
  size_t room = chunk_entries;
  for (const auto& [side, parts] : {std::pair{&sets, &chunk_sets}, std::pair{&removes, &chunk_removes}}) {
    for (const Grouped::Group& group : side->groups()) {
      for (size_t begin = 0; begin < group.names.size();) {
        const size_t end = std::min(group.names.size(), begin + room);
        parts->push_back({&group, begin, end});
        room -= end - begin;
        begin = end;
        if (room == 0) {
          close();
          room = chunk_entries;
        }
      }
    }
  }
  if (room < chunk_entries) close();
  return fits;
}

}  // namespace

std::optional<uint64_t> state_delta(const store::SnapshotData& now, const store::SnapshotData& before,
                                    uint64_t digest, size_t chunk_entries, codec::ByteBuffer& out) {
  const store::SnapshotDiff diff = store::diff(now, before);

  Grouped sets, removes;
  for (const EntryName& name : diff.removed) {
    digest -= entry_hash(name.ns, name.key, value_in(before, name));
    removes.add(name);
  }
  for (const EntryName& name : diff.changed) digest -= entry_hash(name.ns, name.key, value_in(before, name));
  for (const auto* part : {&diff.added, &diff.changed}) {
    for (const EntryName& name : *part) sets.add(name);
  }
  if (!write_body(now, sets, removes, chunk_entries, digest, out)) return std::nullopt;
  return digest;
}

}  // namespace derirezaro::persist
