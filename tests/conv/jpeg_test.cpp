// JPEG input through the real binary: the pixels are the ones PIL decodes
// with the same libjpeg-turbo defaults, CMYK within the rounding of another
// formula, and damaged files are refused without leaving an output behind.
#include <gtest/gtest.h>

#include "conv_support.h"
#include "support/case_names.h"

namespace kx {
namespace {

struct JpegCase {
  const char* name;
  const char* mode;     // PIL's mode of the picture saved
  const char* options;  // PIL's JPEG options
  int tolerance;        // largest difference from PIL's RGB
};

class JpegInput : public ::testing::TestWithParam<JpegCase> {};

TEST_P(JpegInput, DecodesAsPilDoes) {
  const JpegCase& c = GetParam();
  TempDir dir;
  makeJpeg(dir.path("a.jpg"), 67, 45, c.mode, c.options);
  const Raster reference = pilPixels(dir.path("a.jpg"), "RGB");
  ASSERT_TRUE(converts({"a.jpg", "a.pic"}, dir.path()));
  const Raster read = picPixels(dir.path("a.pic"));
  ASSERT_EQ(read.width, 67);
  ASSERT_EQ(read.height, 45);
  ASSERT_EQ(read.samples.size(), reference.samples.size());
  int worst = 0;
  for (size_t i = 0; i < read.samples.size(); ++i)
    worst = std::max(worst, std::abs(read.samples[i] - reference.samples[i]));
  EXPECT_LE(worst, c.tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, JpegInput,
    ::testing::Values(JpegCase{"rgb420", "RGB", "quality=90", 0},
                      JpegCase{"rgb444", "RGB", "quality=95, subsampling=0", 0},
                      JpegCase{"progressive", "RGB", "quality=80, progressive=True", 0},
                      JpegCase{"grey", "L", "quality=90", 0},
                      JpegCase{"comment_skipped", "RGB", "quality=90, comment=b'a note'", 0},
                      JpegCase{"cmyk", "CMYK", "quality=95", 2}),
    CaseName());

TEST(DamagedJpeg, RefusedWithItsReasonAndNoOutput) {
  TempDir dir;
  makeJpeg(dir.path("good.jpg"), 64, 64, "RGB", "quality=90");
  const std::vector<uint8_t> good = readFileBytes(dir.path("good.jpg"));
  const std::pair<std::vector<uint8_t>, std::string> cases[] = {
      {{good.begin(), good.end() - good.size() / 3}, "corrupt JPEG file (the file ends too early)"},
      {{good.begin(), good.begin() + 40}, "corrupt JPEG file (the file ends too early)"},
      {{'G', 'I', 'F', '8'}, "not a JPEG file (no JPEG start marker)"},
  };
  for (const auto& [bytes, message] : cases) {
    writeFileBytes(dir.path("bad.JPG"), bytes);
    expectRefused(dir.path(), {"bad.JPG", "bad.png"}, "kxconv: bad.JPG: " + message + "\n");
  }
}

}  // namespace
}  // namespace kx
