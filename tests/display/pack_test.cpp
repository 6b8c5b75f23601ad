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

}  // namespace
}  // namespace kx
