// PersistentMap: a persistent hash map from byte-string keys to values, with
// O(1) copy and structural sharing. It is the store's only container: a
// shard holds a NamespaceMap (namespace -> KeyMap) and each KeyMap maps a key
// to the value's encoded bytes. A snapshot is a copy of all sixteen shard
// maps, which costs sixteen count increments whatever the store holds; the
// writes that follow copy only the nodes on their own paths.
//
// Shape
// -----
// A hash array mapped trie. Each key's 32-bit hash is cut into 5-bit groups,
// least significant first; the group for depth d picks one of 32 slots in the
// node at that depth. Depths 0..5 take 5 bits each, depth 6 the last 2, and
// keys whose whole hashes are equal share a collision list below depth 6:
//
//      bit 31                                                       bit 0
//       |d6|  d5 |  d4 |  d3 |  d2 |  d1 |  d0 |
//       |10|01110|00011|10101|10101|00111|00101|   hash 0x9C3AD4E5
//        2   14     3    21    21     7     5      slot taken at each depth
//
//   depth 0 (root)   slot = hash       & 31     -> 5
//   depth 1          slot = hash >>  5 & 31     -> 7
//   ...
//   depth 5          slot = hash >> 25 & 31     -> 14
//   depth 6          slot = hash >> 30          -> 2   (0..3: 2 bits left)
//   depth 7          collision list: every leaf has this very hash
//
// A key goes no deeper than it must: it sits as a leaf in the first slot on
// its path that no other key's path shares.
//
// Nodes
// -----
// A bitmap node has two 32-bit occupancy maps: `datamap` marks slots holding
// a leaf (key and value, stored inline), `nodemap` marks slots holding a
// child node; a slot is in at most one. Leaves and children follow the
// 16-byte header in two exactly-sized arrays, each in slot order:
//
//   | refs | datamap | nodemap | leaf[popcount(datamap)] | child[popcount(nodemap)] |
//
// The array position of the slot with bit `bit` (= 1 << slot) is the number
// of occupied slots below it:  index = popcount(map & (bit - 1)).
// Example: datamap 0b1010'0110 (slots 1, 2, 5, 7), looking up slot 5:
//   bit = 0b0010'0000, map & (bit - 1) = 0b0000'0110, popcount = 2,
//   so slot 5's leaf is leaf[2], the third one.
// A collision list is a header (refs, hash, count) and `count` leaves in
// insertion order. A node's kind follows from its depth (bitmap at 0..6,
// list at 7), so nodes carry no kind tag.
//
// Memory: a KeyMap leaf is two 8-byte handles (key block and value block);
// a node costs its 16-byte header plus 8 bytes per child, with no empty
// slots. Keys and values live in SharedBytes blocks, so copying a node
// copies handles, never bytes.
//
// Invariants (checked by validate())
// ----------
// 1. Each key is on its hash's path: a leaf in slot s of a node at depth d
//    has hash fragments equal to the slots leading to it, and s at d.
// 2. datamap & nodemap == 0; at depth 6 only slots 0..3 are used; children
//    of depth-6 nodes are collision lists and nothing else is.
// 3. Every non-root subtree holds at least two leaves. So no node but the
//    root is empty or holds a lone leaf; removal pulls a leaf that is left
//    alone up into the first ancestor that holds anything else. It follows
//    that the shape depends only on the set of keys (and, within a
//    collision list, on insertion order), never on the history of edits.
// 4. A collision list holds two or more distinct keys, all of its hash.
// 5. The root is null exactly when the map is empty; `size()` is the
//    number of leaves.
// 6. A node's count is the number of parents and maps that point at it.
//    A node may be changed in place only when it and every node above it
//    (and the map object itself) are exclusively owned: a count of 1 under a
//    shared parent still belongs to every map that shares that parent.
//
// Path copying
// ------------
// A mutation walks from the root to the key's slot. The nodes it must change
// that are exclusively owned (invariant 6) are changed in place; a shared
// node is never changed: a new node replaces it in its parent (or as the
// root), and the old one loses one reference. A copy held elsewhere, such
// as by a snapshot, therefore never sees the change. Because a size change
// re-allocates (arrays are exactly sized), "in place" is limited to swapping
// one value or one child pointer.
//
// Failure
// -------
// Every allocation the map makes goes through detail::allocate and may throw
// std::bad_alloc. Each mutation first builds all the nodes it needs, deepest
// first, without writing to any existing node; only when all allocations have
// succeeded does it make its single in-place write (one pointer or value
// swap) and drop the references it replaced. So a failed mutation leaves the
// map exactly as it was: same nodes, same counts, nothing leaked. Values
// must be copyable and movable without throwing (handles, nested maps,
// numbers), which is what makes that commit step infallible.
//
// Complexity (n entries, at most 7 bitmap levels)
// ----------
//   copy, size, empty, clear (the clearing itself)      O(1)
//   find                                                O(1): <= 7 levels,
//                                 plus a list scan only for equal 32-bit hashes
//   insert_or_assign, erase, find_for_update   O(1) nodes built, each a copy
//                                 of at most 32 slots; one per level at most
//   for_each                                            O(n)
//   for_each_entry_not_shared_with      O(entries in nodes the maps do not share)
//   dropping the last reference to a map                O(nodes freed)
//
// Threads
// -------
// A map object is a value: it is not locked. Many threads may read one map
// object, or copy it, at once; a mutation needs the object to itself (the
// store holds the shard's write lock). Copies of one map are independent
// objects that share nodes, and the shared nodes are immutable and
// atomically counted, so copies may be read, mutated and dropped from
// different threads with no further synchronisation.
//
// Origins
// -------
// Bagwell's hash array mapped trie ("Ideal Hash Trees", 2001); the split of
// each node's occupancy into a leaf map and a child map, and the compaction
// of lone leaves on removal that keeps the shape canonical, after Steindorfer
// and Vinju's CHAMP ("Optimizing Hash-Array Mapped Tries for Fast and Lean
// Immutable JVM Collections", 2015).
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "store/allocation.hpp"
#include "store/map_hash.hpp"
#include "store/persistent_map_build.hpp"
#include "store/persistent_map_debug.hpp"
#include "store/persistent_map_edit.hpp"
#include "store/persistent_map_nodes.hpp"
#include "store/persistent_map_walk.hpp"
#include "store/shared_bytes.hpp"

