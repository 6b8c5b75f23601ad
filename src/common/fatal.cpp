#include "common/fatal.h"
#include "common/messages.h"

#include <cstdio>

namespace kx {

void kx_exit(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  throw ExitRequest{status & 0xFF};
}

void kx_error(const std::string& message) {
  // The message is printed as text: callers have already formatted it.
  kx_note("Error: ");
  kx_note(message);
  kx_exit(-1);
}

}  // namespace kx
