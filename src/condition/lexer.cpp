// The lexer is one loop over the text with a byte cursor; it looks at most
// one code point ahead, never recurses, and every token consumes at least
// one byte, so the token count is bounded by the text's length and a
// token's text by three times its bytes (an ill-formed byte reads as
// U+FFFD, three bytes once re-encoded).
//
// Classification goes by Unicode properties (unicode_tables.hpp): a
// condition may name fields in any script, while digits that start a
// number, operators and quotes are ASCII only.
#include "condition/lexer.hpp"

#include <charconv>
#include <limits>
#include <optional>
#include <system_error>
#include <utility>

#include "codec/utf8.hpp"
#include "condition/unicode_tables.hpp"

namespace derirezaro::condition {

namespace {

bool is_ascii_digit(char32_t c) { return c >= '0' && c <= '9'; }

bool is_space(char32_t c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x80 && is_white_space(c)); }

bool is_identifier_start(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  return is_alphabetic(c);
}

bool is_identifier_continue(char32_t c) {
  if (c < 0x80) return is_identifier_start(c) || is_ascii_digit(c);
  return is_alphabetic(c) || is_numeric(c);
}

Token make(TokenKind kind) {
  Token token;
  token.kind = kind;
  return token;
}

// Keywords are exact and case-sensitive; `True`, `False` and `None` are
// accepted beside the lowercase forms because conditions are often written
// by people who write Python.
Token word_token(std::string_view word) {
  struct Keyword {
    std::string_view word;
    TokenKind kind;
    bool value;
  };
  static constexpr Keyword kKeywords[] = {
      {"and", TokenKind::And, false},    {"or", TokenKind::Or, false},      {"not", TokenKind::Not, false},
      {"in", TokenKind::In, false},      {"true", TokenKind::Bool, true},   {"True", TokenKind::Bool, true},
      {"false", TokenKind::Bool, false}, {"False", TokenKind::Bool, false}, {"null", TokenKind::Null, false},
      {"none", TokenKind::Null, false},  {"None", TokenKind::Null, false},
  };
  for (const Keyword& keyword : kKeywords) {
    if (word == keyword.word) {
      Token token = make(keyword.kind);
      token.boolean = keyword.value;
      return token;
    }
  }
  Token token = make(TokenKind::Ident);
  token.text = word;
  return token;
}

// A float literal is digits, one point, digits (the scanner guarantees the
// shape up to the count of points). from_chars rounds to the nearest
// double; it reports "out of range" both when the value exceeds the
// largest double and when the nearest double is zero, and leaves the
// result unset, so the two are told apart by the integer part: digits
// other than zero there mean the magnitude is at least 1.
std::optional<double> float_literal(std::string_view literal) {
  double value = 0.0;
  const char* end = literal.data() + literal.size();
  const auto [ptr, ec] = std::from_chars(literal.data(), end, value);
  if (ec == std::errc::result_out_of_range) {
    const bool negative = literal.front() == '-';
    const std::string_view whole = literal.substr(negative ? 1 : 0, literal.find('.') - (negative ? 1 : 0));
    const bool overflow = whole.find_first_not_of('0') != std::string_view::npos;
    const double magnitude = overflow ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -magnitude : magnitude;
  }
  if (ec != std::errc{} || ptr != end) return std::nullopt;
  return value;
}

class Lexer {
 public:
  Lexer(std::string_view text, std::vector<Token>& out, std::string& error)
      : text_(text), out_(out), error_(error) {}

  bool run() {
    while (at_ < text_.size()) {
      const codec::DecodedCodePoint c = codec::decode_utf8(text_, at_);
      if (is_space(c.value)) {
        at_ += c.length;
      } else if (!step(c.value, c.length)) {
        return false;
      }
    }
    return true;
  }

 private:
  // The byte after the current code point, when it is the given ASCII
  // character (a continuation byte never equals one, so a byte compare is
  // exact).
  bool next_is(size_t length, char expected) const {
    return at_ + length < text_.size() && text_[at_ + length] == expected;
  }
  bool next_is_digit(size_t length) const {
    return at_ + length < text_.size() && is_ascii_digit(static_cast<unsigned char>(text_[at_ + length]));
  }

