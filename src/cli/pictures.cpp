// The pictures of a frame: picture records to pixel planes and back, and
// the quantization filter over a picture.
#include <new>

#include "cli/cli_pvt.h"
#include "common/threads.h"

namespace kx {

namespace {

Failure outOfArray() {
  return Error(ErrorCode::outOfMemory, kAllocArrayFailure);
}

}  // namespace

Step<PixelPlanes> kx_pic2pixels(const Picture& picture) {
  const int width = picture.width, height = picture.height;
  PixelPlanes planes;
  try {
    planes = kx_allocArray(width, height, 3);
  } catch (const std::bad_alloc&) {
    return outOfArray();
  }
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

Done kx_pixels2pic(Picture& picture, const PixelPlanes& planes, int maxval) {
  if (maxval == 0) return Error(ErrorCode::badArgument, "kx_pixels2pic: max val = 0");
  const size_t n = static_cast<size_t>(planes.width) * static_cast<size_t>(planes.height);
  try {
    for (int c = 0; c < 3; ++c) {
      if (!picture.channel[c]) picture.channel[c] = std::make_unique_for_overwrite<uint8_t[]>(n);
    }
  } catch (const std::bad_alloc&) {
    return outOfArray();
  }
  uint8_t* channel[3] = {picture.channel[0].get(), picture.channel[1].get(),
                         picture.channel[2].get()};
  const uint8_t* in = planes.data();
  const SampleScale scale = sampleScale(maxval);
  kx_forStripes(static_cast<int64_t>(n), kStripePixels, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      for (int c = 0; c < 3; ++c) channel[c][i] = scale[in[3 * i + c]];
    }
  });
  return {};
}

Done quantFloyd(Picture& picture, int bits, ThreadPool* pool) {
  const Result<QuantTable> table = quantizationTable(bits);
  if (!table) return table.error();
  uint8_t* channels[3] = {picture.channel[0].get(), picture.channel[1].get(),
                          picture.channel[2].get()};
  const Status filtered = filterChannels(channels, int64_t{picture.width} * picture.height,
                                         picture.width, *table, true, Context{pool, {}});
  if (!filtered) return filtered.error();
  return {};
}

}  // namespace kx
