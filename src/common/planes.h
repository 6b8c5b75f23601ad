// Pixel planes and rows: the memory a frame is processed in.
//
// Pixel planes are a two-dimensional array in exactly two allocations: one
// contiguous block of width × height × elemSize bytes and one vector of row
// pointers into it. For pictures every pixel is three bytes, red, green and
// blue. Neither the block nor a row is zero-filled. Running out of memory
// ends the run through kx_error.
//
// Stands on: fatal.h.
#pragma once

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

// A plain row of count × size bytes.
std::unique_ptr<uint8_t[]> kx_allocRow(int count, int size);
void kx_freeRow(std::unique_ptr<uint8_t[]>& row);
PixelPlanes kx_allocArray(int width, int height, int size);
void kx_freeArray(PixelPlanes& planes);

}  // namespace kx
