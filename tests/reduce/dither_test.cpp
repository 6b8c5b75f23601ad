// The adaptive error diffusion on a picture made to show what it must do:
// flat blocks of colours the palette holds, edge to edge with a grey ramp
// whose greys fall between the palette's six; and the palette prepared once
// for the frames of a clip.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "reduce/reduce.h"

namespace kx {
namespace {

constexpr int kWidth = 512, kBlockRows = 64, kRampRows = 128;
const HistogramEntry kBlocks[] = {
    {200, 30, 30, 0}, {30, 160, 60, 0}, {40, 60, 200, 0}, {230, 200, 20, 0}};

struct Scene {
  PixelPlanes planes = kx_allocArray(kWidth, kBlockRows + kRampRows, 3);
  Colormap palette;

  Scene() {
    // Four blocks across the top rows, then the ramp: black to white, two
    // pixels a level.
    for (int y = 0; y < planes.height; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        uint8_t* p = planes.data() + (static_cast<size_t>(y) * kWidth + x) * 3;
        const HistogramEntry& b = kBlocks[x * 4 / kWidth];
        const uint8_t grey = static_cast<uint8_t>(x / 2);
        p[0] = y < kBlockRows ? b.red : grey;
        p[1] = y < kBlockRows ? b.green : grey;
        p[2] = y < kBlockRows ? b.blue : grey;
      }
    }
    palette.assign(std::begin(kBlocks), std::end(kBlocks));
    for (int g = 0; g <= 255; g += 51) palette.emplace_back(g, g, g);
  }
};

std::vector<uint8_t> remap(const PixelView& view, const Colormap& palette, Dither dither,
                           ThreadPool* pool, std::span<const uint8_t> strength = {}) {
  Result<std::vector<uint8_t>> indices =
      remapPixels(view, palette, {.dither = dither, .strength = strength}, {pool, nullptr});
  EXPECT_TRUE(indices.ok());
  return indices.ok() ? *indices : std::vector<uint8_t>{};
}

bool refusedAsBadArgument(const Result<std::vector<uint8_t>>& indices) {
  return !indices.ok() && indices.error().code == ErrorCode::badArgument;
}

TEST(AdaptiveDither, FlatBlocksStayExactAndTheRampHasNoBands) {
  const Scene scene;
  const PixelView view = viewOf(scene.planes);
  ThreadPool three(3);
  const std::vector<uint8_t> alone = remap(view, scene.palette, Dither::adaptive, nullptr);
  ASSERT_EQ(alone, remap(view, scene.palette, Dither::adaptive, &three));
  for (int y = 0; y < kBlockRows; ++y)
    for (int x = 0; x < kWidth; ++x)
      ASSERT_EQ(alone[y * kWidth + x], x * 4 / kWidth) << x << ", " << y;
  // Undithered, each step between greys is a band 102 pixels wide whose
  // average strays up to 25 levels from the ramp. Dithered (beyond the
  // rows the edge's window reaches), no index runs on for two thirds of
  // that, and the average of every column stays within 10 levels.
  size_t longest = 0;
  std::vector<int> sums(kWidth, 0);
  const int first = kBlockRows + 5, rows = kBlockRows + kRampRows - first;
  for (int y = first; y < kBlockRows + kRampRows; ++y) {
    const auto row = alone.begin() + y * kWidth;
    for (auto run = row; run != row + kWidth;) {
      const auto end = std::find_if(run, row + kWidth, [&](uint8_t i) { return i != *run; });
      longest = std::max(longest, static_cast<size_t>(end - run));
      run = end;
    }
    for (int x = 0; x < kWidth; ++x) sums[x] += scene.palette[row[x]].red;
  }
  EXPECT_LE(longest, 68u);
  for (int x = 0; x < kWidth; ++x) EXPECT_NEAR(sums[x] / rows, x / 2, 10) << x;

  // The map holds off the blocks and the edge, and is what the remap used.
  const Result<std::vector<uint8_t>> map =
      ditherStrength(view, scene.palette, {}, {&three, nullptr});
  ASSERT_TRUE(map.ok());
  for (int x = 0; x < kWidth; ++x) {
    EXPECT_EQ((*map)[(kBlockRows - 1) * kWidth + x], 0) << x;
    EXPECT_EQ((*map)[kBlockRows * kWidth + x], 0) << x;
    EXPECT_GT((*map)[(kBlockRows + kRampRows / 2) * kWidth + x], 0) << x;
  }
  EXPECT_EQ(remap(view, scene.palette, Dither::adaptive, nullptr, *map), alone);
  // Through a sample map (a compression) the picture is measured as mapped.
  const RemapOptions compressed{.samples = compressionMap(40), .strength = {}};
  PixelPlanes mapped = kx_allocArray(kWidth, kBlockRows + kRampRows, 3);
  for (size_t i = 0; i < mapped.byteSize(); ++i)
    mapped.data()[i] = compressed.samples[scene.planes.data()[i]];
  EXPECT_EQ(*ditherStrength(view, scene.palette, compressed, {}),
            *ditherStrength(viewOf(mapped), scene.palette, {}, {}));
  // A map of zeros leaves every pixel at its nearest entry.
  const std::vector<uint8_t> still(map->size(), 0);
  EXPECT_EQ(remap(view, scene.palette, Dither::adaptive, &three, still),
            remap(view, scene.palette, Dither::none, nullptr));
  const RemapOptions wrong{.dither = Dither::adaptive,
                           .strength = std::span<const uint8_t>(still).first(still.size() - 1)};
  EXPECT_TRUE(refusedAsBadArgument(remapPixels(view, scene.palette, wrong, {})));
}

// Texture hides part of the palette's error: on a grain of greys around a
// level the palette misses, a higher level dithers more of it, never less
// anywhere; a level the engine does not have is refused.
TEST(AdaptiveDither, HigherLevelsDitherMoreOfTheTexture) {
  PixelPlanes grain = kx_allocArray(96, 64, 3);
  for (size_t i = 0; i < grain.byteSize(); i += 3) {
    const uint8_t v = static_cast<uint8_t>(64 + (i * 2654435761u >> 13) % 96);
    grain.data()[i] = grain.data()[i + 1] = grain.data()[i + 2] = v;
  }
  Colormap greys;
  for (int g = 0; g <= 255; g += 17) greys.push_back({uint8_t(g), uint8_t(g), uint8_t(g), 0});
  long previous = -1;
  std::vector<uint8_t> lower;
  for (int level = 1; level <= kMaxDitherLevel; ++level) {
    const Result<std::vector<uint8_t>> map =
        ditherStrength(viewOf(grain), greys, {.ditherLevel = level, .strength = {}}, {});
    ASSERT_TRUE(map.ok());
    for (size_t i = 0; i < lower.size(); ++i)
      ASSERT_GE((*map)[i], lower[i]) << level << ", pixel " << i;
    const long sum = std::accumulate(map->begin(), map->end(), 0L);
    EXPECT_GT(sum, previous) << level;
    previous = sum;
    lower = *map;
  }
  const RemapOptions beyond{
      .dither = Dither::adaptive, .ditherLevel = kMaxDitherLevel + 1, .strength = {}};
  EXPECT_TRUE(refusedAsBadArgument(remapPixels(viewOf(grain), greys, beyond, {})));
}

// With alpha: the ramp's left quarter fully transparent, the rest at half
// opacity but for its lower right quarter, a little more opaque. The ramp is
// dithered as without alpha, the opaque blocks stay exact, and the pixels on
// both sides of every step of alpha (across and down) keep their nearest
// entry.
TEST(AdaptiveDither, TranslucentRampDitheredAlphaStepsLeftSharp) {
  const Scene scene;
  constexpr int kMiddle = kBlockRows + kRampRows / 2;
  auto alphaAt = [](int x, int y) {
    if (y < kBlockRows) return 255;
    if (x < kWidth / 4) return 0;
    return x >= kWidth / 2 && y >= kMiddle ? 160 : 128;
  };
  PixelPlanes rgba = kx_allocArray(kWidth, kBlockRows + kRampRows, 4);
  for (size_t i = 0; i < static_cast<size_t>(rgba.width) * rgba.height; ++i) {
    std::copy_n(scene.planes.data() + 3 * i, 3, rgba.data() + 4 * i);
    rgba.data()[4 * i + 3] =
        static_cast<uint8_t>(alphaAt(static_cast<int>(i % kWidth), static_cast<int>(i / kWidth)));
  }
  Colormap palette(std::begin(kBlocks), std::end(kBlocks));
  for (const int a : {128, 160})
    for (int g = 0; g <= 255; g += 51) palette.emplace_back(g, g, g, 0, a);
  palette.emplace_back(0, 0, 0, 0, 0);
  const PixelView view{rgba.data(), rgba.width, rgba.height, 4 * size_t{kWidth}, 4};
  ThreadPool three(3);
  const std::vector<uint8_t> dithered = remap(view, palette, Dither::adaptive, nullptr);
  const std::vector<uint8_t> nearest = remap(view, palette, Dither::none, nullptr);
  ASSERT_EQ(dithered, remap(view, palette, Dither::adaptive, &three));
  size_t moved = 0;
  for (int y = 0; y < kBlockRows + kRampRows; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const size_t i = static_cast<size_t>(y) * kWidth + x;
      if (y < kBlockRows) {
        ASSERT_EQ(dithered[i], x * 4 / kWidth) << x << ", " << y;
      }
      const int a = alphaAt(x, y);
      const bool step = (x > 0 && alphaAt(x - 1, y) != a) ||
                        (x + 1 < kWidth && alphaAt(x + 1, y) != a) ||
                        (y > kBlockRows && alphaAt(x, y - 1) != a) ||
                        (y + 1 < kBlockRows + kRampRows && alphaAt(x, y + 1) != a);
      if (y >= kBlockRows && step) {
        EXPECT_EQ(dithered[i], nearest[i]) << x << ", " << y;
      }
      moved += dithered[i] != nearest[i];
    }
  }
  EXPECT_GT(moved, static_cast<size_t>(kWidth) * kRampRows / 8);
}

