// The TIFF reader on untrusted files: the IFDs, every layout and compression
// it takes, the first few pages, each expanded to RGB.
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kxfuzz::readFrames(
      4, [&] { return kx::openTiff("fuzz.tif", std::vector<uint8_t>(data, data + size)); },
      [](const kx::Image& page) {
        if (page.channels < 1 || page.channels > 4) return false;
        kxfuzz::seeImage(kx::expandToRgb(page, true));
        return true;
      });
  return 0;
}
