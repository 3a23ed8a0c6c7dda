// Fuzzes the condition language: tokenize, parse and evaluate.
//
// Input: a condition text, then a NUL byte, then MessagePack bytes for the
// routing state (anything the reader refuses, or nothing, is an empty map).
// Texts come from Python str objects, so they are well-formed UTF-8; the
// fuzzer feeds ill-formed ones too, which the lexer reads as U+FFFD.
//
// Checked on every input:
// - parse either yields a tree or a non-empty message, and a text that
//   parses also tokenizes;
// - messages, token texts and renderings are well-formed UTF-8, whatever
//   the input;
// - a tree printed back to text parses again to the same tree, which
//   prints the same and holds for exactly the states the first one holds
//   for;
// - `holds` agrees with a reference evaluator written here from the rules
//   alone: it builds every operand as a Value, recurses plainly and shares
//   no code with the evaluator beyond Value's own equality.
// Plus, from the sanitizers: no out-of-bounds access, no undefined
// behaviour, no stack exhaustion on long chains, no allocation beyond
// libFuzzer's limit.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "codec/utf8.hpp"
#include "codec/value_reader.hpp"
#include "condition/evaluator.hpp"
#include "condition/lexer.hpp"
#include "condition/parser.hpp"

namespace {

using namespace derirezaro;
using condition::CmpOp;
using condition::Expr;
using condition::ExprKind;

bool well_formed(const std::string& text) {
  return codec::is_well_formed_utf8(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_condition: %s\n", what);
  std::abort();
}

// --- the printer: a tree back to text that parses to the same tree --------

void print(const Expr& expr, std::string& out);

void print_parenthesized(const Expr& expr, bool parens, std::string& out) {
  if (parens) out += '(';
  print(expr, out);
  if (parens) out += ')';
}

// Floats as plain digits with a point, which is all the lexer reads: the
// shortest fixed form that reads back, and for an infinity a number past the
// largest double, which the lexer rounds to it.
void print_float(double value, std::string& out) {
  if (std::isinf(value)) {
    out += value < 0 ? "-1" : "1";
    out.append(309, '0');
    out += ".0";
    return;
  }
  char buffer[400];  // the least subnormal takes 0. and 324 digits
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed).ptr;
  out.append(buffer, end);
  if (std::find(buffer, end, '.') == end) out += ".0";
}

void print(const Expr& expr, std::string& out) {
  switch (expr.kind) {
    case ExprKind::Str:
      out += '\'';
      for (const char c : condition::as_literal(expr).value.get_if<codec::String>()->bytes) {
        if (c == '\\' || c == '\'') out += '\\';
        out += c;
      }
      out += '\'';
      return;
    case ExprKind::Int:
      out += std::to_string(condition::as_literal(expr).value.get_if<codec::Integer>()->as_signed());
      return;
    case ExprKind::Float: print_float(*condition::as_literal(expr).value.get_if<double>(), out); return;
    case ExprKind::Bool: out += *condition::as_literal(expr).value.get_if<bool>() ? "true" : "false"; return;
    case ExprKind::Null: out += "null"; return;
    case ExprKind::Path: {
      const auto& segments = condition::as_path(expr).segments;
      for (size_t i = 0; i < segments.size(); ++i) out += (i ? "." : "") + segments[i];
      return;
    }
    case ExprKind::Not: {
      const Expr& child = *condition::as_not(expr).child;
      out += "not ";
      print_parenthesized(child, child.kind == ExprKind::And || child.kind == ExprKind::Or, out);
      return;
    }
    case ExprKind::And:
    case ExprKind::Or: {
      // A later term of the chain's own kind was parenthesized (it is a
      // separate node), and an Or inside an And always is.
      const auto& terms = condition::as_chain(expr).terms;
      for (size_t i = 0; i < terms.size(); ++i) {
        if (i) out += expr.kind == ExprKind::And ? " and " : " or ";
        const ExprKind kind = terms[i]->kind;
        print_parenthesized(
            *terms[i], (i && kind == expr.kind) || (expr.kind == ExprKind::And && kind == ExprKind::Or), out);
      }
      return;
    }
    case ExprKind::Cmp: {
      static constexpr const char* kOps[] = {" == ", " != ", " < ", " <= ", " > ", " >= ", " in "};
      const auto& cmp = condition::as_cmp(expr);
      const auto compound = [](const Expr& e) { return e.kind >= ExprKind::Not; };
      print_parenthesized(*cmp.left, compound(*cmp.left), out);
      out += kOps[static_cast<size_t>(cmp.op)];
      print_parenthesized(*cmp.right, compound(*cmp.right), out);
      return;
    }
  }
}

// The same tree: kinds, shapes, names and literal values (as Value's
// equality has them: the sign of a zero is left to the printed texts).
// Printing alone would hide a printer and a parser that lose the same
// structure, such as a parenthesized chain.
bool same_tree(const Expr& a, const Expr& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case ExprKind::Path: return condition::as_path(a).segments == condition::as_path(b).segments;
    case ExprKind::Not: return same_tree(*condition::as_not(a).child, *condition::as_not(b).child);
    case ExprKind::And:
    case ExprKind::Or: {
      const auto &s = condition::as_chain(a).terms, &t = condition::as_chain(b).terms;
      return s.size() == t.size() &&
             std::equal(s.begin(), s.end(), t.begin(),
                        [](const auto& x, const auto& y) { return same_tree(*x, *y); });
    }
    case ExprKind::Cmp: {
      const auto &x = condition::as_cmp(a), &y = condition::as_cmp(b);
      return x.op == y.op && same_tree(*x.left, *y.left) && same_tree(*x.right, *y.right);
    }
    default: return condition::as_literal(a).value == condition::as_literal(b).value;
  }
}

