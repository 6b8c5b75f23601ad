// Pixel planes and rows: one contiguous block of pixels plus a vector of row
// pointers.
#include "common/planes.h"

#include <limits>
#include <new>

#include "common/fatal.h"

namespace kx {

std::unique_ptr<uint8_t[]> kx_allocRow(int count, int size) {
  if (count < 0 || size < 0 ||
      (size != 0 && static_cast<size_t>(count) > std::numeric_limits<size_t>::max() / size)) {
    kx_error("out of memory for allocating a row\n");
  }
  try {
    return std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(count) * size);
  } catch (const std::bad_alloc&) {
    kx_error("out of memory for allocating a row\n");
  }
}

void kx_freeRow(std::unique_ptr<uint8_t[]>& row) {
  row.reset();
}

PixelPlanes kx_allocArray(int width, int height, int size) {
  static const char* kMessage = "out of memory for allocating an array\n";
  if (width < 0 || height < 0 || size < 0) kx_error(kMessage);
  const size_t rowBytes = static_cast<size_t>(width) * static_cast<size_t>(size);
  if (height != 0 && rowBytes > std::numeric_limits<size_t>::max() / height) kx_error(kMessage);
  PixelPlanes planes;
  try {
    planes.rowPtrs = std::make_unique_for_overwrite<uint8_t*[]>(static_cast<size_t>(height));
    planes.block = std::make_unique_for_overwrite<uint8_t[]>(rowBytes * height);
  } catch (const std::bad_alloc&) {
    kx_error(kMessage);
  }
  planes.width = width;
  planes.height = height;
  planes.elemSize = size;
  for (int r = 0; r < height; ++r) planes.rowPtrs[r] = planes.block.get() + r * rowBytes;
  return planes;
}

void kx_freeArray(PixelPlanes& planes) {
  planes = PixelPlanes{};
}

}  // namespace kx
