// The GIF reader on untrusted files: the blocks, the LZW data, every frame of
// an animation composed (at most a few, each checked). Refusals (ConvError) are the
// expected outcome for most inputs; anything else is a fault.
#include <cstdint>
#include <vector>

#include "imageio/imageio_pvt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Canvases up to the full limit cost a second an input and prove nothing more.
  kx::kx_setMaxPixels(1 << 20);
  try {
    std::unique_ptr<kx::FrameSource> source =
        kx::openGif("fuzz.gif", std::vector<uint8_t>(data, data + size));
    kx::Image frame;
    for (int i = 0; i < 4 && source->next(frame); ++i) {
      const size_t expected = frame.pixelCount() * static_cast<size_t>(frame.channels);
      if (frame.samples.size() != expected || (frame.channels != 3 && frame.channels != 4))
        __builtin_trap();
    }
  } catch (const kx::ConvError&) {
  }
  return 0;
}
