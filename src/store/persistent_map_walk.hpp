// The walks over a trie: every entry, or what two maps do not share (the
// work behind PersistentMap::for_each_entry and
// for_each_entry_not_shared_with), and what one map owns alone
// (drop_frees_at_most, holds_at_most).
//
// Sharing. Two copies of one map (a store's shard and a snapshot of it)
// share every node that no write has copied since. A node at a given place
// in the trie (depth and path) holds every key of its map whose hash starts
// with that path. So when both maps have the very same node at the same
// place, they hold the same keys under that path with the same values, and
// a comparison can skip the node whole. Places are only comparable between
// maps with the same seed, and only such maps can share nodes: nodes are
// shared only between copies of one map, and copies keep their seed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "store/persistent_map_nodes.hpp"

namespace derirezaro::store::map_detail {

template <class V>
struct Walks {
  using Bitmap = BitmapNode<V>;
  using Collision = CollisionNode<V>;

  // Calls f(const Leaf<V>&) for the leaves under `a`, skipping every
  // subtree of `a` that is the node `b` has at the same place (`b` may be
  // null: nothing to skip, every leaf is visited), and every leaf that `b`
  // holds in the same slot as one entry shared by both copies (see
  // shared_leaf). The order is the one every walk of the map has: a node's
  // leaves in slot order, then its children in slot order, depth first; so
  // it depends on the seed, and skipping leaves the order of the rest as it
  // was.
  template <class F>
  static void for_each_unshared(const Node* a, const Node* b, unsigned depth, F& f) {
    if (a == b) return;
    if (depth == kCollisionDepth) {
      const auto* list = static_cast<const Collision*>(a);
      for (uint32_t i = 0; i < list->count; ++i) f(list->leaves()[i]);
      return;
    }
    const auto* bitmap = static_cast<const Bitmap*>(a);
    const auto* other = static_cast<const Bitmap*>(b);
    // A write copies a node whole, so the copy's other leaves are the very
    // entries of the original: most leaves of an unshared node are skipped
    // here, without hashing their keys to look them up on the other side.
    const Leaf<V>* leaves = bitmap->leaves();
    unsigned slot = 0;
    for (uint32_t rest = bitmap->datamap; rest != 0; rest &= rest - 1, ++slot) {
      const uint32_t bit = rest & (~rest + 1);
      if (other != nullptr && (other->datamap & bit) != 0 && shared_leaf(leaves[slot], other->leaf_at(bit))) {
        continue;
      }
      f(leaves[slot]);
    }
    // Children in ascending bit order, as they are stored.
    Node* const* children = bitmap->children();
    unsigned index = 0;
    for (uint32_t rest = bitmap->nodemap; rest != 0; rest &= rest - 1, ++index) {
      const uint32_t bit = rest & (~rest + 1);
      const Node* counterpart =
          other != nullptr && (other->nodemap & bit) != 0 ? other->child_at(bit) : nullptr;
      for_each_unshared(children[index], counterpart, depth + 1, f);
    }
  }

  // Whether dropping one reference to `node` frees at most `budget` nodes
  // and leaves; spends the budget on those it counts. Only nodes that this
  // reference alone keeps (count 1, under a parent that is freed too) are
  // freed; a shared node only loses a count. Values that are maps count
  // what dropping them frees in turn. With `kSharedToo`, shared nodes are
  // counted as if freed too.
  template <bool kSharedToo>
  static bool drop_fits(const Node* node, unsigned depth, size_t& budget) noexcept {
    if (!kSharedToo && !node_is_exclusive(node)) return true;
    if (depth == kCollisionDepth) {
      const auto* list = static_cast<const Collision*>(node);
      return spend(budget, 1 + list->count) && values_fit<kSharedToo>(list->leaves(), list->count, budget);
    }
    const auto* bitmap = static_cast<const Bitmap*>(node);
    if (!spend(budget, 1 + bitmap->leaf_count()) ||
        !values_fit<kSharedToo>(bitmap->leaves(), bitmap->leaf_count(), budget)) {
      return false;
    }
    for (unsigned i = 0, n = bitmap->child_count(); i < n; ++i) {
      if (!drop_fits<kSharedToo>(bitmap->children()[i], depth + 1, budget)) return false;
    }
    return true;
  }

 private:
  // Whether two leaves are one entry of two copies of a map: the same key
  // block, and the same value block (or, for a value that is a map, a copy
  // of the same map). Leaves compared by bytes could be equal too; they are
  // left to the caller, which compares what it visits.
  static bool shared_leaf(const Leaf<V>& a, const Leaf<V>& b) noexcept {
    if (a.key.block() != b.key.block()) return false;
    if constexpr (requires { a.value.is_copy_of(b.value); }) {
      return a.value.is_copy_of(b.value);
    } else {
      return a.value.block() == b.value.block();
    }
  }

  static bool spend(size_t& budget, size_t cost) noexcept {
    if (cost > budget) return false;
    budget -= cost;
    return true;
  }

  template <bool kSharedToo>
  static bool values_fit(const Leaf<V>* leaves, size_t count, size_t& budget) noexcept {
    if constexpr (requires(const V& value, size_t& left) { value.drop_frees_at_most(left); }) {
      for (size_t i = 0; i < count; ++i) {
        const bool fits =
            kSharedToo ? leaves[i].value.holds_at_most(budget) : leaves[i].value.drop_frees_at_most(budget);
        if (!fits) return false;
      }
    }
    return true;
  }
};

}  // namespace derirezaro::store::map_detail
