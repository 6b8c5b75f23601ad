// Colours, histograms and colormaps: the values the colour reduction counts,
// chooses and writes.
//
// Stands on: the standard library only.
#pragma once

#include <cstdint>
#include <vector>

namespace kx {

struct Color {
  uint8_t red = 0;
  uint8_t green = 0;
  uint8_t blue = 0;
};

// A histogram entry; a colormap entry has the same layout (its count is
// never set or read). Colours are straight (not premultiplied); alpha is 255
// unless a picture with alpha was counted. The constructor keeps the order
// {red, green, blue, count} of the entries written before alpha had a place,
// while alpha sits in the padding before count: an entry stays 8 bytes.
struct HistogramEntry {
  uint8_t red = 0;
  uint8_t green = 0;
  uint8_t blue = 0;
  uint8_t alpha = 255;
  int32_t count = 0;

  constexpr HistogramEntry() = default;
  constexpr HistogramEntry(uint8_t r, uint8_t g, uint8_t b, int32_t n = 0, uint8_t a = 255)
      : red(r), green(g), blue(b), alpha(a), count(n) {}
};
static_assert(sizeof(HistogramEntry) == 8);
using Histogram = std::vector<HistogramEntry>;
// The palette: entry i is palette index i.
using Colormap = std::vector<HistogramEntry>;

// How far apart two colours look, squared: the channel differences weighted
// 2:4:3 (red, green, blue), so that a grey step of d gives 9 d².
constexpr int weightedDistance2(int r0, int g0, int b0, int r1, int g1, int b1) {
  return 2 * (r0 - r1) * (r0 - r1) + 4 * (g0 - g1) * (g0 - g1) + 3 * (b0 - b1) * (b0 - b1);
}

}  // namespace kx
