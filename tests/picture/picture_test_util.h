// Helpers shared by the picture-file tests: pixel rows, random pictures with
// runs in them, and running one coder or decoder on a segment.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "picture/picture.h"
#include "picture/picture_pvt.h"
#include "picture/reference_coder.h"

namespace kx::test {

using Pixel = std::array<uint8_t, 4>;
using Bytes = std::vector<uint8_t>;

// Deterministic generator (splitmix64), so that failures reproduce.
struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed) {}
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
};

// Channel-major samples of a row of pixels: planes[c][x].
struct Planes {
  std::array<Bytes, 4> planes;
  int width = 0;
  Planes(const std::vector<Pixel>& pixels, int n) : width(static_cast<int>(pixels.size())) {
    for (int c = 0; c < 4; ++c) {
      planes[c].resize(pixels.size() + 1);  // never empty, so data() is usable
      for (size_t x = 0; x < pixels.size(); ++x) planes[c][x] = c < n ? pixels[x][c] : 0;
    }
  }
  std::array<const uint8_t*, 4> in() const {
    return {planes[0].data(), planes[1].data(), planes[2].data(), planes[3].data()};
  }
  std::array<uint8_t*, 4> out() {
    return {planes[0].data(), planes[1].data(), planes[2].data(), planes[3].data()};
  }
};

// A row of pixels with runs: each pixel repeats its left neighbour with the
// given percentage, otherwise it is drawn from a small palette (so equal
// pixels also turn up apart) or at random.
inline std::vector<Pixel> randomRow(Rng& rng, int width, int repeatPercent) {
  std::vector<Pixel> row(static_cast<size_t>(width));
  Pixel palette[3];
  for (auto& p : palette)
    for (auto& s : p) s = static_cast<uint8_t>(rng.next());
  for (int x = 0; x < width; ++x) {
    if (x > 0 && rng.below(100) < repeatPercent) {
      row[x] = row[x - 1];
    } else if (rng.below(4) == 0) {
      row[x] = palette[rng.below(3)];
    } else {
      for (auto& s : row[x]) s = static_cast<uint8_t>(rng.next());
    }
  }
  return row;
}

inline std::vector<Pixel> repeatPixel(const Pixel& p, int count) {
  return std::vector<Pixel>(static_cast<size_t>(count), p);
}

// count pixels of which no two neighbours are equal.
inline std::vector<Pixel> distinctPixels(int count, int n) {
  std::vector<Pixel> row;
  for (int i = 0; i < count; ++i) {
    Pixel p{};
    for (int c = 0; c < n; ++c) p[c] = static_cast<uint8_t>(i * 7 + c);
    row.push_back(p);
  }
  return row;
}

inline Bytes encodeFast(int type, const std::vector<Pixel>& pixels, int n) {
  Planes planes(pixels, n);
  auto in = planes.in();
  PictureOutStream out;
  const auto width = static_cast<int16_t>(pixels.size());
  if (type == 0) QZ_scanlineWriteUncompressed(out, width, n, in.data());
  if (type == 1) QZ_scanlineWritePureRunLength(out, width, n, in.data());
  if (type == 2) QZ_scanlineWriteMixedRunLength(out, width, n, in.data());
  return Bytes(out.bytes().begin(), out.bytes().end());
}

inline Bytes encodeReference(int type, const std::vector<Pixel>& pixels, int n) {
  Planes planes(pixels, n);
  auto in = planes.in();
  ref::Out out;
  const int width = static_cast<int>(pixels.size());
  if (type == 0) ref::writeUncompressed(out, width, n, in.data());
  if (type == 1) ref::writePureRunLength(out, width, n, in.data());
  if (type == 2) ref::writeMixedRunLength(out, width, n, in.data());
  return out.bytes;
}

// The bytes of one pixel followed by more: px(A) + ...
inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Bytes pixelBytes(const Pixel& p, int n) {
  return Bytes(p.begin(), p.begin() + n);
}

inline Bytes pixelsBytes(const std::vector<Pixel>& row, int n) {
  Bytes b;
  for (const Pixel& p : row) b = b + pixelBytes(p, n);
  return b;
}

// A picture record with the given channels (bit c of `channels` = channel c)
// filled from rows of randomRow().
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
  for (int y = 0; y < height; ++y) {
    const auto row = randomRow(rng, width, repeatPercent);
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < 4; ++c)
        if (pic->channel[c]) pic->channel[c][static_cast<size_t>(y) * width + x] = row[x][c];
  }
  return pic;
}

inline ref::Image toImage(const Picture& pic) {
  ref::Image im;
  im.width = pic.width;
  im.height = pic.height;
  im.ratio = pic.ratio;
  im.fields = pic.fields;
  const size_t plane = static_cast<size_t>(pic.width) * static_cast<size_t>(pic.height);
  for (int c = 0; c < 4; ++c) {
    if (!pic.channel[c]) continue;
    im.has[c] = true;
    im.channel[c].assign(pic.channel[c].get(), pic.channel[c].get() + plane);
  }
  return im;
}

}  // namespace kx::test
