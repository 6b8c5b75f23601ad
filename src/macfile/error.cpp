// The Macintosh error state: one pending code and the message formatted for
// it, shared by the Macintosh layer and the PICT library of the process.
#include <cstdio>
#include <cstring>

#include "common/messages.h"
#include "macfile/macfile.h"

namespace kx {

namespace {

// Every format has no conversion or exactly one "%s".
constexpr const char* kMessages[] = {
    "No Error",
    "Can't open file %s",
    "Can't read file %s",
    "Can't write file %s",
    "Can't allocate memory",
    "Unknown mode",
    "%s is not a Macintosh data file",
    "%s is not a known Macintosh file",
    "%s is not the correct Macintosh file type",
    "%s is a Macintosh file with no data!",
    "%s is not a known PICT format!",
    "%s: Bad value encountered.",
    "%s: Bad opcode encountered.",
    "%s: Wrong opcode for this PICT version.",
    "%s: Null pointer!",
    "%s: Unimplemented opcode encountered!",
    "%s: Unimplemented Code Required!",
    "%s: Bad Parameter!",
    "%s: Bad Function Call!",
};
constexpr int kMessageCount = static_cast<int>(sizeof kMessages / sizeof kMessages[0]);

struct MacErrorState {
  int code = 0;
  char message[kMacMessageSize] = {};
};

MacErrorState& state() {
  // One per thread: frames worked on side by side keep their own errors;
  // a program of one thread has exactly one.
  thread_local MacErrorState s;
  return s;
}

// Appends at most what still fits before the terminator; the message is cut,
// never written past the buffer.
void append(char* buf, size_t& used, const char* text, size_t n) {
  size_t room = kMacMessageSize - 1 - used;
  if (n > room) n = room;
  std::memcpy(buf + used, text, n);
  used += n;
}

}  // namespace

void MacSetError(int code, const char* text) {
  MacErrorState& s = state();
  s.code = code;
  const char* format = code >= 0 && code < kMessageCount ? kMessages[code] : "Unknown error";
  // The text is substituted, never interpreted: a "%" in a file name stays
  // a "%".
  size_t used = 0;
  const char* hole = std::strstr(format, "%s");
  if (!hole) {
    append(s.message, used, format, std::strlen(format));
  } else {
    if (!text) text = "";
    append(s.message, used, format, static_cast<size_t>(hole - format));
    append(s.message, used, text, std::strlen(text));
    append(s.message, used, hole + 2, std::strlen(hole + 2));
  }
  s.message[used] = '\0';
}

std::string MacErrorLine(const std::string& message) {
  return "ERROR ====> " + message + " <==== ERROR";
}

void MacPrintError() {
  MacErrorState& s = state();
  kx_print(Stream::Err, MacErrorLine(s.message) + "\n");
  s.code = 0;
}

void MacClearError() {
  state().code = 0;
}

int MacError() {
  return state().code;
}

const char* MacGetError() {
  return state().message;
}

}  // namespace kx
