// What the readers of untrusted images promise: a refusal (ConvError), the
// expected outcome for most inputs, or images whose samples fill their size.
#pragma once

#include <cstdint>
#include <memory>

#include "imageio/imageio_pvt.h"

namespace kxfuzz {

inline bool samplesFit(const kx::Image& image) {
  return image.samples.size() == image.pixelCount() * static_cast<size_t>(image.channels);
}

// Reads at most `count` frames of the source `open` gives (none when it gives
// none), each checked by samplesFit and `check`; anything else is a fault.
// Canvases up to the full limit cost a second an input and prove nothing
// more: the limit is lowered to a megapixel.
template <class Open, class Check>
void readFrames(int count, Open open, Check check) {
  kx::kx_setMaxPixels(1 << 20);
  try {
    const std::unique_ptr<kx::FrameSource> source = open();
    kx::Image frame;
    for (int i = 0; source && i < count && source->next(frame); ++i)
      if (!samplesFit(frame) || !check(frame)) __builtin_trap();
  } catch (const kx::ConvError&) {
  }
}

}  // namespace kxfuzz
