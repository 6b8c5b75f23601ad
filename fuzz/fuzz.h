// What the fuzz targets share: a scratch directory for the readers that take
// file names, and what the readers of untrusted images promise: a refusal
// (ConvError), the expected outcome for most inputs, or images whose samples
// fill their size.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "imageio/imageio_pvt.h"

namespace kxfuzz {

// One scratch directory per fuzzing process, removed with everything in it
// when the process ends.
inline const std::string& workDir(const char* tag) {
  struct Dir {
    std::string path;
    explicit Dir(const char* tag)
        : path((std::filesystem::temp_directory_path() / "kxfuzz-").string() + tag + "-XXXXXX") {
      if (!mkdtemp(path.data())) std::abort();
    }
    ~Dir() { std::filesystem::remove_all(path, ignored); }
    std::error_code ignored;
  };
  static const Dir dir(tag);
  return dir.path;
}

inline void writeInput(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

inline bool samplesFit(const kx::Image& image) {
  return image.samples.size() == image.pixelCount() * static_cast<size_t>(image.channels);
}

// Runs `read`: a refusal (ConvError) or true is the reader keeping its word;
// false, or anything else, is a fault.
template <class Read>
void refusedOr(Read read) {
  try {
    if (!read()) __builtin_trap();
  } catch (const kx::ConvError&) {
  }
}

// Reads at most `count` frames of the source `open` gives (none when it gives
// none), each checked by samplesFit and `check`. Canvases up to the full
// limit cost a second an input and prove nothing more: the limit is lowered
// to a megapixel.
template <class Open, class Check>
void readFrames(int count, Open open, Check check) {
  kx::kx_setMaxPixels(1 << 20);
  refusedOr([&] {
    const std::unique_ptr<kx::FrameSource> source = open();
    kx::Image frame;
    for (int i = 0; source && i < count && source->next(frame); ++i)
      if (!samplesFit(frame) || !check(frame)) return false;
    return true;
  });
}

}  // namespace kxfuzz
