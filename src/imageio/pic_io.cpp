// .pic pictures through the picture-file library (layout in
// src/picture/header.cpp and scanline.cpp).
//
// An image becomes a picture with red, green and blue channels (grey spread
// to all three, palette indices looked up), plus an alpha channel when the
// image has one; it is written with the default packets and mixed run-length
// coding, as kxreduce writes its pictures. A picture read back must have red,
// green and blue channels; its alpha channel, when present, is kept.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/threads.h"
#include "imageio/imageio_pvt.h"

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
  kx_forStripes(static_cast<int64_t>(n), kStripePixels, [&](size_t begin, size_t end) {
    for (int c = 0; c < image.channels; ++c) {
      const uint8_t* src = picture.channel[c].get();
      uint8_t* dst = image.samples.data() + begin * image.channels + c;
      for (size_t i = begin; i < end; ++i, dst += image.channels) *dst = src[i];
    }
  });
  return image;
}

PicturePtr pictureFromImage(const Image& image) {
  auto picture = QZ_pictureAllocate();
  if (!picture) throw std::bad_alloc();
  picture->width = static_cast<int16_t>(image.width);
  picture->height = static_cast<int16_t>(image.height);
  const size_t n = image.pixelCount();
  const int planes = image.hasAlpha() ? 4 : 3;
  for (int c = 0; c < planes; ++c)
    picture->channel[c] = std::make_unique_for_overwrite<uint8_t[]>(n);
  uint8_t* const out[4] = {picture->channel[0].get(), picture->channel[1].get(),
                           picture->channel[2].get(), picture->channel[3].get()};
  // Straight from the image's samples into the planes: grey is spread to the
  // three colours, indices are looked up.
  const uint8_t* src = image.samples.data();
  kx_forStripes(static_cast<int64_t>(n), kStripePixels, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      if (image.indexed()) {
        // Readers check every index against the palette; the guard keeps a
        // careless caller from reading past it all the same.
        const auto& colour = image.palette[src[i] < image.palette.size() ? src[i] : 0];
        for (int c = 0; c < 3; ++c) out[c][i] = colour[c];
        continue;
      }
      const uint8_t* p = src + i * image.channels;
      if (image.channels <= 2) {
        out[0][i] = out[1][i] = out[2][i] = p[0];
        if (planes == 4) out[3][i] = p[1];
      } else {
        for (int c = 0; c < planes; ++c) out[c][i] = p[c];
      }
    }
  });
  return picture;
}

Image readPicFile(InputFile& file) {
  const std::string& path = file.path();
  std::vector<uint8_t> bytes;
  file.readUpTo(bytes, kPictureHeaderMost);
  PictureFileExtent extent;
  if (!QZ_pictureFileExtent(bytes, &extent)) {
    throw ConvError(path + ": not a valid .pic picture file (bad header or channel packets)");
  }
  checkGeometry(path, extent.width, extent.height);
  // The file must hold every scanline before the picture is allocated; a
  // pipe is read no further than the longest the scanlines can be.
  const int64_t size = file.size();
  if (size < 0 || static_cast<uint64_t>(size) >= extent.least) {
    file.readUpTo(bytes, extent.most);
  }
  const uint64_t held = size >= 0 ? static_cast<uint64_t>(size) : bytes.size();
  if (held < extent.least) {
    throw ConvError(path + ": the file is cut short (" + std::to_string(held) + " bytes; its " +
                    std::to_string(extent.width) + " x " + std::to_string(extent.height) +
                    " picture takes at least " + std::to_string(extent.least) + ")");
  }
  ReadRefusal refusal;
  PicturePtr picture = QZ_pictureReadMemory(bytes, &refusal);
  if (!picture && refusal) throw ConvError(kx_readRefusalText(path, refusal));
  if (!picture) {
    throw ConvError(path + ": not a valid .pic picture file (bad header or channel packets)");
  }
  bytes = {};
  return imageFromPicture(path, *picture);
}

Image readPicFile(const std::string& path) {
  InputFile file(path);
  return readPicFile(file);
}

void writePicFile(const std::string& path, const Image& image) {
  checkGeometry(path, image.width, image.height);
  PicturePtr picture = pictureFromImage(image);
  writePicFile(path, *picture);
}

void writePicFile(const std::string& path, Picture& picture) {
  if (!QZ_pictureWriteFile(path, picture, nullptr, 0)) {
    throw ConvError(path + ": cannot write: " + std::strerror(errno));
  }
}

}  // namespace kx
