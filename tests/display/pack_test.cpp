// The pixel buffer of the preview: packing order, rescale, and refusals.
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

TEST(PackImage, BottomRowFirstRedInLowBits) {
  // 2 × 3 pixels, each sample naming its row, column and channel.
  const std::vector<uint8_t> rgb = {0,   1,   2,   10,  11,  12,  100, 101, 102,
                                    110, 111, 112, 200, 201, 202, 210, 211, 212};
  PixelPlanes planes = planesFrom(2, 3, rgb);
  const auto words = kx_packImage(planes, 2, 3, 255);
  const uint32_t expected[6] = {0x00cac9c8, 0x00d4d3d2,   // row 2: 200..202, 210..212
                                0x00666564, 0x00706f6e,   // row 1
                                0x00020100, 0x000c0b0a};  // row 0
  for (int k = 0; k < 6; ++k) EXPECT_EQ(words[k], expected[k]) << "word " << k;
  EXPECT_EQ(std::vector(planes.data(), planes.data() + planes.byteSize()), rgb)
      << "maxval 255 must leave the planes untouched";
}

TEST(PackImage, RescalesToMaxval255AndWritesBack) {
  // {sample at maxval 100, shown}: 100 × 2.55 is just below 255.
  for (auto [sample, shown] : {std::pair<uint8_t, uint8_t>{100, 254}, {50, 127}}) {
    PixelPlanes planes = planesFrom(1, 1, {sample, 0, sample});
    EXPECT_EQ(kx_packImage(planes, 1, 1, 100)[0], uint32_t{shown} | uint32_t{shown} << 16);
    EXPECT_EQ(std::vector(planes.data(), planes.data() + planes.byteSize()),
              (std::vector<uint8_t>{shown, 0, shown}));
  }
}

TEST(PackImage, RefusesMaxvalZeroAndFramesLargerThanTheirPlanes) {
  PixelPlanes planes = kx_allocArray(4, 3, 3);
  const struct {
    int width, height, maxval;
    const char* message;
  } cases[] = {{1, 1, 0, "Error: display: max val = 0\n"},
               {5, 3, 255, "Error: display: a 5 x 3 frame does not fit its 4 x 3 pixel planes\n"}};
  for (const auto& t : cases) {
    testing::internal::CaptureStderr();
    try {
      kx_packImage(planes, t.width, t.height, t.maxval);
      ADD_FAILURE() << t.message << "not raised";
    } catch (const ExitRequest& e) {
      EXPECT_EQ(e.status, 255);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), t.message);
  }
}

TEST(FitSize, LargerFramesShrinkToTheScreenKeepingTheirAspect) {
  const struct {
    int width, height, maxWidth, maxHeight, shownWidth, shownHeight;
  } cases[] = {
      {800, 600, 1024, 768, 800, 600},      // fits: as it is
      {1024, 768, 1024, 768, 1024, 768},    // exactly the screen
      {1600, 600, 1024, 768, 1024, 384},    // too wide
      {600, 1600, 1024, 768, 288, 768},     // too high
      {3640, 2400, 1280, 1024, 1280, 843},  // 843.9 rounds down
      {5000, 2, 1024, 768, 1024, 1},        // never below one pixel
      {2000, 1000, 0, 0, 2000, 1000},       // no screen known
  };
  for (const auto& c : cases) {
    int w = 0, h = 0;
    kx_fitSize(c.width, c.height, c.maxWidth, c.maxHeight, &w, &h);
    EXPECT_EQ(w, c.shownWidth) << c.width << " x " << c.height;
    EXPECT_EQ(h, c.shownHeight) << c.width << " x " << c.height;
  }
}

// Each shrunk pixel against the mean of its block, computed on the picture
// top-down in floating point.
TEST(ShrinkImage, EveryPixelIsTheMeanOfItsBlock) {
  const int width = 37, height = 23;
  std::vector<uint8_t> rgb;
  for (int i = 0; i < width * height * 3; ++i) rgb.push_back(static_cast<uint8_t>(i * 97 % 251));
  PixelPlanes planes = planesFrom(width, height, rgb);
  const auto words = kx_packImage(planes, width, height, 255);
  for (auto [toWidth, toHeight] : {std::pair{10, 7}, std::pair{37, 23}, std::pair{1, 1}}) {
    const auto shrunk = kx_shrinkImage(words.get(), width, height, toWidth, toHeight);
    for (int y = 0; y < toHeight; ++y) {
      for (int x = 0; x < toWidth; ++x) {
        const uint32_t word = shrunk[static_cast<size_t>(toHeight - 1 - y) * toWidth + x];
        for (int k = 0; k < 3; ++k) {
          double sum = 0;
          int n = 0;
          for (int r = y * height / toHeight; r < (y + 1) * height / toHeight; ++r) {
            for (int c = x * width / toWidth; c < (x + 1) * width / toWidth; ++c, ++n) {
              sum += rgb[(r * width + c) * 3 + k];
            }
          }
          ASSERT_EQ((word >> (8 * k)) & 0xFF, static_cast<uint32_t>(sum / n + 0.5))
              << toWidth << " x " << toHeight << " at " << x << ", " << y;
        }
      }
    }
  }
}

}  // namespace
}  // namespace kx
