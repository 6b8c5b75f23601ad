// The README's three commands on the shipped photograph, and scripts/demo-png
// on a demo output folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "conv_support.h"
#include "support/pictures.h"

namespace kx {
namespace {

const std::string kPhotograph = std::string(KX_SOURCE_DIR) + "/samples/astronaut.png";

TEST(ReadmePath, PhotographToReducedPngInThreeCommands) {
  TempDir dir;
  std::filesystem::copy_file(kPhotograph, dir.path("photo.png"));
  RunResult r = kxconv({"photo.png", "photo.pic"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  r = runProgram("kxreduce", {"-n", "64", "photo", "out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  r = kxconv({"out.icn", "out.png"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(
      pilDescribe(dir.path("out.png"),
                  "im.mode, im.size, len(im.getpalette()) // 3, len(set(im.getdata())) <= 64"),
      "P (256, 256) 64 True\n");
  // The reduced photograph stays close to the original: mean error per
  // sample well under a tenth of the range.
  const Raster original = pilPixels(dir.path("photo.png"), "RGB");
  const Raster reduced = pilPixels(dir.path("out.png"), "RGB");
  ASSERT_EQ(original.samples.size(), reduced.samples.size());
  double error = 0;
  for (size_t i = 0; i < original.samples.size(); ++i) {
    error += std::abs(original.samples[i] - reduced.samples[i]);
  }
  EXPECT_LT(error / original.samples.size(), 12.0);
}

TEST(DemoPng, ConvertsTheDemoPicturesAndThePhotograph) {
  TempDir dir;
  std::filesystem::create_directory(dir.path("demo-out"));
  writeSamplePicture(dir.path("demo-out/sample"), 64, 48);
  for (const char* n : {"16", "256"}) {
    RunResult r = runProgram(
        "kxreduce", {"-n", n, "demo-out/sample", std::string("demo-out/sample") + n}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
  }
  RunResult r =
      runProgram("/bin/sh",
                 {"-c", "KX_BUILD_DIR=" + quoted(buildDir()) + " " +
                            quoted(std::string(KX_SOURCE_DIR) + "/scripts/demo-png") + " demo-out"},
                 dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* png :
       {"sample.png", "sample16.png", "sample256.png", "photo.png", "photo64.png"}) {
    EXPECT_NE(r.out.find(std::string("demo-out/") + png), std::string::npos) << png;
    EXPECT_TRUE(fileExists(dir.path(std::string("demo-out/") + png))) << png;
  }
  EXPECT_EQ(pilDescribe(dir.path("demo-out/sample16.png"), "im.mode, len(im.getpalette()) // 3"),
            "P 16\n");
  EXPECT_EQ(pilDescribe(dir.path("demo-out/sample.png"), "im.mode, im.size"), "RGB (64, 48)\n");

  // Without the demo's files it says what is missing.
  r = runProgram("/bin/sh",
                 {"-c", "KX_BUILD_DIR=" + quoted(buildDir()) + " " +
                            quoted(std::string(KX_SOURCE_DIR) + "/scripts/demo-png") + " nowhere"},
                 dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "demo-png: nowhere: no such folder (run scripts/demo first)\n");
}

}  // namespace
}  // namespace kx
