#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "reduce/reduce.h"
#include "reduce/support.h"
#include "support/tempdir.h"

namespace kx {
namespace {

using test::exitStatusOf;
using test::planesOf;
using test::Rgb;

int compressed(int value, int target) {
  PixelPlanes p = planesOf(1, 1, {{value, value, value}});
  kx_compressColors(p, 1, 1, target, 255);
  return p.data()[0];
}

TEST(Compression, DoubleArithmeticValues) {
  EXPECT_EQ(compressed(85, 33), 84);
  EXPECT_EQ(compressed(255, 33), 254);
  EXPECT_EQ(compressed(0, 33), 0);
  std::set<int> values;
  for (int v = 0; v < 256; ++v) values.insert(compressed(v, 128));
  std::set<int> expected = {0};
  for (int v = 1; v <= 255; v += 2) expected.insert(v);
  EXPECT_EQ(values, expected);
  for (int v = 0; v < 256; ++v) ASSERT_EQ(compressed(v, 255), v);
}

// A w × h picture whose colours are all different.
PixelPlanes distinctColours(int count, int width) {
  std::vector<Rgb> px;
  for (int i = 0; i < count; ++i) px.push_back({i & 255, (i >> 8) & 255, 77});
  const int height = (count + width - 1) / width;
  while (static_cast<int>(px.size()) < width * height) px.push_back(px.back());
  return planesOf(width, height, px);
}

struct BuildMap : testing::Test {
  TempDir dir;
  RunSettings opt;
  ReductionTables tables;
  std::string name = dir.path("out");
};

TEST_F(BuildMap, VerboseRunWritesItsMessagesAndColormap) {
  PixelPlanes p = planesOf(2, 2, {{1, 2, 3}, {1, 2, 3}, {200, 0, 0}, {0, 0, 9}});
  opt.verbose = 1;
  opt.colors = 4;
  testing::internal::CaptureStderr();
  Colormap map = kx_buildmap(name, p, 2, 2, 255, &opt, tables);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Counting colors in the image...  3 colors found.\nChoosing 4 colors...\n");
  ASSERT_EQ(map.size(), 4u);
  EXPECT_EQ(map[0].red, 1);  // the two-pixel colour
  EXPECT_EQ(readFileBytes(name + ".clm").size(), 16u + 6 * 4);
  EXPECT_FALSE(std::filesystem::exists(name + ".cla"));
}

TEST_F(BuildMap, AsciiColormapIsAnnouncedOnStdout) {
  PixelPlanes p = planesOf(1, 2, {{1, 2, 3}, {4, 5, 6}});
  opt.colors = 2;
  opt.asciiColormap = 1;
  testing::internal::CaptureStdout();
  kx_buildmap(name, p, 1, 2, 255, &opt, tables);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "writeASCIIColorMap\n");
  EXPECT_TRUE(std::filesystem::exists(name + ".cla"));
  EXPECT_FALSE(std::filesystem::exists(name + ".clm"));
}

TEST_F(BuildMap, RequestedCompressionAppliesOnce) {
  PixelPlanes p = planesOf(2, 1, {{85, 255, 0}, {85, 255, 0}});
  opt.compress = 33;
  opt.verbose = 1;
  testing::internal::CaptureStderr();
  kx_buildmap(name, p, 2, 1, 255, &opt, tables);
  EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("Compressing colors ...\n", 0), 0u);
  EXPECT_EQ(p.data()[0], 84);
  EXPECT_EQ(p.data()[1], 254);
  EXPECT_EQ(opt.compress, 255);
  // The next frame is counted as it is.
  PixelPlanes q = planesOf(1, 1, {{85, 85, 85}});
  testing::internal::CaptureStderr();
  kx_buildmap(name, q, 1, 1, 255, &opt, tables);
  EXPECT_EQ(testing::internal::GetCapturedStderr().find("Compressing"), std::string::npos);
  EXPECT_EQ(q.data()[0], 85);
}

TEST_F(BuildMap, ImposedColormapCountsNothing) {
  PixelPlanes p = planesOf(1, 1, {{1, 1, 1}});
  opt.colormapMode = 1;
  opt.verbose = 1;
  testing::internal::CaptureStderr();
  EXPECT_TRUE(kx_buildmap(name, p, 1, 1, 255, &opt, tables).empty());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(std::filesystem::exists(name + ".clm"));
}

