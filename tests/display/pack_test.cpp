// The pixel buffer of the preview: rescale, refusals, fitting and shrinking
// (the window tests see the packing order).
#include <gtest/gtest.h>

#include <vector>

#include "display/display.h"

namespace kx {
namespace {

PixelPlanes planesFrom(int width, int height, const std::vector<uint8_t>& rgb) {
  PixelPlanes planes = kx_allocArray(width, height, 3);
  std::copy(rgb.begin(), rgb.end(), planes.data());
  return planes;
}

TEST(PackImage, RescalesToMaxval255AndWritesBack) {
  // {sample at maxval 100, shown}: 100 × 2.55 is just below 255.
  for (auto [sample, shown] : {std::pair<uint8_t, uint8_t>{100, 254}, {50, 127}}) {
    PixelPlanes planes = planesFrom(1, 1, {sample, 0, sample});
    EXPECT_EQ((*kx_packImage(planes, 1, 1, 100))[0], uint32_t{shown} | uint32_t{shown} << 16);
    EXPECT_EQ(std::vector(planes.data(), planes.data() + planes.byteSize()),
              (std::vector<uint8_t>{shown, 0, shown}));
  }
}

TEST(PackImage, RefusesMaxvalZeroAndFramesLargerThanTheirPlanes) {
  PixelPlanes planes = kx_allocArray(4, 3, 3);
  const struct {
    int width, height, maxval;
    const char* message;
  } cases[] = {{1, 1, 0, "display: max val = 0"},
               {5, 3, 255, "display: a 5 x 3 frame does not fit its 4 x 3 pixel planes"}};
  for (const auto& t : cases) {
    const auto packed = kx_packImage(planes, t.width, t.height, t.maxval);
    ASSERT_FALSE(packed.ok());
    EXPECT_EQ(packed.error().message, t.message);
  }
}

TEST(FitSize, LargerFramesShrinkToTheScreenKeepingTheirAspect) {
  const struct {
    int width, height, maxWidth, maxHeight, shownWidth, shownHeight;
  } cases[] = {
      {1024, 768, 1024, 768, 1024, 768},    // exactly the screen
      {600, 1600, 1024, 768, 288, 768},     // too high
      {3640, 2400, 1280, 1024, 1280, 843},  // 843.9 rounds down
      {5000, 2, 1024, 768, 1024, 1},        // never below one pixel
      {2000, 1000, 0, 0, 2000, 1000},       // no screen known
  };
  for (const auto& c : cases) {
    int w = 0, h = 0;
    kx_fitSize(c.width, c.height, c.maxWidth, c.maxHeight, &w, &h);
    EXPECT_EQ(std::pair(w, h), std::pair(c.shownWidth, c.shownHeight))
        << c.width << "x" << c.height;
  }
}

// Each shrunk pixel against the mean of its block, in floating point.
TEST(ShrinkImage, EveryPixelIsTheMeanOfItsBlock) {
  const int width = 37, height = 23;
  std::vector<uint8_t> rgb;
  for (int i = 0; i < width * height * 3; ++i) rgb.push_back(static_cast<uint8_t>(i * 97 % 251));
  PixelPlanes planes = planesFrom(width, height, rgb);
  const auto words = std::move(*kx_packImage(planes, width, height, 255));
  for (auto [toWidth, toHeight] : {std::pair{10, 7}, std::pair{37, 23}, std::pair{1, 1}}) {
    const auto shrunk = kx_shrinkImage(words.get(), width, height, toWidth, toHeight);
    for (int y = 0; y < toHeight; ++y) {
      for (int x = 0; x < toWidth; ++x) {
        for (int k = 0; k < 3; ++k) {
          double sum = 0;
          int n = 0;
          for (int r = y * height / toHeight; r < (y + 1) * height / toHeight; ++r)
            for (int c = x * width / toWidth; c < (x + 1) * width / toWidth; ++c, ++n)
              sum += rgb[(r * width + c) * 3 + k];
          ASSERT_EQ(shrunk[(toHeight - 1 - y) * toWidth + x] >> (8 * k) & 0xFF,
                    static_cast<uint32_t>(sum / n + 0.5))
              << toWidth << " x " << toHeight << " at " << x << ", " << y;
        }
      }
    }
  }
}

}  // namespace
}  // namespace kx
