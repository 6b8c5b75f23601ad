// Counting that compresses as far as it must (Overflow::finest, through the
// colour cube) against kxreduce's -z counts and an exhaustive search of the
// finest target.
#include <gtest/gtest.h>

#include <optional>

#include "reduce/reduce.h"
#include "support/case_names.h"

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

// The picture counted as `kxreduce -z target` counts it: nothing when it
// keeps more colours than the limit.
std::optional<ColorCount> countedAt(const PixelPlanes& original, int target, int limit) {
  Result<ColorCount> count = countColors(viewOf(original), CountOptions{target, limit}, {});
  if (!count || count->overflowTarget != 255) return std::nullopt;
  return std::move(*count);
}

int compressedCount(const PixelPlanes& original, int target, int limit) {
  const std::optional<ColorCount> count = countedAt(original, target, limit);
  return count ? static_cast<int>(count->histogram.size()) : 0;
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
  const Result<ColorCount> counted =
      countColors(viewOf(original), CountOptions{255, limit, Overflow::finest}, {});
  ASSERT_TRUE(counted.ok());
  EXPECT_EQ(counted->overflowTarget, target);
  // The histogram is that of compressing the original with that target
  // (kxreduce -z target), entry for entry.
  const std::optional<ColorCount> expected = countedAt(original, target, limit);
  ASSERT_TRUE(expected);
  ASSERT_EQ(counted->histogram.size(), expected->histogram.size());
  for (size_t i = 0; i < expected->histogram.size(); ++i) {
    const HistogramEntry &a = counted->histogram[i], &b = expected->histogram[i];
    ASSERT_TRUE(a.red == b.red && a.green == b.green && a.blue == b.blue && a.count == b.count)
        << "entry " << i;
  }
  if (target != 255) {
    EXPECT_EQ(counted->distinctColors, compressedCount(original, 255, 1 << 16));
  }
}

INSTANTIATE_TEST_SUITE_P(Limits, CountingWithCompression,
                         ::testing::Values(CountingCase{"fits", kColorLimit, 255},
                                           CountingCase{"fits_at_128", 0, 128},
                                           CountingCase{"finer", 1500, 0},
                                           CountingCase{"much_finer", 60, 0}),
                         CaseName());

}  // namespace
}  // namespace kx
