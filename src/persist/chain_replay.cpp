#include "persist/chain_replay.hpp"

#include <array>
#include <cassert>
#include <cstring>
#include <functional>
#include <unordered_map>
#include <utility>

#include "persist/body_reader.hpp"
#include "persist/checksums.hpp"
#include "persist/entry_hash.hpp"
#include "store/map_hash.hpp"
#include "store/siphash.hpp"
#include "store/snapshot.hpp"

namespace derirezaro::persist {

namespace {

using store::Shard;
using store::SharedBytesRef;

// About a third of a millisecond of replay, measured on keyframes.
constexpr size_t kShortWorkBodyBytes = 256 * 1024;

const uint8_t* bytes_of(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// The body to read, once both checksums hold: in `body`, or the fault.
Fault checked_body(std::string_view timeline, const StoredFields& r, int64_t newest_format,
                   std::string_view& body) {
  if (const Fault fault = record_fault(timeline, r, newest_format); fault != Fault::none) return fault;
  const bool compressed = !r.body.empty() && static_cast<uint8_t>(r.body[0]) == kCompressedBody;
  if (compressed != r.inflated.has_value()) return Fault::undecodable_body;
  body = r.body;
  if (!compressed) return Fault::none;
  // The body handed over beside a compressed one must be the size it
  // declares, and not itself compressed (FORMAT.md, compressed layout).
  const std::optional<uint64_t> declared = declared_inflated_size(bytes_of(r.body), r.body.size());
  if (!declared || *declared != r.inflated->size() ||
      static_cast<uint8_t>(r.inflated->front()) == kCompressedBody) {
    return Fault::undecodable_body;
  }
  body = *r.inflated;
  return Fault::none;
}

SharedBytesRef shared_copy(std::string_view value) {
  return SharedBytesRef::build(value.size(),
                               [value](char* out) noexcept { std::memcpy(out, value.data(), value.size()); });
}

struct PairHash {
  size_t operator()(const std::pair<std::string_view, std::string_view>& p) const noexcept {
    const size_t a = std::hash<std::string_view>{}(p.first);
    return a ^ (std::hash<std::string_view>{}(p.second) + 0x9e3779b97f4a7c15u + (a << 6) + (a >> 2));
  }
};

// The net change of the deltas merged so far: pair -> new value, or none
// when the pair is removed. Views into the bodies, which outlive it.
using NetChange = std::unordered_map<std::pair<std::string_view, std::string_view>,
                                     std::optional<std::string_view>, PairHash>;

class ChainReplay {
 public:
  ChainReplay(store::Store& store, std::vector<Shard::Writing>& locked) : store_(store), locked_(locked) {}

  // The store takes the keyframe's state whole: each namespace's key map and
  // each shard's namespace map built in one go (PersistentMap::from_entries,
  // one allocation per node), then swapped in for what the shards held. A
  // framed body may list a namespace in several chunks, so its group is
  // found by name. Each entry costs O(1), whatever the number of namespaces.
  // Returns the digest of the state filled when `hash`, else 0.
  uint64_t fill(const BodyEntries& entries, bool hash, std::vector<store::NamespaceMap>& removed) {
    std::vector<std::pair<std::string_view, std::vector<store::KeyMap::Entry>>> groups;
    std::unordered_map<std::string_view, size_t> group_of;
    size_t group = 0;
    for (const SetEntry& e : entries.sets) {
      if (groups.empty() || groups[group].first != e.ns) {
        const auto [at, fresh] = group_of.try_emplace(e.ns, groups.size());
        if (fresh) groups.emplace_back(e.ns, std::vector<store::KeyMap::Entry>{});
        group = at->second;
      }
      groups[group].second.push_back({shared_copy(e.key), shared_copy(e.value)});
    }
    group_of.clear();

    std::array<std::vector<store::NamespaceMap::Entry>, store::kShardCount> namespaces;
    std::array<uint64_t, store::kShardCount> bytes{}, counts{};
    uint64_t digest = 0;
    for (auto& [ns, keys] : groups) {
      const size_t shard = store::shard_index(ns);
      store::KeyMap map = store::KeyMap::from_entries(store::fresh_hash_seed(), std::move(keys));
      const std::string_view name = ns;  // a structured binding is no lambda capture before C++20's
      map.for_each([&](std::string_view key, const SharedBytesRef& value) {
        bytes[shard] += value.size();
        if (hash) digest += entry_hash(name, key, value.view());
      });
      counts[shard] += map.size();  // a key given twice counts once, with its last value
      namespaces[shard].push_back({shared_copy(ns), std::move(map)});
    }
    groups.clear();

    uint64_t total = 0;
    for (const uint64_t b : bytes) total += b;
    const store::SnapshotData state{
        .id = 0,
        .timestamp = 0.0,
        .parent = std::nullopt,
        .size_bytes = total,
        .shards = store::make_shard_states([&](size_t i) {
          return store::ShardState{
              {store::NamespaceMap::from_entries(store::fresh_hash_seed(), std::move(namespaces[i])),
               bytes[i]},
              counts[i]};
        })};
    removed.reserve(removed.size() + store::kShardCount);  // nothing can fail once the store has changed
    for (store::ShardState& held : store_.restore(locked_, state)) {
      removed.push_back(std::move(held.contents.namespaces));
    }
    return digest;
  }

  // The pair removed but absent, if any; none merges nothing after it.
  const RemovedEntry* merge(const BodyEntries& entries) {
    for (const RemovedEntry& e : entries.removes) {
      const auto pair = std::make_pair(e.ns, e.key);
      const auto change = net_.find(pair);
      const bool present =
          change != net_.end() ? change->second.has_value() : current(e.ns, e.key).has_value();
      if (!present) return &e;
      net_.insert_or_assign(pair, std::nullopt);
    }
    for (const SetEntry& e : entries.sets) net_.insert_or_assign({e.ns, e.key}, e.value);
    return nullptr;
  }

  uint64_t flush(uint64_t digest) {
    for (const auto& [pair, value] : net_) {
      const auto& [ns, key] = pair;
      Shard::Writing& shard = shard_of(ns);
      if (const std::optional<SharedBytesRef> old = store::Store::find(shard.contents(), ns, key)) {
        digest -= entry_hash(ns, key, old->view());
      }
      if (value) {
        store_.set(shard, ns, key, shared_copy(*value));
        digest += entry_hash(ns, key, *value);
      } else {
        store_.erase(shard, ns, key);
      }
    }
    net_.clear();
    return digest;
  }

 private:
  Shard::Writing& shard_of(std::string_view ns) { return locked_[store::shard_index(ns)]; }

  std::optional<SharedBytesRef> current(std::string_view ns, std::string_view key) {
    return store::Store::find(shard_of(ns).contents(), ns, key);
  }

  store::Store& store_;
  std::vector<Shard::Writing>& locked_;
  NetChange net_;
};

}  // namespace

Fault record_fault(std::string_view timeline, const StoredFields& r, int64_t newest_format) {
  if (const Fault fault = header_fault(timeline, r, newest_format); fault != Fault::none) return fault;
  if (r.body_size < 0 || static_cast<uint64_t>(r.body_size) != r.body.size()) return Fault::truncated_body;
  if (as_signed32(crc32(bytes_of(r.body), r.body.size(), static_cast<uint32_t>(r.header_crc))) != r.crc) {
    return Fault::checksum_mismatch;
  }
  return Fault::none;
}

Replayed replay_chain(store::Store& store, std::vector<Shard::Writing>& locked, const Chain& chain,
                      std::vector<store::NamespaceMap>& removed) {
  const auto at_fault = [](Fault fault, size_t record) {
    Replayed result;
    result.fault = fault;
    result.record = record;
    return result;
  };
  assert(!chain.records.empty());  // the binding refuses an empty chain
  ChainReplay replay(store, locked);
  uint64_t digest = chain.digest;
  BodyEntries entries;
  for (size_t i = 0; i < chain.records.size(); ++i) {
    const StoredFields& record = chain.records[i];
    const bool keyframe = i == 0 && chain.from_keyframe;
    std::string_view body;
    const Fault fault = checked_body(chain.timeline, record, chain.newest_format, body);
    if (fault != Fault::none) return at_fault(fault, i);
    // A chain starts at a keyframe or at a state it continues; the rest are deltas.
    if (record.kind != (keyframe ? kKeyframeKind : kDeltaKind))
      return at_fault(Fault::inconsistent_header, i);
    entries.clear();
    if (!read_body(bytes_of(body), body.size(), entries)) return at_fault(Fault::undecodable_body, i);
    if (keyframe) {
      const uint64_t held = replay.fill(entries, chain.each_step, removed);
      digest = static_cast<uint64_t>(record.digest);
      if (chain.each_step && held != digest) return at_fault(Fault::keyframe_digest_mismatch, i);
    } else if (const RemovedEntry* absent = replay.merge(entries)) {
      Replayed result = at_fault(Fault::removes_absent, i);
      result.ns = absent->ns;
      result.key = absent->key;
      return result;
    } else if (chain.each_step) {
      digest = replay.flush(digest);
      if (as_signed32(static_cast<uint32_t>(digest)) != record.digest) {
        return at_fault(Fault::state_digest_mismatch, i);
      }
    }
  }
  digest = replay.flush(digest);
  const size_t last_index = chain.records.size() - 1;
  const StoredFields& last = chain.records[last_index];
  const int64_t stored =
      last.kind == kKeyframeKind ? static_cast<int64_t>(digest) : as_signed32(static_cast<uint32_t>(digest));
  if (stored != last.digest) return at_fault(Fault::state_digest_mismatch, last_index);
  Replayed result;
  result.digest = digest;
  return result;
}

std::optional<uint64_t> load_keyframe(store::Store& store, std::vector<Shard::Writing>& locked,
                                      std::string_view body, std::vector<store::NamespaceMap>& removed) {
  BodyEntries entries;
  if (!read_body(bytes_of(body), body.size(), entries) || !entries.removes.empty()) return std::nullopt;
  ChainReplay replay(store, locked);
  return replay.fill(entries, true, removed);
}

bool replay_is_long_work(size_t body_bytes) noexcept { return body_bytes > kShortWorkBodyBytes; }

}  // namespace derirezaro::persist
