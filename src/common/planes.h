// Pixel planes and rows: the memory a frame is processed in.
//
// Pixel planes are a two-dimensional array in exactly two allocations: one
// contiguous block of width × height × elemSize bytes and one vector of row
// pointers into it. For pictures every pixel is three bytes, red, green and
// blue. Neither the block nor a row is zero-filled. Running out of memory
// throws std::bad_alloc; the front ends word it.
//
// Stands on: the standard library only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kx {

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

// The message the design gives a failed allocation of planes.
constexpr const char* kAllocArrayFailure = "out of memory for allocating an array";

// Throws std::bad_alloc (also for a negative or overflowing size).
PixelPlanes kx_allocArray(int width, int height, int size);
void kx_freeArray(PixelPlanes& planes);

// Samples of 0 … maxval (1 to 255) brought to 0 … 255: trunc(s × scale), the
// scale 255.0 / maxval computed once in double precision, low 8 bits kept.
// The double matters: 100 × (255.0 / 100) is just below 255 and gives 254,
// which stored files depend on.
using SampleScale = std::array<uint8_t, 256>;
SampleScale sampleScale(int maxval);

}  // namespace kx
