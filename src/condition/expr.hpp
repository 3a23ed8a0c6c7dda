// Expr: the syntax tree of a condition, built once by the parser when an
// edge is added and evaluated on every route call.
//
// Kinds, in declaration order: the literals Str, Int, Float, Bool, Null;
// Path (one or more segment names); Not(child); And and Or; Cmp(op, left,
// right). Parentheses leave no node. Every node owns its children and no
// tree changes after parsing, so a tree may be read by any number of
// threads at once.
//
// Layout, chosen for evaluation
// - A node is a small header (its kind) followed by the fields of that kind
//   only: LiteralExpr, PathExpr, NotExpr, ChainExpr or CmpExpr. Code reads
//   the kind and casts; there is no virtual call and no variant to visit.
// - A literal holds the codec::Value it evaluates to, made once at parse
//   time. The evaluator hands out a reference to it, so a comparison with a
//   literal allocates nothing; a Path likewise evaluates to a reference into
//   the state.
// - And and Or are chains: one node holds the terms t0 .. tn of
//
//       Or(Or(Or(t0, t1), t2), t3)   as   Or[t0, t1, t2, t3]
//
//   i.e. the left spine of a run of the same operator is stored flat, in
//   evaluation order. Evaluating the chain is a loop that stops at the
//   first term deciding it, which is exactly the short-circuit of the
//   nested binary form, and freeing it is a loop too. A right operand that
//   is itself an And or Or (`a and (b and c)`) stays a separate node, so the
//   binary tree can always be read back.
//
// Depth invariant. Every edge of the tree crosses at least one level of the
// parser's depth count (or to and, and to not, not to not, comparison to its
// operands, parentheses to or), and the parser refuses depth above 64; the
// flattening above removes exactly the edges that an unbounded chain would
// add. So no tree is deeper than about 65 nodes whatever the length of its
// text, and the recursion of the evaluator and of ExprDeleter is bounded by
// that, not by the input.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/value.hpp"

namespace derirezaro::condition {

enum class ExprKind : uint8_t { Str, Int, Float, Bool, Null, Path, Not, And, Or, Cmp };
enum class CmpOp : uint8_t { Eq, Ne, Lt, Le, Gt, Ge, In };

struct Expr;
struct ExprDeleter {
  void operator()(Expr* expr) const noexcept;
};
using ExprPtr = std::unique_ptr<Expr, ExprDeleter>;

struct Expr {
  const ExprKind kind;

 protected:
  explicit Expr(ExprKind k) : kind(k) {}
  ~Expr() = default;  // only ExprDeleter destroys, through the concrete type
};

// Str, Int, Float, Bool, Null.
struct LiteralExpr final : Expr {
  LiteralExpr(ExprKind k, codec::Value v) : Expr(k), value(std::move(v)) {}
  codec::Value value;  // String, Integer, Float64, Boolean or Nil
};

struct PathExpr final : Expr {
  explicit PathExpr(std::vector<std::string> s) : Expr(ExprKind::Path), segments(std::move(s)) {}
  std::vector<std::string> segments;  // at least one
};

struct NotExpr final : Expr {
  explicit NotExpr(ExprPtr c) : Expr(ExprKind::Not), child(std::move(c)) {}
  ExprPtr child;
};

// And or Or over terms.size() >= 2 terms, read left-nested (see above). No
// term of a chain's first position has the chain's own kind.
struct ChainExpr final : Expr {
  explicit ChainExpr(ExprKind k) : Expr(k) {}
  std::vector<ExprPtr> terms;
};

struct CmpExpr final : Expr {
  CmpExpr(CmpOp o, ExprPtr l, ExprPtr r)
      : Expr(ExprKind::Cmp), op(o), left(std::move(l)), right(std::move(r)) {}
  CmpOp op;
  ExprPtr left;
  ExprPtr right;
};

// The concrete node behind `expr`, whose kind the caller has checked.
inline const LiteralExpr& as_literal(const Expr& e) { return static_cast<const LiteralExpr&>(e); }
inline const PathExpr& as_path(const Expr& e) { return static_cast<const PathExpr&>(e); }
inline const NotExpr& as_not(const Expr& e) { return static_cast<const NotExpr&>(e); }
inline const ChainExpr& as_chain(const Expr& e) { return static_cast<const ChainExpr&>(e); }
inline const CmpExpr& as_cmp(const Expr& e) { return static_cast<const CmpExpr&>(e); }

// Builders, the parser's only way to make nodes. Each takes ownership of
// its children (never null).
ExprPtr make_str(std::string text);
ExprPtr make_int(int64_t number);
ExprPtr make_float(double number);
ExprPtr make_bool(bool value);
ExprPtr make_null();
ExprPtr make_path(std::vector<std::string> segments);
ExprPtr make_not(ExprPtr child);
// And(left, right) or Or(left, right) for `kind` And or Or: appends `right`
// to `left` when `left` is already a chain of that kind.
ExprPtr make_chain(ExprKind kind, ExprPtr left, ExprPtr right);
ExprPtr make_cmp(CmpOp op, ExprPtr left, ExprPtr right);

// Appends the first segment of every path in the tree: the only keys of a
// state it can read directly (unsorted, possibly repeated).
void collect_path_roots(const Expr& expr, std::vector<std::string>& out);

}  // namespace derirezaro::condition
