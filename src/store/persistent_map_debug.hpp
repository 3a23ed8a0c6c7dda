// Inspection of a trie for tests and reviews: a validator that checks every
// invariant listed in persistent_map.hpp, a textual dump of the exact shape,
// and node statistics. None of this is on any operation's path; it walks the
// whole tree and is meant for tests, assertions and debugging sessions.
//
// Dump format, one line per node, children indented under their parent:
//
//   bitmap 3:"a" 5:*                    root: a leaf in slot 3, a child in 5
//     5: bitmap 0:"c" 9:"d"             the child in slot 5, two leaves
//
// A collision list prints as `collision 0x<hash> "k1" "k2"` in list order.
// Keys print in double quotes with `"`, `\` and bytes outside printable
// ASCII escaped (\xNN). An empty map prints as `empty`.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "store/map_hash.hpp"
#include "store/persistent_map_nodes.hpp"

namespace derirezaro::store {

struct TreeStats {
  size_t bitmap_nodes = 0;
  size_t collision_nodes = 0;
  size_t leaves = 0;
  unsigned max_depth = 0;  // depth of the deepest node (root 0, collision lists 7)
};

namespace map_detail {

template <class V, class Hasher>
class TrieInspector {
 public:
  using Bitmap = BitmapNode<V>;
  using Collision = CollisionNode<V>;

  TrieInspector(const Node* root, const HashSeed& seed, uint64_t count)
      : root_(root), seed_(seed), count_(count) {}

  bool validate(std::string* why) const {
    std::string error;
    uint64_t leaves = 0;
    if (root_ == nullptr) {
      if (count_ != 0) error = concat("the root is null but the count is ", std::to_string(count_));
    } else if (check(root_, 0, 0, &leaves, &error) && leaves != count_) {
      error = concat("the count is ", std::to_string(count_), " but the tree holds ", std::to_string(leaves),
                     " leaves");
    }
    if (why != nullptr) *why = error;
    return error.empty();
  }

  std::string dump() const {
    if (root_ == nullptr) return "empty\n";
    std::string out;
    dump_node(root_, 0, -1, &out);
    return out;
  }

  TreeStats stats() const {
    TreeStats stats;
    if (root_ != nullptr) collect(root_, 0, &stats);
    return stats;
  }

 private:
  uint32_t hash(const SharedBytesRef& key) const { return Hasher{}(seed_, key.view()); }

  // Joins the pieces by appending, one allocation path for every message.
  template <class... Pieces>
  static std::string concat(const Pieces&... pieces) {
    std::string out;
    (out.append(pieces), ...);
    return out;
  }

  static std::string hex(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(v));
    return text;
  }

  static std::string quoted(std::string_view key) {
    std::string out = "\"";
    for (const char c : key) {
      const auto byte = static_cast<unsigned char>(c);
      if (c == '"' || c == '\\') {
        out += '\\';
        out += c;
      } else if (byte < 0x20 || byte >= 0x7f) {
        char text[8];
        std::snprintf(text, sizeof text, "\\x%02x", byte);
        out += text;
      } else {
        out += c;
      }
    }
    out += '"';
    return out;
  }

