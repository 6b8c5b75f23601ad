// Interoperability with ImageMagick and netpbm (files made at test time, exact
// pixels both ways), and the real kxreduce binary with -i pict, -o pict and
// -o pict2.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "macfile/macfile.h"
#include "pict/pict.h"
#include "pict/pict_builder.h"
#include "support/pictures.h"
#include "support/tempdir.h"

namespace kx {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

bool haveTool(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

int shellIn(const std::string& dir, const std::string& command) {
  const int status = std::system(("cd '" + dir + "' && " + command + " 2>/dev/null").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Ppm {
  int width = 0, height = 0;
  Bytes rgb;  // top row first
};

void writePpm(const std::string& path, const Ppm& ppm) {
  std::ofstream out(path, std::ios::binary);
  out << "P6\n" << ppm.width << " " << ppm.height << "\n255\n";
  out.write(reinterpret_cast<const char*>(ppm.rgb.data()),
            static_cast<std::streamsize>(ppm.rgb.size()));
}

Ppm readPpm(const std::string& path) {
  const Bytes bytes = readFileBytes(path);
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  Ppm ppm;
  std::string magic;
  int maxval = 0;
  in >> magic >> ppm.width >> ppm.height >> maxval;
  if (magic != "P6" || maxval != 255) return Ppm{};
  ppm.rgb.assign(bytes.begin() + static_cast<std::ptrdiff_t>(in.tellg()) + 1, bytes.end());
  return ppm;
}

// Rows in the other order: a PICT's top row is the last row of our planes.
Bytes flipRows(const Bytes& rgb, int width, int height) {
  Bytes out;
  for (int y = height - 1; y >= 0; --y) {
    out.insert(out.end(), rgb.begin() + y * width * 3, rgb.begin() + (y + 1) * width * 3);
  }
  return out;
}

// Flat runs and noise; `colours` > 0 limits it to that many distinct colours.
Ppm makePicture(int width, int height, int colours, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::array<uint8_t, 3>> palette(std::max(colours, 1));
  for (auto& p : palette) p = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
  Ppm ppm{width, height, {}};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const bool flat = (x / 6 + y) % 3 == 0;
      const int k = flat ? 0 : (x * 7 + y * 3 + static_cast<int>(rng() % 3)) % std::max(colours, 1);
      for (int c = 0; c < 3; ++c) {
        ppm.rgb.push_back(colours > 0 ? palette[k][c] : flat ? 50 * c + 5 : uint8_t(rng()));
      }
    }
  }
  return ppm;
}

Ppm readWithUs(const std::string& path, std::string* error) {
  int16_t w = 0, h = 0;
  int count = -1;
  Colormap table;
  PictPlanes planes;
  MacClearError();
  if (readPictImage(path, &w, &h, &count, &table, planes) != 0) {
    *error = MacGetError();
    return Ppm{};
  }
  Ppm ppm{w, h, {}};
  for (int i = 0; i < w * h; ++i) {
    for (int c = 0; c < 3; ++c) ppm.rgb.push_back((planes[c] ? planes[c] : planes[0])[i]);
  }
  ppm.rgb = flipRows(ppm.rgb, w, h);
  return ppm;
}

void writeWithUs(const std::string& path, const Ppm& ppm) {
  const Bytes rgb = flipRows(ppm.rgb, ppm.width, ppm.height);
  std::array<Bytes, 3> planes;
  for (size_t i = 0; i < rgb.size(); ++i) planes[i % 3].push_back(rgb[i]);
  ASSERT_EQ(writePictImage(path, ppm.width, ppm.height, 0, nullptr,
                           {planes[0].data(), planes[1].data(), planes[2].data(), nullptr}),
            0)
      << pict_errstr;
}

class Interop : public testing::Test {
 protected:
  // Reads back what `command` made of in.ppm (as theirs.pict) with us.
  void expectWeRead(const Ppm& ppm, const std::string& command) {
    writePpm(dir_.path("in.ppm"), ppm);
    ASSERT_EQ(shellIn(dir_.path(), command), 0) << command;
    std::string error;
    const Ppm read = readWithUs(dir_.path("theirs.pict"), &error);
    ASSERT_EQ(error, "") << command;
    EXPECT_EQ(read.width, ppm.width);
    EXPECT_EQ(read.height, ppm.height);
    EXPECT_TRUE(read.rgb == ppm.rgb) << command << " " << ppm.width << "x" << ppm.height;
  }
  TempDir dir_;
};

// Two pixels wide is left out: ImageMagick reads 2-pixel true-colour rows
// (rowBytes 8, packed) as unpacked, its own included.
// (Our colour-indexed output is read by ImageMagick in the -o pict2 run.)
TEST_F(Interop, ImageMagickReadsOurTrueColourOutput) {
  if (!haveTool("convert")) GTEST_SKIP() << "ImageMagick is not installed";
  for (auto [width, height] :
       {std::pair{1, 1}, std::pair{3, 2}, std::pair{9, 5}, std::pair{300, 2}}) {
    const Ppm ppm = makePicture(width, height, 0, width);
    writeWithUs(dir_.path("ours.pict"), ppm);
    ASSERT_EQ(shellIn(dir_.path(), "convert ours.pict ppm:back.ppm"), 0);
    const Ppm back = readPpm(dir_.path("back.ppm"));
    EXPECT_EQ(back.width, ppm.width);
    EXPECT_EQ(back.height, ppm.height);
    EXPECT_TRUE(back.rgb == ppm.rgb) << width;
  }
}

// ImageMagick packs rows whose rowBytes is below 8 and ppmtopict needs 8
// pixels: narrower pictures are left out.
TEST_F(Interop, WeReadImageMagickAndNetpbmPictures) {
  const bool magick = haveTool("convert"), netpbm = haveTool("ppmtopict");
  if (!magick && !netpbm) GTEST_SKIP() << "neither ImageMagick nor netpbm is installed";
  for (auto [width, height] : {std::pair{9, 5}, std::pair{300, 2}}) {
    if (magick) {
      expectWeRead(makePicture(width, height, 0, width), "convert in.ppm PICT:theirs.pict");
      expectWeRead(makePicture(width, height, 30, width),
                   "convert in.ppm -type Palette PICT:theirs.pict");
      Ppm grey = makePicture(width, height, 0, width + 1);
      for (size_t i = 0; i < grey.rgb.size(); i += 3)
        grey.rgb[i + 1] = grey.rgb[i + 2] = grey.rgb[i];
      expectWeRead(grey, "convert in.ppm -type Grayscale PICT:theirs.pict");
    }
    for (int colours : {2, 200}) {
      if (netpbm)
        expectWeRead(makePicture(width, height, colours, height + colours),
                     "ppmtopict in.ppm > theirs.pict");
    }
  }
}

class KxreducePict : public testing::Test {
 protected:
  RunResult kxreduce(const std::vector<std::string>& args) {
    return runProgram("kxreduce", args, dir_.path());
  }
  TempDir dir_;
};

TEST_F(KxreducePict, ReducesPicturesMadeByOtherPrograms) {
  const Ppm ppm = makePicture(12, 5, 20, 5);  // few colours: the reduction keeps them
  writePpm(dir_.path("in.ppm"), ppm);
  for (const char* command :
       {"convert in.ppm PICT:in.pict", "convert in.ppm -type Palette PICT:in.pict",
        "ppmtopict in.ppm > in.pict"}) {
    if (!haveTool(std::string(command).substr(0, std::string(command).find(' ')))) continue;
    ASSERT_EQ(shellIn(dir_.path(), command), 0) << command;
    const RunResult r = kxreduce({"-i", "pict", "-o", "pic", "in", "out"});
    ASSERT_EQ(r.status, 0) << command << "\n" << r.err;
    EXPECT_EQ(r.err, "allocate color table\n");
    int w = 0, h = 0;
    const Bytes reduced = readRgbPicture(dir_.path("out"), &w, &h);
    ASSERT_EQ(w, ppm.width);
    ASSERT_EQ(h, ppm.height);
    EXPECT_TRUE(reduced == flipRows(ppm.rgb, w, h)) << command;
  }
}

TEST_F(KxreducePict, PictAndPict2OutputHoldTheReducedPicture) {
  if (!haveTool("convert")) GTEST_SKIP() << "ImageMagick is not installed";
  const int width = 24, height = 10;
  writeSamplePicture(dir_.path("in"), width, height);
  RunResult r = kxreduce({"-n", "12", "-o", "pic", "in", "ref"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Bytes reference = readRgbPicture(dir_.path("ref"));
  ASSERT_EQ(reference.size(), static_cast<size_t>(width) * height * 3);
  for (const std::string kind : {"pict", "pict2"}) {
    r = kxreduce({"-n", "12", "-o", kind, "in", kind});
    ASSERT_EQ(r.status, 0) << kind << ": " << r.err;
    EXPECT_TRUE(fs::exists(dir_.path("%" + kind + ".pict"))) << kind;
    ASSERT_EQ(shellIn(dir_.path(), "convert " + kind + ".pict ppm:" + kind + ".ppm"), 0);
    const Ppm shown = readPpm(dir_.path(kind + ".ppm"));
    ASSERT_EQ(shown.width, width);
    ASSERT_EQ(shown.height, height);
    EXPECT_TRUE(flipRows(shown.rgb, width, height) == reference) << kind;
  }
  // The colour-indexed picture carries the 12-colour palette.
  const Bytes indexed = readFileBytes(dir_.path("pict2.pict"));
  ASSERT_GT(indexed.size(), 640u);
  EXPECT_EQ(indexed[583], 0x98);
  EXPECT_EQ(indexed[582 + 55], 11);  // ctSize
}

TEST_F(KxreducePict, UnreadableInputAndFailedOutputEndTheRun) {
  PictBytes p = pictStart(PictRect{0, 0, 4, 4});
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

  // Noise does not pack: the PICT outgrows a 1024-byte file size limit that
  // the colour-mapped image and the colormap fit in. Nothing of the frame is
  // left, and the files of an earlier run stay as they were.
  writeFileBytes(dir_.path("out.icn"), {'o', 'l', 'd'});
  Bytes noise(30 * 30 * 3);
  std::mt19937 rng(11);
  for (auto& b : noise) b = static_cast<uint8_t>(rng());
  writeRgbPicture(dir_.path("in"), 30, 30, noise);
  const std::string program = buildDir() + "/kxreduce";
  EXPECT_EQ(shellIn(dir_.path(), "sh -c \"trap '' XFSZ; ulimit -f 2; exec '" + program +
                                     "' -n 16 -o pict in out 2>err.txt\""),
            255);
  const Bytes err = readFileBytes(dir_.path("err.txt"));
  EXPECT_EQ(std::string(err.begin(), err.end()),
            "allocate color table\nERROR ====> Can't write file out.pict <==== ERROR\n");
  EXPECT_EQ(readFileBytes(dir_.path("out.icn")), (Bytes{'o', 'l', 'd'}));
  EXPECT_FALSE(fs::exists(dir_.path("out.clm")));
  EXPECT_FALSE(fs::exists(dir_.path("out.pict")));
  EXPECT_FALSE(fs::exists(dir_.path("%out.pict")));
}

}  // namespace
}  // namespace kx