namespace derirezaro::store {

template <class V, class Hasher = SeededSipHash>
class PersistentMap {
  static_assert(std::is_nothrow_copy_constructible_v<V> && std::is_nothrow_move_constructible_v<V> &&
                    std::is_nothrow_move_assignable_v<V> && std::is_nothrow_destructible_v<V>,
                "map values must copy and move without throwing: a mutation's commit step cannot fail");
  static_assert(alignof(Leaf<V>) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__,
                "nodes are allocated with the default alignment");

 public:
  using Entry = Leaf<V>;

  // An empty map with a fresh random seed (see fresh_hash_seed).
  PersistentMap() : PersistentMap(fresh_hash_seed()) {}
  // An empty map with the given seed: for tests and reproducible runs.
  explicit PersistentMap(HashSeed seed) noexcept : seed_(seed) {}

  // O(1): shares the root and the seed.
  PersistentMap(const PersistentMap& other) noexcept
      : root_(other.root_), seed_(other.seed_), count_(other.count_) {
    if (root_ != nullptr) map_detail::node_retain(root_);
  }
  // Leaves `other` empty, with its seed.
  PersistentMap(PersistentMap&& other) noexcept
      : root_(std::exchange(other.root_, nullptr)),
        seed_(other.seed_),
        count_(std::exchange(other.count_, 0)) {}
  PersistentMap& operator=(const PersistentMap& other) noexcept {
    PersistentMap copy(other);
    swap(copy);
    return *this;
  }
  PersistentMap& operator=(PersistentMap&& other) noexcept {
    PersistentMap taken(std::move(other));
    swap(taken);
    return *this;
  }
  ~PersistentMap() { clear(); }

  void swap(PersistentMap& other) noexcept {
    std::swap(root_, other.root_);
    std::swap(seed_, other.seed_);
    std::swap(count_, other.count_);
  }

