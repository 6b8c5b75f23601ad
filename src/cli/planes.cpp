// Pixel planes and rows: one contiguous block of pixels plus a vector of row
// pointers, and the conversions between picture records and planes.
#include <cstring>
#include <limits>
#include <new>

#include "cli/cli.h"
#include "picture/picture.h"

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

PixelPlanes kx_pic2pixels(const Picture& picture, int width, int height) {
  PixelPlanes planes = kx_allocArray(width, height, 3);
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  uint8_t* out = planes.data();
  // A picture without green or blue (a grey picture) shows its red channel in
  // all three; a missing red channel reads as 0.
  const uint8_t* red = picture.channel[0].get();
  for (int c = 0; c < 3; ++c) {
    const uint8_t* in = picture.channel[c] ? picture.channel[c].get() : red;
    if (in) {
      for (size_t i = 0; i < n; ++i) out[3 * i + c] = in[i];
    } else {
      for (size_t i = 0; i < n; ++i) out[3 * i + c] = 0;
    }
  }
  return planes;
}

void kx_pixels2pic(Picture& picture, int width, int height, const PixelPlanes& planes, int maxval) {
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  for (int c = 0; c < 3; ++c) {
    if (!picture.channel[c]) picture.channel[c] = std::make_unique_for_overwrite<uint8_t[]>(n);
  }
  uint8_t* r = picture.channel[0].get();
  uint8_t* g = picture.channel[1].get();
  uint8_t* b = picture.channel[2].get();
  const uint8_t* in = planes.data();
  if (maxval == 255) {
    for (size_t i = 0; i < n; ++i) {
      r[i] = in[3 * i];
      g[i] = in[3 * i + 1];
      b[i] = in[3 * i + 2];
    }
    return;
  }
  if (maxval == 0) kx_error("kx_pixels2pic: max val = 0\n");
  // The scale is a double computed once: 100 * (255.0 / 100) is just below
  // 255 and truncates to 254, which stored files depend on.
  const double scale = 255.0 / maxval;
  auto rescale = [scale](uint8_t s) { return static_cast<uint8_t>(static_cast<int>(s * scale)); };
  for (size_t i = 0; i < n; ++i) {
    r[i] = rescale(in[3 * i]);
    g[i] = rescale(in[3 * i + 1]);
    b[i] = rescale(in[3 * i + 2]);
  }
}

}  // namespace kx
