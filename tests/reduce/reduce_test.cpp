// Worked examples and refusals of the colour reduction.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <set>
#include <tuple>

#include "output/output.h"
#include "reduce/reduce.h"
#include "support/capture.h"
#include "support/tempdir.h"

namespace kx {
namespace {

using Rgb = std::array<int, 3>;

PixelPlanes planesOf(int width, int height, const std::vector<Rgb>& colors) {
  PixelPlanes planes = kx_allocArray(width, height, 3);
  uint8_t* d = planes.data();
  for (const Rgb& c : colors) d = std::copy(c.begin(), c.end(), d);
  return planes;
}

HistogramEntry entry(uint8_t r, uint8_t g, uint8_t b, int count = 0) {
  return {r, g, b, count};
}

// The colour table answers with a colour's value, -1 for one it lacks, also
// in a bucket that holds others.
TEST(ColorTable, Lookup) {
  ColorTablePtr table = kx_allocColorTable();
  kx_addColorTable(*table, {1, 0, 0}, 7);
  kx_addColorTable(*table, {0, 20, 20}, 9);  // the same bucket
  EXPECT_EQ(kx_checkColorTable(*table, {1, 0, 0}), 7);
  EXPECT_EQ(kx_checkColorTable(*table, {0, 20, 20}), 9);
  EXPECT_EQ(kx_checkColorTable(*table, {0, 1, 0}), -1);
  EXPECT_EQ(kx_checkColorTable(*table, {1, 0, 1}), -1);
}

using Palette = std::vector<std::tuple<int, int, int>>;

Palette palette(Histogram h, int colors, int paletteQuant = 0) {
  RunSettings opt;
  opt.colors = colors;
  opt.paletteQuant = paletteQuant;
  int64_t pixels = 0;
  for (const auto& e : h) pixels += e.count;
  Palette out;
  const Colormap map = makeColormap(h, static_cast<int>(h.size()), pixels, 255, &opt);
  for (const auto& e : map) out.emplace_back(e.red, e.green, e.blue);
  return out;
}

// (Which channel is cut when ranges tie shows in the golden files of
// pictures of few sample values.)
TEST(MedianCut, Examples) {
  // The median follows pixel counts: {5} | {1, 1}, then {1, 1} | {5}.
  EXPECT_EQ(palette({entry(10, 0, 0, 5), entry(20, 0, 0, 1), entry(30, 0, 0, 1)}, 2),
            (Palette{{10, 0, 0}, {20, 0, 0}}));
  EXPECT_EQ(palette({entry(10, 0, 0, 1), entry(20, 0, 0, 1), entry(30, 0, 0, 5)}, 2),
            (Palette{{30, 0, 0}, {10, 0, 0}}));
  // Only blue has a range (of 1): the cut is on blue, which sorts the box.
  EXPECT_EQ(palette({entry(0, 0, 1, 1), entry(0, 0, 0, 1)}, 2), (Palette{{0, 0, 0}, {0, 0, 1}}));
  // -Q 3: the mean 17 becomes level 36; without -Q a tie gives the first colour.
  EXPECT_EQ(palette({entry(10, 10, 10, 1), entry(20, 20, 20, 3)}, 1, 3), (Palette{{36, 36, 36}}));
  EXPECT_EQ(palette({entry(10, 10, 10, 3), entry(20, 20, 20, 3)}, 1), (Palette{{10, 10, 10}}));
  // 16.8 million pixels: 32-bit sums would wrap.
  EXPECT_EQ(palette({entry(255, 255, 255, 1 << 24), entry(0, 0, 0, 1)}, 1, 4),
            (Palette{{255, 255, 255}}));
}

int compressed(int value, int target) {
  PixelPlanes p = planesOf(1, 1, {{value, value, value}});
  kx_compressColors(p, 1, 1, target, 255);
  return p.data()[0];
}

TEST(Compression, Examples) {
  EXPECT_EQ(compressed(85, 33), 84);
  EXPECT_EQ(compressed(255, 33), 254);
  std::set<int> values, expected = {0};
  for (int v = 0; v < 256; ++v) values.insert(compressed(v, 128));
  for (int v = 1; v <= 255; v += 2) expected.insert(v);
  EXPECT_EQ(values, expected);
}

std::vector<uint8_t> filtered(std::vector<uint8_t> samples, int width, int bits) {
  int16_t t[256];
  makequanttab(t, bits);
  applytab(samples.data(), t, static_cast<int64_t>(samples.size()), width, 1);
  return samples;
}

TEST(Filter, Examples) {
  EXPECT_EQ(filtered({10, 10, 10}, 3, 3), (std::vector<uint8_t>{36, 0, 36}));
  // 85 is a level: nothing is spread.
  EXPECT_EQ(filtered({85, 100}, 2, 2), (std::vector<uint8_t>{85, 170}));
  // 86 → 170, its error −84 limited to −40: below gets 100 − 12.5 → 170.
  EXPECT_EQ(filtered({86, 0, 100, 0}, 2, 2), (std::vector<uint8_t>{170, 0, 170, 0}));
  EXPECT_EQ(filtered({1}, 1, 2), (std::vector<uint8_t>{0}));
  EXPECT_EQ(filtered({2}, 1, 2), (std::vector<uint8_t>{85}));
  int16_t t[256];
  std::string err;
  EXPECT_EQ(exitStatusOf([&] { makequanttab(t, 0); }, &err), 255);
  EXPECT_EQ(err, "Error: quantization needs 1 to 8 bits per channel, not 0\n");
}

PixelPlanes distinctColours(int count) {
  std::vector<Rgb> px;
  for (int i = 0; i < count; ++i) px.push_back({i & 255, (i >> 8) & 255, 77});
  while (px.size() % 256) px.push_back(px.back());
  return planesOf(256, static_cast<int>(px.size() / 256), px);
}

struct BuildMap : testing::Test {
  TempDir dir;
  RunSettings opt;
  ReductionTables tables;
  std::string name = dir.path("out");
  std::string err;
  const std::string tooMany =
      "More than 62768 colors found!!!\nNote: you can use option -q to reduce color.\n";

