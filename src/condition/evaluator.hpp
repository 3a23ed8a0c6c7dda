// The condition evaluator: a tree against a state, with no interpreter lock
// and no Python object involved. Evaluation never fails.
#pragma once

#include "codec/value.hpp"
#include "condition/expr.hpp"

namespace derirezaro::condition {

codec::Value evaluate(const Expr& expr, const codec::Value& state);
bool truthy(const codec::Value& value);
bool values_equal(const codec::Value& a, const codec::Value& b);

// truthy(evaluate(guard, state)), without building any Value: operands are
// read in place (a literal's value, a part of the state, a constant).
bool holds(const Expr& guard, const codec::Value& state);

}  // namespace derirezaro::condition
