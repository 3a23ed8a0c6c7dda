#include "graph/graph.hpp"

#include <algorithm>
#include <utility>

#include "condition/evaluator.hpp"
#include "condition/parser.hpp"

namespace derirezaro::graph {

void Graph::add_node(std::string_view name) {
  if (!has_node(name)) nodes_.emplace(name);
}

std::optional<std::string> Graph::add_edge(std::string_view from, std::string_view to,
                                           std::optional<std::string_view> when) {
  condition::ExprPtr guard;
  if (when) {
    std::string error;
    guard = condition::parse(*when, error);
    if (!guard) return "invalid condition: " + error;
  }
  if (policy_ == CyclePolicy::error && (from == to || reaches(to, from))) {
    std::string message = "adding edge '";
    message += from;
    message += "' -> '";
    message += to;
    message += "' would create a cycle (on_cycle='error')";
    return message;
  }
  // Every step that can fail (allocating) comes before the graph changes,
  // or is undone: a failed call, like a refused one, leaves it as it was.
  Edge edge{std::string(to), when ? std::optional<std::string>(*when) : std::nullopt, std::move(guard)};
  auto [entry, created] = adjacency_.try_emplace(std::string(from));
  Outgoing& out = entry->second;
  std::vector<std::string> read_keys = out.read_keys;
  bool from_added = false;
  try {
    if (edge.guard) {
      condition::collect_path_roots(*edge.guard, read_keys);
      std::sort(read_keys.begin(), read_keys.end());
      read_keys.erase(std::unique(read_keys.begin(), read_keys.end()), read_keys.end());
    }
    if (out.edges.size() == out.edges.capacity())
      out.edges.reserve(std::max<size_t>(4, 2 * out.edges.capacity()));
    from_added = nodes_.emplace(from).second;
    nodes_.emplace(to);
  } catch (...) {
    if (from_added) nodes_.erase(nodes_.find(from));
    if (created) adjacency_.erase(entry);
    throw;
  }
  // Nothing below can fail: the capacity is reserved, the rest are moves.
  out.guard_weight += edge.when ? edge.when->size() : 0;
  out.read_keys = std::move(read_keys);
  out.edges.push_back(std::move(edge));
  ++edge_count_;
  return std::nullopt;
}

bool Graph::reaches(std::string_view start, std::string_view target) const {
  std::vector<std::string_view> stack{start};
  std::unordered_set<std::string_view> visited;
  while (!stack.empty()) {
    const std::string_view name = stack.back();
    stack.pop_back();
    if (name == target) return true;
    if (!visited.insert(name).second) continue;
    auto found = adjacency_.find(name);
    if (found == adjacency_.end()) continue;
    for (const Edge& edge : found->second.edges) stack.push_back(edge.to);
  }
  return false;
}

bool Graph::is_dag() const {
  // Depth-first, three colours, with an explicit stack: an edge into a node
  // still on the current path closes a cycle. Each node and edge is looked
  // at once.
  enum class Mark : uint8_t { on_path, done };
  std::unordered_map<std::string_view, Mark> marks;
  struct Frame {
    const std::vector<Edge>* edges;
    size_t next;
    std::string_view name;
  };
  std::vector<Frame> path;
  for (const auto& [root, root_out] : adjacency_) {
    if (marks.count(root) != 0) continue;
    marks.emplace(root, Mark::on_path);
    path.push_back({&root_out.edges, 0, root});
    while (!path.empty()) {
      Frame& frame = path.back();
      if (frame.next == frame.edges->size()) {
        marks[frame.name] = Mark::done;
        path.pop_back();
        continue;
      }
      const std::string& to = (*frame.edges)[frame.next++].to;
      auto [mark, fresh] = marks.try_emplace(to, Mark::on_path);
      if (!fresh) {
        if (mark->second == Mark::on_path) return false;
        continue;
      }
      auto out = adjacency_.find(to);
      if (out == adjacency_.end()) {
        mark->second = Mark::done;
      } else {
        path.push_back({&out->second.edges, 0, out->first});
      }
    }
  }
  return true;
}

const Graph::Outgoing* Graph::outgoing(std::string_view node) const {
  auto found = adjacency_.find(node);
  return found != adjacency_.end() ? &found->second : nullptr;
}

const std::string* Graph::route(const Outgoing& from, const codec::Value& state) {
  for (const Edge& edge : from.edges) {
    if (!edge.guard || condition::holds(*edge.guard, state)) return &edge.to;
  }
  return nullptr;
}

std::vector<std::string_view> Graph::nodes() const {
  std::vector<std::string_view> names(nodes_.begin(), nodes_.end());
  std::sort(names.begin(), names.end());  // string_view compares bytes as unsigned char
  return names;
}

const std::vector<Edge>* Graph::edges(std::string_view node) const {
  auto found = adjacency_.find(node);
  return found != adjacency_.end() ? &found->second.edges : nullptr;
}

}  // namespace derirezaro::graph
