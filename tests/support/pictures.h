// Test pictures written as real picture files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "picture/picture.h"

namespace kx {

enum class PixelAlpha { none, binary, soft };

// RGB or RGBA pixels: ramps with noise (`noisy`: more colours than the
// engine counts without compressing), with transparent pixels (binary) or
// alpha of every value (soft) in the lower part.
std::vector<uint8_t> testPixels(int width, int height, int seed, bool noisy,
                                PixelAlpha alpha = PixelAlpha::none);

// Writes the synthetic sample picture as name.pic.
void writeSamplePicture(const std::string& name, int width, int height, uint32_t seed = 1);

// A picture from interleaved RGB bytes (width × height × 3).
PicturePtr pictureFromRgb(int width, int height, const std::vector<uint8_t>& rgb);
void writeRgbPicture(const std::string& name, int width, int height,
                     const std::vector<uint8_t>& rgb);
// The interleaved RGB bytes of a picture file (empty when it cannot be read).
std::vector<uint8_t> readRgbPicture(const std::string& name, int* width = nullptr,
                                    int* height = nullptr);

}  // namespace kx
