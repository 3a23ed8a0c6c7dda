// The condition parser: text to a syntax tree (Expr, expr.hpp).
//
// Grammar, loosest first: or, and, not, comparison, primary. `or` and `and`
// associate to the left and chain without limit; a comparison has at most
// one operator; `not` applies to a whole comparison. Nesting is counted as
// a depth (from or to and +1, and to not +1, not to not +1, not to each
// comparison operand +2, parentheses to or +1) and depth above 64 fails, so
// the parser's recursion, and the tree's depth, are bounded whatever the
// text: 12 nested parentheses around a primary parse, 13 do not; 60 leading
// `not` parse, 61 do not.
#pragma once

#include <string>
#include <string_view>

#include "condition/expr.hpp"

namespace derirezaro::condition {

// The tree of `text`, or null with the message of the first failure (the
// lexer's or the parser's) in `error`.
ExprPtr parse(std::string_view text, std::string& error);

}  // namespace derirezaro::condition
