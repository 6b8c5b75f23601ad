// Interoperability with the PICT tools people actually use: what we write is
// read by ImageMagick (and netpbm's picttoppm where it is installed) with
// exactly our pixels, and what netpbm's ppmtopict and ImageMagick write is
// read by us with exactly theirs. The files are made at test time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "macfile/macfile.h"
#include "pict/pict.h"
#include "support/tempdir.h"

namespace kx {
namespace {

bool haveTool(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

int shell(const std::string& command) {
  return std::system((command + " 2>/dev/null").c_str());
}

std::string quote(const std::string& s) {
  return "'" + s + "'";
}

struct Ppm {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // top row first
};

void writePpm(const std::string& path, const Ppm& ppm) {
  std::ofstream out(path, std::ios::binary);
  out << "P6\n" << ppm.width << " " << ppm.height << "\n255\n";
  out.write(reinterpret_cast<const char*>(ppm.rgb.data()),
            static_cast<std::streamsize>(ppm.rgb.size()));
}

Ppm readPpm(const std::string& path) {
  const std::vector<uint8_t> bytes = readFileBytes(path);
  Ppm ppm;
  std::string text(bytes.begin(), bytes.end());
  std::istringstream in(text);
  std::string magic;
  int maxval = 0;
  in >> magic >> ppm.width >> ppm.height >> maxval;
  if (magic != "P6" || maxval != 255) return Ppm{};
  const size_t start = static_cast<size_t>(in.tellg()) + 1;
  ppm.rgb.assign(bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.end());
  return ppm;
}

// A picture with flat runs and noise; `colours` > 0 limits it to that many
// distinct colours.
Ppm makePicture(int width, int height, int colours, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::array<uint8_t, 3>> palette;
  for (int i = 0; i < std::max(colours, 1); ++i) {
    palette.push_back(
        {static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng())});
  }
  Ppm ppm{width, height, {}};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const bool flat = (x / 6 + y) % 3 == 0;
      const int k = flat ? 0 : (x * 7 + y * 3 + static_cast<int>(rng() % 3)) % std::max(colours, 1);
      for (int c = 0; c < 3; ++c) {
        if (colours > 0) {
          ppm.rgb.push_back(palette[k][c]);
        } else {
          ppm.rgb.push_back(flat ? static_cast<uint8_t>(50 * c + 5) : static_cast<uint8_t>(rng()));
        }
      }
    }
  }
  return ppm;
}

// readPictImage's planes (bottom-up) as a top-down RGB picture.
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
  for (int y = h - 1; y >= 0; --y) {
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < 3; ++c) {
        const uint8_t* plane = planes[c] ? planes[c].get() : planes[0].get();
        ppm.rgb.push_back(plane[static_cast<size_t>(y) * w + x]);
      }
    }
  }
  return ppm;
}

// Writes a top-down RGB picture through writePictImage, as true colour or
// (with `indexed`) as indices into its own palette.
void writeWithUs(const std::string& path, const Ppm& ppm, bool indexed) {
  const size_t n = static_cast<size_t>(ppm.width) * ppm.height;
  std::array<std::vector<uint8_t>, 3> planes;
  std::vector<uint8_t> index(n);
  Colormap colormap;
  for (size_t i = 0; i < n; ++i) {
    // Plane row r holds the picture's row height - 1 - r.
    const size_t y = i / ppm.width, x = i % ppm.width;
    const size_t source = ((ppm.height - 1 - y) * ppm.width + x) * 3;
    for (int c = 0; c < 3; ++c) planes[c].push_back(ppm.rgb[source + c]);
    if (indexed) {
      const HistogramEntry colour{ppm.rgb[source], ppm.rgb[source + 1], ppm.rgb[source + 2], 0};
      size_t k = 0;
      while (k < colormap.size() &&
             !(colormap[k].red == colour.red && colormap[k].green == colour.green &&
               colormap[k].blue == colour.blue)) {
        ++k;
      }
      if (k == colormap.size()) colormap.push_back(colour);
      index[i] = static_cast<uint8_t>(k);
    }
  }
  ASSERT_LE(colormap.size(), 256u);
  const int result =
      indexed ? writePictImage(path, ppm.width, ppm.height, static_cast<int>(colormap.size()),
                               &colormap, {index.data(), nullptr, nullptr, nullptr})
              : writePictImage(path, ppm.width, ppm.height, 0, nullptr,
                               {planes[0].data(), planes[1].data(), planes[2].data(), nullptr});
  ASSERT_EQ(result, 0) << pict_errstr;
}

struct Size {
  int width;
  int height;
};

class Interop : public testing::TestWithParam<Size> {
 protected:
  TempDir dir_;
};

