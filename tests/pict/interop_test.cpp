// ImageMagick on the other side of the real binaries: we read its true-colour,
// palette and grey pictures (kxconv, kxreduce -i pict), it reads what kxreduce
// writes with -o pict and -o pict2; and the errors of unreadable input.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "conv/conv_support.h"
#include "support/pictures.h"
#include "support/tempdir.h"

namespace kx {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// Flat runs and noise; `colours` > 0 limits it to that many distinct colours.
Bytes makePicture(int width, int height, int colours, uint32_t seed, bool flats = true) {
  std::mt19937 rng(seed);
  std::vector<std::array<uint8_t, 3>> palette(std::max(colours, 1));
  for (auto& p : palette) p = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
  Bytes rgb;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const bool flat = flats && (x / 6 + y) % 3 == 0;
      const int k = flat ? 0 : (x * 7 + y * 3 + static_cast<int>(rng() % 3)) % std::max(colours, 1);
      for (int c = 0; c < 3; ++c)
        rgb.push_back(colours > 0 ? palette[k][c] : flat ? 50 * c + 5 : uint8_t(rng()));
    }
  }
  return rgb;
}

class Interop : public testing::Test {
 protected:
  RunResult convert(int width, int height, const Bytes& rgb, const std::string& options) {
    writeFileBytes(dir_.path("in.rgb"), rgb);
    return shell("convert -size " + std::to_string(width) + "x" + std::to_string(height) +
                     " -depth 8 rgb:in.rgb " + options,
                 dir_.path());
  }
  TempDir dir_;
};

// ImageMagick packs rows whose rowBytes is below 8: narrower pictures are
// left out.
TEST_F(Interop, WeReadImageMagickTrueColourPaletteAndGrey) {
  // Rows of noise pack to more bytes than they hold.
  for (auto [width, height, flats] : {std::tuple{9, 5, true}, {300, 2, true}, {300, 2, false}}) {
    for (const std::string type : {"TrueColor", "Palette", "Grayscale"}) {
      Bytes rgb = makePicture(width, height, type == "Palette" ? 30 : 0, width, flats);
      for (size_t i = 0; type == "Grayscale" && i < rgb.size(); i += 3)
        rgb[i + 1] = rgb[i + 2] = rgb[i];
      ASSERT_EQ(convert(width, height, rgb, "-type " + type + " PICT:theirs.pict").status, 0);
      const RunResult r = runProgram("kxconv", {"theirs.pict", "back.ppm"}, dir_.path());
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(netpbm("cat " + quoted(dir_.path("back.ppm"))), (Raster{width, height, 3, rgb}))
          << type << width;
    }
  }
  // kxreduce reads it too; few colours, so the reduction keeps them. A
  // picture file's first row is the bottom one: ImageMagick is given them so.
  const Bytes rgb = makePicture(12, 5, 20, 5);
  ASSERT_EQ(convert(12, 5, rgb, "-flip -type Palette PICT:in.pict").status, 0);
  const RunResult r = runProgram("kxreduce", {"-i", "pict", "-o", "pic", "in", "out"}, dir_.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "allocate color table\n");
  EXPECT_TRUE(readRgbPicture(dir_.path("out")) == rgb);
}

// Two pixels wide is left out: ImageMagick reads 2-pixel true-colour rows
// (rowBytes 8, packed) as unpacked, its own included.
TEST_F(Interop, ImageMagickReadsPictAndPict2Output) {
  for (auto [width, height] :
       {std::pair{1, 1}, std::pair{3, 2}, std::pair{24, 10}, std::pair{300, 2}}) {
    const Bytes rgb = makePicture(width, height, 12, width);
    writeRgbPicture(dir_.path("in"), width, height, rgb);
    for (const std::string kind : {"pict", "pict2"}) {
      const RunResult r = runProgram("kxreduce", {"-n", "12", "-o", kind, "in", kind}, dir_.path());
      ASSERT_EQ(r.status, 0) << kind << ": " << r.err;
      EXPECT_TRUE(fs::exists(dir_.path("%" + kind + ".pict"))) << kind;
      // Flipped: a picture file's first row is the bottom one.
      EXPECT_EQ(netpbm("convert " + quoted(dir_.path(kind + ".pict")) + " -flip ppm:-"),
                (Raster{width, height, 3, rgb}))
          << kind << " " << width;
    }
  }
  // The colour-indexed picture carries the 12-colour palette.
  const Bytes indexed = readFileBytes(dir_.path("pict2.pict"));
  ASSERT_GT(indexed.size(), 640u);
  EXPECT_EQ(indexed[583], 0x98);
  EXPECT_EQ(indexed[582 + 55], 11);  // ctSize
}

TEST_F(Interop, UnreadableInputEndsTheRun) {
  fs::copy_file(std::string(KX_SOURCE_DIR) +
                    "/tests/data/pict/read/PicturesWithoutARasterOrWithWrongOpcodesFail-1.pict",
                dir_.path("empty.pict"));
  const RunResult r = runProgram("kxreduce", {"-i", "pict", "empty", "out"}, dir_.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err,
            "ERROR ====> No raster information found <==== ERROR\n"
            "Error: Cannot open input file empty\n");
}

}  // namespace
}  // namespace kx
