// The palette prepared once for the frames of a clip: the same indices as
// remapPixels for every dithering, frame after frame (its search kept
// between them), on any pool; and a remap that knows the frame before keeps
// the indices of the pixels that stand still, and refuses a frame before of
// another size.
#include <gtest/gtest.h>

#include "reduce/reduce.h"

namespace kx {
namespace {

constexpr int kWidth = 300, kHeight = 120;

// Frame f: diagonal ramps that move f pixels to the right, below them a
// still band of two colours the palette lacks (which the errors diffused
// from above reach).
PixelPlanes frame(int f) {
  PixelPlanes planes = kx_allocArray(kWidth, kHeight, 3);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      uint8_t* p = planes.data() + (static_cast<size_t>(y) * kWidth + x) * 3;
      if (y >= kHeight / 2) {
        p[0] = x < kWidth / 2 ? 90 : 170, p[1] = 120, p[2] = 77;
      } else {
        p[0] = static_cast<uint8_t>(x - f + y), p[1] = static_cast<uint8_t>(2 * x - f), p[2] = 60;
      }
    }
  }
  return planes;
}

Colormap palette() {
  Colormap colours;
  for (int i = 0; i < 27; ++i) colours.emplace_back(i % 3 * 120, i / 3 % 3 * 120, i / 9 * 120);
  return colours;
}

TEST(PaletteMapping, SameIndicesAsRemapPixelsAndStillPixelsKeepTheirs) {
  const Colormap colours = palette();
  ThreadPool three(3);
  for (const Dither dither : {Dither::none, Dither::adjust, Dither::adaptive})
    for (ThreadPool* pool : {static_cast<ThreadPool*>(nullptr), &three}) {
      SCOPED_TRACE(testing::Message() << "dither " << static_cast<int>(dither)
                                      << (pool ? ", 3 threads" : ", no pool"));
      RemapOptions options;
      options.dither = dither;
      const Context context{pool, nullptr};
      const PaletteMapper mapper(colours);
      for (int f = 0; f < 3; ++f) {
        const PixelPlanes planes = frame(f);
        Result<std::vector<uint8_t>> alone = remapPixels(viewOf(planes), colours, options, context);
        Result<std::vector<uint8_t>> mapped = mapper.remap(viewOf(planes), options, context);
        ASSERT_TRUE(alone.ok() && mapped.ok());
        EXPECT_EQ(*mapped, *alone) << f;
      }
      // Frame 1 after frame 0: the still band keeps frame 0's indices.
      const PixelPlanes before = frame(0), now = frame(1);
      const PixelView beforeView = viewOf(before);
      const std::vector<uint8_t> first = *mapper.remap(beforeView, options, context);
      RemapOptions held = options;
      held.before = &beforeView;
      held.beforeIndices = first.data();
      Result<std::vector<uint8_t>> second = mapper.remap(viewOf(now), held, context);
      ASSERT_TRUE(second.ok());
      const size_t half = kWidth * kHeight / 2;
      EXPECT_TRUE(std::equal(first.begin() + half, first.end(), second->begin() + half));
      Result<std::vector<uint8_t>> single = remapPixels(viewOf(now), colours, held, {});
      ASSERT_TRUE(single.ok());
      EXPECT_EQ(*second, *single);
      // A frame before of another width is refused.
      const PixelView narrower{before.data(), kWidth - 1, kHeight, beforeView.stride, 3};
      held.before = &narrower;
      const Result<std::vector<uint8_t>> refused = mapper.remap(viewOf(now), held, context);
      EXPECT_TRUE(!refused.ok() && refused.error().code == ErrorCode::badArgument);
    }
}

}  // namespace
}  // namespace kx
