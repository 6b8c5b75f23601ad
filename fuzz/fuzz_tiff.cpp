// The TIFF reader on untrusted files: the IFDs, every layout and compression
// it takes, the first few pages. Refusals (ConvError) are the expected
// outcome for most inputs; anything else is a fault.
#include <cstdint>
#include <vector>

#include "imageio/imageio_pvt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kx::kx_setMaxPixels(1 << 20);
  try {
    std::unique_ptr<kx::FrameSource> source =
        kx::openTiff("fuzz.tif", std::vector<uint8_t>(data, data + size));
    kx::Image page;
    for (int i = 0; i < 4 && source->next(page); ++i) {
      const size_t expected = page.pixelCount() * static_cast<size_t>(page.channels);
      if (page.samples.size() != expected || page.channels < 1 || page.channels > 4)
        __builtin_trap();
      (void)kx::expandToRgb(page, true);
    }
  } catch (const kx::ConvError&) {
  }
  return 0;
}
