// Helpers of the kxquant tests: indexed pictures read back through kxreduce's
// own files, independently of kxquant's writers.
#pragma once

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "conv/conv_support.h"

namespace kx {

// The palette of a .clm file of 8 bits per value.
inline std::vector<Rgb> readClm(const std::string& path) {
  const std::vector<uint8_t> clm = readFileBytes(path);
  std::vector<Rgb> palette;
  for (int i = 0; i < (clm.at(8) << 8 | clm.at(9)); ++i)
    palette.push_back({clm.at(17 + 6 * i), clm.at(19 + 6 * i), clm.at(21 + 6 * i)});
  return palette;
}

// The .icn indices through the .clm palette beside it.
inline Indexed readIcon(const std::string& base) {
  const std::vector<uint8_t> icn = readFileBytes(base + ".icn");
  Indexed out{
      icn.at(48) << 8 | icn.at(49), icn.at(50) << 8 | icn.at(51), readClm(base + ".clm"), {}, {}};
  out.indices.assign(icn.begin() + 68, icn.begin() + 68 + out.width * out.height);
  return out;
}

// The colour of every pixel, RGB, through the palette.
inline std::vector<uint8_t> pixelColours(const Indexed& picture) {
  std::vector<uint8_t> rgb;
  for (uint8_t i : picture.indices) {
    const Rgb& c = picture.palette.at(i);
    rgb.insert(rgb.end(), {c.r, c.g, c.b});
  }
  return rgb;
}

// A palette's colours in a fixed order, to compare palettes whose entries
// were reordered.
inline std::vector<std::tuple<int, int, int>> sortedColours(const std::vector<Rgb>& palette) {
  std::vector<std::tuple<int, int, int>> out;
  for (const Rgb& c : palette) out.emplace_back(c.r, c.g, c.b);
  std::sort(out.begin(), out.end());
  return out;
}

// The entry of palette[first, end) nearest to a colour, the lowest index
// among equals.
inline int nearest(const std::vector<Rgb>& palette, int first, int end, const uint8_t* p) {
  int best = first, bestDistance = INT32_MAX;
  for (int i = first; i < end; ++i) {
    const int dr = palette[i].r - p[0], dg = palette[i].g - p[1], db = palette[i].b - p[2];
    const int d = dr * dr + dg * dg + db * db;
    if (d < bestDistance) best = i, bestDistance = d;
  }
  return best;
}

}  // namespace kx
