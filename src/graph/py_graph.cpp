// The Python class `HandoffGraph`: argument conversion, the borrows that
// keep the edges still while `route` evaluates, and the Python results.
//
// `route` converts its state once, with the interpreter lock held, into a
// Value that evaluation reads without touching Python: all of the state is
// checked, but only the keys the node's guards read are built. Evaluation
// charges its work to a meter (condition/work_meter.hpp) and keeps the
// interpreter lock while that work stays short, the usual case: a hand-off
// of the lock beside a busy Python thread can cost a whole switch interval.
// Once the budget is spent it gives the lock up, and takes it back before
// the result is built. While it runs without the lock, its shared borrow of
// the graph stays, and `add_node` or `add_edge` from another thread fails
// with the borrow error instead of changing the edges under it.
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/py_value.hpp"
#include "graph/graph.hpp"
#include "graph/py_graph.hpp"
#include "lib/call.hpp"
#include "lib/gil.hpp"
#include "lib/type_registry.hpp"

namespace derirezaro::py {

struct GraphRecord {
  static constexpr const char* kClassName = "HandoffGraph";

  explicit GraphRecord(graph::CyclePolicy policy) : graph(policy) {}

  graph::Graph graph;
  // Every key a guard reads, as the str object route looks it up with.
  // Changed only under the exclusive borrow of add_edge.
  codec::NameObjects read_key_objects;
};

namespace {

PyObject* graph_new(PyTypeObject* cls, std::optional<Utf8> on_cycle) {
  const std::string_view policy = on_cycle ? on_cycle->text : "error";
  if (policy != "error" && policy != "allow") {
    PyErr_SetString(PyExc_ValueError, "on_cycle must be 'error' or 'allow'");
    return nullptr;
  }
  return Instance<GraphRecord>::create(
      cls, policy == "error" ? graph::CyclePolicy::error : graph::CyclePolicy::allow);
}

std::string_view graph_on_cycle(GraphRecord& self) {
  return self.graph.policy() == graph::CyclePolicy::error ? "error" : "allow";
}

void graph_add_node(GraphRecord& self, Utf8 name) { self.graph.add_node(name.text); }

void graph_add_edge(GraphRecord& self, Utf8 from_node, Utf8 to, NoneOr<Utf8> when) {
  std::optional<std::string_view> condition;
  if (when.value) condition = when.value->text;
  if (std::optional<std::string> refused = self.graph.add_edge(from_node.text, to.text, condition)) {
    raise_error(PyExc_ValueError, *refused);
    throw ErrorAlreadySet();
  }
  const graph::Edge& added = self.graph.edges(from_node.text)->back();
  if (!added.guard) return;
  // A key whose object cannot be made now is made by each route that needs
  // it: a failure here costs routing time, never the edge.
  try {
    std::vector<std::string> roots;
    condition::collect_path_roots(*added.guard, roots);
    if (!self.read_key_objects.add(roots)) PyErr_Clear();
  } catch (const std::bad_alloc&) {
  }
}

bool graph_is_dag(GraphRecord& self) { return self.graph.is_dag(); }

std::optional<std::string_view> graph_route(GraphRecord& self, Utf8 node, PyObject* state) {
  // Only what the node's guards can read is converted, but all of the state
  // is checked, so a state the whole conversion refuses is refused here too,
  // with the same error, even for a node without edges.
  static const codec::NameSet kReadsNothing;
  const graph::Graph::Outgoing* from = self.graph.outgoing(node.text);
  codec::Value converted = codec::Map{};
  if (state != nullptr && state != Py_None &&
      !codec::py_to_value_reading(state, from != nullptr ? from->read_keys : kReadsNothing,
                                  self.read_key_objects, converted)) {
    throw ErrorAlreadySet();
  }
  if (from == nullptr) return std::nullopt;
  const std::string* target = nullptr;
  {
    GilReleaseOnDemand released;
    condition::WorkMeter meter(condition::kShortEvaluationSteps, &GilReleaseOnDemand::release_hook,
                               &released);
    target = graph::Graph::route(*from, condition::index_state(converted), meter);
  }  // the interpreter lock is back
  if (target == nullptr) return std::nullopt;
  return *target;
}

std::vector<std::string_view> graph_nodes(GraphRecord& self) { return self.graph.nodes(); }

std::vector<std::pair<std::string_view, std::optional<std::string_view>>> graph_edges(GraphRecord& self,
                                                                                      Utf8 node) {
  std::vector<std::pair<std::string_view, std::optional<std::string_view>>> out;
  if (const std::vector<graph::Edge>* edges = self.graph.edges(node.text)) {
    out.reserve(edges->size());
    for (const graph::Edge& edge : *edges) {
      out.emplace_back(edge.to, edge.when ? std::optional<std::string_view>(*edge.when) : std::nullopt);
    }
  }
  return out;
}

bool graph_has_node(GraphRecord& self, Utf8 node) { return self.graph.has_node(node.text); }

Py_ssize_t graph_len(GraphRecord& self) { return static_cast<Py_ssize_t>(self.graph.node_count()); }

std::string graph_repr(GraphRecord& self) {
  std::string text = "HandoffGraph(nodes=" + std::to_string(self.graph.node_count());
  text += ", edges=" + std::to_string(self.graph.edge_count());
  text += ", on_cycle='";
  text += graph_on_cycle(self);
  text += "')";
  return text;
}

std::vector<MemberDef> graph_members() {
  return {
      constructor<&graph_new>("(on_cycle=\"error\")"),
      property<&graph_on_cycle>("on_cycle", "Behaviour on cycle detection: `\"error\"` or `\"allow\"`."),
      method<&graph_add_node, Borrow::exclusive>(
          "add_node", "($self, name)",
          "Register a node with no edges (edges also register their endpoints)."),
      method<&graph_add_edge, Borrow::exclusive>(
          "add_edge", "($self, from_node, to, when=None)",
          "Add a directed edge `from -> to`, optionally guarded by a `when`\n"
          "condition (see the condition mini-language).\n\n"
          "Raises `ValueError` on an invalid condition, or \u2014 when `on_cycle` is\n"
          "`\"error\"` \u2014 if the edge would create a cycle."),
      method<&graph_route>("route", "($self, node, state=None)",
                           "Resolve the next node from `node` given `state`.\n\n"
                           "Evaluates outgoing edges in insertion order and returns the first whose\n"
                           "condition is satisfied (an edge with no condition always matches).\n"
                           "Returns `None` if no edge matches."),
      method<&graph_nodes>("nodes", "($self)", "All nodes in the graph (sorted for stable output)."),
      method<&graph_edges>("edges", "($self, node)",
                           "Outgoing edges of `node` as `(to, when)` pairs, in insertion order."),
      method<&graph_has_node>("has_node", "($self, node)", "Whether `node` exists in the graph."),
      method<&graph_is_dag>("is_dag", "($self)", "Whether the graph is currently acyclic."),
      slot<Py_mp_length, &graph_len>(),
      slot<Py_sq_contains, &graph_has_node>("__contains__", "(node)"),
      slot<Py_tp_repr, &graph_repr>(),
  };
}

}  // namespace

PyTypeObject* graph_class() {
  return class_for<GraphRecord>("A deterministic routing graph over named nodes with conditional edges.",
                                &graph_members);
}

}  // namespace derirezaro::py
