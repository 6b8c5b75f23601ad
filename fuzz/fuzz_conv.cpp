// kxconv's readers of untrusted files: PNG, netpbm and .icn. The first byte
// picks the reader, the rest is the file.
#include "fuzz.h"
#include "output/output.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::vector<uint8_t> bytes(data + 1, data + size);
  kxfuzz::refusedOr([&] {
    if (data[0] % 3 == 2) {
      const kx::Result<kx::IconImage> icon = kx::decodeIcon("fuzz.icn", bytes);
      if (icon) kxfuzz::seeBytes(icon->indices.data(), icon->indices.size());
      if (!icon) kxfuzz::seeWords(icon.error().message);
      return !icon || icon->indices.size() == static_cast<size_t>(icon->width) * icon->height;
    }
    const kx::Image image =
        data[0] % 3 == 0 ? kx::decodePng("fuzz.png", bytes) : kx::decodePnm("fuzz.pnm", bytes);
    if (!kxfuzz::samplesFit(image)) return false;
    kxfuzz::seeImage(kx::expandToRgb(image, true));
    return true;
  });
  return 0;
}
