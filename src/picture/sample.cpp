#include "picture/sample.h"

#include <algorithm>
#include <cmath>

namespace kx {

namespace {

// Small deterministic generator (xorshift32): the same picture on every host.
struct Rng {
  uint32_t s;
  uint32_t next() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
};

uint8_t clampByte(double v) {
  return static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
}

}  // namespace

PicturePtr makeSamplePicture(int width, int height, uint32_t seed) {
  auto pic = std::make_unique<Picture>();
  pic->width = static_cast<int16_t>(width);
  pic->height = static_cast<int16_t>(height);
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  for (int c = 0; c < 3; ++c) pic->channel[c] = std::make_unique<uint8_t[]>(n);
  Rng rng{seed ? seed : 1};
  const double cx = width * 0.62, cy = height * 0.42, radius = std::min(width, height) * 0.22;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double fy = height > 1 ? static_cast<double>(y) / (height - 1) : 0.0;
      const double fx = width > 1 ? static_cast<double>(x) / (width - 1) : 0.0;
      double r, g, b;
      if (fy < 0.6) {  // sky
        r = 90 + 100 * fy;
        g = 140 + 80 * fy;
        b = 230 - 40 * fy;
      } else {  // ground with stripes
        const double t = (fy - 0.6) / 0.4;
        r = 70 + 60 * t + 20 * std::sin(fx * 40 + t * 9);
        g = 120 - 40 * t + 15 * std::sin(fx * 23);
        b = 40 + 20 * t;
      }
      const double dx = x - cx, dy = y - cy, d = std::sqrt(dx * dx + dy * dy);
      if (d < radius) {  // a sphere lit from the upper left
        const double nz = std::sqrt(1.0 - (d / radius) * (d / radius));
        const double light = std::max(0.0, (-dx * 0.5 - dy * 0.6) / radius + nz * 0.7);
        r = 40 + 200 * light;
        g = 25 + 120 * light;
        b = 20 + 60 * light;
      }
      if (x > width / 8 && x < width / 3 && y > height / 2 && y < height * 9 / 10) {
        const double edge = std::min({x - width / 8.0, width / 3.0 - x}) / (width / 16.0 + 1);
        const double a = std::min(1.0, edge);
        r = r * (1 - a) + 200 * a;
        g = g * (1 - a) + 190 * a;
        b = b * (1 - a) + 170 * a;
      }
      const double noise = static_cast<int>(rng.next() % 7) - 3;
      const size_t i = static_cast<size_t>(y) * width + x;
      pic->channel[0][i] = clampByte(r + noise);
      pic->channel[1][i] = clampByte(g + noise);
      pic->channel[2][i] = clampByte(b + noise);
    }
  }
  return pic;
}

}  // namespace kx
