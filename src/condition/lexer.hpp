// The condition lexer: text (UTF-8, handled as code points) to tokens.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "condition/token.hpp"

namespace derirezaro::condition {

// Appends the tokens of `text` to `out` and returns true; or returns false
// with the message of the first failure in `error` (and `out` unspecified).
// `text` is valid UTF-8 (it comes from a Python str).
bool tokenize(std::string_view text, std::vector<Token>& out, std::string& error);

}  // namespace derirezaro::condition
