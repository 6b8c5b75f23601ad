// Streams of frames from untrusted bytes: YUV4MPEG2 headers, FRAME lines and
// planes of every colour space, and netpbm images one after another, each
// told by openFrames as kxquant tells them.
#include <optional>

#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string name = kxfuzz::workDir("y4m") + "/f";
  kxfuzz::writeInput(name, data, size);
  std::optional<kx::InputFile> file;  // outlives the source reading it
  kxfuzz::readFrames(
      8, [&] { return kx::openFrames(file.emplace(name)); },
      [](const kx::Image& frame) { return frame.width >= 1 && frame.height >= 1; });
  return 0;
}
