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
// - a tree is evaluated over the state, whatever its shape.
// Plus, from the sanitizers: no out-of-bounds access, no undefined
// behaviour, no stack exhaustion on long chains or deep trees, no
// allocation beyond libFuzzer's limit.
// Which tree a text parses to and what it holds for are checked against a
// model by tests/test_graph.py, over texts written from random trees (with
// compound operands and parentheses nothing needs) and random states.
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

bool well_formed(const std::string& text) {
  return codec::is_well_formed_utf8(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_condition: %s\n", what);
  std::abort();
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

  (void)condition::holds(*tree, state);
  return 0;
}
