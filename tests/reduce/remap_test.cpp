#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "output/output.h"
#include "reduce/reduce.h"
#include "reduce/reduce_pvt.h"
#include "reduce/support.h"
#include "support/tempdir.h"

namespace kx {
namespace {

using test::entry;
using test::exitStatusOf;
using test::planesOf;
using test::Rgb;

struct Remap : testing::Test {
  TempDir dir;
  RunSettings opt;
  ReductionTables tables;
  std::string name = dir.path("out");

  // Remaps and returns the index bytes of the finished file.
  std::vector<uint8_t> run(PixelPlanes& planes, const Colormap& map) {
    opt.colors = static_cast<int>(map.size());
    opt.outFile = kx_writeIconeFileHeader(name, planes.width, planes.height);
    kx_reduceColors(name, planes, planes.width, planes.height, 255, &opt, map, tables);
    EXPECT_FALSE(opt.outFile);  // consumed
    const std::vector<uint8_t> bytes = readFileBytes(name + ".icn");
    const size_t n = planes.byteSize() / 3;
    EXPECT_EQ(bytes.size(), n + 76);
    return std::vector<uint8_t>(bytes.begin() + 68, bytes.begin() + 68 + n);
  }
};

TEST_F(Remap, NearestEntryAndLowestIndexOnTies) {
  Colormap map = {entry(0, 0, 0), entry(100, 100, 100), entry(100, 100, 100), entry(10, 0, 0),
                  entry(0, 0, 0), entry(0, 0, 0),       entry(0, 0, 0),       entry(30, 0, 0)};
  PixelPlanes p = planesOf(4, 1, {{100, 100, 100}, {20, 0, 0}, {9, 0, 0}, {29, 1, 0}});
  const std::vector<uint8_t> idx = run(p, map);
  EXPECT_EQ(idx, (std::vector<uint8_t>{1, 3, 3, 7}));  // 20 is as far from 10 as from 30
  EXPECT_EQ(p.data()[3], 10);                          // the pixel now holds the palette colour
  for (int i = 0; i < 4; ++i) EXPECT_EQ(tables.colIndexTab[i], idx[i]);
}

TEST_F(Remap, TrailerAndHeaderSurroundTheIndices) {
  PixelPlanes p = planesOf(3, 2, std::vector<Rgb>(6, {5, 5, 5}));
  run(p, {entry(0, 0, 0), entry(5, 5, 5)});
  const std::vector<uint8_t> bytes = readFileBytes(name + ".icn");
  ASSERT_EQ(bytes.size(), 82u);
  EXPECT_EQ(std::vector<uint8_t>(bytes.end() - 8, bytes.end()),
            (std::vector<uint8_t>{0, 0, 0, 0, '_', 'E', 'O', 'F'}));
  EXPECT_EQ(bytes[68], 1);
}

TEST(AdjustError, SpreadsSevenThreeFiveOne) {
  // A red sample of 100 mapped to 90 with factor 0.7: err = 7.
  const float err = static_cast<float>(100 - 90) * 0.7f;
  EXPECT_EQ(err, 7.0f);
  EXPECT_EQ(err * 7.0f / 16.0f, 3.0625f);
  EXPECT_EQ(err * 3.0f / 16.0f, 1.3125f);
  EXPECT_EQ(err * 5.0f / 16.0f, 2.1875f);
  EXPECT_EQ(err * 1.0f / 16.0f, 0.4375f);
}

TEST_F(Remap, AdjustmentCarriesTheErrorRightAndDown) {
  const Colormap map = {entry(90, 0, 0), entry(110, 0, 0)};
  // 98 alone maps to 90; with 3.0625 carried from its left neighbour it is
  // 101 and maps to 110.
  PixelPlanes p = planesOf(2, 1, {{100, 0, 0}, {98, 0, 0}});
  opt.adjust = 1;
  EXPECT_EQ(run(p, map), (std::vector<uint8_t>{0, 1}));
  PixelPlanes q = planesOf(2, 1, {{100, 0, 0}, {98, 0, 0}});
  opt.adjust = 0;
  EXPECT_EQ(run(q, map), (std::vector<uint8_t>{0, 0}));
  // Downwards: 2.1875 reaches the pixel below (97 → 99.19 → 99: still 90),
  // 98 → 100.19 → 100 ties and keeps index 0; 99 → 101.19 → 110.
  for (auto [below, want] : {std::pair{97, 0}, {98, 0}, {99, 1}}) {
    PixelPlanes d = planesOf(1, 2, {{100, 0, 0}, {below, 0, 0}});
    opt.adjust = 1;
    EXPECT_EQ(run(d, map)[1], want) << below;
  }
}

TEST_F(Remap, AdjustedSamplesAreClamped) {
  const Colormap map = {entry(200, 0, 0), entry(255, 0, 0), entry(0, 0, 0)};
  PixelPlanes p = planesOf(3, 1, {{229, 0, 0}, {250, 0, 0}, {0, 0, 0}});
  opt.adjust = 1;
  opt.adjustFactor = 1.0f;
  // 229 → 255 (err −26 → −11.375 right); 250 − 11.375 = 238.6 → 238 → 255
  // (err −17); 0 − 7.4375 → 0 after clamping.
  EXPECT_EQ(run(p, map), (std::vector<uint8_t>{1, 1, 2}));
}

TEST_F(Remap, LargerFrameGetsLargerIndexTable) {
  tables.colIndexTab = std::make_unique<uint8_t[]>(2);
  tables.colIndexSize = 2;
  PixelPlanes p = planesOf(3, 3, std::vector<Rgb>(9, {1, 1, 1}));
  run(p, {entry(0, 0, 0), entry(1, 1, 1)});
  EXPECT_GE(tables.colIndexSize, 9u);
  EXPECT_EQ(tables.colIndexTab[8], 1);
}

TEST_F(Remap, MoreThan256ColoursAreRefused) {
  Colormap map(300, entry(1, 2, 3));
  PixelPlanes p = planesOf(1, 1, {{1, 2, 3}});
  opt.colors = 300;
  opt.outFile = kx_writeIconeFileHeader(name, 1, 1);
  std::string err;
  EXPECT_EQ(exitStatusOf([&] { kx_reduceColors(name, p, 1, 1, 255, &opt, map, tables); }, &err),
            255);
  EXPECT_EQ(err, "Error: cannot map " + name +
                     ".icn onto a colormap of 300 colors (1 to 256 can be written)\n");
  opt.outFile.reset();
  EXPECT_FALSE(std::filesystem::exists(name + ".icn"));
}

TEST_F(Remap, FullDiskIsAnError) {
  ASSERT_EQ(symlink("/dev/full", (name + ".icn").c_str()), 0);
  PixelPlanes p = planesOf(1, 1, {{1, 2, 3}});
  std::string err;
  EXPECT_EQ(exitStatusOf([&] { run(p, {entry(0, 0, 0)}); }, &err), 255);
  EXPECT_EQ(err, "Error: No space left on device , Can't write " + name + ".icn\n");
  EXPECT_FALSE(opt.outFile);
}

TEST_F(Remap, ClosedStreamIsAnError) {
  PixelPlanes p = planesOf(1, 1, {{1, 2, 3}});
  const Colormap map = {entry(0, 0, 0)};
  opt.colors = 1;
  opt.outFile = kx_writeIconeFileHeader(name, 1, 1);
  ASSERT_TRUE(opt.outFile->commit());
  std::string err;
  EXPECT_EQ(exitStatusOf([&] { kx_reduceColors(name, p, 1, 1, 255, &opt, map, tables); }, &err),
            255);
  EXPECT_EQ(err, "Error: Bad file descriptor , Can't write " + name + ".icn\n");
}

TEST_F(Remap, VerboseMessages) {
  PixelPlanes p = planesOf(1, 1, {{1, 2, 3}});
  opt.verbose = 1;
  opt.adjust = 1;
  testing::internal::CaptureStderr();
  run(p, {entry(0, 0, 0), entry(1, 1, 1)});
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Making the new 2 colors image...\nMaking colors adjustment...\nDone.\n");
}

TEST(NearestSearch, MatchesLinearSearchOnRandomPalettes) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 24; ++round) {
    const int colors = 1 + static_cast<int>(rng() % 256);
    // Coarse values make exact ties common.
    const int step = round % 2 ? 1 : 32;
    Colormap map(colors);
    for (auto& e : map) {
      e = entry(static_cast<int>(rng() % 256) / step * step,
                static_cast<int>(rng() % 256) / step * step,
                static_cast<int>(rng() % 256) / step * step);
    }
    NearestSearch search(map.data(), colors);
    for (int k = 0; k < 2000; ++k) {
      const int r = static_cast<int>(rng() % 256), g = static_cast<int>(rng() % 256),
                b = static_cast<int>(rng() % 256);
      int best = 1000000000, want = 0;
      for (int i = 0; i < colors; ++i) {
        const int d = (r - map[i].red) * (r - map[i].red) +
                      (g - map[i].green) * (g - map[i].green) +
                      (b - map[i].blue) * (b - map[i].blue);
        if (d < best) {
          best = d;
          want = i;
        }
      }
      ASSERT_EQ(search.find(r, g, b), want) << r << " " << g << " " << b;
    }
  }
}

}  // namespace
}  // namespace kx
