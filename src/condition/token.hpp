// Token: what the lexer makes of a condition's text, and the debug form in
// which the parser's messages show tokens.
#pragma once

#include <cstdint>
#include <string>

namespace derirezaro::condition {

// In declaration order; the names are those the renderings show.
enum class TokenKind : uint8_t {
  Ident,
  Str,
  Int,
  Float,
  Bool,
  Null,
  And,
  Or,
  Not,
  In,
  Eq,
  Ne,
  Lt,
  Le,
  Gt,
  Ge,
  LParen,
  RParen,
  Dot,
};

struct Token {
  TokenKind kind = TokenKind::Null;
  std::string text;      // Ident: the name; Str: the text, escapes resolved (UTF-8)
  int64_t integer = 0;   // Int
  double number = 0.0;   // Float
  bool boolean = false;  // Bool
};

// The debug form: `And`, `Ident("user")`, `Str("a\"b")`, `Int(-3)`,
// `Float(1.5)`, `Float(1e16)`, `Bool(true)`.
std::string render(const Token& token);

// `Some(<render>)` for a token, `None` for null (the end of the input).
std::string render_optional(const Token* token);

}  // namespace derirezaro::condition
