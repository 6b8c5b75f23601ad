// Counting in stripes, in-process: the histogram keeps the order and counts
// of one pass over the rows (the order decides the palette through the ties
// of the median cut, which whole runs rarely expose), and the colour limit
// holds for colours spread over several stripes.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <tuple>
#include <vector>

#include "common/threads.h"
#include "reduce/reduce.h"

namespace kx {
namespace {

// Stripes are what is tested: several threads on any machine.
ThreadPool& pool() {
  static ThreadPool threads(3);
  return threads;
}

using Colour = std::tuple<int, int, int>;

PixelPlanes planesOf(int width, int height, const std::vector<Colour>& pixels) {
  PixelPlanes planes = kx_allocArray(width, height, 3);
  uint8_t* d = planes.data();
  for (const auto& [r, g, b] : pixels) d = std::copy_n(std::array<int, 3>{r, g, b}.begin(), 3, d);
  return planes;
}

// The chained table pixel by pixel: new colours at the head of their bucket.
std::vector<std::tuple<int, int, int, int>> chainedHistogram(const std::vector<Colour>& pixels) {
  std::vector<std::vector<std::tuple<int, int, int, int>>> chains(kColorTableBuckets);
  for (const auto& [r, g, b] : pixels) {
    auto& chain = chains[kx_colorHash(
        Color{static_cast<uint8_t>(r), static_cast<uint8_t>(g), static_cast<uint8_t>(b)})];
    auto it = std::find_if(chain.begin(), chain.end(), [&](const auto& e) {
      return std::get<0>(e) == r && std::get<1>(e) == g && std::get<2>(e) == b;
    });
    if (it != chain.end()) {
      ++std::get<3>(*it);
    } else {
      chain.insert(chain.begin(), {r, g, b, 1});
    }
  }
  std::vector<std::tuple<int, int, int, int>> all;
  for (const auto& chain : chains) all.insert(all.end(), chain.begin(), chain.end());
  return all;
}

// Pixels drawn from `distinct` colours, a few to a bucket, each stripe of
// rows favouring colours of its own so that later stripes bring new ones.
std::vector<Colour> drawPixels(int width, int height, int distinct, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<Colour> colours;
  for (int i = 0; i < distinct; ++i) colours.emplace_back(random() & 255, random() & 255, i & 255);
  std::vector<Colour> pixels;
  for (int y = 0; y < height; ++y) {
    const int band = distinct * y / height;
    for (int x = 0; x < width; ++x) {
      const bool local = random() % 4 != 0;
      const int near = band + static_cast<int>(random() % 64);
      pixels.push_back(colours[local ? near % distinct : random() % distinct]);
    }
  }
  return pixels;
}

TEST(Stripes, HistogramHasTheOrderAndCountsOfOnePass) {
  for (const auto& [width, height, distinct] :
       {std::tuple{600, 401, 30000}, std::tuple{2000, 90, 200}}) {
    const std::vector<Colour> pixels = drawPixels(width, height, distinct, width);
    const PixelPlanes planes = planesOf(width, height, pixels);
    const Result<ColorCount> count = countColors(viewOf(planes), {}, Context{&pool(), {}});
    ASSERT_TRUE(count.ok());
    std::vector<std::tuple<int, int, int, int>> got;
    for (const HistogramEntry& e : count->histogram)
      got.emplace_back(e.red, e.green, e.blue, e.count);
    EXPECT_TRUE(got == chainedHistogram(pixels)) << width << " x " << height;
  }
}

TEST(Stripes, ColourLimitHoldsAcrossStripes) {
  // No stripe alone passes the limit; together they reach it exactly, or
  // pass it by one colour in the last stripe.
  constexpr int kWidth = 500, kHeight = 600, kLimit = 3000;
  for (int extra : {0, 1}) {
    std::vector<Colour> pixels(kWidth * kHeight, Colour{0, 0, 0});
    for (int i = 0; i < kLimit + extra; ++i) {
      const int at = static_cast<int>(int64_t{i} * kWidth * kHeight / (kLimit + extra));
      pixels[at] = Colour{i & 255, (i >> 8) + 1, 7};
    }
    const PixelPlanes planes = planesOf(kWidth, kHeight, pixels);
    const Result<ColorCount> count =
        countColors(viewOf(planes), CountOptions{255, kLimit + 1}, Context{&pool(), {}});
    ASSERT_TRUE(count.ok());
    // Past the limit, the colours are compressed to be counted.
    EXPECT_EQ(count->overflowTarget, extra == 0 ? 255 : 128);
    if (extra == 0) {
      EXPECT_EQ(count->histogram.size(), size_t{kLimit + 1});
    }
  }
}

}  // namespace
}  // namespace kx
