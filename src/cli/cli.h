// Command line, frame driver, pixel planes and fatal errors of kxreduce.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "common/outfile.h"

namespace kx {

struct Picture;

// Run settings: the option values of one run. main() fills them, the frame
// driver gets a copy, and the colour reduction receives a pointer to the
// driver's copy (some fields change during the run: quant, colors, compress,
// unique, outFile).
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
  // The colour-mapped image file open for writing (created by
  // kx_writeIconeFileHeader, finished by kx_reduceColors). Shared so that the
  // settings stay copyable; an unfinished file is removed when the last
  // owner lets go of it.
  std::shared_ptr<OutFile> outFile;
};

// Stores the defaults; returns 1.
int initialisation(RunSettings& opt);

// ---- Fatal exits -----------------------------------------------------------
//
// A fatal error prints its message where it happens and then unwinds to
// main() as an ExitRequest carrying the process status, so that open output
// files are cleaned up on the way and the path is testable in-process.
struct ExitRequest {
  int status;  // as the shell sees it: 255 for the system's -1
};

[[noreturn]] void kx_exit(int status);
// Writes "Error: " and the message to stderr, then exits with status 255.
[[noreturn]] void kx_error(const std::string& message);

// ---- Pixel planes ----------------------------------------------------------
//
// A two-dimensional array in exactly two allocations: one contiguous block of
// width × height × elemSize bytes and one vector of row pointers into it.
// Neither is zero-filled.
struct PixelPlanes {
  std::unique_ptr<uint8_t[]> block;
  std::unique_ptr<uint8_t*[]> rowPtrs;
  int width = 0;
  int height = 0;
  int elemSize = 0;

  uint8_t* operator[](int row) const { return rowPtrs[row]; }
  uint8_t* data() const { return block.get(); }
  size_t byteSize() const {
    return static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(elemSize);
  }
  explicit operator bool() const { return block != nullptr; }
};

// A plain row of count × size bytes.
std::unique_ptr<uint8_t[]> kx_allocRow(int count, int size);
void kx_freeRow(std::unique_ptr<uint8_t[]>& row);
PixelPlanes kx_allocArray(int width, int height, int size);
void kx_freeArray(PixelPlanes& planes);

// Picture record ↔ pixel planes (3 bytes per pixel, red, green, blue).
PixelPlanes kx_pic2pixels(const Picture& picture, int width, int height);
void kx_pixels2pic(Picture& picture, int width, int height, const PixelPlanes& planes, int maxval);

// ---- Command line and frame driver ------------------------------------------

[[noreturn]] void print_usage(const char* programName);

// Walks the frames of the run. colormapName is empty when no colormap is
// imposed.
void operation(const std::string& inputName, const std::string& outputName,
               const std::string& colormapName, RunSettings opt);

// The whole program: parses argv, runs, returns the process status.
int kxreduceMain(int argc, char** argv);

}  // namespace kx
