#include "store/store.hpp"

namespace derirezaro::store {

uint64_t Store::entry_count() const {
  uint64_t total = 0;
  for (const Shard& shard : shards_) total += shard.entries();
  return total;
}

void Store::set(ShardContents& shard, std::atomic<uint64_t>& entries, std::string_view ns,
                std::string_view key, const SharedBytesRef& value) {
  std::optional<SharedBytesRef> replaced;
  if (KeyMap* keys = shard.namespaces.find_for_update(ns)) {
    replaced = keys->insert_or_assign(key, value);
  } else {
    // Both allocating steps come before the namespace becomes visible: if
    // either fails, the shard is as it was.
    KeyMap fresh;
    fresh.insert_or_assign(key, value);
    shard.namespaces.insert_or_assign(ns, std::move(fresh));
  }
  // Nothing below can fail.
  const uint64_t old_size = replaced ? replaced->size() : 0;
  shard.bytes += value.size() - old_size;
  if (value.size() >= old_size) {
    size_bytes_.fetch_add(value.size() - old_size, std::memory_order_relaxed);
  } else {
    size_bytes_.fetch_sub(old_size - value.size(), std::memory_order_relaxed);
  }
  if (!replaced) entries.fetch_add(1, std::memory_order_relaxed);
}

bool Store::erase(ShardContents& shard, std::atomic<uint64_t>& entries, std::string_view ns,
                  std::string_view key) {
  const KeyMap* current = shard.namespaces.find(ns);
  if (current == nullptr || !current->contains(key)) return false;  // nothing to copy or change
  KeyMap* keys = shard.namespaces.find_for_update(ns);
  auto removed = keys->erase(key);
  const uint64_t size = removed->value.size();
  shard.bytes -= size;
  size_bytes_.fetch_sub(size, std::memory_order_relaxed);
  entries.fetch_sub(1, std::memory_order_relaxed);
  return true;
}

void Store::clear(ShardContents& shard, std::atomic<uint64_t>& entries) {
  if (shard.namespaces.empty()) return;
  size_bytes_.fetch_sub(shard.bytes, std::memory_order_relaxed);
  shard.bytes = 0;
  entries.store(0, std::memory_order_relaxed);
  shard.namespaces.clear();
}

std::optional<SharedBytesRef> Store::find(const ShardContents& shard, std::string_view ns,
                                          std::string_view key) {
  const KeyMap* keys = shard.namespaces.find(ns);
  if (keys == nullptr) return std::nullopt;
  const SharedBytesRef* value = keys->find(key);
  if (value == nullptr) return std::nullopt;
  return *value;
}

std::vector<SharedBytesRef> Store::keys(const ShardContents& shard, std::string_view ns) {
  std::vector<SharedBytesRef> out;
  const KeyMap* keys = shard.namespaces.find(ns);
  if (keys == nullptr) return out;
  out.reserve(keys->size());
  keys->for_each_entry([&out](const auto& entry) { out.push_back(entry.key); });
  return out;
}

void Store::append_namespaces(const ShardContents& shard, std::vector<SharedBytesRef>& out) {
  shard.namespaces.for_each_entry([&out](const auto& entry) { out.push_back(entry.key); });
}

}  // namespace derirezaro::store
