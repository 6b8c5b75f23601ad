// The GIF reader on untrusted files: the blocks, the LZW data, every frame of
// an animation composed (at most a few, each checked).
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kxfuzz::readFrames(
      4, [&] { return kx::openGif("fuzz.gif", std::vector<uint8_t>(data, data + size)); },
      [](const kx::Image& frame) { return frame.channels == 3 || frame.channels == 4; });
  return 0;
}
