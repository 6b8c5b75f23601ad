// Test pictures written as real picture files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "picture/picture.h"

namespace kx {

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
