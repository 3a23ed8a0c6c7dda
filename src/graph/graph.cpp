#include "graph/graph.hpp"

#include <algorithm>
#include <utility>

#include "condition/parser.hpp"

namespace derirezaro::graph {

std::optional<uint32_t> Graph::id_of(std::string_view name) const {
  auto found = ids_.find(name);
  if (found == ids_.end()) return std::nullopt;
  return found->second;
}

// Room for `extra` more nodes, growing geometrically (an exact reserve per
// node would copy the whole array every time).
void Graph::reserve_nodes(size_t extra) {
  if (nodes_.capacity() - nodes_.size() < extra)
    nodes_.reserve(std::max(nodes_.size() + extra, 2 * nodes_.capacity()));
}

void Graph::add_node(std::string_view name) {
  if (has_node(name)) return;
  reserve_nodes(1);  // so the push below cannot fail after the insert
  auto entry = ids_.try_emplace(std::string(name), static_cast<uint32_t>(nodes_.size())).first;
  nodes_.push_back(Node{entry->first, {}});
}

std::optional<std::string> Graph::add_edge(std::string_view from, std::string_view to,
                                           std::optional<std::string_view> when) {
  condition::ExprPtr guard;
  if (when) {
    std::string error;
    guard = condition::parse(*when, error);
    if (!guard) return "invalid condition: " + error;
  }
  const std::optional<uint32_t> known_from = id_of(from), known_to = id_of(to);
  // A new node has no edges in or out, so only an edge between two known
  // nodes (or a self-loop) can close a cycle.
  if (policy_ == CyclePolicy::error &&
      (from == to || (known_from && known_to && reaches(*known_to, *known_from)))) {
    std::string message = "adding edge '";
    message += from;
    message += "' -> '";
    message += to;
    message += "' would create a cycle (on_cycle='error')";
    return message;
  }

  // Every step that can fail (allocating) comes before the graph changes,
  // or is undone: a failed call, like a refused one, leaves it as it was.
  std::vector<std::string> roots;
  if (guard) condition::collect_path_roots(*guard, roots);
  codec::NameSet first_keys;  // a new source's read keys
  codec::NameSet::Addition new_keys =
      (known_from ? nodes_[*known_from].out.read_keys : first_keys).prepare(roots);
  Edge edge{std::string(to), 0, when ? std::optional<std::string>(*when) : std::nullopt, std::move(guard)};
  std::vector<Edge> first_edges;  // a new source's edge list
  if (known_from) {
    std::vector<Edge>& edges = nodes_[*known_from].out.edges;
    if (edges.size() == edges.capacity()) edges.reserve(std::max<size_t>(4, 2 * edges.capacity()));
  } else {
    first_edges.reserve(4);
  }
  reserve_nodes(2);
  add_node(from);
  try {
    add_node(to);
  } catch (...) {
    if (!known_from) {
      ids_.erase(ids_.find(from));
      nodes_.pop_back();
    }
    throw;
  }

  // Nothing below can fail: capacities are reserved, the rest are moves.
  Outgoing& out = nodes_[ids_.find(from)->second].out;
  edge.to_id = ids_.find(to)->second;
  if (!known_from) {
    out.edges = std::move(first_edges);
    out.read_keys = std::move(first_keys);
  }
  out.read_keys.commit(std::move(new_keys));
  out.edges.push_back(std::move(edge));
  ++edge_count_;
  return std::nullopt;
}

bool Graph::reaches(uint32_t start, uint32_t target) {
  if (visit_stamps_.size() < nodes_.size()) visit_stamps_.resize(nodes_.size(), search_stamp_);
  if (++search_stamp_ == 0) {  // wrapped: every old stamp could now look current
    std::fill(visit_stamps_.begin(), visit_stamps_.end(), 0);
    search_stamp_ = 1;
  }
  search_stack_.assign(1, start);
  while (!search_stack_.empty()) {
    const uint32_t id = search_stack_.back();
    search_stack_.pop_back();
    if (id == target) return true;
    if (visit_stamps_[id] == search_stamp_) continue;
    visit_stamps_[id] = search_stamp_;
    for (const Edge& edge : nodes_[id].out.edges) search_stack_.push_back(edge.to_id);
  }
  return false;
}

bool Graph::is_dag() const {
  // Depth-first, three colours, with an explicit stack: an edge into a node
  // still on the current path closes a cycle. Each node and edge is looked
  // at once.
  enum Mark : uint8_t { unseen, on_path, done };
  std::vector<uint8_t> marks(nodes_.size(), unseen);
  std::vector<std::pair<uint32_t, size_t>> path;  // node, next edge to follow
  for (uint32_t root = 0; root < nodes_.size(); ++root) {
    if (marks[root] != unseen) continue;
    marks[root] = on_path;
    path.emplace_back(root, 0);
    while (!path.empty()) {
      auto& [id, next] = path.back();
      const std::vector<Edge>& edges = nodes_[id].out.edges;
      if (next == edges.size()) {
        marks[id] = done;
        path.pop_back();
        continue;
      }
      const uint32_t to = edges[next++].to_id;
      if (marks[to] == on_path) return false;
      if (marks[to] == unseen) {
        marks[to] = on_path;
        path.emplace_back(to, 0);
      }
    }
  }
  return true;
}

const Graph::Outgoing* Graph::outgoing(std::string_view node) const {
  const std::optional<uint32_t> id = id_of(node);
  return id && !nodes_[*id].out.edges.empty() ? &nodes_[*id].out : nullptr;
}

const std::string* Graph::route(const Outgoing& from, condition::State state, condition::WorkMeter& meter) {
  for (const Edge& edge : from.edges) {
    meter.charge(1);
    if (!edge.guard || condition::holds(*edge.guard, state, meter)) return &edge.to;
  }
  return nullptr;
}

std::vector<std::string_view> Graph::nodes() const {
  std::vector<std::string_view> names;
  names.reserve(nodes_.size());
  for (const Node& node : nodes_) names.push_back(node.name);
  std::sort(names.begin(), names.end());  // string_view compares bytes as unsigned char
  return names;
}

const std::vector<Edge>* Graph::edges(std::string_view node) const {
  const Outgoing* out = outgoing(node);
  return out != nullptr ? &out->edges : nullptr;
}

}  // namespace derirezaro::graph
