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
// never set or read).
struct HistogramEntry {
  uint8_t red = 0;
  uint8_t green = 0;
  uint8_t blue = 0;
  int32_t count = 0;
};
using Histogram = std::vector<HistogramEntry>;
// The palette: entry i is palette index i.
using Colormap = std::vector<HistogramEntry>;

}  // namespace kx
