// Planes back to a picture: samples rescaled from the compressed range in
// double precision, and a range of 0 refused.
#include <gtest/gtest.h>

#include "common/planes.h"
#include "picture/picture.h"
#include "reduce/reduce.h"

namespace kx {
namespace {

TEST(PixelPlanes, RescaleUsesDoubleScale) {
  PixelPlanes planes = kx_allocArray(2, 1, 3);
  const uint8_t samples[6] = {100, 50, 0, 1, 99, 100};
  std::copy(samples, samples + 6, planes.data());
  Picture pic;
  kx_pixels2pic(pic, 2, 1, planes, 100);
  // 100 × 2.55 in double precision is just below 255.
  EXPECT_EQ(pic.channel[0][0], 254);
  EXPECT_EQ(pic.channel[1][0], 127);
  EXPECT_EQ(pic.channel[2][0], 0);
  EXPECT_EQ(pic.channel[0][1], 2);
  EXPECT_EQ(pic.channel[1][1], 252);

  testing::internal::CaptureStderr();
  EXPECT_THROW(kx_pixels2pic(pic, 2, 1, planes, 0), ExitRequest);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: kx_pixels2pic: max val = 0\n");
}

}  // namespace
}  // namespace kx
