// Reading a member's text signature ("($self, namespace, key, default=None)")
// into its parameter names. Plain C++: no interpreter is needed to check a
// text, so the core tests check the parser without one.
//
// Accepted: "(" parameters ")", separated by commas. `$self` may come
// first (the receiver, not a parameter). Every other parameter is
// `name` or `name=default`; a default is any text, commas inside a quoted
// string included. Every parameter is positional-or-keyword, so the markers
// `/` and `*` (and `*args`, `**kwargs`) are refused rather than read as
// names. Refused too: an empty parameter, a name that is not an
// identifier, a name given twice, a required parameter after an optional
// one, an empty default, and more than kMaxParams parameters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace derirezaro::py {

inline constexpr size_t kMaxParams = 8;

struct ParameterList {
  std::vector<std::string> names;  // $self excluded
  size_t required = 0;             // the leading `required` names have no default
};

// Throws std::invalid_argument naming the member and the text:
//   text signature "(a, *)" of Store.set: '*' is not supported: every
//   parameter is positional-or-keyword
ParameterList parse_text_signature(std::string_view qualified_name, std::string_view text);

}  // namespace derirezaro::py
