#include "condition/evaluator.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace derirezaro::condition {

namespace {

using codec::Kind;
using codec::Value;

// What an operand evaluates to is always a Value that outlives the
// evaluation: a literal's own value, a part of the state, or one of these
// constants. So no operand is ever built or copied.
const Value& nil_value() {
  static const Value nil;
  return nil;
}

const Value& boolean_value(bool b) {
  static const Value booleans[2] = {Value(false), Value(true)};
  return booleans[b ? 1 : 0];
}

// The number as a double (Integer to the nearest one), or false when
// `value` is not numeric.
bool as_double(const Value& value, double& out) {
  switch (value.kind()) {
    case Kind::integer: {
      const codec::Integer& n = *value.get_if<codec::Integer>();
      out = n.negative ? static_cast<double>(n.as_signed()) : static_cast<double>(n.bits);
      return true;
    }
    case Kind::float32: out = *value.get_if<float>(); return true;
    case Kind::float64: out = *value.get_if<double>(); return true;
    default: return false;
  }
}

// The bytes of a String that passed the UTF-8 check; null for anything
// else, which keeps failed Strings out of ordering and substring tests.
const std::string* text_of(const Value& value) {
  const codec::String* s = value.get_if<codec::String>();
  return s && s->valid_utf8 ? &s->bytes : nullptr;
}

// Byte equality of a key and a segment. Keys of one state tend to share a
// length, so the first byte is compared inline before calling memcmp: most
// mismatches end there.
bool same_name(const std::string& key, const std::string& segment) {
  const size_t n = segment.size();
  if (key.size() != n) return false;
  return n == 0 || (key[0] == segment[0] && std::memcmp(key.data(), segment.data(), n) == 0);
}

const Value& lookup(const PathExpr& path, const Value& state) {
  const Value* current = &state;
  for (const std::string& segment : path.segments) {
    const codec::Map* map = current->get_if<codec::Map>();
    if (!map) return nil_value();
    const auto found = std::find_if(map->begin(), map->end(), [&](const codec::MapEntry& entry) {
      const std::string* key = text_of(entry.key);
      return key && same_name(*key, segment);
    });
    if (found == map->end()) return nil_value();
    current = &found->value;
  }
  return *current;
}

// x op y for a totally or partially ordered T (for doubles, every test
// involving NaN is false).
template <class T>
bool ordered(CmpOp op, const T& x, const T& y) {
  switch (op) {
    case CmpOp::Lt: return x < y;
    case CmpOp::Le: return x <= y;
    case CmpOp::Gt: return x > y;
    case CmpOp::Ge: return x >= y;
    default: return false;  // compare() sends only the four orderings here
  }
}

bool order(CmpOp op, const Value& a, const Value& b) {
  double x = 0.0, y = 0.0;
  if (as_double(a, x) && as_double(b, y)) return ordered(op, x, y);
  const std::string* s = text_of(a);
  const std::string* t = text_of(b);
  // string_view compares as unsigned bytes, a proper prefix first.
  if (s && t) return ordered(op, std::string_view(*s).compare(*t), 0);
  return false;
}

bool contains(const Value& a, const Value& b) {
  switch (b.kind()) {
    case Kind::string: {
      const std::string* needle = text_of(a);
      const std::string* haystack = text_of(b);
      return needle && haystack && haystack->find(*needle) != std::string::npos;
    }
    case Kind::array: {
      const codec::Array& items = *b.get_if<codec::Array>();
      return std::any_of(items.begin(), items.end(), [&](const Value& e) { return values_equal(e, a); });
    }
    case Kind::map: {
      const codec::Map& map = *b.get_if<codec::Map>();
      return std::any_of(map.begin(), map.end(),
                         [&](const codec::MapEntry& entry) { return values_equal(entry.key, a); });
    }
    default: return false;
  }
}

bool compare(CmpOp op, const Value& a, const Value& b) {
  switch (op) {
    case CmpOp::Eq: return values_equal(a, b);
    case CmpOp::Ne: return !values_equal(a, b);
    case CmpOp::In: return contains(a, b);
    default: return order(op, a, b);
  }
}

bool test(const Expr& expr, const Value& state);

// The value of a node used as an operand: a literal's value, the part of
// the state a path names, or the Boolean constant for any other node.
const Value& operand(const Expr& expr, const Value& state) {
  switch (expr.kind) {
    case ExprKind::Path: return lookup(as_path(expr), state);
    case ExprKind::Not:
    case ExprKind::And:
    case ExprKind::Or:
    case ExprKind::Cmp: return boolean_value(test(expr, state));
    default: return as_literal(expr).value;
  }
}

// truthy(evaluate(expr, state)). Recursion follows the tree's depth, which
// the parser bounds; a chain's terms are a loop.
bool test(const Expr& expr, const Value& state) {
  switch (expr.kind) {
    case ExprKind::Path: return truthy(lookup(as_path(expr), state));
    case ExprKind::Not: return !test(*as_not(expr).child, state);
    case ExprKind::And:
      for (const ExprPtr& term : as_chain(expr).terms) {
        if (!test(*term, state)) return false;
      }
      return true;
    case ExprKind::Or:
      for (const ExprPtr& term : as_chain(expr).terms) {
        if (test(*term, state)) return true;
      }
      return false;
    case ExprKind::Cmp: {
      const CmpExpr& cmp = as_cmp(expr);
      const Value& a = operand(*cmp.left, state);
      return compare(cmp.op, a, operand(*cmp.right, state));
    }
    default: return truthy(as_literal(expr).value);
  }
}

}  // namespace

bool truthy(const Value& value) {
  switch (value.kind()) {
    case Kind::nil: return false;
    case Kind::boolean: return *value.get_if<bool>();
    case Kind::integer: return value.get_if<codec::Integer>()->bits != 0;
    case Kind::float32: return *value.get_if<float>() != 0.0f;
    case Kind::float64: return *value.get_if<double>() != 0.0;
    case Kind::string: return text_of(value) && !text_of(value)->empty();
    case Kind::bytes: return !value.get_if<codec::Bytes>()->data.empty();
    case Kind::array: return !value.get_if<codec::Array>()->empty();
    case Kind::map: return !value.get_if<codec::Map>()->empty();
    case Kind::extension: return true;
  }
  return true;  // every Kind is handled above; the variant has no other index
}

// Numbers meet as doubles whatever their variants, so 1 == 1.0 and a
// comparison never needs a common exact type; the price is that integers
// beyond 2^53 that round to one double are equal. Below the top level,
// Value's own equality applies and never converts.
bool values_equal(const Value& a, const Value& b) {
  double x = 0.0, y = 0.0;
  if (as_double(a, x) && as_double(b, y)) return x == y;
  return a == b;
}

Value evaluate(const Expr& expr, const Value& state) {
  switch (expr.kind) {
    case ExprKind::Path: return lookup(as_path(expr), state);
    case ExprKind::Not:
    case ExprKind::And:
    case ExprKind::Or:
    case ExprKind::Cmp: return Value(test(expr, state));
    default: return as_literal(expr).value;
  }
}

bool holds(const Expr& guard, const Value& state) { return test(guard, state); }

}  // namespace derirezaro::condition
