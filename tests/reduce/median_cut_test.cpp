#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "reduce/reduce.h"
#include "reduce/support.h"

namespace kx {
namespace {

using test::entry;

RunSettings settings(int colors, int paletteQuant = 0) {
  RunSettings opt;
  opt.colors = colors;
  opt.paletteQuant = paletteQuant;
  return opt;
}

int64_t totalOf(const Histogram& h) {
  int64_t n = 0;
  for (const auto& e : h) n += e.count;
  return n;
}

std::tuple<int, int, int> rgb(const HistogramEntry& e) {
  return {e.red, e.green, e.blue};
}

TEST(MedianCut, MedianFollowsPixelCounts) {
  // Red is the widest channel; the cut order is the red order.
  Histogram h = {entry(10, 0, 0, 5), entry(20, 0, 0, 1), entry(30, 0, 0, 1)};
  RunSettings opt = settings(2);
  Colormap map = makeColormap(h, 3, 7, 255, &opt);
  // {1 colour, 5 pixels} and {2 colours, 2 pixels}.
  EXPECT_EQ(rgb(map[0]), std::tuple(10, 0, 0));
  EXPECT_EQ(rgb(map[1]), std::tuple(20, 0, 0));

  h = {entry(10, 0, 0, 1), entry(20, 0, 0, 1), entry(30, 0, 0, 5)};
  map = makeColormap(h, 3, 7, 255, &opt);
  // {2 colours, 2 pixels} and {1 colour, 5 pixels}: the 5-pixel box first;
  // the 2-pixel box gives its first colour (equal counts).
  EXPECT_EQ(rgb(map[0]), std::tuple(30, 0, 0));
  EXPECT_EQ(rgb(map[1]), std::tuple(10, 0, 0));
}

TEST(MedianCut, ChannelTiesGoRedThenGreen) {
  // Red range 100 equals blue range 100 and exceeds green: cut on red. The
  // entries are listed so that a blue sort would split them differently.
  Histogram h = {entry(100, 0, 0, 1), entry(0, 0, 100, 1), entry(50, 5, 50, 1),
                 entry(60, 5, 40, 1)};
  RunSettings opt = settings(2);
  Colormap map = makeColormap(h, 4, 4, 255, &opt);
  // Red order: (0,0,100) (50,5,50) | (60,5,40) (100,0,0).
  EXPECT_EQ(rgb(map[0]), std::tuple(0, 0, 100));
  EXPECT_EQ(rgb(map[1]), std::tuple(60, 5, 40));

  // Green range equals blue range, red smaller: cut on green.
  h = {entry(0, 100, 0, 1), entry(0, 0, 100, 1), entry(1, 40, 60, 1), entry(1, 60, 40, 1)};
  map = makeColormap(h, 4, 4, 255, &opt);
  // Green order: (0,0,100) (1,40,60) | (1,60,40) (0,100,0).
  EXPECT_EQ(rgb(map[0]), std::tuple(0, 0, 100));
  EXPECT_EQ(rgb(map[1]), std::tuple(1, 60, 40));
}

TEST(MedianCut, FewerColoursThanPaletteKeepsEveryColour) {
  Histogram h(62768);
  for (int i = 0; i < 10; ++i) h[i] = entry(i * 20, 255 - i * 20, i, 1 + i);
  RunSettings opt = settings(256);
  Colormap map = makeColormap(h, 10, totalOf(h), 255, &opt);
  ASSERT_EQ(map.size(), 256u);
  std::set<std::tuple<int, int, int>> found;
  for (int i = 0; i < 10; ++i) found.insert(rgb(map[i]));
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(found.count({i * 20, 255 - i * 20, i}));
  for (int i = 10; i < 256; ++i) EXPECT_EQ(rgb(map[i]), std::tuple(0, 0, 0));
  // Descending box pixels: the 10-pixel colour first, the 1-pixel one last.
  EXPECT_EQ(rgb(map[0]), std::tuple(180, 75, 9));
  EXPECT_EQ(rgb(map[9]), std::tuple(0, 255, 0));
}

TEST(MedianCut, PopulousColourComesFirst) {
  Histogram h = {entry(0, 0, 0, 1), entry(200, 0, 0, 1000)};
  RunSettings opt = settings(2);
  Colormap map = makeColormap(h, 2, 1001, 255, &opt);
  EXPECT_EQ(rgb(map[0]), std::tuple(200, 0, 0));
  EXPECT_EQ(rgb(map[1]), std::tuple(0, 0, 0));
}

TEST(MedianCut, PaletteQuantUsesTruncatedMean) {
  Histogram h = {entry(10, 10, 10, 1), entry(20, 20, 20, 3)};
  RunSettings opt = settings(1, 3);
  Colormap map = makeColormap(h, 2, 4, 255, &opt);
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(rgb(map[0]), std::tuple(36, 36, 36));  // mean 17 → level 36

  // Without -Q a tie of counts gives the first colour of the box.
  h = {entry(10, 10, 10, 3), entry(20, 20, 20, 3)};
  opt = settings(1);
  map = makeColormap(h, 2, 6, 255, &opt);
  EXPECT_EQ(rgb(map[0]), std::tuple(10, 10, 10));
}

TEST(MedianCut, PaletteQuantSumsDoNotOverflow) {
  // 16.8 million pixels of white: 32-bit sums would wrap.
  Histogram h = {entry(255, 255, 255, 1 << 24), entry(0, 0, 0, 1)};
  RunSettings opt = settings(1, 4);
  Colormap map = makeColormap(h, 2, (1 << 24) + 1, 255, &opt);
  EXPECT_EQ(rgb(map[0]), std::tuple(255, 255, 255));  // mean 254 → level 255
}

TEST(MedianCut, EmptyHistogramGivesBlack) {
  Histogram h(5);
  for (int q : {0, 3}) {
    RunSettings opt = settings(4, q);
    Colormap map = makeColormap(h, 0, 0, 255, &opt);
    ASSERT_EQ(map.size(), 4u);
    for (const auto& e : map) EXPECT_EQ(rgb(e), std::tuple(0, 0, 0));
  }
}

}  // namespace
}  // namespace kx
