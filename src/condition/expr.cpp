#include "condition/expr.hpp"

#include <utility>

#include "codec/utf8.hpp"

namespace derirezaro::condition {

// Recursion here follows the tree's depth, which the parser bounds (see the
// depth invariant in expr.hpp); a chain's terms are freed by its vector's
// loop, not by nesting.
void ExprDeleter::operator()(Expr* expr) const noexcept {
  switch (expr->kind) {
    case ExprKind::Str:
    case ExprKind::Int:
    case ExprKind::Float:
    case ExprKind::Bool:
    case ExprKind::Null: delete static_cast<LiteralExpr*>(expr); return;
    case ExprKind::Path: delete static_cast<PathExpr*>(expr); return;
    case ExprKind::Not: delete static_cast<NotExpr*>(expr); return;
    case ExprKind::And:
    case ExprKind::Or: delete static_cast<ChainExpr*>(expr); return;
    case ExprKind::Cmp: delete static_cast<CmpExpr*>(expr); return;
  }
}

ExprPtr make_str(std::string text) {
  // The lexer re-encodes every code point it reads (ill-formed input as
  // U+FFFD), and no escape spells a code point, so its literals are always
  // well-formed. The check costs one pass per literal at parse time and
  // keeps the flag truthful for any other caller, since the flag decides
  // truth, ordering and `in`.
  const bool valid = codec::is_well_formed_utf8(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  return ExprPtr(new LiteralExpr(ExprKind::Str, codec::String{std::move(text), valid}));
}

ExprPtr make_int(int64_t number) {
  return ExprPtr(new LiteralExpr(ExprKind::Int, codec::Integer::from_signed(number)));
}

ExprPtr make_float(double number) { return ExprPtr(new LiteralExpr(ExprKind::Float, number)); }

ExprPtr make_bool(bool value) { return ExprPtr(new LiteralExpr(ExprKind::Bool, value)); }

ExprPtr make_null() { return ExprPtr(new LiteralExpr(ExprKind::Null, codec::Nil{})); }

ExprPtr make_path(std::vector<std::string> segments) { return ExprPtr(new PathExpr(std::move(segments))); }

ExprPtr make_not(ExprPtr child) { return ExprPtr(new NotExpr(std::move(child))); }

ExprPtr make_chain(ExprKind kind, ExprPtr left, ExprPtr right) {
  if (left->kind == kind) {
    static_cast<ChainExpr&>(*left).terms.push_back(std::move(right));
    return left;
  }
  auto chain = std::make_unique<ChainExpr>(kind);
  chain->terms.reserve(2);
  chain->terms.push_back(std::move(left));
  chain->terms.push_back(std::move(right));
  return ExprPtr(chain.release());
}

ExprPtr make_cmp(CmpOp op, ExprPtr left, ExprPtr right) {
  return ExprPtr(new CmpExpr(op, std::move(left), std::move(right)));
}

void collect_path_roots(const Expr& expr, std::vector<std::string>& out) {
  // Recursion is bounded by the tree's depth, which the parser bounds.
  switch (expr.kind) {
    case ExprKind::Path: out.push_back(as_path(expr).segments.front()); return;
    case ExprKind::Not: collect_path_roots(*as_not(expr).child, out); return;
    case ExprKind::And:
    case ExprKind::Or:
      for (const ExprPtr& term : as_chain(expr).terms) collect_path_roots(*term, out);
      return;
    case ExprKind::Cmp:
      collect_path_roots(*as_cmp(expr).left, out);
      collect_path_roots(*as_cmp(expr).right, out);
      return;
    default: return;  // literals
  }
}

}  // namespace derirezaro::condition
