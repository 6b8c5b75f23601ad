// Pixel planes: one contiguous block of pixels plus a vector of row pointers.
#include "common/planes.h"

#include <limits>
#include <new>

namespace kx {

PixelPlanes kx_allocArray(int width, int height, int size) {
  if (width < 0 || height < 0 || size < 0) throw std::bad_alloc();
  const size_t rowBytes = static_cast<size_t>(width) * static_cast<size_t>(size);
  if (height != 0 && rowBytes > std::numeric_limits<size_t>::max() / height) {
    throw std::bad_alloc();
  }
  PixelPlanes planes;
  planes.rowPtrs = std::make_unique_for_overwrite<uint8_t*[]>(static_cast<size_t>(height));
  planes.block = std::make_unique_for_overwrite<uint8_t[]>(rowBytes * height);
  planes.width = width;
  planes.height = height;
  planes.elemSize = size;
  for (int r = 0; r < height; ++r) planes.rowPtrs[r] = planes.block.get() + r * rowBytes;
  return planes;
}

void kx_freeArray(PixelPlanes& planes) {
  planes = PixelPlanes{};
}

SampleScale sampleScale(int maxval) {
  SampleScale scale;
  const double factor = 255.0 / (maxval > 0 ? maxval : 255);
  for (int s = 0; s < 256; ++s) {
    scale[s] = static_cast<uint8_t>(static_cast<int>(s * factor));
  }
  return scale;
}

}  // namespace kx
