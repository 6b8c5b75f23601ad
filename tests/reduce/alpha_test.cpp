// Pixels with alpha through the engine: opaque ones take the opaque path
// exactly, and the others are counted, chosen and mapped as they are seen.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <set>

#include "imageio/imageio_pvt.h"
#include "reduce/reduce.h"
#include "support/case_names.h"

namespace kx {
namespace {

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
  RemapOptions remap;
  remap.dither = dither;
  r.indices = *remapPixels(view, r.palette, remap, {});
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
      ASSERT_EQ(a.palette.size(), b.palette.size());
      for (size_t i = 0; i < a.palette.size(); ++i) {
        const HistogramEntry &x = a.palette[i], &y = b.palette[i];
        EXPECT_EQ(std::tie(x.red, x.green, x.blue, x.alpha),
                  std::tie(y.red, y.green, y.blue, y.alpha));
      }
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

// RGBA of `n` pixels: f(i) for each.
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
