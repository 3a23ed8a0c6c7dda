// The condition evaluator: a tree against a state, with no interpreter lock
// and no Python object involved. Evaluation never fails, allocates nothing,
// and charges its work to a WorkMeter (work_meter.hpp) as it goes.
#pragma once

#include "codec/value.hpp"
#include "condition/expr.hpp"
#include "condition/work_meter.hpp"

namespace derirezaro::condition {

// What paths are read from. With `sorted_keys`, the value is a Map whose
// keys are all well-formed Strings, unique and in ascending byte order, so a
// path's first segment is found by binary search rather than a scan of
// every key (routing converts its states so; see codec/py_value.hpp).
struct State {
  const codec::Value& value;
  bool sorted_keys = false;
};

// The State to evaluate over `value`, a Map whose keys are well-formed,
// distinct Strings (as routing converts its states), or any value that is
// not a Map. A Map of more than a few entries is sorted by key bytes on the
// way, so that paths find their first segment by binary search; a few are
// scanned faster than they are sorted. No path can see the order of keys
// that are all distinct.
State index_state(codec::Value& value);

bool truthy(const codec::Value& value);

// Whether the guard's value is truthy, reading operands in place (a
// literal's value, a part of the state, a constant): nothing is built.
bool holds(const Expr& guard, State state, WorkMeter& meter);
// The same without a budget, for a state of any shape.
bool holds(const Expr& guard, const codec::Value& state);

}  // namespace derirezaro::condition