  size_t size() const noexcept { return static_cast<size_t>(count_); }
  bool empty() const noexcept { return count_ == 0; }
  // Whether this map is `other` or a copy of it that no write has changed
  // since: then both hold the same entries. Another map with the same entries
  // is not a copy.
  bool is_copy_of(const PersistentMap& other) const noexcept {
    return root_ == other.root_ && seed_ == other.seed_;
  }
  const HashSeed& seed() const noexcept { return seed_; }

  // The value stored under `key`, or null. The pointer is valid until this
  // map object is next mutated or destroyed.
  const V* find(std::string_view key) const noexcept {
    return root_ != nullptr ? Trie::find(root_, hash(key), key) : nullptr;
  }
  bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }

  // A map with `seed` holding `entries`, built in one go (see
  // persistent_map_build.hpp): the map that inserting them in this order
  // would give (a repeated key where it first went, with its last value), at one allocation
  // per node. `entries` is consumed: on std::bad_alloc it is lost, and
  // nothing leaks.
  static PersistentMap from_entries(HashSeed seed, std::vector<Entry>&& entries) {
    std::vector<map_detail::BuildEntry<V>> prepared;
    prepared.reserve(entries.size());
    for (Entry& entry : entries) {
      const auto position = static_cast<uint32_t>(prepared.size());
      prepared.emplace_back(Hasher{}(seed, entry.key.view()), position, std::move(entry));
    }
    entries.clear();
    PersistentMap map(seed);
    if (prepared.empty()) return map;
    map_detail::prepare_for_build(prepared);
    map.root_ = map_detail::build_node<V>(prepared, 0);
    map.count_ = prepared.size();
    return map;
  }

  // Stores `value` under `key`; returns the value it replaced, if any. A new
  // key's bytes are copied into a new SharedBytes block; an existing key
  // keeps its block. Strong guarantee: on std::bad_alloc the map is
  // unchanged (and `value` is dropped).
  std::optional<V> insert_or_assign(std::string_view key, V value) { return insert(key, nullptr, value); }
  // The same, storing the caller's block for a new key instead of a copy.
  std::optional<V> insert_or_assign(const SharedBytesRef& key, V value) {
    return insert(key.view(), &key, value);
  }

  // Removes `key`; returns the removed key block and value, if it was
  // present. Strong guarantee, as for insertion (removal re-allocates the
  // nodes it shrinks, so it can fail too).
  std::optional<Entry> erase(std::string_view key) {
    if (root_ == nullptr) return std::nullopt;
    map_detail::EraseRequest<V> request{key, hash(key), std::nullopt};
    commit(Trie::erase(root_, 0, map_detail::node_is_exclusive(root_), request));
    if (request.removed) --count_;
    return std::move(request.removed);
  }

  // The value under `key`, made safe to change in place: every node on its
  // path is first made exclusively owned (shared ones are copied), so a
  // change through the pointer is invisible to every copy of this map. This
  // is how a nested map is updated inside its parent. Null when the key is
  // absent; nothing is copied then. The pointer is valid until this map
  // object is next mutated or destroyed. Strong guarantee on std::bad_alloc.
  V* find_for_update(std::string_view key) {
    if (root_ == nullptr) return nullptr;
    map_detail::UpdateRequest<V> request{key, hash(key)};
    commit(Trie::update(root_, 0, map_detail::node_is_exclusive(root_), request));
    return request.found;
  }

  // Calls f(std::string_view key, const V& value) once per entry, in an
  // order that depends on the seed. `f` must not mutate this map.
  template <class F>
  void for_each(F&& f) const {
    auto visit = [&f](const Entry& entry) { f(entry.key.view(), entry.value); };
    for_each_entry(visit);
  }
  // Calls f(const Entry&) once per entry: gives access to the key's block,
  // so a caller can keep the key without copying its bytes. The unshared
  // walk against no counterpart: it skips nothing.
  template <class F>
  void for_each_entry(F&& f) const {
    if (root_ != nullptr) map_detail::Walks<V>::for_each_unshared(root_, nullptr, 0, f);
  }

