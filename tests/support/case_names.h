// Test lists name a case of a table by its `name`, not by its bytes.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>
#include <string_view>

namespace kx {
namespace {

template <class Case>
requires requires(const Case& c) {
  c.name;
}
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

// A test name from a description: its letters and digits, every other run
// of characters one '_' ("-n 1 in out" gives "n_1_in_out").
inline std::string identifier(std::string_view text) {
  std::string out;
  for (const char c : text)
    if (std::isalnum(static_cast<unsigned char>(c)))
      out += c;
    else if (!out.empty() && out.back() != '_')
      out += '_';
  while (!out.empty() && out.back() == '_') out.pop_back();
  return out.empty() ? "none" : out;
}

// The name generator of a table whose cases have a `name`.
struct CaseName {
  template <class Case>
  std::string operator()(const testing::TestParamInfo<Case>& p) const {
    return identifier(p.param.name);
  }
};

}  // namespace
}  // namespace kx
