// Test lists name a case of a table by its `name`, not by its bytes.
#pragma once

#include <ostream>

namespace kx {
namespace {

template <class Case>
requires requires(const Case& c) {
  c.name;
}
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

}  // namespace
}  // namespace kx
