// The library against the slow reference of reference.cpp: the same .icn and
// .clm bytes, with and without -a, -Q, -q, -z, -b, and over the colour limit.
#include <gtest/gtest.h>

#include <random>

#include "output/output.h"
#include "picture/picture.h"
#include "picture/sample.h"
#include "reduce/reduce.h"
#include "reduce/reference.h"
#include "support/tempdir.h"

namespace kx {
namespace {

enum class Kind { Sample, Random, FewValues };

struct Case {
  const char* name;
  Kind kind;
  int width, height;
  ref::Options o;
  int quant = 0;  // -q filter bits, 0 = off
};

class AgainstReference : public testing::TestWithParam<Case> {};

TEST_P(AgainstReference, SameFiles) {
  const Case& c = GetParam();
  const size_t n = static_cast<size_t>(c.width) * c.height;
  const uint32_t seed = static_cast<uint32_t>(c.width * 31 + c.o.colors);
  PicturePtr pic = makeSamplePicture(c.width, c.height, seed);
  std::mt19937 rng(seed);
  ref::Image image{c.width, c.height, std::vector<uint8_t>(3 * n)};
  for (size_t i = 0; i < 3 * n; ++i) {
    uint8_t& v = pic->channel[i % 3][i / 3];
    if (c.kind == Kind::Random) v = static_cast<uint8_t>(rng());
    if (c.kind == Kind::FewValues) v = static_cast<uint8_t>(rng() % 5 * 60);  // many exact ties
    image.rgb[i] = v;
  }
  if (c.quant) quantFloyd(*pic, c.quant, 1);
  PixelPlanes planes = kx_pic2pixels(*pic, c.width, c.height);
  RunSettings opt;
  opt.colors = c.o.colors;
  opt.paletteQuant = c.o.paletteQuant;
  opt.adjust = c.o.adjust;
  opt.adjustFactor = c.o.adjustFactor;
  opt.compress = c.o.compress;
  opt.bitsGiven = c.o.bitsGiven;
  opt.bits = c.o.bits;
  ReductionTables tables;
  TempDir dir;
  const std::string name = dir.path("frame");
  int status = 0;
  testing::internal::CaptureStderr();
  try {
    Colormap map = kx_buildmap(name, planes, c.width, c.height, 255, &opt, tables);
    opt.outFile = kx_writeIconeFileHeader(name, c.width, c.height);
    kx_reduceColors(name, planes, c.width, c.height, 255, &opt, map, tables);
  } catch (const ExitRequest& e) {
    status = e.status;
  }
  testing::internal::GetCapturedStderr();

  if (c.quant) {
    for (int ch = 0; ch < 3; ++ch) {
      std::vector<uint8_t> channel;
      for (size_t i = ch; i < image.rgb.size(); i += 3) channel.push_back(image.rgb[i]);
      ref::quantChannel(channel, image.width, c.quant);
      for (size_t i = 0; i < channel.size(); ++i) image.rgb[3 * i + ch] = channel[i];
    }
  }
  const ref::Result want = ref::reduce(image, c.o);
  ASSERT_EQ(status, want.status);
  if (status != 0) return;
  EXPECT_EQ(readFileBytes(name + ".clm"), want.clm);
  EXPECT_TRUE(readFileBytes(name + ".icn") == want.icn);
  EXPECT_TRUE(std::equal(want.mapped.rgb.begin(), want.mapped.rgb.end(), planes.data()));
  EXPECT_TRUE(std::equal(want.icn.begin() + 68, want.icn.end() - 8, tables.colIndexTab.get()));
}

const Case kCases[] = {
    {"sample_n256", Kind::Sample, 37, 23, {}},
    {"sample_narrow_a", Kind::Sample, 1, 9, {.colors = 16, .adjust = true}},
    {"sample_row_a", Kind::Sample, 9, 1, {.colors = 2, .adjust = true}},
    {"sample_n16_a", Kind::Sample, 96, 64, {.colors = 16, .adjust = true}},
    {"random_Q3", Kind::Random, 61, 47, {.colors = 64, .paletteQuant = 3}},
    {"random_a_Q6",
     Kind::Random,
     61,
     47,
     {.colors = 64, .paletteQuant = 6, .adjust = true, .adjustFactor = 1.0f}},
    {"fewvalues_n2_a", Kind::FewValues, 50, 31, {.colors = 2, .adjust = true}},
    {"fewvalues_a_z33_b5",
     Kind::FewValues,
     50,
     31,
     {.colors = 48, .adjust = true, .compress = 33, .bitsGiven = true, .bits = 5}},
    {"sample_z100", Kind::Sample, 96, 64, {.colors = 32, .compress = 100}},
    {"random_b12", Kind::Random, 61, 47, {.bitsGiven = true, .bits = 12}},
    {"sample_q3", Kind::Sample, 80, 60, {}, 3},
    {"random_a_Q3_q4", Kind::Random, 40, 30, {.colors = 128, .paletteQuant = 3, .adjust = true}, 4},
    {"sample_large_a", Kind::Sample, 320, 240, {.adjust = true, .adjustFactor = 1.0f}},
    {"overlimit", Kind::Random, 256, 256, {}},
    {"overlimit_a_Q4", Kind::Random, 256, 256, {.colors = 100, .paletteQuant = 4, .adjust = true}},
};

INSTANTIATE_TEST_SUITE_P(Pictures, AgainstReference, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kx
