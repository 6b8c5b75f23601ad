// A slow, obviously correct colour reduction written straight from the
// description of the algorithms: linked-list hash table, linear search,
// hand-written stable sorts. The fast library code must produce the same
// bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kx::ref {

struct Entry {
  int red = 0, green = 0, blue = 0;
  int count = 0;
};

// A picture as interleaved red, green, blue bytes, rows top to bottom.
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

// Histogram in chained-table order; false when more than maxColors colours.
bool histogram(const Image& image, int maxColors, std::vector<Entry>& out);
std::vector<Entry> medianCut(std::vector<Entry> histogram, int64_t pixels, int colors,
                             int paletteQuant);
void compress(Image& image, int target);
// What a frame of a per-frame-palette run produces. status is 0, or 1 when
// the frame keeps too many colours.
struct Result {
  int status = 0;
  std::vector<Entry> colormap;
  std::vector<uint8_t> icn;
  std::vector<uint8_t> clm;
  Image mapped;
};
Result reduce(Image image, const Options& options);
// Maps the image onto the colormap; returns the indices and leaves the
// palette colours in the image.
std::vector<uint8_t> remap(Image& image, const std::vector<Entry>& colormap, int colors,
                           bool adjust, float factor);
std::vector<uint8_t> icnBytes(int width, int height, const std::vector<uint8_t>& indices);
std::vector<uint8_t> clmBytes(const std::vector<Entry>& colormap, int colors, bool bitsGiven,
                              int bits);
// The quantization filter over one channel.
void quantChannel(std::vector<uint8_t>& channel, int width, int bits);
std::vector<int> quantTable(int bits);

}  // namespace kx::ref
