// Turning stored samples upright by their EXIF/TIFF orientation.
//
// The orientation tells where the stored rows and columns belong on screen:
//   1 as stored            2 mirrored left-right      3 turned 180°
//   4 mirrored top-bottom  5 transposed (mirrored about the main diagonal)
//   6 to be turned 90° clockwise                      7 transversed (mirrored
//   about the other diagonal)                         8 to be turned 90°
//   counter-clockwise
// Each upright pixel (x', y') comes from a stored pixel whose offset is
// linear in x' and y', so one loop with two signed steps serves all eight.
#include <cstring>

#include "imageio/imageio_pvt.h"

namespace kx {

void orientSamples(const uint8_t* stored, uint8_t* upright, int width, int height, int channels,
                   int orientation) {
  const ptrdiff_t px = channels, row = static_cast<ptrdiff_t>(width) * channels;
  const ptrdiff_t last = static_cast<ptrdiff_t>(height - 1) * row, right = (width - 1) * px;
  // Offset of the upright pixel (0, 0) in the stored samples, and the steps
  // to the next upright column and row.
  ptrdiff_t start = 0, stepX = px, stepY = row;
  switch (orientation) {
    case 2:
      start = right, stepX = -px, stepY = row;
      break;
    case 3:
      start = last + right, stepX = -px, stepY = -row;
      break;
    case 4:
      start = last, stepX = px, stepY = -row;
      break;
    case 5:
      start = 0, stepX = row, stepY = px;
      break;
    case 6:
      start = last, stepX = -row, stepY = px;
      break;
    case 7:
      start = last + right, stepX = -row, stepY = -px;
      break;
    case 8:
      start = right, stepX = row, stepY = -px;
      break;
    default:
      break;
  }
  const bool swap = swapsSides(orientation);
  const int outWidth = swap ? height : width, outHeight = swap ? width : height;
  for (int y = 0; y < outHeight; ++y) {
    const uint8_t* in = stored + start + y * stepY;
    for (int x = 0; x < outWidth; ++x, in += stepX, upright += channels) {
      std::memcpy(upright, in, static_cast<size_t>(channels));
    }
  }
}

void orientUpright(Image& image) {
  const int orientation = image.metadata.orientation;
  image.metadata.orientation = 1;
  if (orientation < 2 || orientation > 8) return;
  const int channels = image.indexed() ? 1 : image.channels;
  std::vector<uint8_t> upright(image.samples.size());
  orientSamples(image.samples.data(), upright.data(), image.width, image.height, channels,
                orientation);
  image.samples = std::move(upright);
  if (swapsSides(orientation)) std::swap(image.width, image.height);
}

}  // namespace kx
