// Fatal errors of the tools: the one way a run ends on a failure it cannot
// get past.
//
// A fatal error prints its message where it happens and then unwinds to the
// tool's main() as an ExitRequest carrying the process status, so that open
// output files are cleaned up on the way and the path is testable in-process.
//
// Stands on: the standard library only.
#pragma once

#include <string>

namespace kx {

struct ExitRequest {
  int status;  // as the shell sees it: 255 for the system's -1
};

// Flushes the standard streams and unwinds with the status (low 8 bits).
[[noreturn]] void kx_exit(int status);
// Writes "Error: " and the message to stderr, then exits with status 255.
// The message is printed as text: callers format any values into it first.
[[noreturn]] void kx_error(const std::string& message);

}  // namespace kx
