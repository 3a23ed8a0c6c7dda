// The trie's algorithms: lookup, insertion, removal and making a path
// exclusive (the walks are in persistent_map_walk.hpp). PersistentMap (persistent_map.hpp) calls these
// on its root; the design, and why an edit is shaped as it is here, are
// described there under "Path copying" and "Failure".
//
// Every edit is one recursive descent along the key's path. On the way
// back up each level reports an EditOutcome to its parent:
//   unchanged  the subtree is as it was, or was changed in place;
//   replaced   a new node stands for the subtree; the parent must point at it;
//   collapsed  (removal) the subtree is down to one leaf; the parent takes
//              the leaf into its own slot;
//   emptied    (removal, root only) nothing is left.
// A parent that is exclusive absorbs `replaced` by swapping its child pointer
// and reports `unchanged`; otherwise it builds its own replacement. So all
// allocation happens first, deepest first, and the one in-place write comes
// last: an allocation failure unwinds through OwnedNode and leaves every
// existing node as it was.
#pragma once

#include <cassert>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "store/map_hash.hpp"
#include "store/persistent_map_nodes.hpp"

namespace derirezaro::store::map_detail {

enum class EditOutcome : uint8_t { unchanged, replaced, collapsed, emptied };

template <class V>
struct Edit {
  EditOutcome outcome = EditOutcome::unchanged;
  OwnedNode<V> replacement;         // when replaced
  std::optional<Leaf<V>> survivor;  // when collapsed

  static Edit unchanged() noexcept { return {}; }
  static Edit emptied() noexcept { return {EditOutcome::emptied, {}, {}}; }
  static Edit replaced(Node* node, unsigned depth) noexcept {
    return {EditOutcome::replaced, OwnedNode<V>(node, depth), {}};
  }
  static Edit collapsed(const Leaf<V>& leaf) noexcept { return {EditOutcome::collapsed, {}, leaf}; }
};

template <class V>
struct InsertRequest {
  std::string_view key;
  uint32_t hash;
  const HashSeed& seed;
  const SharedBytesRef* key_block;  // the caller's block for `key`, or null
  V& value;                         // moved into the map
  std::optional<V> replaced;        // out: the value that was overwritten
  bool added = false;               // out: the key was new

  // The handle a new leaf stores: the caller's block, or a fresh copy.
  SharedBytesRef new_key() const { return key_block != nullptr ? *key_block : SharedBytesRef::copy_of(key); }
};

template <class V>
struct EraseRequest {
  std::string_view key;
  uint32_t hash;
  std::optional<Leaf<V>> removed;  // out
};

template <class V>
struct UpdateRequest {
  std::string_view key;
  uint32_t hash;
  V* found = nullptr;  // out: the value, in an exclusively owned node
};

template <class V, class Hasher>
struct Trie {
  using Bitmap = BitmapNode<V>;
  using Collision = CollisionNode<V>;
  using Entry = Leaf<V>;

  // ------------------------------------------------------------- lookup

  static const V* find(const Node* root, uint32_t hash, std::string_view key) noexcept {
    const Node* node = root;
    for (unsigned depth = 0; node != nullptr; ++depth) {
      if (depth == kCollisionDepth) {
        // The path fixed all 32 bits, so the list's hash is `hash`: only the
        // keys remain to compare.
        const auto* list = static_cast<const Collision*>(node);
        for (uint32_t i = 0; i < list->count; ++i) {
          if (list->leaves()[i].key == key) return &list->leaves()[i].value;
        }
        return nullptr;
      }
      const auto* bitmap = static_cast<const Bitmap*>(node);
      const uint32_t bit = hash_bit(hash, depth);
      if ((bitmap->datamap & bit) != 0) {
        const Entry& leaf = bitmap->leaf_at(bit);
        return leaf.key == key ? &leaf.value : nullptr;
      }
      if ((bitmap->nodemap & bit) == 0) return nullptr;
      node = bitmap->child_at(bit);
    }
    return nullptr;  // only an empty map (null root) gets here
  }

  // ----------------------------------------------------- shared plumbing

