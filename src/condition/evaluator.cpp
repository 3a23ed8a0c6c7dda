#include "condition/evaluator.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>

#include "codec/name_set.hpp"

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

// One evaluation: the state, and the meter every step is charged to.
class Evaluation {
 public:
  Evaluation(State state, WorkMeter& meter) : state_(state), meter_(meter) {}

  // truthy(value of expr). Recursion follows the tree's depth, which the
  // parser bounds; a chain's terms are a loop.
  bool test(const Expr& expr) {
    switch (expr.kind) {
      case ExprKind::Path: return truthy(lookup(as_path(expr)));
      case ExprKind::Not: return !test(*as_not(expr).child);
      case ExprKind::And:
        for (const ExprPtr& term : as_chain(expr).terms) {
          meter_.charge(1);
          if (!test(*term)) return false;
        }
        return true;
      case ExprKind::Or:
        for (const ExprPtr& term : as_chain(expr).terms) {
          meter_.charge(1);
          if (test(*term)) return true;
        }
        return false;
      case ExprKind::Cmp: {
        const CmpExpr& cmp = as_cmp(expr);
        const Value& a = operand(*cmp.left);
        const Value& b = operand(*cmp.right);
        meter_.charge(1);
        return compare(cmp.op, a, b);
      }
      default: return truthy(as_literal(expr).value);
    }
  }

 private:
  // The value of a node used as an operand: a literal's value, the part of
  // the state a path names, or the Boolean constant for any other node.
  const Value& operand(const Expr& expr) {
    switch (expr.kind) {
      case ExprKind::Path: return lookup(as_path(expr));
      case ExprKind::Not:
      case ExprKind::And:
      case ExprKind::Or:
      case ExprKind::Cmp: return boolean_value(test(expr));
      default: return as_literal(expr).value;
    }
  }

  const Value& lookup(const PathExpr& path) {
    const Value* current = &state_.value;
    auto segment = path.segments.begin();
    if (state_.sorted_keys) {
      current = find_sorted(*state_.value.get_if<codec::Map>(), *segment++);
      if (current == nullptr) return nil_value();
    }
    for (; segment != path.segments.end(); ++segment) {
      const codec::Map* map = current->get_if<codec::Map>();
      if (!map) return nil_value();
      current = find_scanning(*map, *segment);
      if (current == nullptr) return nil_value();
    }
    return *current;
  }

  // Binary search over keys sorted by bytes: a string compare per halving.
  const Value* find_sorted(const codec::Map& map, std::string_view name) {
    size_t halvings = 1;
    for (size_t n = map.size(); n > 1; n /= 2) ++halvings;
    meter_.charge(halvings * (1 + WorkMeter::byte_steps(name.size())));
    const auto found =
        std::lower_bound(map.begin(), map.end(), name, [](const codec::MapEntry& entry, std::string_view n) {
          return std::string_view(entry.key.get_if<codec::String>()->bytes) < n;
        });
    if (found == map.end() || found->key.get_if<codec::String>()->bytes != name) return nullptr;
    return &found->value;
  }

  // The first entry of `name`: keys may repeat in a decoded map, and the
  // first one counts. Charged as if every key had the name's length.
  const Value* find_scanning(const codec::Map& map, std::string_view name) {
    meter_.charge(map.size() * (1 + WorkMeter::byte_steps(name.size())));
    for (const codec::MapEntry& entry : map) {
      const std::string* key = text_of(entry.key);
      if (key && codec::same_name(*key, name)) return &entry.value;
    }
    return nullptr;
  }

  bool compare(CmpOp op, const Value& a, const Value& b) {
    switch (op) {
      case CmpOp::Eq: return equal(a, b);
      case CmpOp::Ne: return !equal(a, b);
      case CmpOp::In: return contains(a, b);
      default: return order(op, a, b);
    }
  }

  // Numbers meet as doubles whatever their variants, so 1 == 1.0 and a
  // comparison never needs a common exact type; the price is that integers
  // beyond 2^53 that round to one double are equal. Below the top level,
  // Value's own equality applies and never converts.
  bool equal(const Value& a, const Value& b) {
    meter_.charge(1);
    double x = 0.0, y = 0.0;
    if (as_double(a, x) && as_double(b, y)) return x == y;
    auto charge = [this](size_t bytes) { meter_.charge(1 + WorkMeter::byte_steps(bytes)); };
    return codec::equal_values(a, b, charge);
  }

  // x op y for a totally or partially ordered T (for doubles, every test
  // involving NaN is false).
  template <class T>
  static bool ordered(CmpOp op, const T& x, const T& y) {
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
    if (!s || !t) return false;
    meter_.charge(WorkMeter::byte_steps(std::min(s->size(), t->size())));
    // string_view compares as unsigned bytes, a proper prefix first.
    return ordered(op, std::string_view(*s).compare(*t), 0);
  }

  bool contains(const Value& a, const Value& b) {
    switch (b.kind()) {
      case Kind::string: {
        const std::string* needle = text_of(a);
        const std::string* haystack = text_of(b);
        if (!needle || !haystack) return false;
        meter_.charge(search_steps(haystack->size(), needle->size()));
        return haystack->find(*needle) != std::string::npos;
      }
      case Kind::array: {
        const codec::Array& items = *b.get_if<codec::Array>();
        double number = 0.0;
        if (as_double(a, number)) {
          // What equal() does for a number, with the needle converted once:
          // it meets numbers of any variant and nothing else.
          return std::any_of(items.begin(), items.end(), [&](const Value& e) {
            meter_.charge(1);
            double x = 0.0;
            return as_double(e, x) && x == number;
          });
        }
        return std::any_of(items.begin(), items.end(), [&](const Value& e) { return equal(e, a); });
      }
      case Kind::map: {
        const codec::Map& map = *b.get_if<codec::Map>();
        return std::any_of(map.begin(), map.end(),
                           [&](const codec::MapEntry& entry) { return equal(entry.key, a); });
      }
      default: return false;
    }
  }

  // A bound on searching `haystack` bytes for `needle` bytes: the search may
  // compare the needle at every place it could start. Saturates rather than
  // wraps, though lengths that fit the wire format cannot reach it.
  static uint64_t search_steps(uint64_t haystack, uint64_t needle) {
    if (needle > haystack) return 1;
    const uint64_t starts = haystack - needle + 1;
    if (needle != 0 && starts > std::numeric_limits<uint64_t>::max() / needle) {
      return std::numeric_limits<uint64_t>::max();
    }
    return 1 + WorkMeter::byte_steps(starts * needle);
  }

  const State state_;
  WorkMeter& meter_;
};

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

State index_state(Value& value) {
  constexpr size_t kScannedEntries = 16;
  codec::Map* map = value.get_if<codec::Map>();
  if (map == nullptr || map->size() <= kScannedEntries) return State{value};
  std::sort(map->begin(), map->end(), [](const codec::MapEntry& a, const codec::MapEntry& b) {
    return a.key.get_if<codec::String>()->bytes < b.key.get_if<codec::String>()->bytes;
  });
  return State{value, true};
}

bool holds(const Expr& guard, State state, WorkMeter& meter) { return Evaluation(state, meter).test(guard); }

bool holds(const Expr& guard, const Value& state) {
  WorkMeter unlimited;
  return holds(guard, State{state}, unlimited);
}

}  // namespace derirezaro::condition
