// What the core suites share: bytes written in hex, the codec's two read
// paths, weak hashers that force collisions and the deepest trie level,
// map contents read once the debug validator has passed the tree, a leak
// check, failing allocations one by one, and shards recounted from their
// maps.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/byte_buffer.hpp"
#include "codec/value_reader.hpp"
#include "codec/value_writer.hpp"
#include "store/allocation.hpp"
#include "store/persistent_map.hpp"
#include "store/shard.hpp"
#include "store/store.hpp"

namespace derirezaro::test {

// "cd 01 00" -> those three bytes; "78*3" -> three bytes 0x78.
inline std::string hex(std::string_view text) {
  std::istringstream words{std::string(text)};
  std::string out;
  for (std::string word; words >> word;) {
    const size_t star = word.find('*');
    out.append(star == word.npos ? 1 : std::stoul(word.substr(star + 1)),
               static_cast<char>(std::stoul(word.substr(0, star), nullptr, 16)));
  }
  return out;
}

// prefix + decimal n, built by appending (g++ 12 misreports the
// literal-plus-temporary form under -Wrestrict).
inline std::string numbered(std::string_view prefix, uint64_t n) {
  return std::string(prefix).append(std::to_string(n));
}

// ---------------------------------------------------------------- codec

// With `validated`, the path `loads` takes: validate(), then the walk with
// every check off.
inline codec::ReadResult decode(std::string_view s, bool validated = false) {
  const auto* data = reinterpret_cast<const uint8_t*>(s.data());
  return validated ? codec::read_validated_value(data, s.size()) : codec::read_value(data, s.size());
}

inline std::string encode(const codec::Value& value) {
  codec::ByteBuffer out;
  codec::write_value(value, out);
  return std::string(reinterpret_cast<const char*>(out.data()), out.size());
}

// ---------------------------------------------------------------- maps

using store::SharedBytesRef;
inline SharedBytesRef bytes(std::string_view s) { return SharedBytesRef::copy_of(s); }

// Every key in one collision list below a chain of one-child nodes.
struct ConstantHash {
  uint32_t operator()(const store::HashSeed&, std::string_view) const noexcept { return 0x5eed5eedu; }
};

// Six bits of a real hash: two picked at the root, two at depth 1 and two
// at the deepest level. Nodes below the root that mix leaves and children,
// chains of one-child nodes, a crowded deepest level, many collision lists.
struct FewBitsHash {
  uint32_t operator()(const store::HashSeed& seed, std::string_view key) const noexcept {
    return store::SeededSipHash{}(seed, key) & 0xc0000063u;
  }
};

// A map's entries, sorted, once the debug validator has passed its tree.
template <class Map>
std::map<std::string, std::string> contents(const Map& map) {
  std::string why;
  EXPECT_TRUE(map.validate(&why)) << why;
  std::map<std::string, std::string> out;
  map.for_each([&](std::string_view key, const SharedBytesRef& value) { out.emplace(key, value.view()); });
  EXPECT_EQ(out.size(), map.size()) << "the size is off, or a key was visited twice";
  return out;
}

// A shard's namespaces, keys and values.
using Deep = std::map<std::string, std::map<std::string, std::string>>;

// Declared first in a test, so it runs last: every node and byte block made
// during the test must be gone by then.
struct LeakCheck {
  const int64_t nodes = store::PersistentMapStats::live_nodes();
  const int64_t blocks = store::PersistentMapStats::live_byte_blocks();
  ~LeakCheck() {
    EXPECT_EQ(store::PersistentMapStats::live_nodes(), nodes) << "map nodes leaked or freed twice";
    EXPECT_EQ(store::PersistentMapStats::live_byte_blocks(), blocks) << "byte blocks leaked or freed twice";
  }
};

// The store's failure injection (store/allocation.hpp): n >= 0 lets the
// next n allocations on this thread succeed and fails the one after; n < 0
// disarms it.
inline void arm_store_allocations(int64_t n) noexcept {
  if (n < 0) return store::testing::stop_failing_allocations();
  store::testing::fail_allocation_after(static_cast<uint64_t>(n));
}

// Runs `write` with its first allocation failing, then its second, and so
// on until it succeeds; `after_failure(n)` checks what failure n left.
// `arm` is the failure injection to drive, the store's unless given.
template <class Write, class Check>
void fail_each_allocation(Write&& write, Check&& after_failure,
                          void (*arm)(int64_t) = arm_store_allocations) {
  for (int64_t n = 0; !::testing::Test::HasFatalFailure(); ++n) {
    arm(n);
    try {
      write();
      return arm(-1);
    } catch (const std::bad_alloc&) {
      arm(-1);
    }
    after_failure(n);
  }
}

// Whether `work` ran without asking for memory.
template <class Work>
bool allocates_nothing(Work&& work) {
  store::testing::fail_allocation_after(0);
  work();
  const bool none = store::testing::allocation_failure_armed();
  store::testing::stop_failing_allocations();
  return none;
}

// ---------------------------------------------------------------- shards

// The entry operations and snapshots as the binding runs them, each
// through the guards of the locks it needs (waiting for them).
inline void set(store::Store& store, std::string_view ns, std::string_view key, const SharedBytesRef& value) {
  store::Shard::Writing shard = store.shard_for(ns).write();
  store.set(shard, ns, key, value);
}

inline bool erase(store::Store& store, std::string_view ns, std::string_view key) {
  store::Shard::Writing shard = store.shard_for(ns).write();
  return store.erase(shard, ns, key);
}

inline store::Store::SnapshotRef snapshot(store::Store& store, bool kept = true) {
  store::Store::Capture capture = store.capture(store.every_shard_for_reading().acquire());  // then unlocked
  store::Store::SnapshotRef trimmed;
  return store.record_snapshot(std::move(capture), trimmed, kept);
}

inline void restore(store::Store& store, const store::SnapshotData& snapshot) {
  auto locked = store.every_shard_for_writing().acquire();
  store.restore(locked, snapshot);
}

// A shard's contents as its maps show them, with its byte and entry totals
// recounted from them; the shard's own totals must match the recount.
struct Recount {
  Deep namespaces;
  uint64_t bytes = 0, entries = 0;
};

inline Recount recount(store::Store& store, size_t index) {
  Recount out;
  {
    const store::Shard::Reading shard = store.shard(index).read();
    std::string why;
    EXPECT_TRUE(shard.contents().namespaces.validate(&why)) << why;
    shard.contents().namespaces.for_each([&](std::string_view ns, const store::KeyMap& keys) {
      const auto& held = out.namespaces[std::string(ns)] = contents(keys);
      for (const auto& [key, value] : held) out.bytes += value.size();
      out.entries += held.size();
    });
    EXPECT_EQ(shard.contents().bytes, out.bytes) << "shard " << index;
  }
  EXPECT_EQ(store.shard(index).entries(), out.entries) << "shard " << index;
  return out;
}

// Every shard recounted, and the store's lock-free totals against the sum.
inline std::vector<Recount> recount_all(store::Store& store) {
  std::vector<Recount> shards;
  uint64_t bytes = 0, entries = 0;
  for (size_t i = 0; i < store::Store::shard_count(); ++i) {
    shards.push_back(recount(store, i));
    bytes += shards.back().bytes;
    entries += shards.back().entries;
  }
  EXPECT_EQ(store.size_bytes(), bytes);
  EXPECT_EQ(store.entry_count(), entries);
  return shards;
}

}  // namespace derirezaro::test
