// The JPEG reader on untrusted files.
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kxfuzz::refusedOr([&] {
    const kx::Image image = kx::decodeJpeg("fuzz.jpg", std::vector<uint8_t>(data, data + size));
    return kxfuzz::samplesFit(image) && (image.channels == 1 || image.channels == 3);
  });
  return 0;
}
