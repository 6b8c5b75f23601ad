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

// The .icn indices through the .clm palette beside it (8 bits per value).
inline Indexed readIcon(const std::string& base) {
  const std::vector<uint8_t> icn = readFileBytes(base + ".icn"), clm = readFileBytes(base + ".clm");
  Indexed out;
  out.width = icn.at(48) << 8 | icn.at(49);
  out.height = icn.at(50) << 8 | icn.at(51);
  out.indices.assign(icn.begin() + 68, icn.begin() + 68 + out.width * out.height);
  const int count = clm.at(8) << 8 | clm.at(9);
  for (int i = 0; i < count; ++i) {
    const uint8_t* e = clm.data() + 16 + 6 * i;
    out.palette.push_back({e[1], e[3], e[5]});
  }
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

inline RunResult kxquant(const std::vector<std::string>& args, const std::string& dir) {
  return runProgram("kxquant", args, dir);
}

}  // namespace kx
