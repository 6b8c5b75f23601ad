// A slow, obviously correct colour reduction: linked-list hash table, linear
// search, hand-written stable sorts. The library must produce the same bytes.
#pragma once

#include <cstdint>
#include <vector>

namespace kx::ref {

struct Entry {
  int red = 0, green = 0, blue = 0;
  int count = 0;
};

struct Image {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
};

struct Options {
  int colors = 256;
  int paletteQuant = 0;
  bool adjust = false;
  float adjustFactor = 0.7f;
  int compress = 255;  // -z target
  bool bitsGiven = false;
  int bits = 8;
};

// What a frame produces; status 1 when it keeps too many colours.
struct Result {
  int status = 0;
  std::vector<uint8_t> icn, clm;
  Image mapped;
};

Result reduce(Image image, const Options& options);
void quantChannel(std::vector<uint8_t>& channel, int width, int bits);
std::vector<int> quantTable(int bits);

}  // namespace kx::ref
