// Building a trie from many entries at once.
//
// Inserting n keys one by one into an empty map reallocates a node at
// every insertion, since nodes are exactly sized: a keyframe of a million
// entries pays a million node copies. A build instead orders the entries by
// their paths and makes every node once, bottom-up, at its final size:
// O(n log n) for the sort, one allocation per node.
//
// Paths: an entry's path is its hash's fragments from depth 0 down. Entries
// are sorted by `path_order(hash)`, the fragments in that order, most
// significant first, so the entries below any node form one contiguous run,
// and the runs of its slots follow each other in slot order. A run of one
// entry is a leaf in its slot; a longer run is a child node built from it,
// one level down; at the collision depth every hash of the run is the same,
// and the run is a collision list in the entries' order.
//
// The result is the tree insertion gives: the shape depends only on the set
// of keys (invariant 3 in persistent_map.hpp), and within a collision list
// insertion keeps insertion order, as the stable sort here keeps the
// entries' order.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "store/persistent_map_nodes.hpp"

namespace derirezaro::store::map_detail {

// The fragments of `hash` in path order: depth 0's in the top five bits,
// depth 6's two bits last.
constexpr uint32_t path_order(uint32_t hash) noexcept {
  uint32_t order = 0;
  for (unsigned depth = 0; depth < kDeepestLevel; ++depth) {
    order = order << kBitsPerLevel | hash_fragment(hash, depth);
  }
  return order << 2 | hash >> 30;
}

template <class V>
struct BuildEntry {
  BuildEntry(uint32_t hash_, uint32_t position_, Leaf<V>&& leaf_) noexcept
      : order(path_order(hash_)), hash(hash_), position(position_), leaf(std::move(leaf_)) {}

  uint32_t order;  // path_order(hash), the sort key
  uint32_t hash;
  uint32_t position;  // in the input: breaks ties, so equal hashes keep their order
  Leaf<V> leaf;
};

// Sorts `entries` into path order, keeping the given order among equal
// hashes, and merges each repeated key into its first entry, which takes
// the last value: as insertion keeps a key where it first went in.
template <class V>
void prepare_for_build(std::vector<BuildEntry<V>>& entries) {
  std::sort(entries.begin(), entries.end(), [](const BuildEntry<V>& a, const BuildEntry<V>& b) {
    return a.order != b.order ? a.order < b.order : a.position < b.position;
  });
  // Equal keys have equal hashes, so they sit in one run of equal hashes;
  // such runs are short (a few entries, but for crafted keys), so a scan of
  // what the run kept so far does. Kept entries move down over merged ones.
  size_t kept = 0;
  for (size_t begin = 0; begin < entries.size();) {
    const size_t run_start = kept;
    size_t end = begin;
    for (; end < entries.size() && entries[end].hash == entries[begin].hash; ++end) {
      BuildEntry<V>& entry = entries[end];
      size_t first = run_start;
      while (first < kept && entries[first].leaf.key.view() != entry.leaf.key.view()) ++first;
      if (first < kept) {
        entries[first].leaf.value = std::move(entry.leaf.value);
      } else {
        if (kept != end) entries[kept] = std::move(entry);
        ++kept;
      }
    }
    begin = end;
  }
  entries.erase(entries.begin() + static_cast<ptrdiff_t>(kept), entries.end());
}

// The node at `depth` holding `run` (prepared, at least one entry; at least
// two below the root). On std::bad_alloc nothing is left allocated; the
// entries' leaves may have been moved out.
template <class V>
Node* build_node(std::span<BuildEntry<V>> run, unsigned depth) {
  if (depth == kCollisionDepth) {
    CollisionNode<V>* node = collision_node_allocate<V>(run.front().hash, static_cast<uint32_t>(run.size()));
    for (size_t i = 0; i < run.size(); ++i) new (node->leaves() + i) Leaf<V>(std::move(run[i].leaf));
    return node;
  }
  // Each slot's run, in slot order; children are built first and held, so
  // a failed allocation frees them.
  uint32_t datamap = 0;
  uint32_t nodemap = 0;
  std::array<BuildEntry<V>*, 32> leaves;
  std::array<OwnedNode<V>, 32> children;
  unsigned leaf_count = 0;
  unsigned child_count = 0;
  for (size_t begin = 0; begin < run.size();) {
    const uint32_t bit = hash_bit(run[begin].hash, depth);
    size_t end = begin + 1;
    while (end < run.size() && hash_bit(run[end].hash, depth) == bit) ++end;
    if (end - begin == 1) {
      datamap |= bit;
      leaves[leaf_count++] = &run[begin];
    } else {
      nodemap |= bit;
      children[child_count++] =
          OwnedNode<V>(build_node<V>(run.subspan(begin, end - begin), depth + 1), depth + 1);
    }
    begin = end;
  }
  BitmapNode<V>* node = bitmap_node_allocate<V>(datamap, nodemap);
  Leaf<V>* leaf_out = node->leaves();
  for (unsigned i = 0; i < leaf_count; ++i) new (leaf_out + i) Leaf<V>(std::move(leaves[i]->leaf));
  Node** child_out = node->children();
  for (unsigned i = 0; i < child_count; ++i) child_out[i] = children[i].release();
  return node;
}

}  // namespace derirezaro::store::map_detail
