// The engine's palettes and indices, written as kxreduce writes them,
// against golden .icn and .clm files made when they matched a slow,
// independent reduction (tests/data/reduce/README): with and without -a,
// -Q, -q, -z and -b, on the sample picture, noise, and pictures of many
// exact ties.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "output/output.h"
#include "picture/picture.h"
#include "picture/sample.h"
#include "reduce/reduce.h"
#include "support/case_names.h"
#include "support/tempdir.h"

namespace kx {
namespace {

enum class Kind { Sample, Random, FewValues };

// The options that reach the reduction.
struct Options {
  int colors = 256, paletteQuant = 0, adjust = 0;
  float adjustFactor = 0.7f;
  int compress = 255, bits = 8, bitsGiven = 0;
};

struct Case {
  const char* name;
  Kind kind;
  int width, height;
  Options o;
  int filter = 0;  // -q bits, 0 = off
};

class Golden : public testing::TestWithParam<Case> {};

TEST_P(Golden, ReductionWritesTheCheckedInIcnAndClmBytes) {
  const Case& c = GetParam();
  const Options& o = c.o;
  const uint32_t seed = static_cast<uint32_t>(c.width * 31 + o.colors);
  PicturePtr pic = makeSamplePicture(c.width, c.height, seed);
  std::mt19937 rng(seed);
  for (size_t i = 0; i < 3 * static_cast<size_t>(c.width) * c.height; ++i) {
    uint8_t& v = pic->channel[i % 3][i / 3];
    if (c.kind == Kind::Random) v = static_cast<uint8_t>(rng());
    if (c.kind == Kind::FewValues) v = static_cast<uint8_t>(rng() % 5 * 60);
  }
  const int64_t n = int64_t{c.width} * c.height;
  if (c.filter) {
    uint8_t* channels[3] = {pic->channel[0].get(), pic->channel[1].get(), pic->channel[2].get()};
    ASSERT_TRUE(filterChannels(channels, n, c.width, *quantizationTable(c.filter), true, {}));
  }
  PixelPlanes planes = kx_allocArray(c.width, c.height, 3);
  for (int64_t i = 0; i < 3 * n; ++i) planes.data()[i] = pic->channel[i % 3][i / 3];

  const Result<ColorCount> count = countColors(viewOf(planes), CountOptions{o.compress}, {});
  ASSERT_TRUE(count.ok());
  const Result<Colormap> map = choosePalette(*count, PaletteOptions{o.colors, o.paletteQuant}, {});
  ASSERT_TRUE(map.ok());
  RemapOptions remap;
  remap.dither = o.adjust ? Dither::adjust : Dither::none;
  remap.factor = o.adjustFactor;
  remap.samples = count->counted;
  const Result<std::vector<uint8_t>> indices = remapPixels(viewOf(planes), *map, remap, {});
  ASSERT_TRUE(indices.ok());
  TempDir dir;
  const std::string name = dir.path("frame");
  ASSERT_TRUE(writeIconFile(name, c.width, c.height, *indices));
  ASSERT_TRUE(kx_writeColorMap(name, *map, ColormapFormat{o.colors, o.bits, o.bitsGiven != 0}));

  const std::string golden = std::string(KX_SOURCE_DIR) + "/tests/data/reduce/" + c.name;
  const std::vector<uint8_t> icn = readFileBytes(name + ".icn");
  if (std::getenv("KX_WRITE_GOLDEN")) {  // how the files were made
    writeFileBytes(golden + ".icn", icn);
    writeFileBytes(golden + ".clm", readFileBytes(name + ".clm"));
  }
  EXPECT_EQ(readFileBytes(name + ".clm"), readFileBytes(golden + ".clm"));
  EXPECT_TRUE(icn == readFileBytes(golden + ".icn"));
}

// clang-format off
const Case kCases[] = {
    {"sample_n256", Kind::Sample, 37, 23, {}},
    {"sample_narrow_a", Kind::Sample, 1, 9, {.colors = 16, .adjust = 1}},
    {"sample_row_a", Kind::Sample, 9, 1, {.colors = 2, .adjust = 1}},
    {"sample_n16_a", Kind::Sample, 96, 64, {.colors = 16, .adjust = 1}},
    {"random_Q3", Kind::Random, 61, 47, {.colors = 64, .paletteQuant = 3}},
    {"random_a_Q6", Kind::Random, 61, 47,
     {.colors = 64, .paletteQuant = 6, .adjust = 1, .adjustFactor = 1.0f}},
    {"fewvalues_n2_a", Kind::FewValues, 50, 31, {.colors = 2, .adjust = 1}},
    {"fewvalues_a_z33_b5", Kind::FewValues, 50, 31,
     {.colors = 48, .adjust = 1, .compress = 33, .bits = 5, .bitsGiven = 1}},
    {"sample_z100", Kind::Sample, 96, 64, {.colors = 32, .compress = 100}},
    {"random_b12", Kind::Random, 61, 47, {.bits = 12, .bitsGiven = 1}},
    {"sample_q3", Kind::Sample, 80, 60, {}, 3},
    {"random_a_Q3_q4", Kind::Random, 40, 30, {.colors = 128, .paletteQuant = 3, .adjust = 1}, 4},
    {"sample_large_a", Kind::Sample, 240, 160, {.adjust = 1, .adjustFactor = 1.0f}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Pictures, Golden, testing::ValuesIn(kCases), CaseName());

}  // namespace
}  // namespace kx