  // A bitmap node's response to its child's edit: absorb it in place when
  // the node is exclusive, else build this node's replacement.
  static Edit<V> adopt_child_edit(Bitmap* node, uint32_t bit, unsigned depth, bool exclusive,
                                  Edit<V>&& child) {
    switch (child.outcome) {
      case EditOutcome::unchanged: return Edit<V>::unchanged();
      case EditOutcome::replaced:
        if (exclusive) {
          Node* old = std::exchange(node->child_at(bit), child.replacement.release());
          node_release<V>(old, depth + 1);
          return Edit<V>::unchanged();
        }
        return Edit<V>::replaced(bitmap_node_edit(node, bit, {.child = &child.replacement}), depth);
      case EditOutcome::collapsed:
        // A non-root node left with nothing but this one leaf would break
        // "every non-root subtree holds two leaves": hand the leaf further up.
        if (depth != 0 && node->datamap == 0 && node->nodemap == bit) return std::move(child);
        return Edit<V>::replaced(bitmap_node_edit(node, bit, {.leaf = &*child.survivor}), depth);
      case EditOutcome::emptied: break;
    }
    // Only the root reports `emptied`: a child's subtree holds at least two
    // leaves, so one removal leaves at least one.
    assert(false && "a child subtree cannot be emptied by one removal");
    return Edit<V>::unchanged();
  }

  // --------------------------------------------------------- insertion

  static Edit<V> insert(Node* node, unsigned depth, bool exclusive, InsertRequest<V>& request) {
    if (depth == kCollisionDepth) return collision_insert(static_cast<Collision*>(node), exclusive, request);
    auto* bitmap = static_cast<Bitmap*>(node);
    const uint32_t bit = hash_bit(request.hash, depth);
    if ((bitmap->datamap & bit) != 0) {
      Entry& leaf = bitmap->leaf_at(bit);
      if (leaf.key == request.key) {
        if (exclusive) {
          request.replaced.emplace(std::exchange(leaf.value, std::move(request.value)));
          return Edit<V>::unchanged();
        }
        Entry updated{leaf.key, std::move(request.value)};
        Edit<V> edit = Edit<V>::replaced(bitmap_node_edit(bitmap, bit, {.leaf = &updated}), depth);
        request.replaced.emplace(leaf.value);
        return edit;
      }
      return push_leaf_down(bitmap, bit, depth, request);
    }
    if ((bitmap->nodemap & bit) != 0) {
      Node* child = bitmap->child_at(bit);
      Edit<V> child_edit = insert(child, depth + 1, exclusive && node_is_exclusive(child), request);
      return adopt_child_edit(bitmap, bit, depth, exclusive, std::move(child_edit));
    }
    Entry fresh{request.new_key(), std::move(request.value)};
    Edit<V> edit = Edit<V>::replaced(bitmap_node_edit(bitmap, bit, {.leaf = &fresh}), depth);
    request.added = true;
    return edit;
  }

  // The slot at `bit` holds another key: both leaves move into a new
  // subtree one level down, and the slot becomes a child.
  static Edit<V> push_leaf_down(Bitmap* node, uint32_t bit, unsigned depth, InsertRequest<V>& request) {
    const Entry& resident = node->leaf_at(bit);
    Entry moved{resident};
    const uint32_t resident_hash = Hasher{}(request.seed, resident.key.view());
    Entry fresh{request.new_key(), std::move(request.value)};
    OwnedNode<V> subtree = pair_subtree(depth + 1, moved, resident_hash, fresh, request.hash);
    Edit<V> edit = Edit<V>::replaced(bitmap_node_edit(node, bit, {.child = &subtree}), depth);
    request.added = true;
    return edit;
  }

  // The smallest subtree at `depth` that holds leaves `a` and `b`: a chain of
  // one-child nodes while their hashes agree, then a node with both, or a
  // collision list once all 32 bits agree.
  static OwnedNode<V> pair_subtree(unsigned depth, Entry& a, uint32_t hash_a, Entry& b, uint32_t hash_b) {
    if (depth == kCollisionDepth) {
      assert(hash_a == hash_b);  // every fragment matched on the way down
      return OwnedNode<V>(collision_node_with_two_leaves(hash_a, a, b), depth);
    }
    const uint32_t bit_a = hash_bit(hash_a, depth);
    const uint32_t bit_b = hash_bit(hash_b, depth);
    if (bit_a != bit_b) return OwnedNode<V>(bitmap_node_with_two_leaves(bit_a, a, bit_b, b), depth);
    OwnedNode<V> inner = pair_subtree(depth + 1, a, hash_a, b, hash_b);
    return OwnedNode<V>(bitmap_node_edit<V>(nullptr, bit_a, {.child = &inner}), depth);
  }

  static Edit<V> collision_insert(Collision* list, bool exclusive, InsertRequest<V>& request) {
    assert(list->hash == request.hash);
    for (uint32_t i = 0; i < list->count; ++i) {
      Entry& leaf = list->leaves()[i];
      if (leaf.key != request.key) continue;
      if (exclusive) {
        request.replaced.emplace(std::exchange(leaf.value, std::move(request.value)));
        return Edit<V>::unchanged();
      }
      Entry updated{leaf.key, std::move(request.value)};
      Edit<V> edit = Edit<V>::replaced(collision_node_edit(*list, i, &updated), kCollisionDepth);
      request.replaced.emplace(leaf.value);
      return edit;
    }
    Entry fresh{request.new_key(), std::move(request.value)};
    Edit<V> edit = Edit<V>::replaced(collision_node_edit(*list, list->count, &fresh), kCollisionDepth);
    request.added = true;
    return edit;
  }