std::string printed(const Expr& expr) {
  std::string out;
  print(expr, out);
  return out;
}

// --- the reference evaluator, by value ---------------------------------------

const std::string* text(const codec::Value& v) {
  const auto* s = v.get_if<codec::String>();
  return s != nullptr && s->valid_utf8 ? &s->bytes : nullptr;
}

// Integers go through long double, which holds every 64-bit integer
// exactly, so the one rounding is to double.
bool number(const codec::Value& v, double& out) {
  if (const auto* n = v.get_if<codec::Integer>()) {
    const long double exact = n->negative ? static_cast<long double>(static_cast<int64_t>(n->bits))
                                          : static_cast<long double>(n->bits);
    out = static_cast<double>(exact);
  } else if (const auto* f = v.get_if<float>()) {
    out = *f;
  } else if (const auto* d = v.get_if<double>()) {
    out = *d;
  } else {
    return false;
  }
  return true;
}

bool truth(const codec::Value& v) {
  double x = 0;
  if (number(v, x)) return x != 0;  // NaN too: it is unequal to everything
  if (const auto* b = v.get_if<bool>()) return *b;
  if (v.get_if<codec::String>()) return text(v) != nullptr && !text(v)->empty();
  if (const auto* b = v.get_if<codec::Bytes>()) return !b->data.empty();
  if (const auto* a = v.get_if<codec::Array>()) return !a->empty();
  if (const auto* m = v.get_if<codec::Map>()) return !m->empty();
  return v.get_if<codec::Extension>() != nullptr;  // nil is the only false kind left
}

bool same(const codec::Value& a, const codec::Value& b) {
  double x = 0, y = 0;
  if (number(a, x) && number(b, y)) return x == y;
  return a == b;
}

bool ordered(CmpOp op, int sign) {
  switch (op) {
    case CmpOp::Lt: return sign < 0;
    case CmpOp::Le: return sign <= 0;
    case CmpOp::Gt: return sign > 0;
    default: return sign >= 0;
  }
}

