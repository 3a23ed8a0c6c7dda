#include "persist/state_keyframe.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "codec/msgpack_writer.hpp"
#include "persist/body_reader.hpp"
#include "persist/entry_hash.hpp"

namespace derirezaro::persist {

namespace {

namespace mp = codec::msgpack;

struct Namespace {
  std::string_view name;
  const store::KeyMap* keys;
  size_t first;  // the index of its first entry in the whole walk
};

void write_text(codec::ByteBuffer& out, std::string_view text) {
  mp::write_str(out, text.data(), static_cast<uint32_t>(text.size()));
}

// Writes chunk after chunk as the walk reaches their entries: the headers
// of a chunk and of each namespace's part of it are known in advance from
// the namespaces' sizes, so every entry is visited once.
class ChunkWriter {
 public:
  ChunkWriter(const std::vector<Namespace>& namespaces, size_t total, size_t chunk_entries,
              codec::ByteBuffer& out)
      : namespaces_(namespaces),
        total_(total),
        chunk_(chunk_entries),
        out_(out),
        framed_(total > chunk_entries) {
    if (framed_) out_.append(&kFramedBody, 1);
  }

  // Before the first entry of namespace `index`, which is entry `at` of the walk.
  void namespace_begins(size_t index, size_t at) {
    if (at % chunk_ == 0) {
      chunk_begins(index, at);
    } else {
      write_part_header(index, at);
    }
  }

  // Before entry `at`, not a namespace's first, of namespace `index`.
  void entry_at(size_t index, size_t at) {
    if (at % chunk_ == 0) chunk_begins(index, at);
  }

  // Whether every chunk's length fits its 4 bytes.
  bool finish() {
    if (total_ == 0) {
      mp::write_array_header(out_, 2);
      mp::write_map_header(out_, 0);
    }
    close_chunk();
    return !too_long_;
  }

 private:
  void chunk_begins(size_t index, size_t at) {
    close_chunk();
    if (framed_) {
      length_at_ = out_.size();
      const uint8_t room[4] = {};
      out_.append(room, 4);
    }
    open_ = true;
    const size_t end = std::min(at + chunk_, total_);
    size_t count = 0;
    for (size_t i = index; i < namespaces_.size() && namespaces_[i].first < end; ++i) ++count;
    mp::write_array_header(out_, 2);
    mp::write_map_header(out_, static_cast<uint32_t>(count));
    write_part_header(index, at);
  }

  // The namespace's name and how many of its entries, from `at` on, this chunk holds.
  void write_part_header(size_t index, size_t at) {
    const Namespace& ns = namespaces_[index];
    const size_t chunk_end = (at / chunk_ + 1) * chunk_;
    const size_t ns_end = ns.first + ns.keys->size();
    write_text(out_, ns.name);
    mp::write_map_header(out_, static_cast<uint32_t>(std::min(chunk_end, ns_end) - at));
  }

  void close_chunk() {
    if (!open_ && total_ != 0) return;
    mp::write_map_header(out_, 0);  // the removes: none in a keyframe
    if (framed_) {
      const size_t length = out_.size() - length_at_ - 4;
      too_long_ |= length > UINT32_MAX;
      uint8_t* at = out_.cursor() - out_.size() + length_at_;  // the buffer's start, writable
      for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(length >> (8 * (3 - i)));
    }
    open_ = false;
  }

  const std::vector<Namespace>& namespaces_;
  const size_t total_;
  const size_t chunk_;
  codec::ByteBuffer& out_;
  const bool framed_;
  bool open_ = false;
  bool too_long_ = false;
  size_t length_at_ = 0;
};

}  // namespace

std::optional<uint64_t> state_keyframe(const store::SnapshotData& now, size_t chunk_entries, bool with_digest,
                                       codec::ByteBuffer& out) {
  std::vector<Namespace> namespaces;
  size_t total = 0;
  for (const store::ShardState& shard : now.shards) {
    shard.contents.namespaces.for_each([&](std::string_view ns, const store::KeyMap& keys) {
      if (keys.empty()) return;
      namespaces.push_back({ns, &keys, total});
      total += keys.size();
    });
  }
  ChunkWriter chunks(namespaces, total, chunk_entries == 0 ? 1 : chunk_entries, out);
  uint64_t digest = 0;
  size_t at = 0;
  for (size_t index = 0; index < namespaces.size(); ++index) {
    const Namespace& ns = namespaces[index];
    bool first = true;
    ns.keys->for_each([&](std::string_view key, const auto& value_ref) {
      if (first) {
        chunks.namespace_begins(index, at);
        first = false;
      } else {
        chunks.entry_at(index, at);
      }
      const std::string_view value = value_ref.view();
      write_text(out, key);
      out.append(value.data(), value.size());
      if (with_digest) digest += entry_hash(ns.name, key, value);
      ++at;
    });
  }
  if (!chunks.finish()) return std::nullopt;
  return digest;
}

}  // namespace derirezaro::persist
