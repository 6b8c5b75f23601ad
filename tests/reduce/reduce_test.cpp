// Worked examples and refusals of the colour-reduction engine.
#include <gtest/gtest.h>

#include <array>
#include <set>
#include <tuple>

#include "reduce/reduce.h"

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

using Palette = std::vector<std::tuple<int, int, int>>;

Palette palette(Histogram h, int colors, int quantBits = 0) {
  ColorCount count;
  for (const auto& e : h) count.pixels += e.count;
  count.histogram = std::move(h);
  const Result<Colormap> map = choosePalette(count, PaletteOptions{colors, quantBits}, {});
  Palette out;
  for (const auto& e : *map) out.emplace_back(e.red, e.green, e.blue);
  return out;
}

// (Which channel is cut when ranges tie shows in the golden files of
// pictures of few sample values.)
TEST(MedianCut, CutsAtThePixelMedianOnTheWidestChannelAndMeansEachBox) {
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

TEST(Compression, MergesSampleValuesIntoRunsCentredAtTheirMean) {
  EXPECT_EQ(compressionMap(33)[85], 84);
  EXPECT_EQ(compressionMap(33)[255], 254);
  const SampleMap map = compressionMap(128);
  std::set<int> values(map.begin(), map.end()), expected = {0};
  for (int v = 1; v <= 255; v += 2) expected.insert(v);
  EXPECT_EQ(values, expected);
  // A merged run stands at its mean, in half units: 2 and 3 become 1.
  EXPECT_EQ(centresOf(map)[1], 2 + 3);
  EXPECT_EQ(centresOf(identityMap())[200], 400);
}

std::vector<uint8_t> filtered(std::vector<uint8_t> samples, int width, int bits) {
  uint8_t* channel[1] = {samples.data()};
  EXPECT_TRUE(filterChannels(channel, static_cast<int64_t>(samples.size()), width,
                             *quantizationTable(bits), true, {}));
  return samples;
}

TEST(Filter, SpreadsTheLimitedErrorToTheNeighboursOfEachLevel) {
  EXPECT_EQ(filtered({10, 10, 10}, 3, 3), (std::vector<uint8_t>{36, 0, 36}));
  // 85 is a level: nothing is spread.
  EXPECT_EQ(filtered({85, 100}, 2, 2), (std::vector<uint8_t>{85, 170}));
  // 86 → 170, its error −84 limited to −40: below gets 100 − 12.5 → 170.
  EXPECT_EQ(filtered({86, 0, 100, 0}, 2, 2), (std::vector<uint8_t>{170, 0, 170, 0}));
  EXPECT_EQ(filtered({1}, 1, 2), (std::vector<uint8_t>{0}));
  EXPECT_EQ(filtered({2}, 1, 2), (std::vector<uint8_t>{85}));
  EXPECT_EQ(quantizationTable(0).error().message,
            "quantization needs 1 to 8 bits per channel, not 0");
}

PixelPlanes distinctColours(int count) {
  std::vector<Rgb> px;
  for (int i = 0; i < count; ++i) px.push_back({i & 255, (i >> 8) & 255, 77});
  while (px.size() % 256) px.push_back(px.back());
  return planesOf(256, static_cast<int>(px.size() / 256), px);
}

// The counting's events in kxreduce's words, and its result.
struct Counted {
  std::string said;
  Result<ColorCount> count = Error();
};

Counted counted(const PixelPlanes& planes, CountOptions options = {}) {
  Counted c;
  c.count = countColors(viewOf(planes), options,
                        Context{nullptr, [&](const Event& e) { c.said += eventText(e); }});
  return c;
}

const std::string kTooMany =
    "Counting colors in the image...  More than 62768 colors found!!!\n"
    "Note: you can use option -q to reduce color.\nCompress and Counting colors again...\n";

TEST(Counting, ColourLimitAndTheCompressionItNeeds) {
  Counted c = counted(distinctColours(kColorLimit));
  ASSERT_TRUE(c.count.ok());
  EXPECT_EQ(c.said, "Counting colors in the image...  62768 colors found.\n");
  EXPECT_EQ(c.count->overflowTarget, 255);
  c = counted(distinctColours(kColorLimit + 1));
  ASSERT_TRUE(c.count.ok());
  EXPECT_EQ(c.said.rfind(kTooMany, 0), 0u) << c.said;
  EXPECT_EQ(c.count->overflowTarget, 128);
  EXPECT_EQ(c.count->counted, compressionMap(128));
  // -z first, then the compression to 128 on top of it.
  c = counted(distinctColours(kColorLimit + 1), CountOptions{200});
  EXPECT_EQ(c.said.rfind("Compressing colors ...\nCounting colors", 0), 0u) << c.said;
}

TEST(Counting, TooManyColoursEvenCompressed) {
  std::vector<Rgb> px;  // even values stay distinct after the compression to 128
  for (int i = 0; i < 64000; ++i) px.push_back({2 * (i / 1600), 2 * (i / 40 % 40), 2 * (i % 40)});
  const Counted c = counted(planesOf(320, 200, px));
  ASSERT_FALSE(c.count.ok());
  EXPECT_EQ(c.count.error().code, ErrorCode::tooManyColors);
  EXPECT_EQ(c.count.error().message, "Still too many colors, try option -q");
  EXPECT_EQ(c.said, kTooMany);
}

TEST(Remapping, PalettesOfNoneOrMoreThan256ColoursAreRefused) {
  const PixelPlanes p = planesOf(1, 1, {{1, 2, 3}});
  for (size_t size : {0, 257}) {
    const auto indices = remapPixels(viewOf(p), Colormap(size), {}, {});
    ASSERT_FALSE(indices.ok());
    EXPECT_EQ(indices.error().code, ErrorCode::badArgument);
  }
}

}  // namespace
}  // namespace kx