  // Checks the subtree at `depth` whose path fixed the low hash bits to
  // `path`; adds its leaves to `*leaves`.
  bool check(const Node* node, unsigned depth, uint32_t path, uint64_t* leaves, std::string* error) const {
    const std::string where = concat("node at depth ", std::to_string(depth), " on path ", hex(path));
    if (node->refs.load(std::memory_order_relaxed) == 0) return fail(error, where + " has a zero count");
    if (depth == kCollisionDepth)
      return check_collision(static_cast<const Collision*>(node), path, leaves, error);

    const auto* bitmap = static_cast<const Bitmap*>(node);
    if ((bitmap->datamap & bitmap->nodemap) != 0)
      return fail(error, where + ": a slot is both leaf and child");
    if (depth == kDeepestLevel && ((bitmap->datamap | bitmap->nodemap) & ~uint32_t{0xf}) != 0) {
      return fail(error, where + ": the deepest level uses slots above 3");
    }
    const uint64_t before = *leaves;
    for (uint32_t rest = bitmap->datamap; rest != 0; rest &= rest - 1) {
      const uint32_t bit = rest & (~rest + 1);
      const uint32_t slot_path =
          path | (static_cast<uint32_t>(std::countr_zero(bit)) << (kBitsPerLevel * depth));
      const SharedBytesRef& key = bitmap->leaf_at(bit).key;
      if ((hash(key) & path_mask(depth + 1)) != slot_path) {
        return fail(error, concat(where, ": leaf ", quoted(key.view()), " with hash ", hex(hash(key)),
                                  " is off its path"));
      }
      ++*leaves;
    }
    for (uint32_t rest = bitmap->nodemap; rest != 0; rest &= rest - 1) {
      const uint32_t bit = rest & (~rest + 1);
      const Node* child = bitmap->child_at(bit);
      if (child == nullptr) return fail(error, where + ": null child");
      const uint32_t slot_path =
          path | (static_cast<uint32_t>(std::countr_zero(bit)) << (kBitsPerLevel * depth));
      if (!check(child, depth + 1, slot_path, leaves, error)) return false;
    }
    const uint64_t held = *leaves - before;
    if (depth == 0 && held == 0) return fail(error, "the root is empty but not null");
    if (depth != 0 && held < 2)
      return fail(error, concat(where, " holds ", std::to_string(held), " leaf, not two or more"));
    return true;
  }

  bool check_collision(const Collision* list, uint32_t path, uint64_t* leaves, std::string* error) const {
    const std::string where = concat("collision list ", hex(list->hash));
    if (list->hash != path) return fail(error, concat(where, " sits on path ", hex(path)));
    if (list->count < 2) return fail(error, where + " holds fewer than two leaves");
    for (uint32_t i = 0; i < list->count; ++i) {
      const SharedBytesRef& key = list->leaves()[i].key;
      if (hash(key) != list->hash)
        return fail(error, concat(where, " holds ", quoted(key.view()), " of hash ", hex(hash(key))));
      for (uint32_t j = 0; j < i; ++j) {
        if (list->leaves()[j].key == key)
          return fail(error, concat(where, " holds ", quoted(key.view()), " twice"));
      }
    }
    *leaves += list->count;
    return true;
  }

  static bool fail(std::string* error, std::string text) {
    *error = std::move(text);
    return false;
  }

  void dump_node(const Node* node, unsigned depth, int slot, std::string* out) const {
    out->append(2 * depth, ' ');
    if (slot >= 0) out->append(concat(std::to_string(slot), ": "));
    if (depth == kCollisionDepth) {
      const auto* list = static_cast<const Collision*>(node);
      out->append(concat("collision ", hex(list->hash)));
      for (uint32_t i = 0; i < list->count; ++i)
        out->append(concat(" ", quoted(list->leaves()[i].key.view())));
      *out += "\n";
      return;
    }
    const auto* bitmap = static_cast<const Bitmap*>(node);
    *out += "bitmap";
    for (uint32_t rest = bitmap->datamap | bitmap->nodemap; rest != 0; rest &= rest - 1) {
      const uint32_t bit = rest & (~rest + 1);
      out->append(concat(" ", std::to_string(std::countr_zero(bit)), ":"));
      out->append((bitmap->datamap & bit) != 0 ? quoted(bitmap->leaf_at(bit).key.view()) : std::string("*"));
    }
    *out += "\n";
    for (uint32_t rest = bitmap->nodemap; rest != 0; rest &= rest - 1) {
      const uint32_t bit = rest & (~rest + 1);
      dump_node(bitmap->child_at(bit), depth + 1, std::countr_zero(bit), out);
    }
  }

  void collect(const Node* node, unsigned depth, TreeStats* stats) const {
    if (depth > stats->max_depth) stats->max_depth = depth;
    if (depth == kCollisionDepth) {
      ++stats->collision_nodes;
      stats->leaves += static_cast<const Collision*>(node)->count;
      return;
    }
    const auto* bitmap = static_cast<const Bitmap*>(node);
    ++stats->bitmap_nodes;
    stats->leaves += bitmap->leaf_count();
    for (unsigned i = 0, n = bitmap->child_count(); i < n; ++i)
      collect(bitmap->children()[i], depth + 1, stats);
  }

  const Node* root_;
  const HashSeed& seed_;
  uint64_t count_;
};

}  // namespace map_detail
}  // namespace derirezaro::store
