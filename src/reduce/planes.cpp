// Picture records to pixel planes and back: the frame as the colour
// reduction sees it, and the reduced frame as the picture writers take it.
#include <cstring>

#include "common/threads.h"
#include "picture/picture.h"
#include "reduce/reduce.h"

namespace kx {

namespace {

// Fewer pixels than this are not worth a thread of their own.
constexpr int64_t kStripePixels = int64_t{1} << 16;

}  // namespace

PixelPlanes kx_pic2pixels(const Picture& picture, int width, int height) {
  PixelPlanes planes = kx_allocArray(width, height, 3);
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  uint8_t* out = planes.data();
  // A picture without green or blue (a grey picture) shows its red channel in
  // all three; a missing red channel reads as 0.
  const uint8_t* red = picture.channel[0].get();
  kx_forStripes(static_cast<int64_t>(n), kStripePixels, [&](size_t begin, size_t end) {
    for (int c = 0; c < 3; ++c) {
      const uint8_t* in = picture.channel[c] ? picture.channel[c].get() : red;
      if (in) {
        for (size_t i = begin; i < end; ++i) out[3 * i + c] = in[i];
      } else {
        for (size_t i = begin; i < end; ++i) out[3 * i + c] = 0;
      }
    }
  });
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
    kx_forStripes(static_cast<int64_t>(n), kStripePixels, [&](size_t begin, size_t end) {
      for (size_t i = begin; i < end; ++i) {
        r[i] = in[3 * i];
        g[i] = in[3 * i + 1];
        b[i] = in[3 * i + 2];
      }
    });
    return;
  }
  if (maxval == 0) kx_error("kx_pixels2pic: max val = 0\n");
  // The scale is a double computed once: 100 * (255.0 / 100) is just below
  // 255 and truncates to 254, which stored files depend on.
  const double scale = 255.0 / maxval;
  auto rescale = [scale](uint8_t s) { return static_cast<uint8_t>(static_cast<int>(s * scale)); };
  kx_forStripes(static_cast<int64_t>(n), kStripePixels, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      r[i] = rescale(in[3 * i]);
      g[i] = rescale(in[3 * i + 1]);
      b[i] = rescale(in[3 * i + 2]);
    }
  });
}

}  // namespace kx
