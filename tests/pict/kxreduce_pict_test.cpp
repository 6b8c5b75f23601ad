// The real binary with PICT input and output: pictures made by other
// programs reduced through -i pict, true-colour (-o pict) and colour-indexed
// (-o pict2) output read by ImageMagick, and the failures of both paths.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "pict/pict_builder.h"
#include "support/pictures.h"
#include "support/tempdir.h"

namespace kx {
namespace {

namespace fs = std::filesystem;

bool haveTool(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

int shellIn(const std::string& dir, const std::string& command) {
  const int status = std::system(("cd '" + dir + "' && " + command).c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void writePpm(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb) {
  std::ofstream out(path, std::ios::binary);
  out << "P6\n" << width << " " << height << "\n255\n";
  out.write(reinterpret_cast<const char*>(rgb.data()), static_cast<std::streamsize>(rgb.size()));
}

std::vector<uint8_t> readPpmPixels(const std::string& path, int* width, int* height) {
  const std::vector<uint8_t> bytes = readFileBytes(path);
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  std::string magic;
  int maxval = 0;
  in >> magic >> *width >> *height >> maxval;
  if (magic != "P6" || maxval != 255) return {};
  const auto start = static_cast<std::ptrdiff_t>(in.tellg()) + 1;
  return std::vector<uint8_t>(bytes.begin() + start, bytes.end());
}

// Turns a top-down RGB picture bottom-up (or back): a PICT's top row is the
// last scanline of the picture record.
std::vector<uint8_t> flipRows(const std::vector<uint8_t>& rgb, int width, int height) {
  std::vector<uint8_t> out;
  for (int y = height - 1; y >= 0; --y) {
    out.insert(out.end(), rgb.begin() + y * width * 3, rgb.begin() + (y + 1) * width * 3);
  }
  return out;
}

// Few colours (the reduction keeps them exactly), some flat areas.
std::vector<uint8_t> fewColours(int width, int height, int colours, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::array<uint8_t, 3>> palette(colours);
  for (auto& p : palette) {
    p = {static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng())};
  }
  std::vector<uint8_t> rgb;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const auto& p = palette[(x / 4 + y) % 2 ? 0 : rng() % colours];
      rgb.insert(rgb.end(), p.begin(), p.end());
    }
  }
  return rgb;
}

class KxreducePict : public testing::Test {
 protected:
  RunResult kxreduce(const std::vector<std::string>& args) {
    return runProgram("kxreduce", args, dir_.path());
  }
  TempDir dir_;
};

TEST_F(KxreducePict, ReducesPicturesMadeByOtherPrograms) {
  const int width = 12, height = 5;
  const std::vector<uint8_t> rgb = fewColours(width, height, 20, 5);
  writePpm(dir_.path("in.ppm"), width, height, rgb);
  struct Maker {
    const char* tool;
    const char* command;
  };
  for (const Maker& maker : {Maker{"convert", "convert in.ppm PICT:in.pict"},
                             Maker{"convert", "convert in.ppm -type Palette PICT:in.pict"},
                             Maker{"ppmtopict", "ppmtopict in.ppm > in.pict 2>/dev/null"}}) {
    if (!haveTool(maker.tool)) continue;
    ASSERT_EQ(shellIn(dir_.path(), maker.command), 0) << maker.command;
    const RunResult r = kxreduce({"-i", "pict", "-o", "pic", "in", "out"});
    ASSERT_EQ(r.status, 0) << maker.command << "\n" << r.err;
    EXPECT_EQ(r.err, "allocate color table\n");
    int w = 0, h = 0;
    const std::vector<uint8_t> reduced = readRgbPicture(dir_.path("out"), &w, &h);
    ASSERT_EQ(w, width);
    ASSERT_EQ(h, height);
    EXPECT_TRUE(reduced == flipRows(rgb, width, height)) << maker.command;
  }
}

TEST_F(KxreducePict, OneBitPicturesReachTheReductionInAllThreeChannels) {
  RasterRecipe s;
  s.opcode = 0x90;
  s.pixmap = false;
  s.rowBytes = 2;
  s.bounds = s.src = s.dst = PictRect{0, 0, 2, 16};
  s.rows = {{0xF0, 0x0F}, {0x00, 0xFF}};
  PictBytes p = pictVersion2(s.bounds);
  appendRaster(p, s);
  p.end();
  writePict(dir_.path("bits.pict"), p);
  const RunResult r = kxreduce({"-i", "pict", "-o", "pic", "bits", "out"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err,
            "Warning: bits.pict has 1 bits per channel. Not fully supported."
            "allocate color table\n");
  const std::vector<uint8_t> reduced = readRgbPicture(dir_.path("out"));
  ASSERT_EQ(reduced.size(), 2u * 16u * 3u);
  for (size_t i = 0; i < reduced.size(); i += 3) {
    EXPECT_EQ(reduced[i], reduced[i + 1]) << i;
    EXPECT_EQ(reduced[i], reduced[i + 2]) << i;
  }
  // Record row 0 is the PICT's bottom row, bits 00 FF: set bits are black.
  EXPECT_LT(reduced[8 * 3], reduced[0]);
}

TEST_F(KxreducePict, PictOutputHoldsTheReducedPicture) {
  if (!haveTool("convert")) GTEST_SKIP() << "ImageMagick is not installed";
  const int width = 24, height = 10;
  writeSamplePicture(dir_.path("in"), width, height);
  RunResult r = kxreduce({"-n", "12", "-o", "pic", "in", "ref"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<uint8_t> reference = readRgbPicture(dir_.path("ref"));
  ASSERT_EQ(reference.size(), static_cast<size_t>(width) * height * 3);
  for (const char* kind : {"pict", "pict2"}) {
    r = kxreduce({"-n", "12", "-o", kind, "in", kind});
    ASSERT_EQ(r.status, 0) << kind << ": " << r.err;
    EXPECT_TRUE(fs::exists(dir_.path(std::string("%") + kind + ".pict"))) << kind;
    ASSERT_EQ(shellIn(dir_.path(), std::string("convert ") + kind + ".pict ppm:" + kind + ".ppm"),
              0);
    int w = 0, h = 0;
    const std::vector<uint8_t> shown = readPpmPixels(dir_.path(std::string(kind) + ".ppm"), &w, &h);
    ASSERT_EQ(w, width);
    ASSERT_EQ(h, height);
    EXPECT_TRUE(flipRows(shown, width, height) == reference) << kind;
  }
  // The colour-indexed picture carries the 12-colour palette.
  const std::vector<uint8_t> indexed = readFileBytes(dir_.path("pict2.pict"));
  ASSERT_GT(indexed.size(), 640u);
  EXPECT_EQ(indexed[583], 0x98);
  EXPECT_EQ(indexed[582 + 55], 11);  // ctSize
}

TEST_F(KxreducePict, UnreadablePictEndsTheRun) {
  PictBytes p = pictVersion2(PictRect{0, 0, 4, 4});
  p.end();
  writePict(dir_.path("empty.pict"), p);
  RunResult r = kxreduce({"-i", "pict", "empty", "out"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err,
            "ERROR ====> No raster information found <==== ERROR\n"
            "Error: Cannot open input file empty\n");
  r = kxreduce({"-i", "pict", "missing", "out"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err,
            "ERROR ====> Can't open file missing.pict <==== ERROR\n"
            "Error: Cannot open input file missing\n");
}

TEST_F(KxreducePict, AFailedPictWriteLeavesNoPictFiles) {
  // Noise does not pack: the PICT outgrows a 1024-byte file size limit
  // that the colour-mapped image and the colormap fit in.
  const int width = 30, height = 30;
  std::vector<uint8_t> noise(width * height * 3);
  std::mt19937 rng(11);
  for (auto& b : noise) b = static_cast<uint8_t>(rng());
  writeRgbPicture(dir_.path("in"), width, height, noise);
  const std::string program = buildDir() + "/kxreduce";
  const int status = shellIn(dir_.path(), "sh -c \"trap '' XFSZ; ulimit -f 2; exec '" + program +
                                              "' -n 16 -o pict in out\" 2>err.txt");
  EXPECT_EQ(status, 255);
  const std::vector<uint8_t> err = readFileBytes(dir_.path("err.txt"));
  EXPECT_EQ(std::string(err.begin(), err.end()),
            "allocate color table\nERROR ====> Can't write file out.pict <==== ERROR\n");
  EXPECT_TRUE(fs::exists(dir_.path("out.icn")));
  EXPECT_FALSE(fs::exists(dir_.path("out.pict")));
  EXPECT_FALSE(fs::exists(dir_.path("%out.pict")));
}

}  // namespace
}  // namespace kx
