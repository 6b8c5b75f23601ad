// Run settings: the option values of one run of the colour reduction.
//
// The command line fills them, the frame driver gets a copy, and the colour
// reduction and the output files receive a pointer to the driver's copy
// (some fields change during the run: quant, colors, compress, unique,
// outFile).
//
// Stands on: outfile.h.
#pragma once

#include <cstdint>
#include <memory>

#include "common/outfile.h"

namespace kx {

struct RunSettings {
  int32_t start = 0;
  int32_t end = 0;
  int32_t step = 1;
  int32_t sequence = 0;
  int32_t repeat = 1;
  int32_t colors = 256;
  int32_t colorsGiven = 0;
  int32_t adjust = 0;
  float adjustFactor = 0.7f;
  int32_t verbose = 0;
  int32_t display = 0;
  int32_t compress = 255;
  int32_t compressGiven = 0;
  int32_t bits = 8;
  int32_t quant = 0;
  int32_t paletteQuant = 0;
  int32_t bitsGiven = 0;
  int32_t colormapMode = 0;  // 0 chosen per frame, 1 imposed .clm, 2 imposed .cla
  int32_t inPict = 0;
  int32_t outPic = 0;
  int32_t outPict = 0;  // 1 true colour, 2 colour-indexed
  int32_t transform = 0;
  int32_t asciiColormap = 0;
  int32_t unique = 0;  // 1 first pass of the unique colormap, 2 second pass
  int32_t refine = 0;
  // The colour-mapped image file open for writing (created by
  // kx_writeIconeFileHeader, finished by kx_reduceColors). Shared so that the
  // settings stay copyable; an unfinished file is removed when the last
  // owner lets go of it.
  std::shared_ptr<OutFile> outFile;
};

}  // namespace kx
