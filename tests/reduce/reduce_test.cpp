// Worked examples and refusals of the colour-reduction engine; counting
// that compresses as far as it must (Overflow::finest, through the colour
// cube) against kxreduce's -z counts and an exhaustive search of the finest
// target; the palette's refinement: exact errors, never worse than the
// median cut, and known answers; pixels with alpha.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <tuple>

#include "imageio/imageio_pvt.h"
#include "reduce/reduce.h"
#include "support/case_names.h"
#include "support/pictures.h"

namespace kx {
namespace {

using Rgb = std::array<int, 3>;

PixelPlanes planesOf(int width, int height, const std::vector<Rgb>& colors) {
  PixelPlanes planes = kx_allocArray(width, height, 3);
  uint8_t* d = planes.data();
  for (const Rgb& c : colors) d = std::copy(c.begin(), c.end(), d);
  return planes;
}

using Palette = std::vector<std::tuple<int, int, int>>;

Palette rgbOf(const Colormap& map) {
  Palette out;
  for (const auto& e : map) out.emplace_back(e.red, e.green, e.blue);
  return out;
}

Colormap medianCut(Histogram h, int colors, int quantBits = 0) {
  ColorCount count;
  for (const auto& e : h) count.pixels += e.count;
  count.histogram = std::move(h);
  return *choosePalette(count, PaletteOptions{colors, quantBits}, {});
}

std::vector<std::tuple<int, int, int, int>> rgbCountOf(const Histogram& h) {
  std::vector<std::tuple<int, int, int, int>> out;
  for (const auto& e : h) out.emplace_back(e.red, e.green, e.blue, e.count);
  return out;
}

Palette palette(Histogram h, int colors, int quantBits = 0) {
  return rgbOf(medianCut(std::move(h), colors, quantBits));
}

// (Which channel is cut when ranges tie shows in the golden files of
// pictures of few sample values.)
TEST(MedianCut, CutsAtThePixelMedianOnTheWidestChannelAndMeansEachBox) {
  // The median follows pixel counts: {5} | {1, 1}, then {1, 1} | {5}.
  EXPECT_EQ(palette({{10, 0, 0, 5}, {20, 0, 0, 1}, {30, 0, 0, 1}}, 2),
            (Palette{{10, 0, 0}, {20, 0, 0}}));
  EXPECT_EQ(palette({{10, 0, 0, 1}, {20, 0, 0, 1}, {30, 0, 0, 5}}, 2),
            (Palette{{30, 0, 0}, {10, 0, 0}}));
  // Only blue has a range (of 1): the cut is on blue, which sorts the box.
  EXPECT_EQ(palette({{0, 0, 1, 1}, {0, 0, 0, 1}}, 2), (Palette{{0, 0, 0}, {0, 0, 1}}));
  // -Q 3: the mean 17 becomes level 36; without -Q a tie gives the first colour.
  EXPECT_EQ(palette({{10, 10, 10, 1}, {20, 20, 20, 3}}, 1, 3), (Palette{{36, 36, 36}}));
  EXPECT_EQ(palette({{10, 10, 10, 3}, {20, 20, 20, 3}}, 1), (Palette{{10, 10, 10}}));
  // 16.8 million pixels: 32-bit sums would wrap.
  EXPECT_EQ(palette({{255, 255, 255, 1 << 24}, {0, 0, 0, 1}}, 1, 4), (Palette{{255, 255, 255}}));
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
}

PixelPlanes distinctColours(int count) {
  std::vector<Rgb> px;
  for (int i = 0; i < count; ++i) px.push_back({i & 255, (i >> 8) & 255, 77});
  while (px.size() % 256) px.push_back(px.back());
  return planesOf(256, static_cast<int>(px.size() / 256), px);
}

TEST(Counting, CompressesPastTheColourLimitAndRefusesWhatStillPassesIt) {
  // The counting's events in kxreduce's words, and its result.
  std::string said;
  const auto counted = [&](const PixelPlanes& planes) {
    said.clear();
    return countColors(viewOf(planes), {},
                       Context{nullptr, [&](const Event& e) { said += eventText(e); }});
  };
  const std::string tooMany =
      "Counting colors in the image...  More than 62768 colors found!!!\n"
      "Note: you can use option -q to reduce color.\nCompress and Counting colors again...\n";
  Result<ColorCount> count = counted(distinctColours(kColorLimit));
  ASSERT_TRUE(count.ok());
  EXPECT_EQ(said, "Counting colors in the image...  62768 colors found.\n");
  EXPECT_EQ(count->overflowTarget, 255);
  count = counted(distinctColours(kColorLimit + 1));
  ASSERT_TRUE(count.ok());
  EXPECT_EQ(said.rfind(tooMany, 0), 0u) << said;
  EXPECT_EQ(count->overflowTarget, 128);
  EXPECT_EQ(count->counted, compressionMap(128));
  // Too many colours even compressed: even values stay distinct at 128.
  std::vector<Rgb> px;
  for (int i = 0; i < 64000; ++i) px.push_back({2 * (i / 1600), 2 * (i / 40 % 40), 2 * (i % 40)});
  count = counted(planesOf(320, 200, px));
  ASSERT_FALSE(count.ok());
  EXPECT_EQ(count.error().code, ErrorCode::tooManyColors);
  EXPECT_EQ(count.error().message, "Still too many colors, try option -q");
  EXPECT_EQ(said, tooMany);
}

// Zero bits would never finish building the filter's table.
TEST(Refused, FilterOfZeroBitsCompressionOutside1To255AndPalettesOfNoneOrMoreThan256Colours) {
  EXPECT_EQ(quantizationTable(0).error().message,
            "quantization needs 1 to 8 bits per channel, not 0");
  const PixelPlanes p = planesOf(1, 1, {{1, 2, 3}});
  const uint8_t translucent[4] = {1, 2, 3, 4};
  for (int compress : {0, 256})
    for (const PixelView& view : {viewOf(p), PixelView{translucent, 1, 1, 4, 4}})
      EXPECT_EQ(countColors(view, CountOptions{compress}, {}).error().message,
                "compress value " + std::to_string(compress) + " must be > 0");
  for (size_t size : {0, 257}) {
    const auto indices = remapPixels(viewOf(p), Colormap(size), {}, {});
    ASSERT_FALSE(indices.ok());
    EXPECT_EQ(indices.error().code, ErrorCode::badArgument);
  }
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
  // Ramps with a little noise: many close colours, as in a photograph.
  PixelPlanes original = kx_allocArray(120, 90, 3);
  std::ranges::copy(testPixels(120, 90, 9, false), original.data());
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
  EXPECT_EQ(rgbCountOf(counted->histogram), rgbCountOf(expected->histogram));
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

int64_t distance(const HistogramEntry& a, const HistogramEntry& b) {
  const int64_t dr = a.red - b.red, dg = a.green - b.green, db = a.blue - b.blue;
  return dr * dr + dg * dg + db * db;
}

// The remapping's rule, written out: squared distance, lowest index on ties.
int nearest(const Colormap& map, const HistogramEntry& e) {
  const auto closer = [&](const auto& a, const auto& b) { return distance(e, a) < distance(e, b); };
  return static_cast<int>(std::min_element(map.begin(), map.end(), closer) - map.begin());
}

int64_t totalError(const Histogram& h, const Colormap& map) {
  int64_t total = 0;
  for (const HistogramEntry& e : h) total += e.count * distance(e, map[nearest(map, e)]);
  return total;
}

// Blobs of colours around centres, with counts that fall off from the
// centre; every colour distinct.
Histogram blobs(const std::vector<std::tuple<int, int, int, int, int>>& centres, uint32_t seed) {
  std::mt19937 rng(seed);
  Histogram h;
  std::vector<bool> seen(1 << 24, false);
  for (const auto& [r, g, b, spread, colours] : centres) {
    std::normal_distribution<double> offset(0.0, spread);
    for (int added = 0; added < colours;) {
      const int cr = std::clamp(static_cast<int>(r + offset(rng)), 0, 255);
      const int cg = std::clamp(static_cast<int>(g + offset(rng)), 0, 255);
      const int cb = std::clamp(static_cast<int>(b + offset(rng)), 0, 255);
      const int key = (cr << 16) | (cg << 8) | cb;
      if (seen[key]) continue;
      seen[key] = true;
      const int d = std::abs(cr - r) + std::abs(cg - g) + std::abs(cb - b);
      h.emplace_back(cr, cg, cb, 1 + 400 / (1 + d));
      ++added;
    }
  }
  return h;
}

struct RefineCase {
  const char* name;
  int colors;
  Histogram histogram;
};

// Ties everywhere: identical counts and symmetric colours.
Histogram ties() {
  Histogram h;
  for (int v = 0; v < 8; ++v) {
    h.push_back(HistogramEntry{static_cast<uint8_t>(32 * v), 0, 0, 5});
    h.push_back(HistogramEntry{0, static_cast<uint8_t>(32 * v), 0, 5});
  }
  return h;
}

Histogram randomColours(int n, uint32_t seed) {
  std::mt19937 rng(seed);
  Histogram h;
  for (int i = 0; i < n; ++i) {
    h.push_back(HistogramEntry{static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()),
                               static_cast<uint8_t>(rng()), static_cast<int>(1 + rng() % 50)});
  }
  return h;
}

const RefineCase kRefineCases[] = {
    // The nearest entry of some colours is the first in key order.
    {"30 random colours, 3 entries", 3, randomColours(30, 10)},
    {"photo-like spread, 16 colours", 16,
     blobs({{90, 60, 40, 30, 3000}, {150, 170, 210, 25, 2000}, {230, 200, 60, 6, 50}}, 2)},
    {"many colours, 256 entries", 256,
     blobs({{60, 80, 100, 40, 20000}, {200, 120, 60, 30, 20000}}, 3)},
    {"ties everywhere, 5 colours", 5, ties()},
    {"one colour that millions of pixels share", 2, {HistogramEntry{17, 99, 250, 2000000000}}},
};

class Refinement : public testing::TestWithParam<RefineCase> {};

// The reported errors are the remapping's errors, and the refined palette is
// never worse than the median cut's: a pruned search that skipped a nearer
// entry, or an accepted step that raised the error, shows up here.
TEST_P(Refinement, ExactErrorsAndNeverWorse) {
  const RefineCase& c = GetParam();
  Histogram h = c.histogram;
  const Colormap start = medianCut(h, c.colors);
  Colormap refined = start;
  std::vector<int64_t> populations;
  const RefineReport report =
      refineColormap(h, refined, centresOf(identityMap()), nullptr, &populations);
  ASSERT_EQ(refined.size(), start.size());
  EXPECT_EQ(report.startError, totalError(h, start));
  EXPECT_EQ(report.endError, totalError(h, refined));
  EXPECT_LE(report.endError, report.startError);

  // Populations: what each entry serves, in descending order.
  std::vector<int64_t> served(refined.size(), 0);
  for (const HistogramEntry& e : h) served[nearest(refined, e)] += e.count;
  if (report.endError < report.startError) {
    EXPECT_EQ(populations, served);
    EXPECT_TRUE(std::is_sorted(populations.rbegin(), populations.rend()));
  }
}

INSTANTIATE_TEST_SUITE_P(Histograms, Refinement, testing::ValuesIn(kRefineCases), CaseName());

// Two large clusters and a small distinct one, three entries: median cut
// spends two entries on the large clusters' halves and loses the small one;
// the refinement gives it its own entry, and orders by population.
TEST(RefinementAnswers, SmallDistinctClusterGetsItsEntry) {
  Histogram h = blobs({{60, 50, 40, 10, 1500}, {190, 180, 170, 10, 1500}, {40, 210, 60, 3, 20}}, 7);
  const Colormap start = medianCut(h, 3);
  auto nearGreen = [](const HistogramEntry& e) {
    return std::abs(e.red - 40) + std::abs(e.green - 210) + std::abs(e.blue - 60) <= 12;
  };
  ASSERT_EQ(std::count_if(start.begin(), start.end(), nearGreen), 0);
  Colormap refined = start;
  refineColormap(h, refined, centresOf(identityMap()), nullptr);
  ASSERT_EQ(refined.size(), 3u);
  EXPECT_TRUE(nearGreen(refined[2]))
      << int(refined[2].red) << " " << int(refined[2].green) << " " << int(refined[2].blue);
}

// When the picture was compressed only to be counted, each entry is placed
// at the mean of the original samples: stored 1 stands for 2 and 3.
TEST(RefinementAnswers, CompressedSamplesCountAtTheirCentres) {
  Histogram h = {HistogramEntry{1, 1, 1, 10}, HistogramEntry{201, 201, 201, 10},
                 HistogramEntry{203, 203, 203, 10}};
  SampleCentres centres = centresOf(identityMap());
  centres[1] = 2 + 3;
  Colormap map = {HistogramEntry{201, 201, 201, 0}, HistogramEntry{0, 0, 0, 0}};
  refineColormap(h, map, centres, nullptr);
  EXPECT_EQ(rgbOf(map), (Palette{{202, 202, 202}, {3, 3, 3}}));
}

// Pixels with alpha through the engine: opaque ones take the opaque path
// exactly, and the others are counted, chosen and mapped as they are seen.

struct Reduced {
  Result<ColorCount> count = Error();
  Colormap palette;
  std::vector<uint8_t> indices;
};

PixelView viewOf4(const std::vector<uint8_t>& rgba, int width) {
  const int height = static_cast<int>(rgba.size() / 4 / width);
  return PixelView{rgba.data(), width, height, 4 * static_cast<size_t>(width), 4};
}

Reduced reduce(const PixelView& view, int colors, bool refine, Dither dither) {
  Reduced r;
  r.count = countColors(view, CountOptions{.overflow = Overflow::finest}, {});
  if (!r.count) return r;
  r.palette = *choosePalette(*r.count, PaletteOptions{colors, 0, refine}, {});
  r.indices = *remapPixels(view, r.palette, {.dither = dither, .strength = {}}, {});
  return r;
}

// An alpha channel of 255 everywhere changes nothing, with or without the
// refinement and the adjustment.
TEST(OpaqueAlpha, SameAsWithoutAlpha) {
  const Image rgb =
      expandToRgb(readPngFile(std::string(KX_SOURCE_DIR) + "/samples/astronaut.png"), false);
  std::vector<uint8_t> rgba;
  for (size_t i = 0; i < rgb.samples.size(); i += 3) {
    rgba.insert(rgba.end(), {rgb.samples[i], rgb.samples[i + 1], rgb.samples[i + 2], 255});
  }
  const PixelView three{rgb.samples.data(), rgb.width, rgb.height,
                        3 * static_cast<size_t>(rgb.width), 3};
  for (const bool refine : {false, true}) {
    for (const Dither dither : {Dither::none, Dither::adjust}) {
      SCOPED_TRACE(std::string(refine ? "refined" : "median cut") +
                   (dither == Dither::none ? "" : ", adjusted"));
      const Reduced a = reduce(three, 64, refine, dither);
      const Reduced b = reduce(viewOf4(rgba, rgb.width), 64, refine, dither);
      ASSERT_TRUE(a.count && b.count);
      EXPECT_FALSE(b.count->alpha);
      EXPECT_EQ(a.count->histogram.size(), b.count->histogram.size());
      ASSERT_EQ(rgbOf(a.palette), rgbOf(b.palette));
      for (size_t i = 0; i < a.palette.size(); ++i)
        EXPECT_EQ(a.palette[i].alpha, b.palette[i].alpha) << i;
      EXPECT_TRUE(a.indices == b.indices);
    }
  }
}

// Pictures with alpha, what they are reduced to, and what must hold.
struct SeenCase {
  const char* name;
  int width;
  std::function<std::vector<uint8_t>()> pixels;  // RGBA
  int colors;
  Dither dither;
  std::function<void(const std::vector<uint8_t>& rgba, const Reduced&)> check;
};

std::vector<uint8_t> pixelsOf(int n, const std::function<std::array<int, 4>(int)>& f) {
  std::vector<uint8_t> out;
  for (int i = 0; i < n; ++i)
    for (int v : f(i)) out.push_back(static_cast<uint8_t>(v));
  return out;
}

bool isTransparentEntry(const HistogramEntry& e) {
  return e.red == 0 && e.green == 0 && e.blue == 0 && e.alpha == 0;
}

// Transparent pixels of every colour, and opaque ones of a few.
std::array<int, 4> transparentMix(int i) {
  if (i % 3) return {i * 37 % 256, i * 91 % 256, i * 13 % 256, 0};
  return {i % 4 * 60, 200, 100, 255};
}

const SeenCase kSeen[] = {
    {"RampOfOneColourStaysMonotonic", 256,
     [] {
       return pixelsOf(256 * 4, [](int i) { return std::array<int, 4>{200, 30, 40, i % 256}; });
     },
     16, Dither::none,
     [](const std::vector<uint8_t>&, const Reduced& r) {
       std::set<int> levels;
       int before = -1;
       for (int x = 0; x < 256; ++x) {
         const HistogramEntry& e = r.palette[r.indices[x]];
         EXPECT_GE(e.alpha, before) << "at alpha " << x;
         EXPECT_LE(std::abs(e.alpha - x), 12) << "at alpha " << x;
         before = e.alpha;
         levels.insert(e.alpha);
       }
       EXPECT_EQ(levels.size(), 16u);
       EXPECT_TRUE(isTransparentEntry(r.palette[r.indices[0]]));
     }},
    {"TransparentPixelsOfEveryColourAreOneEntry", 60,
     [] { return pixelsOf(60 * 30, transparentMix); }, 8, Dither::adjust,
     [](const std::vector<uint8_t>& rgba, const Reduced& r) {
       EXPECT_TRUE(r.count->alpha);
       EXPECT_EQ(r.count->histogram.size(), 5u);  // the transparent one and four opaque
       EXPECT_TRUE(isTransparentEntry(r.palette[0]));
       for (size_t i = 0; i < r.indices.size(); ++i)
         ASSERT_EQ(r.indices[i] == 0, rgba[4 * i + 3] == 0) << "pixel " << i;
     }},
    {"AllTransparent", 16,
     [] { return pixelsOf(16 * 16, [](int i) {
            return std::array<int, 4>{i, 255 - i, 7, 0};
          }); },
     4, Dither::adjust,
     [](const std::vector<uint8_t>&, const Reduced& r) {
       ASSERT_EQ(r.count->histogram.size(), 1u);
       EXPECT_EQ(r.count->histogram[0].count, 256);
       EXPECT_TRUE(isTransparentEntry(r.palette[0]));
       EXPECT_EQ(std::set<uint8_t>(r.indices.begin(), r.indices.end()), std::set<uint8_t>{0});
     }},
    // Red and blue at alpha 4 look alike (nearly nothing); greys 100 and 140
    // do not, although their samples are closer.
    {"FaintColoursMatterLittle", 40,
     [] {
       return pixelsOf(40 * 4, [](int i) {
         const std::array<int, 4> kinds[4] = {
             {255, 0, 0, 4}, {0, 0, 255, 4}, {100, 100, 100, 255}, {140, 140, 140, 255}};
         return kinds[i % 4];
       });
     },
     3, Dither::none,
     [](const std::vector<uint8_t>&, const Reduced& r) {
       EXPECT_EQ(r.indices[0], r.indices[1]);
       EXPECT_NE(r.indices[2], r.indices[3]);
       EXPECT_NE(r.indices[0], r.indices[2]);
     }},
    // Beyond the colour limit: compressed, never refused; opaque stays opaque.
    {"NoiseIsCompressedToFit", 400,
     [] {
       std::mt19937 random(3);
       return pixelsOf(400 * 300, [&](int i) {
         const int v = static_cast<int>(random());
         return std::array<int, 4>{v & 255, v >> 8 & 255, v >> 16 & 255,
                                   i % 5 == 0 ? 255 : v >> 24 & 255};
       });
     },
     256, Dither::adjust,
     [](const std::vector<uint8_t>& rgba, const Reduced& r) {
       EXPECT_LT(r.count->overflowTarget, 128);
       EXPECT_LE(static_cast<int>(r.count->histogram.size()), kColorLimit);
       int64_t opaque = 0;
       for (const HistogramEntry& e : r.count->histogram) opaque += e.alpha == 255 ? e.count : 0;
       EXPECT_GE(opaque, 400 * 300 / 5);
       const Result<ColorCount> once = countColors(viewOf4(rgba, 400), CountOptions{}, {});
       ASSERT_FALSE(once.ok());
       EXPECT_EQ(once.error().code, ErrorCode::tooManyColors);
     }},
};

class SeenAsTheyAre : public testing::TestWithParam<SeenCase> {};

TEST_P(SeenAsTheyAre, ReducedByMedianCutAndRefinementAlike) {
  const SeenCase& c = GetParam();
  const std::vector<uint8_t> rgba = c.pixels();
  for (bool refine : {false, true}) {
    SCOPED_TRACE(refine ? "refined" : "median cut");
    const Reduced r = reduce(viewOf4(rgba, c.width), c.colors, refine, c.dither);
    ASSERT_TRUE(r.count.ok()) << r.count.error().message;
    ASSERT_EQ(r.indices.size(), rgba.size() / 4);
    c.check(rgba, r);
  }
}

INSTANTIATE_TEST_SUITE_P(Pictures, SeenAsTheyAre, testing::ValuesIn(kSeen), CaseName());

}  // namespace
}  // namespace kx
