#include "lib/signature_text.hpp"

#include <algorithm>
#include <stdexcept>

namespace derirezaro::py {

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

bool is_identifier(std::string_view name) {
  auto is_start = [](char c) { return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  auto is_rest = [&](char c) { return is_start(c) || (c >= '0' && c <= '9'); };
  return !name.empty() && is_start(name.front()) && std::all_of(name.begin() + 1, name.end(), is_rest);
}

// The parameters between the parentheses, split at the commas that are not
// inside a quoted default. Null when a quote is left open.
bool split_parameters(std::string_view list, std::vector<std::string_view>& out) {
  char quote = 0;
  size_t start = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    const char c = list[i];
    if (quote != 0) {
      if (c == '\\') {
        ++i;
      } else if (c == quote) {
        quote = 0;
      }
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == ',') {
      out.push_back(trim(list.substr(start, i - start)));
      start = i + 1;
    }
  }
  out.push_back(trim(list.substr(start)));
  return quote == 0;
}

// 'name' followed by `rest`, built by appending: g++ 12 misreports the
// chained operator+ form (-Wrestrict).
std::string quoted(std::string_view name, std::string_view rest) {
  std::string out = "'";
  out += name;
  out += "'";
  out += rest;
  return out;
}

}  // namespace

ParameterList parse_text_signature(std::string_view qualified_name, std::string_view text) {
  auto refuse = [&](const std::string& why) {
    std::string message = "text signature \"";
    message += text;
    message += "\" of ";
    message += qualified_name;
    message += ": ";
    message += why;
    throw std::invalid_argument(message);
  };
  if (text.size() < 2 || text.front() != '(' || text.back() != ')') refuse("it must be enclosed in ( )");
  ParameterList out;
  const std::string_view inside = trim(text.substr(1, text.size() - 2));
  if (inside.empty()) return out;

  std::vector<std::string_view> params;
  if (!split_parameters(inside, params)) refuse("a quoted default is not closed");
  for (size_t i = 0; i < params.size(); ++i) {
    std::string_view param = params[i];
    if (param.empty()) refuse("parameter " + std::to_string(i + 1) + " is empty");
    if (param == "$self") {
      if (i != 0) refuse("$self must come first");
      continue;
    }
    if (param.front() == '*' || param == "/") {
      refuse(quoted(param, " is not supported: every parameter is positional-or-keyword"));
    }
    const size_t equals = param.find('=');
    const std::string_view name = trim(param.substr(0, equals));
    if (!is_identifier(name)) refuse(quoted(name, " is not a parameter name"));
    if (std::find(out.names.begin(), out.names.end(), name) != out.names.end()) {
      refuse(quoted(name, " is given twice"));
    }
    if (equals == std::string_view::npos) {
      if (out.required != out.names.size()) refuse("required " + quoted(name, " follows an optional one"));
      ++out.required;
    } else if (trim(param.substr(equals + 1)).empty()) {
      refuse(quoted(name, " has an empty default"));
    }
    out.names.emplace_back(name);
  }
  if (out.names.size() > kMaxParams) refuse("more than " + std::to_string(kMaxParams) + " parameters");
  return out;
}

}  // namespace derirezaro::py
