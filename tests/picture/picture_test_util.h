// Helpers shared by the picture-file tests.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "picture/picture.h"
#include "picture/picture_pvt.h"
#include "picture/reference_coder.h"

namespace kx::test {

using Pixel = std::array<uint8_t, 4>;
using Bytes = std::vector<uint8_t>;

struct Rng {
  std::mt19937_64 gen;
  explicit Rng(uint64_t seed) : gen(seed) {}
  uint64_t next() { return gen(); }
  int below(int n) { return static_cast<int>(gen() % static_cast<uint64_t>(n)); }
};

template <class T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A row of pixels in which each repeats its left neighbour with the given
// percentage, and is random otherwise.
inline std::vector<Pixel> randomRow(Rng& rng, int width, int repeatPercent) {
  std::vector<Pixel> row(static_cast<size_t>(width));
  for (int x = 0; x < width; ++x)
    if (x > 0 && rng.below(100) < repeatPercent)
      row[x] = row[x - 1];
    else
      for (auto& s : row[x]) s = static_cast<uint8_t>(rng.next());
  return row;
}

// Encodes one segment of the first n channels with the library or the reference.
inline Bytes encode(bool reference, int type, const std::vector<Pixel>& pixels, int n) {
  std::array<Bytes, 4> planes;
  const uint8_t* in[4];
  for (int c = 0; c < 4; ++c) {
    planes[c].resize(pixels.size() + 1);  // never empty
    for (size_t x = 0; x < pixels.size(); ++x) planes[c][x] = pixels[x][c];
    in[c] = planes[c].data();
  }
  const auto width = static_cast<int16_t>(pixels.size());
  if (reference) {
    ref::Out out;
    ref::write(type, out, width, n, in);
    return out.bytes;
  }
  PictureOutStream out;
  if (type == 0) QZ_scanlineWriteUncompressed(out, width, n, in);
  if (type == 1) QZ_scanlineWritePureRunLength(out, width, n, in);
  if (type == 2) QZ_scanlineWriteMixedRunLength(out, width, n, in);
  return Bytes(out.bytes().begin(), out.bytes().end());
}

// A picture record with the given channels (bit c = channel c) from randomRow().
inline PicturePtr randomPicture(Rng& rng, int width, int height, unsigned channels,
                                int repeatPercent) {
  auto pic = std::make_unique<Picture>();
  pic->width = static_cast<int16_t>(width);
  pic->height = static_cast<int16_t>(height);
  pic->ratio = 0.75f;
  pic->fields = 3;
  const size_t plane = static_cast<size_t>(width) * static_cast<size_t>(height);
  for (int c = 0; c < 4; ++c)
    if (channels & (1u << c)) pic->channel[c] = std::make_unique<uint8_t[]>(plane);
  const auto pixels = randomRow(rng, static_cast<int>(plane), repeatPercent);
  for (int c = 0; c < 4; ++c)
    for (size_t i = 0; i < plane && pic->channel[c]; ++i) pic->channel[c][i] = pixels[i][c];
  return pic;
}

}  // namespace kx::test
