// The graph under allocation failure, and the evaluator's work meter.
//
// Every allocation in this binary passes the counting operator new below:
// armed, it lets n allocations on the calling thread succeed and fails the
// next one, so a loop can fail each allocation of a call in turn. Disarmed,
// it is malloc.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "codec/value.hpp"
#include "condition/evaluator.hpp"
#include "condition/parser.hpp"
#include "graph/graph.hpp"
#include "support.hpp"

namespace {

thread_local int64_t allocations_before_failure = -1;  // -1: disarmed

}  // namespace

void* operator new(size_t size) {
  if (allocations_before_failure == 0) {
    allocations_before_failure = -1;
    throw std::bad_alloc();
  }
  if (allocations_before_failure > 0) --allocations_before_failure;
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
// g++ cannot tell a replacement from the library's own operator new.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace derirezaro::test {
namespace {

using codec::Value;
using graph::CyclePolicy;
using graph::Graph;

// Everything a caller can see of a graph, with the read keys asked about
// by name.
std::string describe(const Graph& graph, const std::vector<std::string>& names) {
  std::string out =
      std::to_string(graph.node_count()) + " nodes, " + std::to_string(graph.edge_count()) + " edges";
  for (std::string_view node : graph.nodes()) {
    out += "\n";
    out += node;
    const Graph::Outgoing* from = graph.outgoing(node);
    if (from == nullptr) continue;
    for (const graph::Edge& edge : from->edges)
      out += " -> " + edge.to + " [" + edge.when.value_or("-") + "]";
    out += numbered(" reads ", from->read_keys.size());
    for (const std::string& name : names) {
      if (from->read_keys.contains(name)) {
        out += " ";
        out += name;
      }
    }
  }
  return out;
}

TEST(GraphTest, AFailedAddEdgeLeavesTheGraphAsItWas) {
  struct Case {
    const char* from;
    const char* to;
    std::optional<const char*> when;
  };
  // Known and new sources and targets, guards with new and known roots,
  // an unguarded edge, and one that would close a cycle.
  const std::vector<Case> cases = {
      {"a", "b", "x == 1 and y.z > 2"}, {"a", "c", "x == 2 or w"}, {"n", "a", "v"}, {"b", "c", std::nullopt},
      {"p", "q", "'s' in r and x"},     {"c", "a", "x"},           {"a", "a", "u"}, {"q", "p", std::nullopt},
  };
  const std::vector<std::string> names = {"x", "y", "z", "w", "v", "r", "s", "u"};
  for (CyclePolicy policy : {CyclePolicy::error, CyclePolicy::allow}) {
    Graph graph(policy);
    graph.add_node("seed");
    for (const Case& c : cases) {
      const std::string before = describe(graph, names);
      for (int64_t n = 0;; ++n) {
        allocations_before_failure = n;
        try {
          const std::optional<std::string> refused =
              graph.add_edge(c.from, c.to, c.when ? std::optional<std::string_view>(*c.when) : std::nullopt);
          allocations_before_failure = -1;
          if (refused) {
            EXPECT_EQ(describe(graph, names), before) << *refused;
          }
          break;
        } catch (const std::bad_alloc&) {
          allocations_before_failure = -1;
          ASSERT_EQ(describe(graph, names), before) << c.from << " -> " << c.to << ", allocation " << n;
        }
      }
    }
    EXPECT_TRUE(graph.outgoing("a")->read_keys.contains("y"));
    EXPECT_FALSE(graph.outgoing("a")->read_keys.contains("z"));  // a later segment, not a root
  }
}

condition::ExprPtr parsed(std::string_view text) {
  std::string error;
  condition::ExprPtr tree = condition::parse(text, error);
  EXPECT_TRUE(tree) << text << ": " << error;
  return tree;
}

Value text(std::string s) { return codec::String{std::move(s)}; }

Value numbers(size_t n) {
  codec::Array items;
  for (size_t i = 0; i < n; ++i) items.push_back(codec::Integer::from_unsigned(i));
  return items;
}

Value state_of(std::vector<std::pair<std::string, Value>> entries) {
  codec::Map map;
  for (auto& [key, value] : entries) map.push_back({text(key), std::move(value)});
  return map;
}

Value keys(size_t n) {
  codec::Map map;
  for (size_t i = 0; i < n; ++i) map.push_back({text(numbered("k", i)), Value(true)});
  return map;
}

std::string chain(size_t n) {
  std::string out = "f";
  for (size_t i = 1; i < n; ++i) out += " or f";
  return out;
}

// Each kind of work that grows with the input, at a size well within the
// budget and at one well past it: the hook runs once past it, never within.
TEST(WorkMeterTest, TheHookRunsOnceWhenTheWorkPassesTheBudget) {
  constexpr size_t kSmall = 100, kLarge = 4 * condition::kShortEvaluationSteps;
  using Input = std::pair<std::string, Value>;  // the condition and the state
  const std::vector<std::pair<const char*, Input (*)(size_t)>> cases = {
      {"in, elements", [](size_t n) { return Input("-1 in xs", state_of({{"xs", numbers(n)}})); }},
      {"in, keys", [](size_t n) { return Input("'k' in m", state_of({{"m", keys(n)}})); }},
      {"in, substring",
       [](size_t n) { return Input("'ab' in s", state_of({{"s", text(std::string(n * 64, 'a'))}})); }},
      {"==, structure",
       [](size_t n) { return Input("xs == ys", state_of({{"xs", numbers(n)}, {"ys", numbers(n)}})); }},
      {"==, bytes",
       [](size_t n) {
         return Input("s == t", state_of({{"s", text(std::string(n * 64, 'a'))},
                                          {"t", text(std::string(n * 64, 'a'))}}));
       }},
      {"<, bytes",
       [](size_t n) {
         return Input("s < t", state_of({{"s", text(std::string(n * 64, 'a'))},
                                         {"t", text(std::string(n * 64, 'a'))}}));
       }},
      {"path lookup", [](size_t n) { return Input("m.absent", state_of({{"m", keys(n)}})); }},
      {"chain terms", [](size_t n) { return Input(chain(n), state_of({})); }},
  };
  for (const auto& [what, input] : cases) {
    for (size_t n : {kSmall, kLarge}) {
      const auto [when, state] = input(n);
      const condition::ExprPtr guard = parsed(when);
      int calls = 0;
      condition::WorkMeter meter(
          condition::kShortEvaluationSteps, [](void* count) noexcept { ++*static_cast<int*>(count); },
          &calls);
      condition::holds(*guard, condition::State{state}, meter);
      EXPECT_EQ(calls, n == kLarge ? 1 : 0) << what << " over " << n;
    }
  }
}

// One budget across all of a node's edges: many short guards add up.
TEST(WorkMeterTest, RouteChargesEveryEdgeToOneBudget) {
  Graph graph(CyclePolicy::allow);
  for (int i = 0; i < 100; ++i) graph.add_edge("from", "to", "-1 in xs");
  const Value state = state_of({{"xs", numbers(1000)}});
  int calls = 0;
  condition::WorkMeter meter(
      condition::kShortEvaluationSteps, [](void* count) noexcept { ++*static_cast<int*>(count); }, &calls);
  EXPECT_EQ(Graph::route(*graph.outgoing("from"), condition::State{state}, meter), nullptr);
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace derirezaro::test
