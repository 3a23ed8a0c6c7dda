#include "condition/parser.hpp"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "condition/lexer.hpp"

namespace derirezaro::condition {

namespace {

constexpr unsigned kMaxDepth = 64;
constexpr const char* kTooDeep = "condition nested too deeply";

bool is_comparison(TokenKind kind) {
  switch (kind) {
    case TokenKind::In:
    case TokenKind::Eq:
    case TokenKind::Ne:
    case TokenKind::Lt:
    case TokenKind::Le:
    case TokenKind::Gt:
    case TokenKind::Ge: return true;
    default: return false;
  }
}

CmpOp comparison_op(TokenKind kind) {
  switch (kind) {
    case TokenKind::Eq: return CmpOp::Eq;
    case TokenKind::Ne: return CmpOp::Ne;
    case TokenKind::Lt: return CmpOp::Lt;
    case TokenKind::Le: return CmpOp::Le;
    case TokenKind::Gt: return CmpOp::Gt;
    case TokenKind::Ge: return CmpOp::Ge;
    default: return CmpOp::In;  // is_comparison() admitted only these and In
  }
}

// Recursive descent over an owned token list. Every routine returns null
// after a failure, with the message in `error_`, and every caller returns
// at once on null: the first failure ends the parse and the partial tree is
// freed as the owning pointers unwind.
class Parser {
 public:
  Parser(std::vector<Token> tokens, std::string& error) : tokens_(std::move(tokens)), error_(error) {}

  bool at_end() const { return cursor_ == tokens_.size(); }
  const Token& current() const { return tokens_[cursor_]; }

  ExprPtr parse_or(unsigned depth) {
    if (depth > kMaxDepth) return fail(kTooDeep);
    ExprPtr left = parse_and(depth + 1);
    while (left && at(TokenKind::Or)) {
      ++cursor_;
      ExprPtr right = parse_and(depth + 1);
      if (!right) return nullptr;
      left = make_chain(ExprKind::Or, std::move(left), std::move(right));
    }
    return left;
  }

 private:
  bool at(TokenKind kind) const { return cursor_ < tokens_.size() && tokens_[cursor_].kind == kind; }

  // The token at the cursor, moving past it; null at the end.
  Token* next() { return cursor_ < tokens_.size() ? &tokens_[cursor_++] : nullptr; }

  ExprPtr fail(std::string message) {
    error_ = std::move(message);
    return nullptr;
  }

  ExprPtr parse_and(unsigned depth) {
    ExprPtr left = parse_not(depth + 1);
    while (left && at(TokenKind::And)) {
      ++cursor_;
      ExprPtr right = parse_not(depth + 1);
      if (!right) return nullptr;
      left = make_chain(ExprKind::And, std::move(left), std::move(right));
    }
    return left;
  }

  ExprPtr parse_not(unsigned depth) {
    // Whatever follows, a not-level this deep ends in the primary's depth
    // failure before any token is read; failing here gives the same outcome
    // and keeps a long run of `not` from deepening the recursion.
    if (depth > kMaxDepth) return fail(kTooDeep);
    if (at(TokenKind::Not)) {
      ++cursor_;
      ExprPtr child = parse_not(depth + 1);
      return child ? make_not(std::move(child)) : nullptr;
    }
    ExprPtr left = parse_primary(depth + 2);
    if (!left || at_end() || !is_comparison(current().kind)) return left;
    const CmpOp op = comparison_op(current().kind);
    ++cursor_;
    ExprPtr right = parse_primary(depth + 2);
    return right ? make_cmp(op, std::move(left), std::move(right)) : nullptr;
  }

  ExprPtr parse_primary(unsigned depth) {
    if (depth > kMaxDepth) return fail(kTooDeep);
    Token* token = next();
    if (!token) return fail("unexpected token " + render_optional(nullptr));
    switch (token->kind) {
      case TokenKind::Ident: return parse_path(std::move(token->text));
      case TokenKind::Str: return make_str(std::move(token->text));
      case TokenKind::Int: return make_int(token->integer);
      case TokenKind::Float: return make_float(token->number);
      case TokenKind::Bool: return make_bool(token->boolean);
      case TokenKind::Null: return make_null();
      case TokenKind::LParen: {
        ExprPtr inner = parse_or(depth + 1);
        if (!inner) return nullptr;
        const Token* close = next();
        if (!close || close->kind != TokenKind::RParen) return fail("expected ')'");
        return inner;
      }
      default: return fail("unexpected token " + render_optional(token));
    }
  }

  // The rest of a path whose first segment has been read.
  ExprPtr parse_path(std::string first) {
    std::vector<std::string> segments;
    segments.push_back(std::move(first));
    while (at(TokenKind::Dot)) {
      ++cursor_;
      Token* segment = next();
      if (!segment || segment->kind != TokenKind::Ident) return fail("expected identifier after '.'");
      segments.push_back(std::move(segment->text));
    }
    return make_path(std::move(segments));
  }

  std::vector<Token> tokens_;
  size_t cursor_ = 0;
  std::string& error_;
};

}  // namespace

ExprPtr parse(std::string_view text, std::string& error) {
  std::vector<Token> tokens;
  if (!tokenize(text, tokens, error)) return nullptr;
  if (tokens.empty()) {
    error = "empty condition";
    return nullptr;
  }
  Parser parser(std::move(tokens), error);
  ExprPtr tree = parser.parse_or(0);
  if (tree && !parser.at_end()) {
    error = "unexpected trailing token " + render(parser.current());
    return nullptr;
  }
  return tree;
}

}  // namespace derirezaro::condition
