// What the fuzz targets share: a scratch directory for the readers that take
// file names, and what the readers of untrusted images promise: a refusal
// (ConvError), the expected outcome for most inputs, or images whose samples
// fill their size. What a target makes of an input (the images, the values
// read, the refusal's words) is folded into one number that the corpus replay
// pins per file, so a reader that reads a file differently is seen.
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

inline uint64_t seen = 0;
inline bool pinning = false;  // set by the replay: libFuzzer's runs leave the fold out

inline void seeBytes(const void* data, size_t size) {
  for (size_t i = 0; pinning && i < size; ++i)
    seen = (seen ^ static_cast<const uint8_t*>(data)[i]) * 1099511628211u;
}

template <class... T>
void see(T... values) {
  (seeBytes(&values, sizeof values), ...);
}

inline void seeImage(const kx::Image& image) {
  const kx::ImageMetadata& m = image.metadata;
  see(image.width, image.height, image.channels, image.transparentIndex, m.srgbIntent, m.gamma,
      m.chromaticities, m.pixelsPerUnitX, m.pixelsPerUnitY, m.perMetre, m.orientation);
  for (const auto* bytes : {&image.samples, &image.paletteAlpha, &m.iccProfile})
    seeBytes(bytes->data(), bytes->size());
  seeBytes(image.palette.data(), image.palette.size() * 3);
}

inline std::string scratch;  // the directory workDir made

// Words, without the scratch directory's random name.
inline void seeWords(std::string words) {
  for (size_t at; !scratch.empty() && (at = words.find(scratch)) != words.npos;)
    words.erase(at, scratch.size());
  seeBytes(words.data(), words.size());
}

// One scratch directory per fuzzing process, removed with everything in it
// when the process ends.
inline const std::string& workDir(const char* tag) {
  struct Dir {
    std::string path;
    explicit Dir(const char* tag)
        : path((std::filesystem::temp_directory_path() / "kxfuzz-").string() + tag + "-XXXXXX") {
      if (!mkdtemp(path.data())) std::abort();
      scratch = path;
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
  seeImage(image);
  return image.samples.size() == image.pixelCount() * static_cast<size_t>(image.channels);
}

// Runs `read`: a refusal (ConvError) or true is the reader keeping its word;
// false, or anything else, is a fault.
template <class Read>
void refusedOr(Read read) {
  try {
    if (!read()) __builtin_trap();
  } catch (const kx::ConvError& e) {
    seeWords(e.what());
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