  // Calls f(const Entry&) for the entries of this map, in for_each order,
  // skipping subtrees that this map shares with `other` (see
  // persistent_map_walk.hpp): every entry that `other` lacks or holds with
  // another value is visited, while the entries of shared nodes, and the
  // leaves a copied node still shares, which `other` holds with the same
  // value, are not. So the cost follows what the two maps do not share. Maps
  // with different seeds share nothing: every entry is visited.
  template <class F>
  void for_each_entry_not_shared_with(const PersistentMap& other, F&& f) const {
    if (root_ == nullptr) return;
    const map_detail::Node* counterpart = other.seed_ == seed_ ? other.root_ : nullptr;
    map_detail::Walks<V>::for_each_unshared(root_, counterpart, 0, f);
  }

  // Whether dropping this map object would free at most `budget` nodes and
  // entries (nested maps counted too); spends the budget on what it counts.
  // Lets a caller decide whether freeing is short work. A racing drop of
  // another copy can make the real count larger, never the answer unsafe.
  bool drop_frees_at_most(size_t& budget) const noexcept {
    return root_ == nullptr || map_detail::Walks<V>::template drop_fits<false>(root_, 0, budget);
  }
  // Whether this map's nodes and entries number at most `budget`, shared
  // ones included (nested maps too); spends the budget alike. For a drop
  // of several maps that share nodes with each other, where no one map's
  // count says what the drop frees: this one never counts less.
  bool holds_at_most(size_t& budget) const noexcept {
    return root_ == nullptr || map_detail::Walks<V>::template drop_fits<true>(root_, 0, budget);
  }

  // Drops every entry; keeps the seed. Frees the nodes that no copy shares.
  void clear() noexcept {
    if (root_ != nullptr) map_detail::node_release<V>(std::exchange(root_, nullptr), 0);
    count_ = 0;
  }

  // ---------------------------------------------- inspection (tests, debug)

  // Checks every invariant of the tree; on failure says which in `*why`.
  bool validate(std::string* why = nullptr) const { return inspector().validate(why); }
  // The exact shape; format in persistent_map_debug.hpp.
  std::string dump() const { return inspector().dump(); }
  TreeStats tree_stats() const { return inspector().stats(); }

 private:
  using Trie = map_detail::Trie<V, Hasher>;

  uint32_t hash(std::string_view key) const noexcept { return Hasher{}(seed_, key); }

  map_detail::TrieInspector<V, Hasher> inspector() const { return {root_, seed_, count_}; }

  std::optional<V> insert(std::string_view key, const SharedBytesRef* key_block, V& value) {
    map_detail::InsertRequest<V> request{key, hash(key), seed_, key_block, value, std::nullopt, false};
    if (root_ == nullptr) {
      Entry fresh{request.new_key(), std::move(value)};
      root_ =
          map_detail::bitmap_node_edit<V>(nullptr, map_detail::hash_bit(request.hash, 0), {.leaf = &fresh});
      count_ = 1;
      return std::nullopt;
    }
    commit(Trie::insert(root_, 0, map_detail::node_is_exclusive(root_), request));
    if (request.added) ++count_;
    return std::move(request.replaced);
  }

  // Installs the outcome of an edit of the root. Cannot fail.
  void commit(map_detail::Edit<V>&& edit) noexcept {
    switch (edit.outcome) {
      case map_detail::EditOutcome::unchanged: return;
      case map_detail::EditOutcome::replaced:
        map_detail::node_release<V>(std::exchange(root_, edit.replacement.release()), 0);
        return;
      case map_detail::EditOutcome::emptied:
        map_detail::node_release<V>(std::exchange(root_, nullptr), 0);
        return;
      case map_detail::EditOutcome::collapsed:
        // The root keeps a lone leaf rather than collapsing: only non-root
        // nodes report `collapsed`.
        assert(false && "the root never collapses");
        return;
    }
  }

  map_detail::Node* root_ = nullptr;
  HashSeed seed_;
  uint64_t count_ = 0;
};

}  // namespace derirezaro::store