TEST_P(Interop, ImageMagickReadsOurTrueColourAndIndexedOutput) {
  if (!haveTool("convert")) GTEST_SKIP() << "ImageMagick is not installed";
  const Size size = GetParam();
  for (bool indexed : {false, true}) {
    const Ppm ppm = makePicture(size.width, size.height, indexed ? 40 : 0, size.width);
    const std::string pict = dir_.path("ours.pict"), out = dir_.path("back.ppm");
    writeWithUs(pict, ppm, indexed);
    ASSERT_EQ(shell("convert " + quote(pict) + " ppm:" + quote(out)), 0);
    const Ppm back = readPpm(out);
    EXPECT_EQ(back.width, ppm.width);
    EXPECT_EQ(back.height, ppm.height);
    EXPECT_TRUE(back.rgb == ppm.rgb) << (indexed ? "indexed" : "true colour");
  }
}

TEST_P(Interop, PicttoppmReadsOurOutput) {
  if (!haveTool("picttoppm")) GTEST_SKIP() << "netpbm's picttoppm is not installed";
  const Size size = GetParam();
  for (bool indexed : {false, true}) {
    const Ppm ppm = makePicture(size.width, size.height, indexed ? 40 : 0, size.height);
    const std::string pict = dir_.path("ours.pict"), out = dir_.path("back.ppm");
    writeWithUs(pict, ppm, indexed);
    ASSERT_EQ(shell("picttoppm " + quote(pict) + " > " + quote(out)), 0);
    const Ppm back = readPpm(out);
    EXPECT_EQ(back.width, ppm.width);
    EXPECT_TRUE(back.rgb == ppm.rgb) << (indexed ? "indexed" : "true colour");
  }
}

TEST_P(Interop, WeReadImageMagickTrueColourPaletteAndGrey) {
  if (!haveTool("convert")) GTEST_SKIP() << "ImageMagick is not installed";
  const Size size = GetParam();
  // ImageMagick packs rows whose rowBytes is below 8, which the format stores
  // unpacked; it cannot read such pictures back either.
  if (size.width < 8) GTEST_SKIP() << "ImageMagick writes narrow rows packed";
  struct Kind {
    const char* option;
    int colours;
  };
  for (const Kind& kind : {Kind{"", 0}, Kind{"-type Palette", 30}, Kind{"-type Grayscale", 0}}) {
    Ppm ppm = makePicture(size.width, size.height, kind.colours, size.width + 17);
    if (std::string(kind.option) == "-type Grayscale") {
      for (size_t i = 0; i < ppm.rgb.size(); i += 3) ppm.rgb[i + 1] = ppm.rgb[i + 2] = ppm.rgb[i];
    }
    const std::string in = dir_.path("in.ppm"), pict = dir_.path("theirs.pict");
    writePpm(in, ppm);
    ASSERT_EQ(shell("convert " + quote(in) + " " + kind.option + " PICT:" + quote(pict)), 0);
    std::string error;
    const Ppm read = readWithUs(pict, &error);
    ASSERT_EQ(error, "") << kind.option;
    EXPECT_EQ(read.width, ppm.width);
    EXPECT_EQ(read.height, ppm.height);
    EXPECT_TRUE(read.rgb == ppm.rgb) << "convert " << kind.option;
  }
}

TEST_P(Interop, WeReadNetpbmPictures) {
  if (!haveTool("ppmtopict")) GTEST_SKIP() << "netpbm's ppmtopict is not installed";
  const Size size = GetParam();
  if (size.width < 8) GTEST_SKIP() << "ppmtopict needs pictures 8 pixels wide";
  for (int colours : {2, 200}) {
    const Ppm ppm = makePicture(size.width, size.height, colours, size.height + colours);
    const std::string in = dir_.path("in.ppm"), pict = dir_.path("theirs.pict");
    writePpm(in, ppm);
    ASSERT_EQ(shell("ppmtopict " + quote(in) + " > " + quote(pict)), 0);
    std::string error;
    const Ppm read = readWithUs(pict, &error);
    ASSERT_EQ(error, "") << colours;
    EXPECT_EQ(read.width, ppm.width);
    EXPECT_TRUE(read.rgb == ppm.rgb) << colours << " colours";
  }
}

// Narrow and wide rows (byte and word counts), and unpacked short rows. Two
// pixels wide is left out: ImageMagick reads 2-pixel true-colour rows (rowBytes
// 8, packed) as unpacked, its own included.
INSTANTIATE_TEST_SUITE_P(Sizes, Interop,
                         testing::Values(Size{1, 1}, Size{3, 2}, Size{9, 5}, Size{70, 3},
                                         Size{300, 2}));

}  // namespace
}  // namespace kx
