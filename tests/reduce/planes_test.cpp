// Samples brought back from a compressed range to 0..255: a scale computed
// once in double precision, as the picture files written depend on.
#include <gtest/gtest.h>

#include "common/planes.h"

namespace kx {
namespace {

TEST(SampleScale, UsesOneDoubleQuotient) {
  const SampleScale scale = sampleScale(100);
  // 100 × 2.55 in double precision is just below 255.
  EXPECT_EQ(scale[100], 254);
  EXPECT_EQ(scale[50], 127);
  EXPECT_EQ(scale[0], 0);
  EXPECT_EQ(scale[1], 2);
  EXPECT_EQ(scale[99], 252);
  EXPECT_EQ(sampleScale(255)[77], 77);
}

}  // namespace
}  // namespace kx
