// The graph under allocation failure, and the evaluator's work meter.
//
// Every allocation in this binary passes the counting operator new below:
// armed, it lets n allocations on the calling thread succeed and fails the
// next one (and disarms), so fail_each_allocation can fail each allocation
// of a call in turn. Disarmed, it is malloc.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "codec/value.hpp"
#include "condition/evaluator.hpp"
#include "graph/graph.hpp"
#include "support.hpp"

namespace {

thread_local int64_t allocations_before_failure = -1;  // -1: disarmed

}  // namespace

void* operator new(size_t size) {
  // The failing one leaves the count at -1: disarmed.
  if (allocations_before_failure >= 0 && allocations_before_failure-- == 0) throw std::bad_alloc();
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

// Everything a caller can see of a graph, read keys among the names the
// guards below use included.
std::string describe(const Graph& graph) {
  std::string out = numbered("nodes ", graph.node_count()) + numbered(", edges ", graph.edge_count());
  for (std::string_view node : graph.nodes()) {
    (out += "\n") += node;
    const Graph::Outgoing* from = graph.outgoing(node);
    if (from == nullptr) continue;
    for (const graph::Edge& edge : from->edges)
      out += " -> " + edge.to + " [" + edge.when.value_or("-") + "]";
    out += numbered(" reads ", from->read_keys.size());
    for (const char* name : {"x", "y", "z", "w", "v", "r", "s", "u"}) {
      if (from->read_keys.contains(name)) (out += " ") += name;
    }
  }
  return out;
}

TEST(GraphTest, AFailedAddEdgeLeavesTheGraphAsItWas) {
  // Known and new sources and targets, guards with new and known roots,
  // an unguarded edge (null), and one that would close a cycle.
  const std::tuple<const char*, const char*, const char*> edges[] = {
      {"a", "b", "x == 1 and y.z > 2"}, {"a", "c", "x == 2 or w"}, {"n", "a", "v"}, {"b", "c", nullptr},
      {"p", "q", "'s' in r and x"},     {"c", "a", "x"},           {"a", "a", "u"}, {"q", "p", nullptr}};
  for (CyclePolicy policy : {CyclePolicy::error, CyclePolicy::allow}) {
    Graph graph(policy);
    graph.add_node("seed");
    for (const auto& edge : edges) {
      // Plain variables, not a structured binding: the lambdas below capture them.
      const char *from = std::get<0>(edge), *to = std::get<1>(edge), *guard = std::get<2>(edge);
      const auto when = guard ? std::optional<std::string_view>(guard) : std::nullopt;
      const std::string before = describe(graph);
      std::optional<std::string> refused;
      fail_each_allocation([&] { refused = graph.add_edge(from, to, when); },
                           [&](int64_t n) {
                             ASSERT_EQ(describe(graph), before)
                                 << from << " -> " << to << ", allocation " << n;
                           },
                           [](int64_t n) noexcept { allocations_before_failure = n; });
      EXPECT_TRUE(!refused || describe(graph) == before) << *refused << " changed the graph";
    }
    EXPECT_TRUE(graph.outgoing("a")->read_keys.contains("y"));
    EXPECT_FALSE(graph.outgoing("a")->read_keys.contains("z"));  // a later segment, not a root
  }
}

Value numbers(size_t n) {
  codec::Array items;
  for (size_t i = 0; i < n; ++i) items.push_back(codec::Integer::from_unsigned(i));
  return items;
}

Value keys(size_t n) {
  codec::Map map;
  for (size_t i = 0; i < n; ++i) map.push_back({codec::String{numbered("k", i)}, Value(true)});
  return map;
}

Value text(size_t n) { return codec::String{std::string(n * 64, 'a')}; }

// A guard, and the state it reads from its (key, value) entries.
using Input = std::pair<std::string, Value>;
Input input(std::string when, std::vector<std::pair<const char*, Value>> entries) {
  codec::Map state;
  for (auto& [key, value] : entries) state.push_back({codec::String{key}, std::move(value)});
  return {std::move(when), std::move(state)};
}

// Each kind of work that grows with the input, at a size well within the
// budget and at one well past it: the hook runs once past it, never within.
// A node's edges share one budget: a hundred guards, each well within it,
// add up.
TEST(WorkMeterTest, TheHookRunsOnceWhenTheWorkPassesTheBudget) {
  constexpr size_t kSmall = 100, kLarge = 4 * condition::kShortEvaluationSteps;
  const std::vector<std::tuple<const char*, int, Input (*)(size_t)>> cases = {
      {"in, elements", 1, [](size_t n) { return input("-1 in xs", {{"xs", numbers(n)}}); }},
      {"in, keys", 1, [](size_t n) { return input("'k' in m", {{"m", keys(n)}}); }},
      {"in, substring", 1, [](size_t n) { return input("'ab' in s", {{"s", text(n)}}); }},
      {"==, structure", 1,
       [](size_t n) { return input("xs == ys", {{"xs", numbers(n)}, {"ys", numbers(n)}}); }},
      {"==, bytes", 1, [](size_t n) { return input("s == t", {{"s", text(n)}, {"t", text(n)}}); }},
      {"<, bytes", 1, [](size_t n) { return input("s < t", {{"s", text(n)}, {"t", text(n)}}); }},
      {"path lookup", 1, [](size_t n) { return input("m.absent", {{"m", keys(n)}}); }},
      {"chain terms", 1,
       [](size_t n) {
         std::string chain = "f";
         for (size_t i = 1; i < n; ++i) chain += " or f";
         return input(chain, {});
       }},
      {"edges", 100, [](size_t n) { return input("-1 in xs", {{"xs", numbers(n / 50)}}); }},
  };
  for (const auto& [what, edges, make] : cases) {
    for (size_t n : {kSmall, kLarge}) {
      const auto [when, state] = make(n);
      Graph graph(CyclePolicy::allow);
      for (int i = 0; i < edges; ++i) ASSERT_FALSE(graph.add_edge("from", "to", when)) << what;
      int calls = 0;
      condition::WorkMeter meter(
          condition::kShortEvaluationSteps, [](void* count) noexcept { ++*static_cast<int*>(count); },
          &calls);
      Graph::route(*graph.outgoing("from"), condition::State{state}, meter);
      EXPECT_EQ(calls, n == kLarge ? 1 : 0) << what << " over " << n;
    }
  }
}

}  // namespace
}  // namespace derirezaro::test
