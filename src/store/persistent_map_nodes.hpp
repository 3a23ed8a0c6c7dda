// The trie's nodes: the hash-to-path function, the two node layouts, their
// reference counts, and the few ways a new node is built from an old one.
// The design and the invariants are described in persistent_map.hpp; this
// file holds the memory-level details.
//
// Building a node is always two steps: one allocation (the only step that
// can throw), then filling every slot with operations that cannot throw
// (handle copies and moves, count increments). So a builder either returns a
// complete node or throws having changed nothing, and its inputs that are
// passed by pointer are moved from only once the allocation has succeeded.
#pragma once

#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "store/allocation.hpp"
#include "store/shared_bytes.hpp"

namespace derirezaro::store {

// A leaf: one entry, the key's bytes and the value. Leaves are stored by value
// inside their node; `key` is a handle, so copying a leaf shares the bytes.
template <class V>
struct Leaf {
  SharedBytesRef key;
  V value;
};

namespace map_detail {

// ---------------------------------------------------------------------------
// The hash-to-path function. Fixed and total: tests choose hashes with it to
// force exact shapes.

inline constexpr unsigned kBitsPerLevel = 5;
// The last bitmap depth. Depths 0..5 consume 5 bits each (30 bits); depth 6
// consumes the remaining 2, so its bitmaps use only bits 0..3.
inline constexpr unsigned kDeepestLevel = 6;
// Where collision lists hang: below the deepest level, when the whole 32-bit
// hash is spent.
inline constexpr unsigned kCollisionDepth = 7;

// The slot number (0..31) that `hash` selects at `depth` (0..6).
constexpr unsigned hash_fragment(uint32_t hash, unsigned depth) noexcept {
  return (hash >> (kBitsPerLevel * depth)) & 31u;
}

constexpr uint32_t hash_bit(uint32_t hash, unsigned depth) noexcept {
  return uint32_t{1} << hash_fragment(hash, depth);
}

// The number of set bits, inline. The wheel targets the baseline x86-64,
// which has no popcount instruction, so std::popcount is a call into the
// compiler's runtime; every lookup and walk counts bits, a few hundred
// times in a small commit.
constexpr unsigned bit_count(uint32_t x) noexcept {
  x = x - ((x >> 1) & 0x55555555u);
  x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);
  x = (x + (x >> 4)) & 0x0F0F0F0Fu;
  return (x * 0x01010101u) >> 24;
}

// Position of the slot for `bit` among the slots present in `bitmap`: the
// number of present slots below it.
constexpr unsigned slot_index(uint32_t bitmap, uint32_t bit) noexcept {
  return bit_count(bitmap & (bit - 1));
}

// The bits of the hash that the path down to a node at `depth` has fixed
// (all of them from depth 7 on).
constexpr uint32_t path_mask(unsigned depth) noexcept {
  return depth * kBitsPerLevel >= 32 ? ~uint32_t{0} : (uint32_t{1} << (depth * kBitsPerLevel)) - 1;
}

// ---------------------------------------------------------------------------
// Nodes. A node's kind follows from its depth (bitmap nodes at 0..6,
// collision lists at 7), so no node stores a kind tag, and every walk
// carries the depth anyway to pick hash bits.

struct Node {
  // Parents and maps that point at this node. 64 bits: no count of handles
  // that fit in memory can wrap it.
  std::atomic<uint64_t> refs{1};
};

constexpr size_t round_up(size_t n, size_t alignment) noexcept {
  return (n + alignment - 1) / alignment * alignment;
}

// A 32-way node: a slot is a leaf when its bit is in `datamap`, a child when
// it is in `nodemap`, empty when in neither. The leaves, then the children,
// follow the header in exactly-sized arrays, each in ascending bit order.
template <class V>
struct BitmapNode : Node {
  uint32_t datamap = 0;
  uint32_t nodemap = 0;

  static constexpr size_t kLeavesOffset = round_up(sizeof(Node) + 2 * sizeof(uint32_t), alignof(Leaf<V>));

  static size_t children_offset(uint32_t datamap) noexcept {
    return round_up(kLeavesOffset + bit_count(datamap) * sizeof(Leaf<V>), alignof(Node*));
  }
  static size_t allocation_size(uint32_t datamap, uint32_t nodemap) noexcept {
    return children_offset(datamap) + bit_count(nodemap) * sizeof(Node*);
  }

  unsigned leaf_count() const noexcept { return bit_count(datamap); }
  unsigned child_count() const noexcept { return bit_count(nodemap); }

  Leaf<V>* leaves() noexcept {
    return std::launder(reinterpret_cast<Leaf<V>*>(reinterpret_cast<char*>(this) + kLeavesOffset));
  }
  const Leaf<V>* leaves() const noexcept { return const_cast<BitmapNode*>(this)->leaves(); }
  Node** children() noexcept {
    return std::launder(reinterpret_cast<Node**>(reinterpret_cast<char*>(this) + children_offset(datamap)));
  }
  Node* const* children() const noexcept { return const_cast<BitmapNode*>(this)->children(); }

