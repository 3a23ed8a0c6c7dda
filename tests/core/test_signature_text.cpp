// The text-signature reader of the call wrapper: what it reads, and that
// every text it cannot read is refused with a message naming the text.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "lib/signature_text.hpp"

namespace derirezaro::py {
namespace {

TEST(SignatureText, ReadsNamesAndRequiredCount) {
  const std::tuple<const char*, std::vector<std::string>, size_t> table[] = {
      {"()", {}, 0},
      {"($self)", {}, 0},
      {"(obj)", {"obj"}, 1},
      {"($self, namespace, key, default=None)", {"namespace", "key", "default"}, 2},
      {"(backend=\"memory\", codec=\"msgpack\", max_history=None)", {"backend", "codec", "max_history"}, 0},
      {"(a, sep=', ', end=\"\\\",\")", {"a", "sep", "end"}, 1},  // commas inside quoted defaults
      {"(a,b , _c2 = 1)", {"a", "b", "_c2"}, 2},
  };
  for (const auto& [text, names, required] : table) {
    const ParameterList params = parse_text_signature("f", text);
    EXPECT_EQ(params.names, names) << text;
    EXPECT_EQ(params.required, required) << text;
  }
}

TEST(SignatureText, RefusesWhatItCannotRead) {
  const std::pair<const char*, const char*> table[] = {
      {"a, b", "it must be enclosed in ( )"},
      {"(a, *)", "'*' is not supported: every parameter is positional-or-keyword"},
      {"(a, /)", "'/' is not supported"},
      {"(*args)", "'*args' is not supported"},
      {"(**kwargs)", "'**kwargs' is not supported"},
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
  for (const auto& [text, why] : table) {
    try {
      parse_text_signature("Store.set", text);
      ADD_FAILURE() << "accepted " << text;
    } catch (const std::invalid_argument& e) {
      const std::string expected = std::string("text signature \"") + text + "\" of Store.set: ";
      EXPECT_EQ(std::string(e.what()).substr(0, expected.size()), expected);
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace derirezaro::py