// The palette prepared once for the frames of a clip: the same indices as
// remapPixels for every dithering, frame after frame (its search kept
// between them), on any pool; and a remap that knows the frame before keeps
// the indices of the pixels that stand still, and refuses a frame before of
// another size.
constexpr int kFrameWidth = 300, kFrameHeight = 120;

// Frame f: diagonal ramps that move f pixels to the right, below them a
// still band of two colours the palette lacks (which the errors diffused
// from above reach).
PixelPlanes movingFrame(int f) {
  PixelPlanes planes = kx_allocArray(kFrameWidth, kFrameHeight, 3);
  for (int y = 0; y < kFrameHeight; ++y) {
    for (int x = 0; x < kFrameWidth; ++x) {
      uint8_t* p = planes.data() + (static_cast<size_t>(y) * kFrameWidth + x) * 3;
      if (y >= kFrameHeight / 2) {
        p[0] = x < kFrameWidth / 2 ? 90 : 170, p[1] = 120, p[2] = 77;
      } else {
        p[0] = static_cast<uint8_t>(x - f + y), p[1] = static_cast<uint8_t>(2 * x - f), p[2] = 60;
      }
    }
  }
  return planes;
}

Colormap cubePalette() {
  Colormap colours;
  for (int i = 0; i < 27; ++i) colours.emplace_back(i % 3 * 120, i / 3 % 3 * 120, i / 9 * 120);
  return colours;
}

