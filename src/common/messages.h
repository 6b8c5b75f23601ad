// Where the tools' progress messages and diagnostics go.
//
// Every message the tools print goes through kx_print (the engine prints
// nothing: its events come back to its caller): straight to the standard
// error stream (or, for the few lines that go there, the standard output),
// unless the calling thread holds a MessageBuffer, which keeps the messages
// in order until they are replayed. A frame that is worked on beside others
// keeps its messages this way and they reach the streams in frame order; a
// front end that words its own diagnostics takes them from the buffer
// instead.
//
// Stands on: the standard library only.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kx {

enum class Stream { Out, Err };
using HeldMessages = std::vector<std::pair<Stream, std::string>>;

void kx_print(Stream stream, std::string_view text);
// printf-style; the formatted text goes through kx_print.
void kx_printf(Stream stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Standard error, the stream of nearly every message.
inline void kx_note(std::string_view text) {
  kx_print(Stream::Err, text);
}

// Prints held messages through kx_print, in order, on the calling thread.
void kx_replay(const HeldMessages& messages);

// While alive, holds every message printed on the thread that made it
// (buffers nest: the newest one holds). Messages still held when it is
// destroyed are dropped.
class MessageBuffer {
 public:
  MessageBuffer();
  ~MessageBuffer();
  MessageBuffer(const MessageBuffer&) = delete;
  MessageBuffer& operator=(const MessageBuffer&) = delete;

  // Prints the held messages, in order, to where they would have gone
  // without this buffer, and forgets them.
  void replay();
  // The held messages, which the buffer forgets (to be replayed elsewhere).
  HeldMessages take();
  // The held text of one stream, in order.
  std::string text(Stream stream) const;
  bool empty() const { return held_.empty(); }
  void clear() { held_.clear(); }
  void append(Stream stream, std::string_view text);

 private:
  MessageBuffer* outer_;
  HeldMessages held_;
};

}  // namespace kx
