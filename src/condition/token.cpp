// The debug form of tokens. Parser messages quote it, so it must be
// unambiguous and readable whatever the condition's text held: quotes and
// backslashes inside a payload are escaped, and characters that would be
// invisible or would merge with their neighbour on screen (controls,
// format characters, unassigned code points, combining marks) are written
// as their code point.
#include "condition/token.hpp"

#include <charconv>
#include <cmath>
#include <iterator>
#include <string_view>

#include "codec/utf8.hpp"
#include "condition/unicode_tables.hpp"

namespace derirezaro::condition {

namespace {

constexpr std::string_view kKindNames[] = {
    "Ident", "Str", "Int", "Float", "Bool", "Null", "And",    "Or",     "Not", "In",
    "Eq",    "Ne",  "Lt",  "Le",    "Gt",   "Ge",   "LParen", "RParen", "Dot",
};
static_assert(std::size(kKindNames) == static_cast<size_t>(TokenKind::Dot) + 1,
              "one name per token kind, in declaration order");

void append_code_point_escape(std::string& out, char32_t c) {
  char digits[8];  // at most six hex digits for U+10FFFF
  const auto end = std::to_chars(digits, digits + sizeof digits, static_cast<uint32_t>(c), 16).ptr;
  out += "\\u{";
  out.append(digits, end);
  out += '}';
}

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (size_t at = 0; at < text.size();) {
    const codec::DecodedCodePoint c = codec::decode_utf8(text, at);
    at += c.length;
    switch (c.value) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case U'\0': out += "\\0"; break;
      default:
        if (is_grapheme_extend(c.value) || is_unprintable(c.value)) {
          append_code_point_escape(out, c.value);
        } else {
          codec::append_utf8(out, c.value);  // ill-formed input bytes come out as U+FFFD
        }
    }
  }
  out += '"';
}

// The shortest digits that read back as `value` come from to_chars in
// scientific form ("d[.ddd]e±XX"); only their layout is decided here:
// plain decimal for magnitudes in [1e-4, 1e16), always with a digit after
// the point, and otherwise "d[.ddd]e<exponent>" with no '+' and no
// leading zeros.
void append_float(std::string& out, double value) {
  if (std::isnan(value)) {  // the lexer never makes one; shown rather than hidden
    out += "nan";
    return;
  }
  if (std::signbit(value)) out += '-';
  value = std::fabs(value);
  if (std::isinf(value)) {
    out += "inf";
    return;
  }
  if (value == 0.0) {
    out += "0.0";
    return;
  }
  char buffer[32];  // "d.dddddddddddddddde-XXX": 17 digits at most
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
  const std::string_view scientific(buffer, static_cast<size_t>(end - buffer));
  const size_t e = scientific.find('e');
  std::string digits(1, scientific[0]);
  if (e > 1) digits.append(scientific.substr(2, e - 2));  // skip the point
  std::string_view exponent_text = scientific.substr(e + 1);
  if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);

  if (exponent >= -4 && exponent < 16) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<size_t>(-exponent - 1), '0');
      out += digits;
    } else {
      const size_t whole = static_cast<size_t>(exponent) + 1;
      if (digits.size() <= whole) {
        out += digits;
        out.append(whole - digits.size(), '0');
        out += ".0";
      } else {
        out.append(digits, 0, whole);
        out += '.';
        out.append(digits, whole);
      }
    }
    return;
  }
  out += digits[0];
  if (digits.size() > 1) {
    out += '.';
    out.append(digits, 1);
  }
  out += 'e';
  out += std::to_string(exponent);
}

}  // namespace

std::string render(const Token& token) {
  std::string out(kKindNames[static_cast<size_t>(token.kind)]);
  switch (token.kind) {
    case TokenKind::Ident:
    case TokenKind::Str:
      out += '(';
      append_quoted(out, token.text);
      out += ')';
      break;
    case TokenKind::Int:
      out += '(';
      out += std::to_string(token.integer);
      out += ')';
      break;
    case TokenKind::Float:
      out += '(';
      append_float(out, token.number);
      out += ')';
      break;
    case TokenKind::Bool: out += token.boolean ? "(true)" : "(false)"; break;
    default: break;  // no payload: the name alone
  }
  return out;
}

std::string render_optional(const Token* token) {
  if (token == nullptr) return "None";
  std::string out = "Some(";
  out += render(*token);
  out += ')';
  return out;
}

}  // namespace derirezaro::condition