TEST_F(BuildMap, LimitIsExactlyTheColourLimit) {
  PixelPlanes p = distinctColours(kColorLimit, 256);
  opt.verbose = 1;
  testing::internal::CaptureStderr();
  kx_buildmap(name, p, 256, p.height, 255, &opt, tables);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("62768 colors found.\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("More than"), std::string::npos);
}

TEST_F(BuildMap, OverflowCompressesAndCountsAgain) {
  PixelPlanes p = distinctColours(kColorLimit + 1, 256);
  opt.verbose = 1;
  testing::internal::CaptureStderr();
  Colormap map = kx_buildmap(name, p, 256, p.height, 255, &opt, tables);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("Counting colors in the image...  More than 62768 colors found!!!\n"
                      "Note: you can use option -q to reduce color.\n"
                      "Compress and Counting colors again...\n",
                      0),
            0u)
      << err;
  EXPECT_EQ(opt.compress, 255);
  std::set<int> reds;
  for (size_t i = 0; i < p.byteSize(); i += 3) reds.insert(p.data()[i]);
  EXPECT_EQ(reds.size(), 129u);
  EXPECT_EQ(map.size(), 256u);
}

TEST_F(BuildMap, StillTooManyEndsWithStatusOne) {
  // Even values stay distinct after the compression to 128.
  std::vector<Rgb> px;
  for (int r = 0; r < 40; ++r) {
    for (int g = 0; g < 40; ++g) {
      for (int b = 0; b < 40; ++b) px.push_back({2 * r, 2 * g, 2 * b});
    }
  }
  PixelPlanes p = planesOf(320, 200, px);
  std::string err;
  EXPECT_EQ(exitStatusOf([&] { kx_buildmap(name, p, 320, 200, 255, &opt, tables); }, &err), 1);
  EXPECT_EQ(err,
            "More than 62768 colors found!!!\nNote: you can use option -q to reduce color.\n"
            "Compress and Counting colors again...\nStill too many colors, try option -q\n");
  EXPECT_FALSE(std::filesystem::exists(name + ".clm"));
}

TEST_F(BuildMap, NoRoomToCompressEndsWithStatusOne) {
  PixelPlanes p = distinctColours(kColorLimit + 1, 256);
  opt.compress = 128;  // the samples already go up to 128 only
  std::string err;
  EXPECT_EQ(exitStatusOf([&] { kx_buildmap(name, p, 256, p.height, 128, &opt, tables); }, &err), 1);
  EXPECT_EQ(err,
            "More than 62768 colors found!!!\nNote: you can use option -q to reduce color.\n"
            "Re-start with option -z <factor>.\n<factor> must > 0\n"
            "that will help you reduce colors.\n");
  EXPECT_EQ(opt.compress, 128);
}

TEST_F(BuildMap, UniqueFirstPassCollectsPalettes) {
  tables.virtualImg = kx_allocArray(2, 768, 3);
  opt.unique = 1;
  opt.colors = 3;
  opt.verbose = 1;
  PixelPlanes a = planesOf(1, 3, {{9, 9, 9}, {9, 9, 9}, {50, 60, 70}});
  testing::internal::CaptureStderr();
  kx_buildmap(name, a, 1, 3, 255, &opt, tables);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Prepare the unique colormap...\n"),
            std::string::npos);
  PixelPlanes b = planesOf(1, 1, {{1, 2, 3}});
  opt.verbose = 0;
  kx_buildmap(name, b, 1, 1, 255, &opt, tables);
  EXPECT_EQ(tables.virtualInd, 2);
  EXPECT_FALSE(std::filesystem::exists(name + ".clm"));
  const PixelPlanes& v = tables.virtualImg;
  EXPECT_EQ(v[0][0], 9);
  EXPECT_EQ(v[1][0], 50);
  EXPECT_EQ(v[1][2], 70);
  EXPECT_EQ(v[2][0], 0);  // padding entry
  EXPECT_EQ(v[0][3], 1);

  // A third frame has no column left: refused, not written past the end.
  std::string err;
  EXPECT_EQ(exitStatusOf([&] { kx_buildmap(name, b, 1, 1, 255, &opt, tables); }, &err), 255);
  EXPECT_EQ(err, "Error: the unique colormap has no room for frame 3\n");

  // Second pass: one palette over the collected ones, saved, never
  // compressed.
  opt.unique = 2;
  opt.compress = 100;
  Colormap map = kx_buildmap(name, tables.virtualImg, 2, 3, 255, &opt, tables);
  EXPECT_EQ(opt.compress, 100);
  EXPECT_TRUE(std::filesystem::exists(name + ".clm"));
  EXPECT_EQ(map.size(), 3u);
}

}  // namespace
}  // namespace kx
