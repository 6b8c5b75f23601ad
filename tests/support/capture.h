// Runs engine code in-process and returns how it ended the run.
#pragma once

#include <string>

#include "common/fatal.h"
#include "common/messages.h"

namespace kx {

// Runs f; returns the status it ended the run with (or -1 when it returned)
// and, in *err, the standard-error text it printed.
template <typename F>
int exitStatusOf(F f, std::string* err) {
  MessageBuffer messages;
  int status = -1;
  try {
    f();
  } catch (const ExitRequest& e) {
    status = e.status;
  }
  *err = messages.text(Stream::Err);
  return status;
}

}  // namespace kx