  bool step(char32_t c, size_t length) {
    switch (c) {
      case '!':
        if (next_is(length, '=')) return emit(TokenKind::Ne, 2);
        return fail("expected '!=' (use 'not' for negation)");
      case '"':
      case '\'': return string_literal(static_cast<char>(c));
      case '(': return emit(TokenKind::LParen, 1);
      case ')': return emit(TokenKind::RParen, 1);
      case '.': return emit(TokenKind::Dot, 1);
      case '-':
        if (next_is_digit(length)) return number();
        return fail("unexpected character '-'");
      case '<': return next_is(length, '=') ? emit(TokenKind::Le, 2) : emit(TokenKind::Lt, 1);
      case '>': return next_is(length, '=') ? emit(TokenKind::Ge, 2) : emit(TokenKind::Gt, 1);
      case '=':
        if (next_is(length, '=')) return emit(TokenKind::Eq, 2);
        return fail("expected '==' (single '=' is not valid)");
      default: break;
    }
    if (is_ascii_digit(c)) return number();
    if (is_identifier_start(c)) return identifier();
    std::string message = "unexpected character '";
    codec::append_utf8(message, c);  // as written: the message quotes, it does not escape
    message += '\'';
    return fail(std::move(message));
  }

  bool emit(TokenKind kind, size_t bytes) {
    out_.push_back(make(kind));
    at_ += bytes;
    return true;
  }

  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }

  // The opening quote is at the cursor. A backslash takes the next code
  // point literally, except that n and t stand for a line feed and a tab.
  bool string_literal(char quote) {
    Token token = make(TokenKind::Str);
    size_t at = at_ + 1;
    while (at < text_.size()) {
      codec::DecodedCodePoint c = codec::decode_utf8(text_, at);
      at += c.length;
      if (c.value == static_cast<char32_t>(quote)) {
        out_.push_back(std::move(token));
        at_ = at;
        return true;
      }
      if (c.value == '\\') {
        if (at == text_.size()) break;  // nothing left to escape: unterminated
        c = codec::decode_utf8(text_, at);
        at += c.length;
        if (c.value == 'n') c.value = '\n';
        if (c.value == 't') c.value = '\t';
      }
      codec::append_utf8(token.text, c.value);
    }
    return fail("unterminated string literal");
  }

  // Digits with at most one point between digits, an optional '-' first
  // (the caller checked that a digit follows it). A point not followed by a
  // digit ends the literal and becomes a Dot: `1.` is Int(1), Dot. Every
  // byte looked at is ASCII or ends the scan, so byte offsets are exact.
  bool number() {
    const size_t start = at_;
    size_t end = at_ + (text_[at_] == '-' ? 1 : 0);
    size_t points = 0;
    while (end < text_.size()) {
      const char b = text_[end];
      if (is_ascii_digit(static_cast<unsigned char>(b))) {
        ++end;
      } else if (b == '.' && end + 1 < text_.size() &&
                 is_ascii_digit(static_cast<unsigned char>(text_[end + 1]))) {
        ++points;
        ++end;
      } else {
        break;
      }
    }
    const std::string_view literal = text_.substr(start, end - start);
    Token token;
    if (points == 0) {
      token.kind = TokenKind::Int;
      const auto [ptr, ec] = std::from_chars(literal.data(), literal.data() + literal.size(), token.integer);
      if (ec != std::errc{} || ptr != literal.data() + literal.size()) return invalid_number(literal);
    } else {
      const std::optional<double> value = points == 1 ? float_literal(literal) : std::nullopt;
      if (!value) return invalid_number(literal);
      token.kind = TokenKind::Float;
      token.number = *value;
    }
    out_.push_back(std::move(token));
    at_ = end;
    return true;
  }

  bool invalid_number(std::string_view literal) {
    std::string message = "invalid number '";
    message += literal;
    message += '\'';
    return fail(std::move(message));
  }

  // The cursor is on a letter or '_'; the word runs to the first code
  // point that cannot continue it. A name is never ill-formed text: U+FFFD
  // is a symbol, so it ends a word.
  bool identifier() {
    size_t end = at_;
    while (end < text_.size()) {
      const codec::DecodedCodePoint c = codec::decode_utf8(text_, end);
      if (!is_identifier_continue(c.value)) break;
      end += c.length;
    }
    out_.push_back(word_token(text_.substr(at_, end - at_)));
    at_ = end;
    return true;
  }

  std::string_view text_;
  size_t at_ = 0;  // byte offset of the next code point
  std::vector<Token>& out_;
  std::string& error_;
};

}  // namespace

bool tokenize(std::string_view text, std::vector<Token>& out, std::string& error) {
  return Lexer(text, out, error).run();
}

}  // namespace derirezaro::condition
