// The JPEG reader on untrusted files.
#include <cstdint>
#include <vector>

#include "frames.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const kx::Image image = kx::decodeJpeg("fuzz.jpg", std::vector<uint8_t>(data, data + size));
    if (!kxfuzz::samplesFit(image) || (image.channels != 1 && image.channels != 3))
      __builtin_trap();
  } catch (const kx::ConvError&) {
  }
  return 0;
}