bool reference_compare(CmpOp op, const codec::Value& a, const codec::Value& b) {
  if (op == CmpOp::Eq) return same(a, b);
  if (op == CmpOp::Ne) return !same(a, b);
  if (op == CmpOp::In) {
    if (b.get_if<codec::String>()) return text(a) && text(b) && text(b)->find(*text(a)) != std::string::npos;
    if (const auto* items = b.get_if<codec::Array>()) {
      return std::any_of(items->begin(), items->end(), [&](const codec::Value& e) { return same(e, a); });
    }
    if (const auto* map = b.get_if<codec::Map>()) {
      return std::any_of(map->begin(), map->end(), [&](const codec::MapEntry& e) { return same(e.key, a); });
    }
    return false;
  }
  double x = 0, y = 0;
  if (number(a, x) && number(b, y)) {
    if (std::isnan(x) || std::isnan(y)) return false;
    return ordered(op, x < y ? -1 : x > y ? 1 : 0);
  }
  if (!text(a) || !text(b)) return false;
  const auto bytes = [](const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); };
  const std::string &s = *text(a), &t = *text(b);
  const bool less =
      std::lexicographical_compare(bytes(s), bytes(s) + s.size(), bytes(t), bytes(t) + t.size());
  const bool greater =
      std::lexicographical_compare(bytes(t), bytes(t) + t.size(), bytes(s), bytes(s) + s.size());
  return ordered(op, less ? -1 : greater ? 1 : 0);
}

codec::Value reference(const Expr& expr, const codec::Value& state) {
  switch (expr.kind) {
    case ExprKind::Path: {
      codec::Value at = state;
      for (const std::string& segment : condition::as_path(expr).segments) {
        const auto* map = at.get_if<codec::Map>();
        if (map == nullptr) return codec::Nil{};
        const auto found = std::find_if(map->begin(), map->end(), [&](const codec::MapEntry& e) {
          return text(e.key) && *text(e.key) == segment;
        });
        if (found == map->end()) return codec::Nil{};
        codec::Value next = found->value;  // the first match: keys may repeat
        at = std::move(next);
      }
      return at;
    }
    case ExprKind::Not: return !truth(reference(*condition::as_not(expr).child, state));
    case ExprKind::And:
    case ExprKind::Or: {
      // The chain is the left-nested binary form: each term decides or
      // passes on, and the last one decides.
      const bool deciding = expr.kind == ExprKind::Or;
      for (const auto& term : condition::as_chain(expr).terms) {
        if (truth(reference(*term, state)) == deciding) return deciding;
      }
      return !deciding;
    }
    case ExprKind::Cmp: {
      const auto& cmp = condition::as_cmp(expr);
      return reference_compare(cmp.op, reference(*cmp.left, state), reference(*cmp.right, state));
    }
    default: return condition::as_literal(expr).value;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto* split = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const size_t text_size = split != nullptr ? static_cast<size_t>(split - data) : size;
  const std::string_view text(reinterpret_cast<const char*>(data), text_size);

  codec::Value state = codec::Map{};
  if (split != nullptr) {
    codec::ReadResult read = codec::read_value(split + 1, size - text_size - 1);
    if (read.error.kind == codec::msgpack::ReadErrorKind::none) state = std::move(read.value);
  }

  std::string error;
  const condition::ExprPtr tree = condition::parse(text, error);
  std::vector<condition::Token> tokens;
  std::string lex_error;
  const bool lexed = condition::tokenize(text, tokens, lex_error);
  if (!well_formed(error) || !well_formed(lex_error)) fail("a message that is not UTF-8");
  for (const condition::Token& token : tokens) {
    if (!well_formed(token.text) || !well_formed(condition::render(token))) fail("a token that is not UTF-8");
  }
  if (!tree) {
    if (error.empty()) fail("a refused condition without a message");
    return 0;
  }
  if (!lexed) fail("a condition that parses but does not tokenize");

  const bool held = condition::holds(*tree, state);
  if (held != truth(reference(*tree, state))) fail("holds() disagrees with the reference evaluator");

  const std::string once = printed(*tree);
  std::string reparse_error;
  const condition::ExprPtr again = condition::parse(once, reparse_error);
  if (!again) fail("a printed tree does not parse");
  if (!same_tree(*tree, *again) || printed(*again) != once) fail("a printed tree parses to another tree");
  if (condition::holds(*again, state) != held) fail("a reparsed tree holds differently");
  return 0;
}