  int build(PixelPlanes& p, int maxval) {
    return exitStatusOf([&] { kx_buildmap(name, p, p.width, p.height, maxval, &opt, tables); },
                        &err);
  }
  int remap(const Colormap& map) {
    PixelPlanes p = planesOf(1, 1, {{1, 2, 3}});
    opt.colors = static_cast<int>(map.size());
    auto run = [&] {
      opt.outFile = kx_writeIconeFileHeader(name, 1, 1);
      kx_reduceColors(name, p, 1, 1, 255, &opt, map, tables);
    };
    return exitStatusOf(run, &err);
  }
};

TEST_F(BuildMap, ColourLimit) {
  PixelPlanes p = distinctColours(kColorLimit);
  opt.verbose = 1;
  EXPECT_EQ(build(p, 255), -1);
  EXPECT_EQ(err, "Counting colors in the image...  62768 colors found.\nChoosing 256 colors...\n");
  PixelPlanes q = distinctColours(kColorLimit + 1);
  EXPECT_EQ(build(q, 255), -1);
  EXPECT_EQ(err.rfind("Counting colors in the image...  " + tooMany +
                          "Compress and Counting colors again...\n",
                      0),
            0u);
  EXPECT_EQ(opt.compress, 255);
}

TEST_F(BuildMap, TooManyColoursEndWithStatusOne) {
  std::vector<Rgb> px;  // even values stay distinct after the compression to 128
  for (int i = 0; i < 64000; ++i) px.push_back({2 * (i / 1600), 2 * (i / 40 % 40), 2 * (i % 40)});
  PixelPlanes p = planesOf(320, 200, px);
  EXPECT_EQ(build(p, 255), 1);
  EXPECT_EQ(
      err,
      tooMany + "Compress and Counting colors again...\nStill too many colors, try option -q\n");
  EXPECT_FALSE(std::filesystem::exists(name + ".clm"));
  // No room to compress: the samples already go up to 128 only.
  PixelPlanes q = distinctColours(kColorLimit + 1);
  opt.compress = 128;
  EXPECT_EQ(build(q, 128), 1);
  EXPECT_EQ(err, tooMany +
                     "Re-start with option -z <factor>.\n<factor> must > 0\n"
                     "that will help you reduce colors.\n");
}

TEST_F(BuildMap, Refusals) {
  tables.virtualImg = std::make_shared<PixelPlanes>(kx_allocArray(2, 768, 3));
  opt.unique = 1;
  opt.colors = 3;
  PixelPlanes a = planesOf(1, 1, {{1, 2, 3}});
  EXPECT_EQ(build(a, 255) + build(a, 255), -2);
  EXPECT_EQ(build(a, 255), 255);
  EXPECT_EQ(err, "Error: the unique colormap has no room for frame 3\n");
  EXPECT_EQ(remap(Colormap(300, entry(1, 2, 3))), 255);
  EXPECT_EQ(err, "Error: cannot map " + name +
                     ".icn onto a colormap of 300 colors (1 to 256 can be written)\n");
  opt.outFile.reset();
  FileSizeLimit full(10);
  EXPECT_EQ(remap({entry(0, 0, 0)}), 255);
  EXPECT_EQ(err, "Error: File too large , Can't write " + name + ".icn\n");
  EXPECT_FALSE(opt.outFile);
}

}  // namespace
}  // namespace kx
