// Streams of frames from untrusted bytes: YUV4MPEG2 headers, FRAME lines and
// planes of every colour space, and netpbm images one after another, each
// told by openFrames as kxquant tells them. Refusals (ConvError) are the
// expected outcome for most inputs; anything else is a fault.
#include <cstdint>
#include <string>

#include "common/pixel_limit.h"
#include "imageio/imageio_pvt.h"
#include "workdir.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Frames up to the full limit cost a second an input and prove nothing more.
  kx::kx_setMaxPixels(1 << 20);
  const std::string name = kxfuzz::workDir("y4m") + "/f";
  kxfuzz::writeInput(name, data, size);
  try {
    kx::InputFile file(name);
    std::unique_ptr<kx::FrameSource> source = kx::openFrames(file);
    if (!source) return 0;
    kx::Image frame;
    for (int i = 0; i < 8 && source->next(frame); ++i) {
      const size_t expected = frame.pixelCount() * static_cast<size_t>(frame.channels);
      if (frame.samples.size() != expected || frame.width < 1 || frame.height < 1) __builtin_trap();
    }
  } catch (const kx::ConvError&) {
  }
  return 0;
}
