// The text-signature reader of the call wrapper: what it reads, and that
// every text it cannot read is refused with a message naming the text.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>

#include "lib/signature_text.hpp"

namespace derirezaro::py {
namespace {

// The parameter names and the required count `text` reads as, or the
// reason its refusal gives after the text and the function it names.
std::string read(const std::string& text) {
  try {
    const ParameterList params = parse_text_signature("Store.set", text);
    std::string out;
    for (const std::string& name : params.names) out += name + " ";
    return out + std::to_string(params.required) + " required";
  } catch (const std::invalid_argument& e) {
    const std::string named = "text signature \"" + text + "\" of Store.set: ", what = e.what();
    EXPECT_EQ(what.substr(0, named.size()), named);
    return what.substr(named.size());
  }
}

TEST(SignatureText, ReadsNamesAndRequiredCountOrSaysWhyNot) {
  const std::pair<const char*, const char*> table[] = {
      {"()", "0 required"},
      {"($self)", "0 required"},
      {"(obj)", "obj 1 required"},
      {"($self, namespace, key, default=None)", "namespace key default 2 required"},
      {"(backend=\"memory\", codec=\"msgpack\", max_history=None)", "backend codec max_history 0 required"},
      {"(a, sep=', ', end=\"\\\",\")", "a sep end 1 required"},  // commas inside quoted defaults
      {"(a,b , _c2 = 1)", "a b _c2 2 required"},
      {"a, b", "it must be enclosed in ( )"},
      {"(a, *)", "'*' is not supported: every parameter is positional-or-keyword"},
      {"(a, /)", "'/' is not supported: every parameter is positional-or-keyword"},
      {"(*args)", "'*args' is not supported: every parameter is positional-or-keyword"},
      {"(**kwargs)", "'**kwargs' is not supported: every parameter is positional-or-keyword"},
      {"(a, , b)", "parameter 2 is empty"},
      {"(a,)", "parameter 2 is empty"},
      {"(a, $self)", "$self must come first"},
      {"(2a)", "'2a' is not a parameter name"},
      {"(a b)", "'a b' is not a parameter name"},
      {"(=1)", "'' is not a parameter name"},
      {"(a, a=1)", "'a' is given twice"},
      {"(a=1, b)", "required 'b' follows an optional one"},
      {"(a=)", "'a' has an empty default"},
      {"(a='x)", "a quoted default is not closed"},
      {"(a, b, c, d, e, f, g, h, i)", "more than 8 parameters"},
  };
  for (const auto& [text, expected] : table) EXPECT_EQ(read(text), expected) << text;
}

}  // namespace
}  // namespace derirezaro::py
