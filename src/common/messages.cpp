#include "common/messages.h"

#include <cstdarg>
#include <cstdio>

namespace kx {

namespace {

thread_local MessageBuffer* tCurrent = nullptr;

void write(Stream stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream == Stream::Out ? stdout : stderr);
}

}  // namespace

void kx_print(Stream stream, std::string_view text) {
  if (tCurrent) {
    tCurrent->append(stream, text);
  } else {
    write(stream, text);
  }
}

void kx_printf(Stream stream, const char* format, ...) {
  char small[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (n < 0) {
    va_end(again);
    return;
  }
  if (static_cast<size_t>(n) < sizeof small) {
    va_end(again);
    kx_print(stream, std::string_view(small, static_cast<size_t>(n)));
    return;
  }
  std::string large(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(large.data(), large.size(), format, again);
  va_end(again);
  large.pop_back();
  kx_print(stream, large);
}

MessageBuffer::MessageBuffer() : outer_(tCurrent) {
  tCurrent = this;
}

MessageBuffer::~MessageBuffer() {
  // Buffers end in the reverse order of their making on one thread.
  if (tCurrent == this) tCurrent = outer_;
}

void MessageBuffer::append(Stream stream, std::string_view text) {
  // Consecutive pieces of one stream are kept as one.
  if (!held_.empty() && held_.back().first == stream) {
    held_.back().second.append(text);
  } else {
    held_.emplace_back(stream, std::string(text));
  }
}

void MessageBuffer::replay() {
  const HeldMessages held = take();
  if (tCurrent == this) {
    tCurrent = outer_;
    kx_replay(held);
    tCurrent = this;
  } else {
    kx_replay(held);
  }
}

HeldMessages MessageBuffer::take() {
  HeldMessages held;
  held.swap(held_);
  return held;
}

void kx_replay(const HeldMessages& messages) {
  for (const auto& [stream, text] : messages) kx_print(stream, text);
}

std::string MessageBuffer::text(Stream stream) const {
  std::string all;
  for (const auto& [s, text] : held_) {
    if (s == stream) all += text;
  }
  return all;
}

}  // namespace kx
