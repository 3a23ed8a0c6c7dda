#include "store/store.hpp"

#include <stdexcept>

namespace derirezaro::store {

uint64_t Store::entry_count() const {
  uint64_t total = 0;
  for (const Shard& shard : shards_) total += shard.entries();
  return total;
}

void Store::set(Shard::Writing& shard, std::string_view ns, std::string_view key,
                const SharedBytesRef& value) {
  shard.change([&](ShardContents& contents, std::atomic<uint64_t>& entries) {
    std::optional<SharedBytesRef> replaced;
    if (KeyMap* keys = contents.namespaces.find_for_update(ns)) {
      replaced = keys->insert_or_assign(key, value);
    } else {
      // Both allocating steps come before the namespace becomes visible: if
      // either fails, the shard is as it was.
      KeyMap fresh;
      fresh.insert_or_assign(key, value);
      contents.namespaces.insert_or_assign(ns, std::move(fresh));
    }
    // Nothing below can fail.
    const uint64_t old_size = replaced ? replaced->size() : 0;
    contents.bytes += value.size() - old_size;
    if (value.size() >= old_size) {
      size_bytes_.fetch_add(value.size() - old_size, std::memory_order_relaxed);
    } else {
      size_bytes_.fetch_sub(old_size - value.size(), std::memory_order_relaxed);
    }
    if (!replaced) entries.fetch_add(1, std::memory_order_relaxed);
  });
}

void Store::add_namespace(Shard::Writing& shard, std::string_view ns, std::vector<KeyMap::Entry>&& entries) {
  if (shard.contents().namespaces.contains(ns))
    throw std::logic_error("add_namespace: the namespace is present");
  KeyMap keys = KeyMap::from_entries(fresh_hash_seed(), std::move(entries));
  uint64_t bytes = 0;
  keys.for_each([&bytes](std::string_view, const SharedBytesRef& value) { bytes += value.size(); });
  const uint64_t count = keys.size();
  shard.change([&](ShardContents& contents, std::atomic<uint64_t>& entry_count) {
    contents.namespaces.insert_or_assign(ns, std::move(keys));  // the one step that can fail
    contents.bytes += bytes;
    size_bytes_.fetch_add(bytes, std::memory_order_relaxed);
    entry_count.fetch_add(count, std::memory_order_relaxed);
  });
}

bool Store::erase(Shard::Writing& shard, std::string_view ns, std::string_view key) {
  const KeyMap* current = shard.contents().namespaces.find(ns);
  if (current == nullptr || !current->contains(key)) return false;  // nothing to copy or change
  return shard.change([&](ShardContents& contents, std::atomic<uint64_t>& entries) {
    KeyMap* keys = contents.namespaces.find_for_update(ns);
    auto removed = keys->erase(key);
    const uint64_t size = removed->value.size();
    contents.bytes -= size;
    size_bytes_.fetch_sub(size, std::memory_order_relaxed);
    entries.fetch_sub(1, std::memory_order_relaxed);
    return true;
  });
}

NamespaceMap Store::take_all(Shard::Writing& shard) {
  if (shard.contents().namespaces.empty()) return NamespaceMap(shard.contents().namespaces.seed());
  return shard.change([&](ShardContents& contents, std::atomic<uint64_t>& entries) {
    size_bytes_.fetch_sub(contents.bytes, std::memory_order_relaxed);
    contents.bytes = 0;
    entries.store(0, std::memory_order_relaxed);
    return std::move(contents.namespaces);  // leaves the shard's map empty, with its seed
  });
}

std::optional<SharedBytesRef> Store::find(const ShardContents& shard, std::string_view ns,
                                          std::string_view key) {
  const KeyMap* keys = shard.namespaces.find(ns);
  if (keys == nullptr) return std::nullopt;
  const SharedBytesRef* value = keys->find(key);
  if (value == nullptr) return std::nullopt;
  return *value;
}

KeyMap Store::keys_of(const ShardContents& shard, std::string_view ns) {
  const KeyMap* keys = shard.namespaces.find(ns);
  return keys != nullptr ? *keys : KeyMap(shard.namespaces.seed());
}

}  // namespace derirezaro::store
