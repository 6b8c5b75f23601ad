// Helpers shared by the picture-file tests.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "picture/picture.h"
#include "picture/picture_pvt.h"

namespace kx::test {

using Pixel = std::array<uint8_t, 4>;
using Bytes = std::vector<uint8_t>;

template <class T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The header and packet list written for the picture (no packets: its
// default list).
inline Bytes headerOf(const Picture& pic, ChannelPacketList packets = {}) {
  PictureOutStream out;
  QZ_pictureWriteStreamHeader(out, pic, packets, 0);
  return Bytes(out.bytes().begin(), out.bytes().end());
}

// Each pixel repeats its left neighbour with the given percentage, and is
// random otherwise: runs of every length for the coders.
inline std::vector<Pixel> randomRow(std::mt19937_64& rng, size_t width, int repeatPercent) {
  std::vector<Pixel> row(width);
  for (size_t x = 0; x < width; ++x)
    if (x > 0 && static_cast<int>(rng() % 100) < repeatPercent)
      row[x] = row[x - 1];
    else
      for (auto& s : row[x]) s = static_cast<uint8_t>(rng());
  return row;
}

// A picture with the given channels (bit c = channel c) from randomRow().
inline PicturePtr randomPicture(uint64_t seed, int width, int height, unsigned channels,
                                int repeatPercent) {
  std::mt19937_64 rng(seed);
  auto pic = std::make_unique<Picture>();
  pic->width = static_cast<int16_t>(width);
  pic->height = static_cast<int16_t>(height);
  pic->ratio = 0.75f;
  pic->fields = 3;
  const size_t plane = static_cast<size_t>(width) * static_cast<size_t>(height);
  const auto pixels = randomRow(rng, plane, repeatPercent);
  for (int c = 0; c < 4; ++c) {
    if (!(channels & (1u << c))) continue;
    pic->channel[c] = std::make_unique<uint8_t[]>(plane + 1);
    for (size_t i = 0; i < plane; ++i) pic->channel[c][i] = pixels[i][c];
  }
  return pic;
}

}  // namespace kx::test
