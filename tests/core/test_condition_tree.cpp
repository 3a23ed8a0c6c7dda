// Condition trees at the sizes the Python surface cannot reach cheaply: and/or
// chains of a million terms parsed, evaluated and freed without the stack
// growing with their length, a long run of `not`, and the depth limits at
// their edges. Messages and the value rules are tested at the Python surface.
//
// The tests drive the parser with token lists, so they do not depend on the
// lexer.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "condition/evaluator.hpp"
#include "condition/parser.hpp"

namespace derirezaro::condition {
namespace {

using Tokens = std::vector<Token>;

Token token(TokenKind kind, std::string text = {}) {
  Token t;
  t.kind = kind;
  t.text = std::move(text);
  return t;
}

// {"t": true, "f": false}
codec::Value truth_state() {
  codec::Map map;
  map.push_back({codec::String{"t"}, true});
  map.push_back({codec::String{"f"}, false});
  return map;
}

// `term(0) join(0) term(1) join(1) ... term(n - 1)`, each term an identifier.
template <class Term, class Join>
Tokens chain(size_t n, Term term, Join join) {
  Tokens tokens;
  tokens.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) tokens.push_back(token(join(i - 1)));
    tokens.push_back(token(TokenKind::Ident, term(i)));
  }
  return tokens;
}

// `open` times LParen, `nots` times Not, t, then the closing parentheses.
Tokens nested(size_t open, size_t nots) {
  Tokens tokens(open, token(TokenKind::LParen));
  tokens.insert(tokens.end(), nots, token(TokenKind::Not));
  tokens.push_back(token(TokenKind::Ident, "t"));
  tokens.insert(tokens.end(), open, token(TokenKind::RParen));
  return tokens;
}

// Parses, evaluates both ways and frees; nullopt when the parse failed with
// the depth message.
std::optional<bool> run(Tokens tokens) {
  std::string error;
  ExprPtr tree = parse_tokens(std::move(tokens), error);
  if (!tree) {
    EXPECT_EQ(error, "condition nested too deeply");
    return std::nullopt;
  }
  const codec::Value state = truth_state();
  const bool result = holds(*tree, state);
  EXPECT_EQ(evaluate(*tree, state), codec::Value(result));
  return result;
}

TEST(ConditionTree, LongChainsEvaluateAndFreeWithoutDeepRecursion) {
  // Term i of n, the operator after term i, and the chain's value.
  const struct {
    std::string (*term)(size_t i, size_t n);
    TokenKind (*join)(size_t i);
    bool result;
  } cases[] = {
      {[](size_t, size_t) -> std::string { return "t"; }, [](size_t) { return TokenKind::And; }, true},
      {[](size_t i, size_t n) -> std::string { return i + 1 == n ? "f" : "t"; },
       [](size_t) { return TokenKind::And; }, false},
      {[](size_t i, size_t n) -> std::string { return i + 1 == n ? "t" : "f"; },
       [](size_t) { return TokenKind::Or; }, true},
      {[](size_t, size_t) -> std::string { return "f"; }, [](size_t) { return TokenKind::Or; }, false},
      // t and f or t and f or ...: Ors of And pairs
      {[](size_t i, size_t) -> std::string { return i % 2 == 0 ? "t" : "f"; },
       [](size_t i) { return i % 2 == 0 ? TokenKind::And : TokenKind::Or; }, false},
      // runs of two, one, two, ... and-ed terms, all false but a last or-ed t
      {[](size_t i, size_t n) -> std::string { return i + 1 == n ? "t" : "f"; },
       [](size_t i) { return i % 3 == 0 ? TokenKind::And : TokenKind::Or; }, true},
  };
  for (const size_t n : {size_t{100'000}, size_t{1'000'000}}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << n << " terms, case " << (&c - cases));
      const auto term = [&](size_t i) { return c.term(i, n); };
      EXPECT_EQ(run(chain(n, term, c.join)), c.result);

      // The same chain in parentheses, as a comparison operand and under
      // `not`: the same loops, so the shorter chain suffices.
      if (n > 100'000) continue;
      Tokens compared{token(TokenKind::LParen)};
      for (Token& t : chain(n, term, c.join)) compared.push_back(std::move(t));
      compared.push_back(token(TokenKind::RParen));
      Tokens negated = compared;
      negated.insert(negated.begin(), token(TokenKind::Not));
      compared.push_back(token(TokenKind::Eq));
      compared.push_back(token(TokenKind::Bool));
      compared.back().boolean = true;
      EXPECT_EQ(run(std::move(compared)), c.result);
      EXPECT_EQ(run(std::move(negated)), !c.result);
    }
  }
}

TEST(ConditionTree, DepthLimits) {
  const struct {
    size_t open, nots;
    std::optional<bool> result;  // nullopt: too deep
  } cases[] = {
      {12, 0, true},
      {13, 0, std::nullopt},  // each pair of parentheses adds 5 to the primary's depth 4
      {0, 60, true},
      {0, 59, false},
      {0, 61, std::nullopt},
      {11, 5, false},
      {11, 6, std::nullopt},
      {12, 1, std::nullopt},
      {0, 1'000'000, std::nullopt},  // fails early, not after a million nested calls
      {3, 1'000'000, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.open << " parentheses, " << c.nots << " not");
    EXPECT_EQ(run(nested(c.open, c.nots)), c.result);
  }
}

}  // namespace
}  // namespace derirezaro::condition
