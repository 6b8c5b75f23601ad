// Colour-mapped images (.icn + colormap) through kxconv: the indexed PNG
// carries the colormap and the index bytes, the colormap is found beside the
// image or named with -c/-C, and damaged images are refused.
#include <gtest/gtest.h>

#include "conv_support.h"
#include "support/pictures.h"

namespace kx {
namespace {

// A Python test that PIL's palette is the colours of a .clm file at 8 bits.
std::string paletteIs(const std::string& clm) {
  return "bytes(im.getpalette()) == open('" + clm + "', 'rb').read()[17::2]";
}

TEST(IndexedPng, ReducedPictureReadBackByPil) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 48, 32);
  RunResult r = runProgram("kxreduce", {"-n", "16", "in", "out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(converts({"out.icn", "out.png"}, dir.path()));
  const std::string png = dir.path("out.png");
  const std::vector<uint8_t> bytes = readFileBytes(png);
  EXPECT_EQ(bytes.at(24), 4);  // IHDR: 16 colours in 4-bit indices, colour type 3
  EXPECT_EQ(bytes.at(25), 3);
  // PIL: the palette is the colormap and the pixels are the index bytes.
  EXPECT_EQ(pilDescribe(png, "im.mode, im.size, " + paletteIs(dir.path("out.clm")) +
                                 ", bytes(im.getdata()) == open('" + dir.path("out.icn") +
                                 "', 'rb').read()[68:-8]"),
            "P (48, 32) True True\n");
  const Raster rgb = pilPixels(png, "RGB");
  ASSERT_EQ(kxconv({"out.icn", "out.pic"}, dir.path()).status, 0);
  EXPECT_EQ(picPixels(dir.path("out.pic")), rgb);
}

TEST(IconColormap, BesideOrNamed) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 16, 8);
  ASSERT_EQ(runProgram("kxreduce", {"-A", "-n", "8", "in", "asc"}, dir.path()).status, 0);
  ASSERT_EQ(runProgram("kxreduce", {"-n", "8", "in", "bin"}, dir.path()).status, 0);
  // The ASCII colormap beside the image is found when there is no binary one.
  ASSERT_TRUE(converts({"asc.icn", "asc.png"}, dir.path()));
  const std::string pixels = "list(im.convert('RGB').getdata())";
  const std::string ascPixels = pilDescribe(dir.path("asc.png"), pixels);
  std::rename(dir.path("asc.cla").c_str(), dir.path("pal.cla").c_str());
  std::rename(dir.path("bin.clm").c_str(), dir.path("pal.clm").c_str());
  expectRefused(dir.path(), {"asc.icn", "x.png"},
                "kxconv: asc.icn: no colormap beside it (neither asc.clm nor asc.cla); name one "
                "with -c or -C\n");
  for (const char* name : {"pal", "pal.cla"}) {
    ASSERT_TRUE(converts({"-C", name, "asc.icn", "x.png"}, dir.path()));
    EXPECT_EQ(pilDescribe(dir.path("x.png"), pixels), ascPixels);
  }
  for (const char* name : {"pal", "pal.clm"}) {
    ASSERT_TRUE(converts({"bin.icn", "y.png", "-c", name}, dir.path()));
    EXPECT_EQ(pilDescribe(dir.path("y.png"), paletteIs(dir.path("pal.clm"))), "True\n");
  }
  expectRefused(dir.path(), {"-c", "nope", "bin.icn", "z.png"},
                "kxconv: nope.clm: cannot open: No such file or directory\n");
}

TEST(IconColormap, DamagedInputIsRefusedWithoutOutput) {
  // 3 x 2 indices and a colormap of 2 colours (tests/data/icn, see its README).
  const std::string data = std::string(KX_SOURCE_DIR) + "/tests/data/icn/";
  const std::vector<uint8_t> good = readFileBytes(data + "x.icn"),
                             clm = readFileBytes(data + "x.clm");
  const struct {
    size_t at;
    uint8_t value;
    size_t icnSize, clmSize;
    std::string message;
  } cases[] = {
      {72, 5, 82, 28,
       "kxconv: x.icn: the pixel at column 1, row 1 has index 5, but the colormap x.clm has only "
       "2 colours\n"},
      {3, 'X', 82, 28, "kxconv: x.icn: not a colour-mapped image file (no ICON/CICN magic)\n"},
      {0, 'I', 81, 28, "kxconv: x.icn: the file has 81 bytes; 3 x 2 pixels need 82\n"},
      {0, 'I', 82, 27, "Error: colormap x.clm is too short: 2 colors need 28 bytes, it has 27\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    std::vector<uint8_t> icn = good;
    icn[c.at] = c.value;
    writeFileBytes(dir.path("x.icn"), std::vector<uint8_t>(icn.begin(), icn.begin() + c.icnSize));
    writeFileBytes(dir.path("x.clm"), std::vector<uint8_t>(clm.begin(), clm.begin() + c.clmSize));
    expectRefused(dir.path(), {"x.icn", "x.png"}, c.message);
  }
}

}  // namespace
}  // namespace kx
