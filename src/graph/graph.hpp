// Graph: named nodes and directed edges guarded by conditions, the cycle
// policy, and routing. Plain C++: the Python class `HandoffGraph`
// (py_graph.cpp) wraps it.
//
// The graph only grows. Node names are compared byte for byte (the empty
// name is a name). Every edge's target, and every node with outgoing edges,
// is a node. With the policy `error` the edges never form a cycle, self-loops
// included; with `allow` any edge is accepted. A condition is parsed once,
// when its edge is added; routing evaluates the stored tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "codec/name_set.hpp"
#include "codec/value.hpp"
#include "condition/evaluator.hpp"
#include "condition/expr.hpp"

namespace derirezaro::graph {

enum class CyclePolicy : uint8_t { error, allow };

struct Edge {
  std::string to;
  uint32_t to_id = 0;               // the target's index (see Graph)
  std::optional<std::string> when;  // the condition text exactly as given
  condition::ExprPtr guard;         // parsed from `when`; present exactly when it is
};

class Graph {
 public:
  explicit Graph(CyclePolicy policy) : policy_(policy) {}

  CyclePolicy policy() const { return policy_; }

  void add_node(std::string_view name);
  // Adds the edge, or returns why it is refused ("invalid condition: ...",
  // or the cycle message) and changes nothing. A condition error is
  // reported before a cycle error.
  std::optional<std::string> add_edge(std::string_view from, std::string_view to,
                                      std::optional<std::string_view> when);

  // Whether the edges form no cycle. Linear in nodes and edges.
  bool is_dag() const;

  // A node's outgoing edges, and what routing from it needs to know first.
  struct Outgoing {
    std::vector<Edge> edges;   // in insertion order
    codec::NameSet read_keys;  // the state keys the guards can read: the first
                               // segments of their paths
  };
  // Null when `node` has no edges. Valid until the graph next changes.
  const Outgoing* outgoing(std::string_view node) const;

  // The target of the first edge whose guard holds for `state` (an edge
  // without one always holds), or null. Valid until the graph next changes.
  // Every edge's evaluation is charged to the one `meter`.
  static const std::string* route(const Outgoing& from, condition::State state, condition::WorkMeter& meter);

  // Every node name, sorted by UTF-8 bytes (code point order). Views into
  // the graph, valid until it next changes.
  std::vector<std::string_view> nodes() const;
  // The edges out of `node` in insertion order; null when it has none.
  const std::vector<Edge>* edges(std::string_view node) const;
  bool has_node(std::string_view name) const { return ids_.find(name) != ids_.end(); }
  size_t node_count() const { return nodes_.size(); }
  size_t edge_count() const { return edge_count_; }

 private:
  // Heterogeneous lookup: a string_view finds a std::string key without a copy.
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const noexcept { return std::hash<std::string_view>{}(name); }
  };
  using NameEqual = std::equal_to<>;

  // Nodes are numbered in the order they appear, so the searches over the
  // edges work on indices and flat arrays, not on names and hash sets.
  struct Node {
    std::string_view name;  // the key in ids_, which never moves
    Outgoing out;
  };

  std::optional<uint32_t> id_of(std::string_view name) const;
  void reserve_nodes(size_t extra);
  // Whether `target` can be reached from `start` along the edges; each node
  // is visited at most once, with an explicit stack.
  bool reaches(uint32_t start, uint32_t target);

  const CyclePolicy policy_;
  std::unordered_map<std::string, uint32_t, NameHash, NameEqual> ids_;
  std::vector<Node> nodes_;  // by index
  size_t edge_count_ = 0;
  // The cycle search's scratch, kept between calls: a node is visited when
  // its stamp equals `search_stamp_`, so no search clears the array.
  std::vector<uint32_t> visit_stamps_;
  uint32_t search_stamp_ = 0;
  std::vector<uint32_t> search_stack_;
};

}  // namespace derirezaro::graph
