#include "support/pictures.h"

#include <stdexcept>

#include "picture/sample.h"

namespace kx {

void writeSamplePicture(const std::string& name, int width, int height, uint32_t seed) {
  if (!QZ_pictureWriteFile(name, *makeSamplePicture(width, height, seed), nullptr, 0))
    throw std::runtime_error("cannot write " + name);
}

PicturePtr pictureFromRgb(int width, int height, const std::vector<uint8_t>& rgb) {
  auto pic = std::make_unique<Picture>();
  pic->width = static_cast<int16_t>(width);
  pic->height = static_cast<int16_t>(height);
  const size_t n = static_cast<size_t>(width) * height;
  for (int c = 0; c < 3; ++c) {
    pic->channel[c] = std::make_unique<uint8_t[]>(n);
    for (size_t i = 0; i < n; ++i) pic->channel[c][i] = rgb[3 * i + c];
  }
  return pic;
}

void writeRgbPicture(const std::string& name, int width, int height,
                     const std::vector<uint8_t>& rgb) {
  if (!QZ_pictureWriteFile(name, *pictureFromRgb(width, height, rgb), nullptr, 0))
    throw std::runtime_error("cannot write " + name);
}

std::vector<uint8_t> readRgbPicture(const std::string& name, int* width, int* height) {
  PicturePtr pic = QZ_pictureReadFile(name);
  if (!pic) return {};
  const size_t n = static_cast<size_t>(pic->width) * pic->height;
  std::vector<uint8_t> rgb(3 * n);
  for (int c = 0; c < 3; ++c) {
    if (!pic->channel[c]) return {};
    for (size_t i = 0; i < n; ++i) rgb[3 * i + c] = pic->channel[c][i];
  }
  if (width) *width = pic->width;
  if (height) *height = pic->height;
  return rgb;
}

std::vector<uint8_t> testPixels(int width, int height, int seed, bool noisy, PixelAlpha alpha) {
  std::vector<uint8_t> out;
  uint32_t s = static_cast<uint32_t>(seed) * 2654435761u + 1;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      s = s * 1664525 + 1013904223;
      const int n = noisy ? static_cast<int>(s >> 24) : static_cast<int>(s >> 30);
      out.push_back(static_cast<uint8_t>(x * 255 / width ^ (n & 63)));
      out.push_back(static_cast<uint8_t>(y * 255 / height ^ (n >> 2)));
      out.push_back(static_cast<uint8_t>((x + 2 * y + seed * 40) ^ n));
      if (alpha == PixelAlpha::none) continue;
      const bool lower = y > height / 2;
      if (alpha == PixelAlpha::binary) out.push_back(lower && (x / 5 + y / 3) % 3 == 0 ? 0 : 255);
      if (alpha == PixelAlpha::soft)
        out.push_back(lower ? static_cast<uint8_t>(x * 255 / width) : 255);
    }
  }
  return out;
}

}  // namespace kx
