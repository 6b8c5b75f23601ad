// kxconv's readers of untrusted files: PNG, netpbm and .icn. The first byte
// picks the reader, the rest is the file. Refusals (ConvError, an Error) are
// the expected outcome for most inputs; anything else is a fault.
#include <cstdint>
#include <vector>

#include "frames.h"
#include "output/output.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::vector<uint8_t> bytes(data + 1, data + size);
  try {
    kx::Image image;
    switch (data[0] % 3) {
      case 0:
        image = kx::decodePng("fuzz.png", bytes);
        break;
      case 1:
        image = kx::decodePnm("fuzz.pnm", bytes);
        break;
      default: {
        const kx::Result<kx::IconImage> icon = kx::decodeIcon("fuzz.icn", bytes);
        if (icon && icon->indices.size() != static_cast<size_t>(icon->width) * icon->height)
          __builtin_trap();
        return 0;
      }
    }
    if (!kxfuzz::samplesFit(image)) __builtin_trap();
    (void)kx::expandToRgb(image, true);
  } catch (const kx::ConvError&) {
  }
  return 0;
}
