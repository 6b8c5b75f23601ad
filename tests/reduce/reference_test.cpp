// The library against the slow reference of reference.cpp: the same .icn and
// .clm bytes on random and photograph-like pictures, with and without the
// adjustment, -Q, -z, -b and the quantization filter.
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

enum class Kind { Sample, Random, FewValues, Overflow };

struct Case {
  Kind kind;
  int width, height;
  uint32_t seed;
  ref::Options options;
  int quant = 0;  // quantization filter bits, 0 = off
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.width << "x" << c.height << " seed " << c.seed;
}

ref::Image makeImage(const Case& c) {
  ref::Image img{c.width, c.height, {}};
  const size_t n = static_cast<size_t>(c.width) * c.height;
  img.rgb.resize(3 * n);
  std::mt19937 rng(c.seed);
  switch (c.kind) {
    case Kind::Sample: {
      PicturePtr pic = makeSamplePicture(c.width, c.height, c.seed);
      for (size_t i = 0; i < n; ++i) {
        for (int ch = 0; ch < 3; ++ch) img.rgb[3 * i + ch] = pic->channel[ch][i];
      }
      break;
    }
    case Kind::Random:
    case Kind::Overflow:
      for (auto& v : img.rgb) v = static_cast<uint8_t>(rng());
      break;
    case Kind::FewValues:  // many exact ties in the sorts and the search
      for (auto& v : img.rgb) v = static_cast<uint8_t>((rng() % 5) * 60);
      break;
  }
  return img;
}

void filterImage(ref::Image& img, int bits) {
  for (int ch = 0; ch < 3; ++ch) {
    std::vector<uint8_t> channel;
    for (size_t i = ch; i < img.rgb.size(); i += 3) channel.push_back(img.rgb[i]);
    ref::quantChannel(channel, img.width, bits);
    for (size_t i = 0; i < channel.size(); ++i) img.rgb[3 * i + ch] = channel[i];
  }
}

class AgainstReference : public testing::TestWithParam<Case> {};

TEST_P(AgainstReference, SameFiles) {
  const Case& c = GetParam();
  ref::Image image = makeImage(c);

  // Library side, as the frame driver runs a frame.
  Picture pic;
  pic.width = static_cast<int16_t>(c.width);
  pic.height = static_cast<int16_t>(c.height);
  const size_t n = static_cast<size_t>(c.width) * c.height;
  for (int ch = 0; ch < 3; ++ch) {
    pic.channel[ch] = std::make_unique<uint8_t[]>(n);
    for (size_t i = 0; i < n; ++i) pic.channel[ch][i] = image.rgb[3 * i + ch];
  }
  if (c.quant) quantFloyd(pic, c.quant, 1);
  PixelPlanes planes = kx_pic2pixels(pic, c.width, c.height);
  RunSettings opt;
  opt.colors = c.options.colors;
  opt.paletteQuant = c.options.paletteQuant;
  opt.adjust = c.options.adjust;
  opt.adjustFactor = c.options.adjustFactor;
  opt.compress = c.options.compress;
  opt.bitsGiven = c.options.bitsGiven;
  opt.bits = c.options.bits;
  ReductionTables tables;
  tables.colIndexTab = std::make_unique<uint8_t[]>(n);
  tables.colIndexSize = n;
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

  // Reference side.
  if (c.quant) filterImage(image, c.quant);
  const ref::Result want = ref::reduce(image, c.options);
  ASSERT_EQ(status, want.status);
  if (status != 0) return;
  EXPECT_EQ(readFileBytes(name + ".clm"), want.clm);
  const std::vector<uint8_t> icn = readFileBytes(name + ".icn");
  ASSERT_EQ(icn.size(), want.icn.size());
  EXPECT_TRUE(icn == want.icn);
  EXPECT_TRUE(std::equal(want.mapped.rgb.begin(), want.mapped.rgb.end(), planes.data()));
  EXPECT_TRUE(std::equal(icn.begin() + 68, icn.end() - 8, tables.colIndexTab.get()));
}

ref::Options options(int colors, bool adjust = false, int paletteQuant = 0, float factor = 0.7f,
                     int compress = 255, int bits = 0) {
  ref::Options o;
  o.colors = colors;
  o.adjust = adjust;
  o.paletteQuant = paletteQuant;
  o.adjustFactor = factor;
  o.compress = compress;
  if (bits) {
    o.bitsGiven = true;
    o.bits = bits;
  }
  return o;
}

std::vector<Case> cases() {
  std::vector<Case> all;
  const std::vector<ref::Options> variants = {options(256),
                                              options(256, true),
                                              options(16),
                                              options(2, true),
                                              options(64, false, 3),
                                              options(64, true, 6, 1.0f),
                                              options(200, true, 0, 0.35f),
                                              options(32, false, 0, 0.7f, 100),
                                              options(48, true, 0, 0.7f, 33, 5),
                                              options(256, false, 0, 0.7f, 255, 12)};
  uint32_t seed = 1;
  // Narrow pictures: the adjustment works on rows a few pixels apart.
  const std::vector<std::pair<int, int>> sizes = {{1, 1}, {1, 9}, {9, 1},   {2, 5},
                                                  {3, 4}, {4, 3}, {37, 23}, {96, 64}};
  for (const auto& [w, h] : sizes) {
    for (const auto& o : variants) all.push_back({Kind::Sample, w, h, seed++, o});
  }
  for (const auto& o : variants) {
    all.push_back({Kind::Random, 61, 47, seed++, o});
    all.push_back({Kind::FewValues, 50, 31, seed++, o});
  }
  for (int q = 2; q <= 7; ++q) {
    all.push_back({Kind::Sample, 80, 60, seed++, options(256, q % 2 == 0), q});
    all.push_back({Kind::Random, 40, 30, seed++, options(128, q % 2 == 1, q == 4 ? 3 : 0), q});
  }
  // Larger pictures with the adjustment: rounding differences in the order
  // of the float sums would show here.
  all.push_back({Kind::Sample, 320, 240, seed++, options(256, true, 0, 1.0f)});
  all.push_back({Kind::Random, 200, 150, seed++, options(64, true, 0, 0.9f)});
  all.push_back({Kind::Sample, 250, 170, seed++, options(37, true, 0, 0.7f)});
  // More colours than the limit: compressed and counted again.
  all.push_back({Kind::Overflow, 256, 256, seed++, options(256)});
  all.push_back({Kind::Overflow, 256, 256, seed++, options(100, true, 4)});
  return all;
}

std::string caseName(const testing::TestParamInfo<Case>& info) {
  const Case& c = info.param;
  static const char* kinds[] = {"sample", "random", "fewvalues", "overflow"};
  const ref::Options& o = c.options;
  std::string s = std::to_string(info.index) + "_" + kinds[static_cast<int>(c.kind)] + "_" +
                  std::to_string(c.width) + "x" + std::to_string(c.height) + "_n" +
                  std::to_string(o.colors);
  if (o.adjust) s += "_a" + std::to_string(static_cast<int>(o.adjustFactor * 100));
  if (o.paletteQuant) s += "_Q" + std::to_string(o.paletteQuant);
  if (o.compress != 255) s += "_z" + std::to_string(o.compress);
  if (o.bitsGiven) s += "_b" + std::to_string(o.bits);
  if (c.quant) s += "_q" + std::to_string(c.quant);
  return s;
}

INSTANTIATE_TEST_SUITE_P(Pictures, AgainstReference, testing::ValuesIn(cases()), caseName);

}  // namespace
}  // namespace kx
