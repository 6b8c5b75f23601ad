#include <gtest/gtest.h>

#include "reduce/reduce.h"
#include "reduce/support.h"

namespace kx {
namespace {

using test::entry;
using test::planesOf;

TEST(ColorHash, KnownBuckets) {
  EXPECT_EQ(kx_colorHash({1, 0, 0}), 258);
  EXPECT_EQ(kx_colorHash({0, 1, 0}), 3801);
  EXPECT_EQ(kx_colorHash({0, 0, 1}), 27011 % 6553);
  EXPECT_EQ(kx_colorHash({0, 0, 0}), 0);
  EXPECT_EQ(kx_colorHash({255, 255, 255}), 22961985 % 6553);
}

TEST(ColorTable, AddAndCheckKeepSameBucketColoursApart) {
  ColorTablePtr table = kx_allocColorTable();
  // Two colours of one bucket, found by search.
  Color a{1, 2, 3}, b{};
  bool found = false;
  for (int r = 0; r < 256 && !found; ++r) {
    for (int g = 0; g < 256 && !found; ++g) {
      Color c{static_cast<uint8_t>(r), static_cast<uint8_t>(g), 9};
      if (kx_colorHash(c) == kx_colorHash(a) && (r != 1 || g != 2)) {
        b = c;
        found = true;
      }
    }
  }
  ASSERT_TRUE(found);
  kx_addColorTable(*table, a, 11);
  kx_addColorTable(*table, b, 22);
  EXPECT_EQ(kx_checkColorTable(*table, a), 11);
  EXPECT_EQ(kx_checkColorTable(*table, b), 22);
  EXPECT_EQ(kx_checkColorTable(*table, Color{1, 2, 4}), -1);
  // Most recent first within the bucket.
  Histogram h = kx_colorTable2Histogram(*table, 5);
  ASSERT_EQ(h.size(), 5u);
  EXPECT_EQ(h[0].count, 22);
  EXPECT_EQ(h[1].count, 11);
  kx_freeColorTable(table);
  EXPECT_FALSE(table);
}

TEST(ColorTable, CountsSingleColourAndEmptyPicture) {
  PixelPlanes one = planesOf(4, 3, std::vector<test::Rgb>(12, {7, 8, 9}));
  int n = -1;
  std::optional<Histogram> h = kx_makeHistogram(one, 4, 3, 62768, &n);
  ASSERT_TRUE(h);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(h->size(), 62768u);  // room for the colour maximum
  EXPECT_EQ((*h)[0].count, 12);
  EXPECT_EQ((*h)[0].red, 7);

  PixelPlanes none = kx_allocArray(0, 0, 3);
  h = kx_makeHistogram(none, 0, 0, 10, &n);
  ASSERT_TRUE(h);
  EXPECT_EQ(n, 0);
  ColorTablePtr t = kx_makeColorTable(one, 0, 3, 10, &n);
  ASSERT_TRUE(t);
  EXPECT_EQ(n, 0);
}

TEST(ColorTable, LimitIsInclusive) {
  std::vector<test::Rgb> px;
  for (int i = 0; i < 50; ++i) px.push_back({i, 2 * i, 255 - i});
  PixelPlanes planes = planesOf(10, 5, px);
  int n = -1;
  EXPECT_TRUE(kx_makeHistogram(planes, 10, 5, 50, &n));
  EXPECT_EQ(n, 50);
  EXPECT_FALSE(kx_makeHistogram(planes, 10, 5, 49, &n));
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(kx_makeColorTable(planes, 10, 5, 50, &n));
  EXPECT_EQ(n, 50);
  EXPECT_FALSE(kx_makeColorTable(planes, 10, 5, 49, &n));
}

TEST(ColorTable, HistogramOrderIsBucketThenLatestFirst) {
  // (0,0,0) is in bucket 0; (1,0,0) in 258; (0,1,0) in 3801. Two colours of
  // bucket 258: the first met comes last.
  Color sameBucket{};
  for (int g = 0; g < 256; ++g) {
    for (int b = 0; b < 256; ++b) {
      Color c{0, static_cast<uint8_t>(g), static_cast<uint8_t>(b)};
      if (kx_colorHash(c) == 258) sameBucket = c;
    }
  }
  ASSERT_EQ(kx_colorHash(sameBucket), 258);
  const std::vector<test::Rgb> px = {
      {0, 1, 0}, {1, 0, 0}, {sameBucket.red, sameBucket.green, sameBucket.blue},
      {0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  PixelPlanes planes = planesOf(3, 2, px);
  int n = 0;
  std::optional<Histogram> h = kx_makeHistogram(planes, 3, 2, 100, &n);
  ASSERT_TRUE(h);
  ASSERT_EQ(n, 4);
  const Histogram& e = *h;
  EXPECT_EQ(std::tuple(e[0].red, e[0].green, e[0].blue, e[0].count), std::tuple(0, 0, 0, 1));
  EXPECT_EQ(std::tuple(e[1].red, e[1].green, e[1].blue),
            std::tuple(0, sameBucket.green, sameBucket.blue));
  EXPECT_EQ(std::tuple(e[2].red, e[2].green, e[2].blue, e[2].count), std::tuple(1, 0, 0, 2));
  EXPECT_EQ(std::tuple(e[3].red, e[3].green, e[3].blue, e[3].count), std::tuple(0, 1, 0, 2));

  // The chained table built by counting gives the same order.
  ColorTablePtr t = kx_makeColorTable(planes, 3, 2, 100, &n);
  ASSERT_TRUE(t);
  Histogram fromTable = kx_colorTable2Histogram(*t, n);
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(fromTable[i].red, e[i].red);
    EXPECT_EQ(fromTable[i].green, e[i].green);
    EXPECT_EQ(fromTable[i].blue, e[i].blue);
    EXPECT_EQ(fromTable[i].count, e[i].count);
  }
  EXPECT_EQ(kx_checkColorTable(*t, Color{1, 0, 0}), 2);
}

TEST(ColorTable, ManyColoursGrowTheCounter) {
  // More colours than the counter's first table holds, with repeats.
  std::vector<test::Rgb> px;
  for (int i = 0; i < 3000; ++i) px.push_back({i % 256, (i / 256) * 7, (i * 13) % 256});
  for (int i = 0; i < 3000; ++i) px.push_back(px[i]);
  PixelPlanes planes = planesOf(100, 60, px);
  int n = 0;
  ColorTablePtr t = kx_makeColorTable(planes, 100, 60, 62768, &n);
  ASSERT_TRUE(t);
  EXPECT_EQ(n, 3000);
  for (int i = 0; i < 3000; ++i) {
    const Color c{static_cast<uint8_t>(px[i].r), static_cast<uint8_t>(px[i].g),
                  static_cast<uint8_t>(px[i].b)};
    ASSERT_EQ(kx_checkColorTable(*t, c), 2);
  }
  Histogram h = kx_colorTable2Histogram(*t, 1);  // never smaller than the table
  EXPECT_EQ(h.size(), 3000u);
}

}  // namespace
}  // namespace kx