  Leaf<V>& leaf_at(uint32_t bit) noexcept { return leaves()[slot_index(datamap, bit)]; }
  const Leaf<V>& leaf_at(uint32_t bit) const noexcept { return leaves()[slot_index(datamap, bit)]; }
  Node*& child_at(uint32_t bit) noexcept { return children()[slot_index(nodemap, bit)]; }
  Node* child_at(uint32_t bit) const noexcept { return children()[slot_index(nodemap, bit)]; }
};

// The leaves whose 32-bit hashes are all `hash`, in insertion order.
template <class V>
struct CollisionNode : Node {
  uint32_t hash = 0;
  uint32_t count = 0;

  static constexpr size_t kLeavesOffset = round_up(sizeof(Node) + 2 * sizeof(uint32_t), alignof(Leaf<V>));

  static size_t allocation_size(uint32_t count) noexcept { return kLeavesOffset + count * sizeof(Leaf<V>); }

  Leaf<V>* leaves() noexcept {
    return std::launder(reinterpret_cast<Leaf<V>*>(reinterpret_cast<char*>(this) + kLeavesOffset));
  }
  const Leaf<V>* leaves() const noexcept { return const_cast<CollisionNode*>(this)->leaves(); }
};

// ---------------------------------------------------------------------------
// Reference counting. Increments are relaxed: a new reference is always made
// from one that keeps the node alive. The decrement is acquire-release so
// that all use of the node through other references happens before it is
// freed, and the exclusivity test is an acquire load for the same reason:
// a node found with count 1 may be written in place, which must come after
// every read made through a reference that another thread has since dropped.

inline void node_retain(Node* node) noexcept { node->refs.fetch_add(1, std::memory_order_relaxed); }

inline bool node_is_exclusive(const Node* node) noexcept {
  return node->refs.load(std::memory_order_acquire) == 1;
}

template <class V>
void node_release(Node* node, unsigned depth) noexcept;

template <class V>
void bitmap_node_destroy(BitmapNode<V>* node, unsigned depth) noexcept {
  Leaf<V>* leaves = node->leaves();
  for (unsigned i = 0, n = node->leaf_count(); i < n; ++i) leaves[i].~Leaf<V>();
  Node** children = node->children();
  for (unsigned i = 0, n = node->child_count(); i < n; ++i) node_release<V>(children[i], depth + 1);
  const size_t size = BitmapNode<V>::allocation_size(node->datamap, node->nodemap);
  node->~BitmapNode<V>();
  detail::deallocate(node, size);
  detail::count_node(-1);
}

template <class V>
void collision_node_destroy(CollisionNode<V>* node) noexcept {
  Leaf<V>* leaves = node->leaves();
  for (uint32_t i = 0; i < node->count; ++i) leaves[i].~Leaf<V>();
  const size_t size = CollisionNode<V>::allocation_size(node->count);
  node->~CollisionNode<V>();
  detail::deallocate(node, size);
  detail::count_node(-1);
}

// Drops one reference to the node at `depth`; the last one frees it and
// drops its references to its children (recursion at most 8 deep).
template <class V>
void node_release(Node* node, unsigned depth) noexcept {
  if (node->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (depth == kCollisionDepth) {
    collision_node_destroy(static_cast<CollisionNode<V>*>(node));
  } else {
    bitmap_node_destroy(static_cast<BitmapNode<V>*>(node), depth);
  }
}

// Owns one reference to a node (or none); releases it unless handed on with
// release(). Holds the new nodes of an edit until the edit commits, so that
// a failure further up frees them.
template <class V>
class OwnedNode {
 public:
  OwnedNode() noexcept = default;
  OwnedNode(Node* node, unsigned depth) noexcept : node_(node), depth_(depth) {}
  OwnedNode(OwnedNode&& other) noexcept : node_(std::exchange(other.node_, nullptr)), depth_(other.depth_) {}
  OwnedNode& operator=(OwnedNode&& other) noexcept {
    OwnedNode taken(std::move(other));
    std::swap(node_, taken.node_);
    std::swap(depth_, taken.depth_);
    return *this;
  }
  ~OwnedNode() {
    if (node_ != nullptr) node_release<V>(node_, depth_);
  }

  Node* get() const noexcept { return node_; }
  Node* release() noexcept { return std::exchange(node_, nullptr); }

 private:
  Node* node_ = nullptr;
  unsigned depth_ = 0;
};

// ---------------------------------------------------------------------------
// Builders. Each makes exactly one allocation.

template <class V>
BitmapNode<V>* bitmap_node_allocate(uint32_t datamap, uint32_t nodemap) {
  void* memory = detail::allocate(BitmapNode<V>::allocation_size(datamap, nodemap));
  detail::count_node(1);
  auto* node = new (memory) BitmapNode<V>;
  node->datamap = datamap;
  node->nodemap = nodemap;
  return node;  // slots not yet constructed: the caller fills all of them
}

template <class V>
CollisionNode<V>* collision_node_allocate(uint32_t hash, uint32_t count) {
  void* memory = detail::allocate(CollisionNode<V>::allocation_size(count));
  detail::count_node(1);
  auto* node = new (memory) CollisionNode<V>;
  node->hash = hash;
  node->count = count;
  return node;  // leaves not yet constructed: the caller fills all of them
}

// What the one changed slot of a node built by bitmap_node_edit holds.
// Exactly one of `leaf` and `child` is set, or neither to empty the slot.
template <class V>
struct SlotContent {
  Leaf<V>* leaf = nullptr;        // moved into the new node
  OwnedNode<V>* child = nullptr;  // its reference is handed to the new node
};

// A new node equal to `source` (or to an empty node when `source` is null)
// except for the slot at `bit`, which holds `content`. Every other leaf is
// copied and every other child gains a reference.
template <class V>
BitmapNode<V>* bitmap_node_edit(const BitmapNode<V>* source, uint32_t bit, SlotContent<V> content) {
  uint32_t datamap = source != nullptr ? source->datamap & ~bit : 0;
  uint32_t nodemap = source != nullptr ? source->nodemap & ~bit : 0;
  if (content.leaf != nullptr) datamap |= bit;
  if (content.child != nullptr) nodemap |= bit;
  BitmapNode<V>* node = bitmap_node_allocate<V>(datamap, nodemap);

  Leaf<V>* leaf_out = node->leaves();
  for (uint32_t rest = datamap; rest != 0; rest &= rest - 1) {
    const uint32_t b = rest & (~rest + 1);
    if (b == bit) {
      new (leaf_out++) Leaf<V>(std::move(*content.leaf));
    } else {
      new (leaf_out++) Leaf<V>(source->leaf_at(b));
    }
  }
  Node** child_out = node->children();
  for (uint32_t rest = nodemap; rest != 0; rest &= rest - 1) {
    const uint32_t b = rest & (~rest + 1);
    if (b == bit) {
      *child_out++ = content.child->release();
    } else {
      Node* child = source->child_at(b);
      node_retain(child);
      *child_out++ = child;
    }
  }
  return node;
}

template <class V>
BitmapNode<V>* bitmap_node_copy(const BitmapNode<V>& source) {
  BitmapNode<V>* node = bitmap_node_allocate<V>(source.datamap, source.nodemap);
  const Leaf<V>* leaves = source.leaves();
  Leaf<V>* leaf_out = node->leaves();
  for (unsigned i = 0, n = source.leaf_count(); i < n; ++i) new (leaf_out + i) Leaf<V>(leaves[i]);
  Node* const* children = source.children();
  Node** child_out = node->children();
  for (unsigned i = 0, n = source.child_count(); i < n; ++i) {
    node_retain(children[i]);
    child_out[i] = children[i];
  }
  return node;
}

// A node holding two leaves in different slots (`bit_a` != `bit_b`).
template <class V>
BitmapNode<V>* bitmap_node_with_two_leaves(uint32_t bit_a, Leaf<V>& a, uint32_t bit_b, Leaf<V>& b) {
  assert(bit_a != bit_b);
  BitmapNode<V>* node = bitmap_node_allocate<V>(bit_a | bit_b, 0);
  Leaf<V>* out = node->leaves();
  Leaf<V>& low = bit_a < bit_b ? a : b;
  Leaf<V>& high = bit_a < bit_b ? b : a;
  new (out) Leaf<V>(std::move(low));
  new (out + 1) Leaf<V>(std::move(high));
  return node;
}

template <class V>
CollisionNode<V>* collision_node_with_two_leaves(uint32_t hash, Leaf<V>& first, Leaf<V>& second) {
  CollisionNode<V>* node = collision_node_allocate<V>(hash, 2);
  new (node->leaves()) Leaf<V>(std::move(first));
  new (node->leaves() + 1) Leaf<V>(std::move(second));
  return node;
}

// A new list equal to `source` with leaf `index` replaced by `*leaf`, or
// removed when `leaf` is null; `index == source.count` appends `*leaf`.
// The other leaves keep their order.
template <class V>
CollisionNode<V>* collision_node_edit(const CollisionNode<V>& source, uint32_t index,
                                      std::type_identity_t<Leaf<V>>* leaf) {
  const uint32_t count = leaf == nullptr         ? source.count - 1
                         : index == source.count ? source.count + 1
                                                 : source.count;
  CollisionNode<V>* node = collision_node_allocate<V>(source.hash, count);
  Leaf<V>* out = node->leaves();
  const Leaf<V>* in = source.leaves();
  for (uint32_t i = 0; i < source.count; ++i) {
    if (i != index) {
      new (out++) Leaf<V>(in[i]);
    } else if (leaf != nullptr) {
      new (out++) Leaf<V>(std::move(*leaf));
    }
  }
  if (index == source.count) new (out) Leaf<V>(std::move(*leaf));
  return node;
}

template <class V>
CollisionNode<V>* collision_node_copy(const CollisionNode<V>& source) {
  CollisionNode<V>* node = collision_node_allocate<V>(source.hash, source.count);
  for (uint32_t i = 0; i < source.count; ++i) new (node->leaves() + i) Leaf<V>(source.leaves()[i]);
  return node;
}

}  // namespace map_detail
}  // namespace derirezaro::store
