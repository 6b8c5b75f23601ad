// Helpers of the kxconv tests: PNG files of every kind written straight with
// libpng, the outside tools (netpbm, ImageMagick, Python's PIL) as the other
// side of each comparison, and small raster readers for their output.
#pragma once

#include <png.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/tempdir.h"

namespace kx {

// A PNG to write: rows are given in the file's own layout (samples of
// bitDepth bits, packed for depths below 8, big-endian for 16).
struct PngSpec {
  int width = 0;
  int height = 0;
  int colorType = PNG_COLOR_TYPE_RGB;
  int bitDepth = 8;
  bool interlaced = false;
  std::vector<uint8_t> data;          // height rows of rowBytes() each
  std::vector<png_color> palette;     // palette images
  std::vector<uint8_t> paletteAlpha;  // tRNS of a palette image
  bool hasTransparentColour = false;  // tRNS of a grey or RGB image
  png_color_16 transparentColour{};

  int channels() const;
  size_t rowBytes() const;
};

void writeTestPng(const std::string& path, const PngSpec& spec);
// Random file-layout rows for the 16-bit picture geometry (palette indices are kept
// below the palette size).
void fillRandom(PngSpec& spec, uint32_t seed);

// Interleaved 8-bit samples with their geometry.
struct Raster {
  int width = 0;
  int height = 0;
  int depth = 0;  // samples per pixel
  std::vector<uint8_t> samples;
  bool operator==(const Raster&) const = default;
};

// A maxval-255 P5, P6 or P7 image as the netpbm tools write it; empty depth
// when the bytes are something else.
Raster parseNetpbm(const std::string& bytes);
// Runs a shell command line.
RunResult shell(const std::string& command);
// The outside tools' view of a file: netpbm pngtopam -alphapam | pamdepth 255.
Raster netpbmPngAt8Bits(const std::string& pngPath);
// PIL's decoding of a picture converted to RGBA (or "RGB"), and its mode.
Raster pilPixels(const std::string& path, const std::string& mode = "RGBA");
std::string pilDescribe(const std::string& path, const std::string& expression);
// A .pic file's channels as a raster: RGB, or RGBA with an alpha channel.
Raster picPixels(const std::string& path);
// kxconv run in dir.
RunResult kxconv(const std::vector<std::string>& args, const std::string& dir);
bool fileExists(const std::string& path);
std::string quoted(const std::string& path);

}  // namespace kx
