// Colour reduction: colour table and histogram, median cut, palette choice,
// pixel remapping and the quantization filter.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cli/cli.h"

namespace kx {

struct Picture;

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

// Run-wide tables that the frame driver owns and lends to the colour
// reduction.
struct ReductionTables {
  // One palette index per pixel of the current frame, filled by
  // kx_reduceColors; at least columns × rows bytes.
  std::unique_ptr<uint8_t[]> colIndexTab;
  size_t colIndexSize = 0;
  // Palettes of the frames of a unique-colormap run: one column per frame,
  // palette entry i in row i.
  PixelPlanes virtualImg;
  int virtualInd = 0;
};

// Counting, median cut, saving (and collecting in the unique-colormap mode).
// Returns the frame's colormap; empty when a colormap is imposed.
Colormap kx_buildmap(const std::string& name, PixelPlanes& planes, int columns, int rows,
                     int maxval, RunSettings* opt, ReductionTables& tables);

// Median cut over the first `colors` histogram entries; returns opt->colors
// entries.
Colormap makeColormap(Histogram& histogram, int histogramColors, int64_t totalPixels, int maxval,
                      const RunSettings* opt);

// Maps every pixel to its palette entry, writes the index bytes and the
// trailer to opt->outFile and finishes that file; fills tables.colIndexTab.
void kx_reduceColors(const std::string& name, PixelPlanes& planes, int columns, int rows,
                     int maxval, RunSettings* opt, const Colormap& colormap,
                     ReductionTables& tables);

// Quantization filter over the red, green and blue channels of a picture.
int quantFloyd(Picture& picture, int bits, int dither);

}  // namespace kx
