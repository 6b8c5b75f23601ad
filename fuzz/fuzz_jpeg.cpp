// The JPEG reader on untrusted files. Refusals (ConvError) are the expected
// outcome for most inputs; anything else is a fault.
#include <cstdint>
#include <vector>

#include "imageio/imageio_pvt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  try {
    const kx::Image image = kx::decodeJpeg("fuzz.jpg", bytes);
    const size_t expected = image.pixelCount() * static_cast<size_t>(image.channels);
    if (image.samples.size() != expected || (image.channels != 1 && image.channels != 3))
      __builtin_trap();
  } catch (const kx::ConvError&) {
  }
  return 0;
}
