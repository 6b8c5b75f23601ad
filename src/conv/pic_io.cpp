// .pic pictures through the picture-file library (layout in
// src/picture/header.cpp and scanline.cpp).
//
// An image becomes a picture with red, green and blue channels (grey spread
// to all three, palette indices looked up), plus an alpha channel when the
// image has one; it is written with the default packets and mixed run-length
// coding, as kxreduce writes its pictures. A picture read back must have red,
// green and blue channels; its alpha channel, when present, is kept.
#include <cerrno>
#include <cstring>

#include "conv/conv.h"

namespace kx {

Image imageFromPicture(const std::string& name, const Picture& picture) {
  checkGeometry(name, picture.width, picture.height);
  static constexpr const char* kNames[] = {"red", "green", "blue"};
  for (int c = 0; c < 3; ++c) {
    if (!picture.channel[c])
      throw ConvError(name + ": the picture has no " + kNames[c] + " channel");
  }
  Image image;
  image.width = picture.width;
  image.height = picture.height;
  image.channels = picture.channel[3] ? 4 : 3;
  const size_t n = image.pixelCount();
  image.samples.resize(n * image.channels);
  for (int c = 0; c < image.channels; ++c) {
    const uint8_t* src = picture.channel[c].get();
    uint8_t* dst = image.samples.data() + c;
    for (size_t i = 0; i < n; ++i, dst += image.channels) *dst = src[i];
  }
  return image;
}

PicturePtr pictureFromImage(const Image& image) {
  const Image rgb = expandToRgb(image, true);
  auto picture = QZ_pictureAllocate();
  if (!picture) throw std::bad_alloc();
  picture->width = static_cast<int16_t>(rgb.width);
  picture->height = static_cast<int16_t>(rgb.height);
  const size_t n = rgb.pixelCount();
  for (int c = 0; c < rgb.channels; ++c) {
    picture->channel[c] = std::make_unique_for_overwrite<uint8_t[]>(n);
    const uint8_t* src = rgb.samples.data() + c;
    uint8_t* dst = picture->channel[c].get();
    for (size_t i = 0; i < n; ++i, src += rgb.channels) dst[i] = *src;
  }
  return picture;
}

Image readPicFile(const std::string& path) {
  // The library says only "no picture"; opening the file first tells a
  // missing or unreadable file from a damaged one.
  std::FILE* probe = std::fopen(path.c_str(), "rb");
  if (!probe) throw ConvError(path + ": cannot open: " + std::strerror(errno));
  std::fclose(probe);
  PicturePtr picture = QZ_pictureReadFile(path);
  if (!picture) {
    throw ConvError(path + ": not a valid .pic picture file (bad header or channel packets)");
  }
  return imageFromPicture(path, *picture);
}

void writePicFile(const std::string& path, const Image& image) {
  checkGeometry(path, image.width, image.height);
  PicturePtr picture = pictureFromImage(image);
  if (!QZ_pictureWriteFile(path, *picture, nullptr, 0)) {
    throw ConvError(path + ": cannot write: " + std::strerror(errno));
  }
}

}  // namespace kx
