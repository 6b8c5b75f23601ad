// The counting with compression (through the colour cube) against kxreduce's
// steps and an exhaustive search of the finest target.
#include <gtest/gtest.h>

#include <cstring>

#include "quant/quant.h"
#include "reduce/reduce.h"

namespace kx {
namespace {

// Smooth ramps with noise: many close colours, as in a photograph.
PixelPlanes testPicture(int width, int height, uint32_t seed) {
  PixelPlanes planes = kx_allocArray(width, height, 3);
  uint8_t* p = planes.data();
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      seed = seed * 1664525 + 1013904223;
      const int noise = static_cast<int>(seed >> 27);  // 0..31
      *p++ = static_cast<uint8_t>(x * 255 / width ^ (noise & 7));
      *p++ = static_cast<uint8_t>(y * 255 / height + (noise >> 3));
      *p++ = static_cast<uint8_t>((x + y) * 3 + noise);
    }
  }
  return planes;
}

PixelPlanes copyOf(const PixelPlanes& planes) {
  PixelPlanes copy = kx_allocArray(planes.width, planes.height, 3);
  std::memcpy(copy.data(), planes.data(), planes.byteSize());
  return copy;
}

// Colours left after compressing the pixels with the target; 0 when past the limit.
int compressedCount(const PixelPlanes& original, int target, int limit) {
  PixelPlanes planes = copyOf(original);
  if (target != 255) kx_compressColors(planes, planes.width, planes.height, target, 255);
  int count = 0;
  return kx_makeHistogram(planes, planes.width, planes.height, limit, &count) ? count : 0;
}

struct CountingCase {
  const char* name;
  int limit;           // 0: the colours left at 128, fewer than the picture's
  int expectedTarget;  // 255 none, 128 kxreduce's, 0: below 128, found exhaustively
};

class CountingWithCompression : public ::testing::TestWithParam<CountingCase> {};

TEST_P(CountingWithCompression, FollowsKxreduceThenTheFinestTargetThatFits) {
  const CountingCase& c = GetParam();
  const PixelPlanes original = testPicture(120, 90, 9);
  const int limit = c.limit > 0 ? c.limit : compressedCount(original, 128, 1 << 16);
  ASSERT_EQ(compressedCount(original, 255, limit) == 0, c.expectedTarget != 255);
  int target = c.expectedTarget;
  if (target == 0) {
    target = 127;
    while (compressedCount(original, target, limit) == 0) --target;
    ASSERT_LT(target, 127);
  }
  PixelPlanes planes = copyOf(original);
  const CountedColors counted = countColorsCompressing(planes, 120, 90, limit);
  EXPECT_EQ(counted.target, target);
  // The histogram and the planes are those of compressing the original with
  // that target (kxreduce -z target), entry for entry.
  PixelPlanes expected = copyOf(original);
  if (target != 255) kx_compressColors(expected, 120, 90, target, 255);
  int count = 0;
  const std::optional<Histogram> histogram = kx_makeHistogram(expected, 120, 90, limit, &count);
  ASSERT_TRUE(histogram);
  EXPECT_EQ(counted.colorCount, count);
  ASSERT_EQ(counted.histogram.size(), histogram->size());
  for (int i = 0; i < count; ++i) {
    const HistogramEntry &a = counted.histogram[i], &b = (*histogram)[i];
    ASSERT_TRUE(a.red == b.red && a.green == b.green && a.blue == b.blue && a.count == b.count)
        << "entry " << i;
  }
  EXPECT_EQ(std::memcmp(planes.data(), expected.data(), planes.byteSize()), 0);
  if (target != 255) {
    EXPECT_EQ(counted.distinctColors, compressedCount(original, 255, 1 << 16));
  }
}

INSTANTIATE_TEST_SUITE_P(Limits, CountingWithCompression,
                         ::testing::Values(CountingCase{"fits", kColorLimit, 255},
                                           CountingCase{"fits_at_128", 0, 128},
                                           CountingCase{"finer", 1500, 0},
                                           CountingCase{"much_finer", 60, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kx