TEST(PaletteMapping, SameIndicesAsRemapPixelsAndStillPixelsKeepTheirs) {
  const Colormap colours = cubePalette();
  ThreadPool three(3);
  for (const Dither dither : {Dither::none, Dither::adjust, Dither::adaptive})
    for (ThreadPool* pool : {static_cast<ThreadPool*>(nullptr), &three}) {
      SCOPED_TRACE(testing::Message() << "dither " << static_cast<int>(dither)
                                      << (pool ? ", 3 threads" : ", no pool"));
      const RemapOptions options{.dither = dither, .strength = {}};
      const Context context{pool, nullptr};
      const PaletteMapper mapper(colours);
      for (int f = 0; f < 3; ++f) {
        const PixelPlanes planes = movingFrame(f);
        Result<std::vector<uint8_t>> alone = remapPixels(viewOf(planes), colours, options, context);
        Result<std::vector<uint8_t>> mapped = mapper.remap(viewOf(planes), options, context);
        ASSERT_TRUE(alone.ok() && mapped.ok());
        EXPECT_EQ(*mapped, *alone) << f;
      }
      // Frame 1 after frame 0: the still band keeps frame 0's indices.
      const PixelPlanes before = movingFrame(0), now = movingFrame(1);
      const PixelView beforeView = viewOf(before);
      const std::vector<uint8_t> first = *mapper.remap(beforeView, options, context);
      RemapOptions held = options;
      held.before = &beforeView;
      held.beforeIndices = first.data();
      Result<std::vector<uint8_t>> second = mapper.remap(viewOf(now), held, context);
      ASSERT_TRUE(second.ok());
      const size_t half = kFrameWidth * kFrameHeight / 2;
      EXPECT_TRUE(std::equal(first.begin() + half, first.end(), second->begin() + half));
      Result<std::vector<uint8_t>> single = remapPixels(viewOf(now), colours, held, {});
      ASSERT_TRUE(single.ok());
      EXPECT_EQ(*second, *single);
      // A frame before of another width is refused.
      const PixelView narrower{before.data(), kFrameWidth - 1, kFrameHeight, beforeView.stride, 3};
      held.before = &narrower;
      EXPECT_TRUE(refusedAsBadArgument(mapper.remap(viewOf(now), held, context)));
    }
}

}  // namespace
}  // namespace kx
