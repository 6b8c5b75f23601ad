#include "common/fatal.h"

#include <cstdio>

namespace kx {

void kx_exit(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  throw ExitRequest{status & 0xFF};
}

void kx_error(const std::string& message) {
  // The message is printed as text: callers have already formatted it.
  std::fputs("Error: ", stderr);
  std::fwrite(message.data(), 1, message.size(), stderr);
  kx_exit(-1);
}

}  // namespace kx
