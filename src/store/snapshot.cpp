// Store::capture, record_snapshot, restore and the history.
#include <chrono>
#include <memory>
#include <mutex>
#include <utility>

#include "store/store.hpp"

namespace derirezaro::store {

namespace {

// Seconds since the Unix epoch on the real-time clock, with the fraction;
// 0.0 when the clock reads earlier than the epoch.
double seconds_since_epoch() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
  if (nanoseconds < 0) return 0.0;
  const auto seconds = nanoseconds / 1'000'000'000;
  return static_cast<double>(seconds) + static_cast<double>(nanoseconds % 1'000'000'000) / 1e9;
}

}  // namespace

Store::Capture Store::capture(const std::vector<Shard::Reading>& locked) const {
  // Every change to the total is made under some shard's write lock: with
  // all sixteen read locks held it is the total of the maps copied.
  return {make_shard_states([&](size_t i) { return ShardState{locked[i].contents(), shards_[i].entries()}; }),
          size_bytes_.load(std::memory_order_relaxed)};
}

Store::SnapshotRef Store::record_snapshot(Capture&& capture, SnapshotRef& trimmed, bool kept) {
  // Both allocations (the record and, when kept, a slot at the history's end) come first;
  // from the id on nothing can fail, so a failure has taken nothing.
  auto data = std::allocate_shared<SnapshotData>(StoreAllocator<SnapshotData>(),
                                                 SnapshotData{.id = 0,
                                                              .timestamp = 0.0,
                                                              .parent = std::nullopt,
                                                              .size_bytes = capture.size_bytes,
                                                              .shards = std::move(capture.shards)});
  std::lock_guard<std::mutex> held(history_lock_);
  if (kept) history_.emplace_back();  // the slot; trimming below makes room again when the history is full
  data->id = next_snapshot_id_++;
  data->parent = std::exchange(last_snapshot_id_, data->id);
  data->timestamp = seconds_since_epoch();
  SnapshotRef record = std::move(data);
  if (!kept) return record;
  history_.back() = record;
  if (max_history_ && history_.size() > *max_history_) {
    trimmed = std::move(history_.front());
    history_.pop_front();
  }
  return record;
}

ShardStates Store::restore(std::vector<Shard::Writing>& locked, const SnapshotData& snapshot) noexcept {
  ShardStates replaced = make_shard_states([&](size_t i) {
    const ShardState& taken = snapshot.shards[i];
    return locked[i].change([&](ShardContents& contents, std::atomic<uint64_t>& entries) noexcept {
      return ShardState{std::exchange(contents, taken.contents),
                        entries.exchange(taken.entries, std::memory_order_relaxed)};
    });
  });
  // Every change to the total is made under some shard's write lock, and
  // all sixteen are held.
  size_bytes_.store(snapshot.size_bytes, std::memory_order_relaxed);
  return replaced;
}

std::vector<uint64_t> Store::retained_snapshot_ids() const {
  std::lock_guard<std::mutex> held(history_lock_);
  std::vector<uint64_t> ids;
  for (const SnapshotRef& record : history_) ids.push_back(record->id);
  return ids;
}

}  // namespace derirezaro::store
