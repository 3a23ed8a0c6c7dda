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
// - a tree printed back to text parses again to the same tree (the same
//   text with every compound node in parentheses), which prints the same
//   and holds for exactly the states the first one holds for;
// - `holds` agrees with a reference evaluator written here from the rules
//   alone: it builds every operand as a Value, recurses plainly and shares
//   no code with the evaluator beyond Value's own equality.
// Plus, from the sanitizers: no out-of-bounds access, no undefined
// behaviour, no stack exhaustion on long chains, no allocation beyond
// libFuzzer's limit.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
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
//
// With `full`, every compound node is in parentheses, so two trees are the
// same (kinds, shapes, names and literal values) exactly when their full
// texts are. Comparing the shortest texts alone would hide a printer and a
// parser that lose the same structure, such as a parenthesized chain.

std::string print(const Expr& expr, bool full = false);

// In parentheses where `needed`, and with `full` around every compound node.
std::string wrapped(const Expr& expr, bool needed, bool full) {
  return needed || (full && expr.kind >= ExprKind::Not) ? "(" + print(expr, full) + ")" : print(expr, full);
}

// Floats as plain digits with a point, which is all the lexer reads: the
// shortest fixed form that reads back, and for an infinity a number past the
// largest double, which the lexer rounds to it.
std::string print_float(double value) {
  if (std::isinf(value)) return (value < 0 ? "-1" : "1") + std::string(309, '0') + ".0";
  char buffer[400];  // the least subnormal takes 0. and 324 digits
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed).ptr;
  return std::string(buffer, end) + (std::find(buffer, end, '.') == end ? ".0" : "");
}

std::string print(const Expr& expr, bool full) {
  const codec::Value* literal = expr.kind <= ExprKind::Null ? &condition::as_literal(expr).value : nullptr;
  std::string out;
  switch (expr.kind) {
    case ExprKind::Str:
      for (const char c : literal->get_if<codec::String>()->bytes) {
        if (c == '\\' || c == '\'') out += '\\';
        out += c;
      }
      return "'" + out + "'";
    case ExprKind::Int: return std::to_string(literal->get_if<codec::Integer>()->as_signed());
    case ExprKind::Float: return print_float(*literal->get_if<double>());
    case ExprKind::Bool: return *literal->get_if<bool>() ? "true" : "false";
    case ExprKind::Null: return "null";
    case ExprKind::Path:
      for (const std::string& segment : condition::as_path(expr).segments)
        out += (out.empty() ? "" : ".") + segment;
      return out;
    case ExprKind::Not: {
      const Expr& child = *condition::as_not(expr).child;
      return "not " + wrapped(child, child.kind == ExprKind::And || child.kind == ExprKind::Or, full);
    }
    case ExprKind::And:
    case ExprKind::Or: {
      // A later term of the chain's own kind was parenthesized (it is a
      // separate node), and an Or inside an And always is.
      const auto& terms = condition::as_chain(expr).terms;
      for (size_t i = 0; i < terms.size(); ++i) {
        const ExprKind kind = terms[i]->kind;
        if (i) out += expr.kind == ExprKind::And ? " and " : " or ";
        out +=
            wrapped(*terms[i],
                    (i && kind == expr.kind) || (expr.kind == ExprKind::And && kind == ExprKind::Or), full);
      }
      return out;
    }
    case ExprKind::Cmp: {
      static constexpr const char* kOps[] = {" == ", " != ", " < ", " <= ", " > ", " >= ", " in "};
      const auto& cmp = condition::as_cmp(expr);
      return wrapped(*cmp.left, cmp.left->kind >= ExprKind::Not, full) + kOps[static_cast<size_t>(cmp.op)] +
             wrapped(*cmp.right, cmp.right->kind >= ExprKind::Not, full);
    }
  }
  return out;
}

// --- the reference evaluator, by value ---------------------------------------

const std::string* text(const codec::Value& v) {
  const auto* s = v.get_if<codec::String>();
  return s != nullptr && s->valid_utf8 ? &s->bytes : nullptr;
}

// Integers go through long double, which holds every 64-bit integer
// exactly, so the one rounding is to double.
std::optional<double> number(const codec::Value& v) {
  if (const auto* n = v.get_if<codec::Integer>()) {
    return static_cast<double>(n->negative ? static_cast<long double>(n->as_signed())
                                           : static_cast<long double>(n->bits));
  }
  if (const auto* f = v.get_if<float>()) return *f;
  if (const auto* d = v.get_if<double>()) return *d;
  return std::nullopt;
}

bool truth(const codec::Value& v) {
  if (const auto x = number(v)) return *x != 0;  // NaN too: it is unequal to everything
  if (const auto* b = v.get_if<bool>()) return *b;
  if (v.get_if<codec::String>()) return text(v) != nullptr && !text(v)->empty();
  if (const auto* b = v.get_if<codec::Bytes>()) return !b->data.empty();
  if (const auto* a = v.get_if<codec::Array>()) return !a->empty();
  if (const auto* m = v.get_if<codec::Map>()) return !m->empty();
  return v.get_if<codec::Extension>() != nullptr;  // nil is the only false kind left
}

bool same(const codec::Value& a, const codec::Value& b) {
  const auto x = number(a), y = number(b);
  return x && y ? *x == *y : a == b;
}

bool reference_compare(CmpOp op, const codec::Value& a, const codec::Value& b) {
  if (op == CmpOp::Eq || op == CmpOp::Ne) return same(a, b) == (op == CmpOp::Eq);
  if (op == CmpOp::In) {
    if (b.get_if<codec::String>()) return text(a) && text(b) && text(b)->find(*text(a)) != std::string::npos;
    if (const auto* items = b.get_if<codec::Array>()) {
      return std::ranges::any_of(*items, [&](const codec::Value& e) { return same(e, a); });
    }
    const auto* map = b.get_if<codec::Map>();
    return map && std::ranges::any_of(*map, [&](const codec::MapEntry& e) { return same(e.key, a); });
  }
  // Numbers as doubles (NaN is unordered), text by unsigned bytes, which
  // char_traits<char> compares by; anything else is unordered.
  std::partial_ordering order = std::partial_ordering::unordered;
  if (const auto x = number(a), y = number(b); x && y) order = *x <=> *y;
  if (text(a) && text(b)) order = text(a)->compare(*text(b)) <=> 0;
  switch (op) {
    case CmpOp::Lt: return order < 0;
    case CmpOp::Le: return order <= 0;
    case CmpOp::Gt: return order > 0;
    default: return order >= 0;
  }
}

codec::Value reference(const Expr& expr, const codec::Value& state) {
  switch (expr.kind) {
    case ExprKind::Path: {
      codec::Value at = state;
      for (const std::string& segment : condition::as_path(expr).segments) {
        const auto* map = at.get_if<codec::Map>();
        if (map == nullptr) return codec::Nil{};
        const auto found = std::ranges::find_if(
            *map, [&](const codec::MapEntry& e) { return text(e.key) && *text(e.key) == segment; });
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

  std::string error, lex_error;
  const condition::ExprPtr tree = condition::parse(text, error);
  std::vector<condition::Token> tokens;
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

  const std::string once = print(*tree);
  const condition::ExprPtr again = condition::parse(once, error);
  if (!again) fail("a printed tree does not parse");
  if (print(*again, true) != print(*tree, true) || print(*again) != once)
    fail("a printed tree parses to another tree");
  if (condition::holds(*again, state) != held) fail("a reparsed tree holds differently");
  return 0;
}
