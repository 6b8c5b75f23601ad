#include <gtest/gtest.h>

#include "common/planes.h"
#include "picture/picture.h"
#include "picture/sample.h"
#include "reduce/reduce.h"

namespace kx {
namespace {

TEST(PixelPlanes, RowsPointIntoOneBlock) {
  PixelPlanes p = kx_allocArray(5, 4, 3);
  ASSERT_TRUE(p);
  for (int r = 0; r < 4; ++r) EXPECT_EQ(p[r], p.data() + r * 15);
  PixelPlanes one = kx_allocArray(7, 1, 3);
  EXPECT_EQ(one[0], one.data());
  kx_freeArray(p);
  EXPECT_FALSE(p);
  kx_freeArray(p);  // freeing twice is harmless
}

TEST(PixelPlanes, PictureRoundTripIsExact) {
  for (auto [w, h] : {std::pair{1, 1}, {1, 9}, {9, 1}, {33, 17}}) {
    PicturePtr pic = makeSamplePicture(w, h, 7);
    PixelPlanes planes = kx_pic2pixels(*pic, w, h);
    Picture copy;
    copy.width = static_cast<int16_t>(w);
    copy.height = static_cast<int16_t>(h);
    kx_pixels2pic(copy, w, h, planes, 255);
    for (int c = 0; c < 3; ++c) {
      for (int i = 0; i < w * h; ++i) ASSERT_EQ(copy.channel[c][i], pic->channel[c][i]);
    }
  }
}

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
}

TEST(FatalError, PrintsMessageAndExits255) {
  testing::internal::CaptureStderr();
  try {
    kx_error("Cannot allocate picture\n");
    FAIL() << "kx_error returned";
  } catch (const ExitRequest& e) {
    EXPECT_EQ(e.status, 255);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Cannot allocate picture\n");
}

TEST(FatalError, MaxvalZeroIsFatal) {
  PixelPlanes planes = kx_allocArray(1, 1, 3);
  Picture pic;
  testing::internal::CaptureStderr();
  EXPECT_THROW(kx_pixels2pic(pic, 1, 1, planes, 0), ExitRequest);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: kx_pixels2pic: max val = 0\n");
}

}  // namespace
}  // namespace kx