  // ----------------------------------------------------------- removal

  static Edit<V> erase(Node* node, unsigned depth, bool exclusive, EraseRequest<V>& request) {
    if (depth == kCollisionDepth) return collision_erase(static_cast<Collision*>(node), request);
    auto* bitmap = static_cast<Bitmap*>(node);
    const uint32_t bit = hash_bit(request.hash, depth);
    if ((bitmap->datamap & bit) != 0) {
      const Entry& leaf = bitmap->leaf_at(bit);
      if (leaf.key != request.key) return Edit<V>::unchanged();
      Edit<V> edit = bitmap_remove_leaf(bitmap, bit, depth);
      request.removed.emplace(leaf);
      return edit;
    }
    if ((bitmap->nodemap & bit) != 0) {
      Node* child = bitmap->child_at(bit);
      Edit<V> child_edit = erase(child, depth + 1, exclusive && node_is_exclusive(child), request);
      return adopt_child_edit(bitmap, bit, depth, exclusive, std::move(child_edit));
    }
    return Edit<V>::unchanged();
  }

  static Edit<V> bitmap_remove_leaf(Bitmap* node, uint32_t bit, unsigned depth) {
    const unsigned leaves = node->leaf_count();
    const unsigned children = node->child_count();
    if (children == 0 && leaves == 1) {
      // A non-root node never holds a lone leaf (it would have been pulled
      // up into its parent), so this is the root's last entry.
      assert(depth == 0);
      return Edit<V>::emptied();
    }
    if (depth != 0 && children == 0 && leaves == 2) {
      return Edit<V>::collapsed(node->leaves()[slot_index(node->datamap, bit) == 0 ? 1 : 0]);
    }
    return Edit<V>::replaced(bitmap_node_edit(node, bit, {}), depth);
  }

  static Edit<V> collision_erase(Collision* list, EraseRequest<V>& request) {
    for (uint32_t i = 0; i < list->count; ++i) {
      const Entry& leaf = list->leaves()[i];
      if (leaf.key != request.key) continue;
      // A list holds at least two leaves: it is made with two and becomes a
      // leaf again when one of the two goes.
      assert(list->count >= 2);
      Edit<V> edit = list->count == 2
                         ? Edit<V>::collapsed(list->leaves()[1 - i])
                         : Edit<V>::replaced(collision_node_edit(*list, i, nullptr), kCollisionDepth);
      request.removed.emplace(leaf);
      return edit;
    }
    return Edit<V>::unchanged();
  }

  // -------------------------------------------- making a path exclusive

  static Edit<V> update(Node* node, unsigned depth, bool exclusive, UpdateRequest<V>& request) {
    if (depth == kCollisionDepth) return collision_update(static_cast<Collision*>(node), exclusive, request);
    auto* bitmap = static_cast<Bitmap*>(node);
    const uint32_t bit = hash_bit(request.hash, depth);
    if ((bitmap->datamap & bit) != 0) {
      if (bitmap->leaf_at(bit).key != request.key) return Edit<V>::unchanged();
      if (exclusive) {
        request.found = &bitmap->leaf_at(bit).value;
        return Edit<V>::unchanged();
      }
      Bitmap* copy = bitmap_node_copy(*bitmap);
      request.found = &copy->leaf_at(bit).value;
      return Edit<V>::replaced(copy, depth);
    }
    if ((bitmap->nodemap & bit) != 0) {
      Node* child = bitmap->child_at(bit);
      Edit<V> child_edit = update(child, depth + 1, exclusive && node_is_exclusive(child), request);
      return adopt_child_edit(bitmap, bit, depth, exclusive, std::move(child_edit));
    }
    return Edit<V>::unchanged();
  }

  static Edit<V> collision_update(Collision* list, bool exclusive, UpdateRequest<V>& request) {
    for (uint32_t i = 0; i < list->count; ++i) {
      if (list->leaves()[i].key != request.key) continue;
      if (exclusive) {
        request.found = &list->leaves()[i].value;
        return Edit<V>::unchanged();
      }
      Collision* copy = collision_node_copy(*list);
      request.found = &copy->leaves()[i].value;
      return Edit<V>::replaced(copy, kCollisionDepth);
    }
    return Edit<V>::unchanged();
  }
};

}  // namespace derirezaro::store::map_detail
