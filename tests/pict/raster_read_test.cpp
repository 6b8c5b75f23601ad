// Raster reading from files the tests build: every pixel depth, packings,
// bands, placement and clipping, inversion and spans, and the refusal of
// rasters that would read or write out of bounds.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "pict/pict.h"
#include "pict/pict_builder.h"
#include "pict/pict_pvt.h"
#include "support/tempdir.h"

namespace kx {
namespace {

// A picture read with readPictImage, its planes turned top-down.
struct Image {
  int result = 0;
  int width = 0;
  int height = 0;
  std::array<std::vector<uint8_t>, 4> planes;  // empty when absent
  std::string warning;                         // what was printed on stderr
  std::string error;                           // MacGetError() after a failure
  int colours = -1;
  Colormap table;

  uint8_t at(int plane, int x, int y) const { return planes[plane].at(y * width + x); }
  std::vector<uint8_t> row(int plane, int y) const {
    return std::vector<uint8_t>(planes[plane].begin() + y * width,
                                planes[plane].begin() + (y + 1) * width);
  }
};

class RasterRead : public testing::Test {
 protected:
  void SetUp() override { MacClearError(); }

  Image read(const PictBytes& bytes, bool wantTable = false) {
    path_ = dir_.path("in.pict");
    writePict(path_, bytes);
    Image image;
    int16_t w = 0, h = 0;
    image.colours = wantTable ? 0 : -1;
    PictPlanes planes;
    testing::internal::CaptureStderr();
    image.result = readPictImage(path_, &w, &h, &image.colours, &image.table, planes);
    image.warning = testing::internal::GetCapturedStderr();
    if (image.result != 0) image.error = MacGetError();
    image.width = w;
    image.height = h;
    for (int p = 0; p < 4; ++p) {
      if (!planes[p]) continue;
      // Planes are bottom-up: the PICT's top row is the plane's last row.
      for (int y = h - 1; y >= 0; --y) {
        image.planes[p].insert(image.planes[p].end(), planes[p].get() + y * w,
                               planes[p].get() + (y + 1) * w);
      }
    }
    return image;
  }
  std::string message(const char* format) const {
    const std::string m = format;
    const size_t hole = m.find("%s");
    return m.substr(0, hole) + path_ + m.substr(hole + 2);
  }

  TempDir dir_;
  std::string path_;
};

RasterRecipe indexed(int width, int rows, int depth, std::vector<PictColorEntry> table) {
  RasterRecipe s;
  s.opcode = 0x98;
  s.rowBytes = (width * depth + 15) / 16 * 2;
  s.bounds = s.src = s.dst =
      PictRect{0, 0, static_cast<int16_t>(rows), static_cast<int16_t>(width)};
  s.pixelSize = s.cmpSize = depth;
  s.colours = std::move(table);
  return s;
}

RasterRecipe direct32(int width, int rows, int packType, int cmpCount) {
  RasterRecipe s;
  s.opcode = 0x9A;
  s.rowBytes = 4 * width;
  s.bounds = s.src = s.dst =
      PictRect{0, 0, static_cast<int16_t>(rows), static_cast<int16_t>(width)};
  s.packType = packType;
  s.pixelType = 16;
  s.pixelSize = 32;
  s.cmpCount = cmpCount;
  return s;
}

// Packs pixel values of `depth` bits into a row of rowBytes bytes.
std::vector<uint8_t> pixelRow(const std::vector<int>& values, int depth, int rowBytes) {
  std::vector<uint8_t> row(rowBytes, 0);
  for (size_t k = 0; k < values.size(); ++k) {
    const size_t bit = k * depth;
    row[bit / 8] |= static_cast<uint8_t>(values[k] << (8 - depth - bit % 8));
  }
  return row;
}

const std::vector<std::array<uint8_t, 3>> kColours = {
    {255, 0, 0},   {0, 255, 0},   {0, 0, 255},  {10, 20, 30},   {200, 100, 50}, {1, 2, 3},
    {40, 50, 60},  {70, 80, 90},  {5, 6, 7},    {9, 9, 1},      {33, 66, 99},   {128, 0, 128},
    {0, 128, 128}, {250, 250, 0}, {17, 34, 51}, {255, 255, 255}};

// ---- Pixel depths ---------------------------------------------------------------

class IndexedDepth : public RasterRead, public testing::WithParamInterface<int> {};

TEST_P(IndexedDepth, ColourTableGivesColoursAndRawValues) {
  const int depth = GetParam();
  const int width = 11, rows = 3, n = 1 << depth;
  std::vector<std::array<uint8_t, 3>> rgb(kColours.begin(), kColours.begin() + std::min(n, 16));
  RasterRecipe s = indexed(width, rows, depth, colourTable(rgb));
  std::vector<std::vector<int>> values(rows);
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < width; ++x) values[y].push_back((x * 3 + y) % static_cast<int>(rgb.size()));
    s.rows.push_back(pixelRow(values[y], depth, s.rowBytes));
  }
  PictBytes p = pictVersion2(s.bounds);
  appendRaster(p, s);
  p.end();
  const Image image = read(p);
  ASSERT_EQ(image.result, 0) << image.error;
  EXPECT_EQ(image.warning, "");
  ASSERT_EQ(image.width, width);
  ASSERT_EQ(image.height, rows);
  for (int c = 0; c < 4; ++c) ASSERT_FALSE(image.planes[c].empty()) << c;
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < width; ++x) {
      const int v = values[y][x];
      EXPECT_EQ(image.at(0, x, y), rgb[v][0]);
      EXPECT_EQ(image.at(1, x, y), rgb[v][1]);
      EXPECT_EQ(image.at(2, x, y), rgb[v][2]);
      EXPECT_EQ(image.at(3, x, y), v);
    }
  }
}

TEST_P(IndexedDepth, GreyTableGivesPlaneZeroOnly) {
  const int depth = GetParam();
  const int width = 9, n = 1 << depth;
  std::vector<PictColorEntry> table;
  for (int i = 0; i < n; ++i) {
    const auto v = static_cast<uint16_t>((i * 255 / (n - 1)) * 257);
    table.push_back({static_cast<uint16_t>(i), v, v, v});
  }
  RasterRecipe s = indexed(width, 2, depth, table);
  std::vector<int> values;
  for (int x = 0; x < width; ++x) values.push_back((x + 1) % n);
  s.rows = {pixelRow(values, depth, s.rowBytes), pixelRow(values, depth, s.rowBytes)};
  PictBytes p = pictVersion2(s.bounds);
  appendRaster(p, s);
  p.end();
  const Image image = read(p);
  ASSERT_EQ(image.result, 0) << image.error;
  ASSERT_FALSE(image.planes[0].empty());
  for (int c = 1; c < 4; ++c) EXPECT_TRUE(image.planes[c].empty()) << c;
  for (int x = 0; x < width; ++x) EXPECT_EQ(image.at(0, x, 1), values[x] * 255 / (n - 1)) << x;
}

INSTANTIATE_TEST_SUITE_P(Depths, IndexedDepth, testing::Values(1, 2, 4, 8));

TEST_F(RasterRead, GreyTableReadWithItsTableRepeatsGreyInGreenAndBlue) {
  RasterRecipe s = indexed(8, 1, 8, greyTable(256));
  s.rows = {{0, 10, 20, 30, 40, 50, 60, 255}};
  PictBytes p = pictVersion2(s.bounds);
  appendRaster(p, s);
  p.end();
  const Image image = read(p, true);
  ASSERT_EQ(image.result, 0) << image.error;
  EXPECT_EQ(image.colours, 256);
  ASSERT_EQ(image.table.size(), 256u);
  EXPECT_EQ(image.table[30].red, 30);
  EXPECT_EQ(image.table[30].blue, 30);
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(image.row(c, 0), (std::vector<uint8_t>{0, 10, 20, 30, 40, 50, 60, 255}));
  }
  EXPECT_EQ(image.row(3, 0), std::vector<uint8_t>(8, 0));
}

TEST_F(RasterRead, ColourTableIsHandedBackInEightBits) {
  RasterRecipe s = indexed(8, 1, 8, colourTable({{1, 2, 3}, {250, 251, 252}}));
  s.rows = {{0, 1, 0, 1, 0, 1, 0, 1}};
  PictBytes p = pictVersion2(s.bounds);
  appendRaster(p, s);
  p.end();
  const Image image = read(p, true);
  ASSERT_EQ(image.result, 0) << image.error;
  ASSERT_EQ(image.colours, 2);
  EXPECT_EQ(image.table[1].red, 250);
  EXPECT_EQ(image.table[1].green, 251);
  EXPECT_EQ(image.table[1].blue, 252);
  EXPECT_EQ(image.row(1, 0), (std::vector<uint8_t>{2, 251, 2, 251, 2, 251, 2, 251}));
}

TEST_F(RasterRead, BitmapSetBitsAreBlackAndPartialBytesAreExpanded) {
  RasterRecipe s;
  s.opcode = 0x90;
  s.pixmap = false;
  s.rowBytes = 2;
  s.bounds = s.src = s.dst = PictRect{0, 0, 2, 10};
  s.rows = {{0xAA, 0x80}, {0x0F, 0x40}};
  PictBytes p = pictVersion2(s.bounds);
  appendRaster(p, s);
  p.end();
  const Image image = read(p);
  ASSERT_EQ(image.result, 0) << image.error;
  EXPECT_EQ(image.warning, message("Warning: %s has 1 bits per channel. Not fully supported."));
  EXPECT_TRUE(image.planes[1].empty());
  EXPECT_EQ(image.row(0, 0), (std::vector<uint8_t>{0, 1, 0, 1, 0, 1, 0, 1, 0, 1}));
  EXPECT_EQ(image.row(0, 1), (std::vector<uint8_t>{1, 1, 1, 1, 0, 0, 0, 0, 1, 0}));
}

TEST_F(RasterRead, PackedBitmapInAVersion1Picture) {
  PictBytes p = pictVersion1(PictRect{0, 0, 3, 80});
  p.u8(0x98);
  RasterRecipe s;
  s.opcode = 0x98;
  s.pixmap = false;
  s.rowBytes = 10;
  s.bounds = s.src = s.dst = PictRect{0, 0, 3, 80};
  s.rows = {std::vector<uint8_t>(10, 0xFF),
            std::vector<uint8_t>(10, 0x00),
            {0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0x01}};
  appendRasterBody(p, s);
  p.u8(0xFF);
  const Image image = read(p);
  ASSERT_EQ(image.result, 0) << image.error;
  EXPECT_EQ(image.row(0, 0), std::vector<uint8_t>(80, 0));
  EXPECT_EQ(image.row(0, 1), std::vector<uint8_t>(80, 1));
  std::vector<uint8_t> third(80, 1);
  third[0] = third[79] = 0;
  EXPECT_EQ(image.row(0, 2), third);
}

TEST_F(RasterRead, SixteenBitPixelsGiveFiveBitComponents) {
  for (int packType : {0, 1, 3}) {
    RasterRecipe s;
    s.opcode = 0x9A;
    s.rowBytes = 8;
    s.packType = packType;
    s.pixelType = 16;
    s.pixelSize = 16;
    s.cmpCount = 3;
    s.cmpSize = 5;
    s.bounds = s.src = s.dst = PictRect{0, 0, 1, 4};
    // (31, 0, 0), (0, 31, 0), (1, 2, 3), (31, 31, 31); the top bit is ignored.
    s.rows = {{0x7C, 0x00, 0x03, 0xE0, 0x04, 0x43, 0xFF, 0xFF}};
    PictBytes p = pictVersion2(s.bounds);
    appendRaster(p, s);
    p.end();
    const Image image = read(p);
    ASSERT_EQ(image.result, 0) << image.error;
    EXPECT_EQ(image.warning, message("Warning: %s has 5 bits per channel. Not fully supported."));
    EXPECT_EQ(image.row(0, 0), (std::vector<uint8_t>{31, 0, 1, 31})) << packType;
    EXPECT_EQ(image.row(1, 0), (std::vector<uint8_t>{0, 31, 2, 31})) << packType;
    EXPECT_EQ(image.row(2, 0), (std::vector<uint8_t>{0, 0, 3, 31})) << packType;
    EXPECT_TRUE(image.planes[3].empty());
  }
}

TEST_F(RasterRead, PackedSixteenBitRowsRepeatTwoByteUnits) {
  RasterRecipe s;
  s.opcode = 0x9A;
  s.rowBytes = 8;
  s.packType = 3;
  s.pixelType = 16;
  s.pixelSize = 16;
  s.cmpCount = 3;
  s.cmpSize = 5;
  s.bounds = s.src = s.dst = PictRect{0, 0, 1, 4};
  PictBytes p = pictVersion2(s.bounds);
  appendRaster(p, s);
  // One row by hand: FF repeats the unit 0x0421 twice, 01 copies two units.
  p.u8(8);
  p.bytes({0xFF, 0x04, 0x21, 0x01, 0x00, 0x1F, 0x7C, 0x00});
  p.end();
  const Image image = read(p);
  ASSERT_EQ(image.result, 0) << image.error;
  EXPECT_EQ(image.row(0, 0), (std::vector<uint8_t>{1, 1, 0, 31}));
  EXPECT_EQ(image.row(2, 0), (std::vector<uint8_t>{1, 1, 31, 0}));
}

struct Direct32Case {
  const char* label;
  int packType;
  int cmpCount;
  bool alpha;  // expected in plane 3
};

class Direct32 : public RasterRead, public testing::WithParamInterface<Direct32Case> {};

TEST_P(Direct32, DeliversRedGreenBlueAndAlpha) {
  const Direct32Case& c = GetParam();
  const int width = 5;
  RasterRecipe s = direct32(width, 2, c.packType, c.cmpCount);
  auto component = [](int ch, int x, int y) { return static_cast<uint8_t>(40 * ch + 7 * x + y); };
  for (int y = 0; y < 2; ++y) {
    std::vector<uint8_t> row;
    if (c.packType == 4) {
      // Planes: alpha (cmpCount 4), red, green, blue.
      for (int ch = c.cmpCount == 4 ? 0 : 1; ch < 4; ++ch) {
        for (int x = 0; x < width; ++x) row.push_back(component(ch, x, y));
      }
      row.resize(s.rowBytes, 0);
    } else {
      for (int x = 0; x < width; ++x) {
        for (int ch = c.packType == 2 ? 1 : 0; ch < 4; ++ch) row.push_back(component(ch, x, y));
      }
    }
    s.rows.push_back(row);
  }
  PictBytes p = pictVersion2(s.bounds);
  appendRaster(p, s);
  p.end();
  const Image image = read(p);
  ASSERT_EQ(image.result, 0) << image.error;
  EXPECT_EQ(image.warning, "");
  EXPECT_EQ(image.planes[3].empty(), !c.alpha);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(image.at(ch, x, y), component(ch + 1, x, y));
      if (c.alpha) {
        EXPECT_EQ(image.at(3, x, y), component(0, x, y));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Packings, Direct32,
                         testing::Values(Direct32Case{"planes_rgb", 4, 3, false},
                                         Direct32Case{"planes_argb", 4, 4, true},
                                         Direct32Case{"three_bytes", 2, 3, false},
                                         Direct32Case{"unpacked_xrgb", 1, 3, false},
                                         Direct32Case{"unpacked_argb", 1, 4, true},
                                         Direct32Case{"packed_xrgb", 0, 3, false}),
                         [](const testing::TestParamInfo<Direct32Case>& info) {
                           return info.param.label;
                         });

// ---- Counts, bands, placement ---------------------------------------------------

TEST_F(RasterRead, RowCountsAreBytesUpTo250AndWordsFrom251) {
  for (int rowBytes : {250, 251}) {
    RasterRecipe s = indexed(rowBytes, 2, 8, colourTable({{0, 0, 0}, {9, 8, 7}, {1, 2, 3}}));
    s.rowBytes = rowBytes;
    std::vector<uint8_t> row(rowBytes);
    for (int x = 0; x < rowBytes; ++x) row[x] = static_cast<uint8_t>((x / 3) % 3);
    s.rows = {row, std::vector<uint8_t>(rowBytes, 1)};
    PictBytes p = pictVersion2(s.bounds);
    appendRaster(p, s);
    p.end();
    const Image image = read(p);
    ASSERT_EQ(image.result, 0) << rowBytes << ": " << image.error;
    EXPECT_EQ(image.row(3, 0), row) << rowBytes;
    EXPECT_EQ(image.row(0, 1), std::vector<uint8_t>(rowBytes, 9)) << rowBytes;
  }
}

RasterRecipe band(int top, int bottom, uint8_t value, std::vector<PictColorEntry> table) {
  RasterRecipe s = indexed(8, bottom - top, 8, std::move(table));
  s.bounds = s.src = s.dst =
      PictRect{static_cast<int16_t>(top), 0, static_cast<int16_t>(bottom), 8};
  s.rows.assign(bottom - top, std::vector<uint8_t>(8, value));
  return s;
}

TEST_F(RasterRead, BandsOfTheSameOpcodeReadAsOneImage) {
  const auto table = colourTable({{0, 0, 0}, {10, 20, 30}, {40, 50, 60}});
  PictBytes p = pictVersion2(PictRect{0, 0, 5, 8});
  appendRaster(p, band(0, 2, 1, table));
  p.op(0x00A0);  // comments between the bands are not allowed to end them...
  p.u16(0);
  appendRaster(p, band(2, 5, 2, table));
  p.end();
  const Image image = read(p);
  // ...they do: the next opcode must be the same raster opcode.
  ASSERT_EQ(image.result, 0) << image.error;
  EXPECT_EQ(image.row(0, 1), std::vector<uint8_t>(8, 10));
  EXPECT_EQ(image.row(0, 2), std::vector<uint8_t>(8, 255));

  PictBytes q = pictVersion2(PictRect{0, 0, 5, 8});
  appendRaster(q, band(0, 2, 1, table));
  appendRaster(q, band(2, 5, 2, table));
  q.end();
  const Image joined = read(q);
  ASSERT_EQ(joined.result, 0) << joined.error;
  for (int y = 0; y < 5; ++y) {
    EXPECT_EQ(joined.row(0, y), std::vector<uint8_t>(8, y < 2 ? 10 : 40)) << y;
    EXPECT_EQ(joined.row(2, y), std::vector<uint8_t>(8, y < 2 ? 30 : 60)) << y;
  }
}

TEST_F(RasterRead, ABandWithAGapOrOtherFlagsStopsTheImage) {
  const auto colour = colourTable({{0, 0, 0}, {10, 20, 30}, {40, 50, 60}});
  PictBytes gap = pictVersion2(PictRect{0, 0, 6, 8});
  appendRaster(gap, band(0, 2, 1, colour));
  appendRaster(gap, band(3, 6, 2, colour));
  gap.end();
  Image image = read(gap);
  ASSERT_EQ(image.result, 0) << image.error;
  EXPECT_EQ(image.row(0, 1), std::vector<uint8_t>(8, 10));
  for (int y = 2; y < 6; ++y) EXPECT_EQ(image.row(0, y), std::vector<uint8_t>(8, 255)) << y;

  // A grey second band reads differently (no colour): the image stops.
  PictBytes grey = pictVersion2(PictRect{0, 0, 4, 8});
  appendRaster(grey, band(0, 2, 1, colour));
  appendRaster(grey, band(2, 4, 1, greyTable(4)));
  grey.end();
  image = read(grey);
  ASSERT_EQ(image.result, 0) << image.error;
  EXPECT_EQ(image.row(1, 1), std::vector<uint8_t>(8, 20));
  EXPECT_EQ(image.row(1, 2), std::vector<uint8_t>(8, 255));
  EXPECT_EQ(image.row(1, 3), std::vector<uint8_t>(8, 255));
}

TEST_F(RasterRead, OtherOpcodesBeforeTheRasterAreSkipped) {
  RasterRecipe s = indexed(8, 1, 8, colourTable({{0, 0, 0}, {7, 8, 9}}));
  s.rows = {std::vector<uint8_t>(8, 1)};
  PictBytes p = pictVersion2(s.bounds);
  p.op(0x001E);
  p.op(0x0001);
  p.u16(10);
  p.rect(s.bounds);
  p.op(0x0003);  // TxFont
  p.u16(3);
  p.op(0x0028);  // LongText
  p.zeros(4);
  p.u8(5);
  p.bytes({'h', 'e', 'l', 'l', 'o'});
  p.op(0x00A1);  // LongComment
  p.u16(0);
  p.u16(1);
  p.u8(0);
  p.op(0x0007);  // PnSize
  p.zeros(4);
  appendRaster(p, s);
  p.end();
  const Image image = read(p);
  ASSERT_EQ(image.result, 0) << image.error;
  EXPECT_EQ(image.row(2, 0), std::vector<uint8_t>(8, 9));
}

TEST_F(RasterRead, BackgroundFillsWhereTheRasterDoesNotReach) {
  // A 3 × 2 colour raster at column 4, row 2 of a 10 × 6 frame.
  RasterRecipe s = indexed(3, 2, 8, colourTable({{0, 0, 0}, {1, 2, 3}}));
  s.rowBytes = 8;
  s.bounds = s.src = s.dst = PictRect{2, 4, 4, 7};
  s.rows.assign(2, std::vector<uint8_t>(8, 1));
  PictBytes p = pictVersion2(PictRect{0, 0, 6, 10});
  appendRaster(p, s);
  p.end();
  const Image image = read(p);
  ASSERT_EQ(image.result, 0) << image.error;
  for (int y = 0; y < 6; ++y) {
    for (int x = 0; x < 10; ++x) {
      const bool inside = y >= 2 && y < 4 && x >= 4 && x < 7;
      EXPECT_EQ(image.at(0, x, y), inside ? 1 : 255) << x << "," << y;
      EXPECT_EQ(image.at(2, x, y), inside ? 3 : 255) << x << "," << y;
      EXPECT_EQ(image.at(3, x, y), inside ? 1 : 0) << x << "," << y;
    }
  }

  // Direct 16-bit pixels fill with 31, one-bit bitmaps with 1.
  RasterRecipe sixteen;
  sixteen.opcode = 0x9A;
  sixteen.rowBytes = 2;
  sixteen.packType = 1;
  sixteen.pixelType = 16;
  sixteen.pixelSize = 16;
  sixteen.cmpCount = 3;
  sixteen.cmpSize = 5;
  sixteen.bounds = sixteen.src = sixteen.dst = PictRect{0, 0, 1, 1};
  sixteen.rows = {{0, 0}};
  PictBytes q = pictVersion2(PictRect{0, 0, 2, 2});
  appendRaster(q, sixteen);
  q.end();
  const Image small = read(q);
  ASSERT_EQ(small.result, 0) << small.error;
  EXPECT_EQ(small.planes[1], (std::vector<uint8_t>{0, 31, 31, 31}));
}

TEST_F(RasterRead, RastersReachingOutsideTheFrameAreClipped) {
  // 6 × 4 pixels of value x + 10 y, placed at column -2, row -1 of a 3 × 2
  // frame (rows 1-2, columns 2-4 of the raster show) and at column 1, row 1
  // (columns 0-1 and row 0 show).
  auto picture = [](int16_t left, int16_t top) {
    RasterRecipe s = indexed(6, 4, 8, greyTable(256));
    s.rowBytes = 8;
    s.bounds = s.src = s.dst =
        PictRect{top, left, static_cast<int16_t>(top + 4), static_cast<int16_t>(left + 6)};
    for (int y = 0; y < 4; ++y) {
      std::vector<uint8_t> row(8, 0);
      for (int x = 0; x < 6; ++x) row[x] = static_cast<uint8_t>(x + 10 * y + 1);
      s.rows.push_back(row);
    }
    PictBytes p = pictVersion2(PictRect{0, 0, 2, 3});
    appendRaster(p, s);
    p.end();
    return p;
  };
  Image image = read(picture(-2, -1));
  ASSERT_EQ(image.result, 0) << image.error;
  EXPECT_EQ(image.row(0, 0), (std::vector<uint8_t>{13, 14, 15}));
  EXPECT_EQ(image.row(0, 1), (std::vector<uint8_t>{23, 24, 25}));
  image = read(picture(1, 1));
  ASSERT_EQ(image.result, 0) << image.error;
  EXPECT_EQ(image.row(0, 0), (std::vector<uint8_t>{255, 255, 255}));
  EXPECT_EQ(image.row(0, 1), (std::vector<uint8_t>{255, 1, 2}));
  image = read(picture(-40, 1));
  ASSERT_EQ(image.result, 0) << image.error;
  EXPECT_EQ(image.row(0, 1), (std::vector<uint8_t>{255, 255, 255}));
}

// ---- Low-level rows: spans and inversion ---------------------------------------

class RasterScan : public RasterRead {
 protected:
  std::unique_ptr<PictFile> open(const PictBytes& bytes) {
    path_ = dir_.path("scan.pict");
    writePict(path_, bytes);
    auto pict = PictOpenFileRead(path_);
    EXPECT_NE(pict, nullptr) << MacGetError();
    if (pict) {
      EXPECT_EQ(PictOpenRasterRead(*pict), 1) << MacGetError();
    }
    return pict;
  }
};

TEST_F(RasterScan, SpanIsNarrowedPastBackgroundPixels) {
  RasterRecipe s;
  s.opcode = 0x90;
  s.pixmap = false;
  s.rowBytes = 2;
  s.bounds = s.src = s.dst = PictRect{0, 0, 1, 12};
  s.rows = {{0xAA, 0xA0}};  // 1010 1010 1010: values 0 1 0 1 ...
  PictBytes p = pictVersion2(s.bounds);
  appendRaster(p, s);
  p.end();
  auto pict = open(p);
  ASSERT_NE(pict, nullptr);
  std::vector<uint8_t> row(12, 77);
  int first = -1, last = -1;
  ASSERT_EQ(PictReadPixelScan(*pict, {row.data(), nullptr, nullptr, nullptr}, &first, &last), 0);
  EXPECT_EQ(row, (std::vector<uint8_t>{0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}));
  EXPECT_EQ(first, 1);
  EXPECT_EQ(last, 12);
  EXPECT_EQ(PictCloseRaster(*pict), 0);
  EXPECT_EQ(pict->currentOpcode, kPictNoOpcode);
  EXPECT_EQ(PictGetNextOpcode(*pict), 0xFF);
}

TEST_F(RasterScan, InvertedColoursComplementTableAndBackground) {
  RasterRecipe s = indexed(2, 1, 8, colourTable({{0, 0, 0}, {10, 200, 255}}));
  s.rowBytes = 4;
  s.bounds = s.src = s.dst = PictRect{1, 1, 2, 3};
  s.rows = {{1, 0, 0, 0}};
  PictBytes p = pictVersion2(PictRect{0, 0, 3, 4});
  appendRaster(p, s);
  p.end();
  auto pict = open(p);
  ASSERT_NE(pict, nullptr);
  PictInvertColours(*pict);
  PictInvertColours(*pict);  // once only
  std::array<std::vector<uint8_t>, 4> rows;
  for (auto& r : rows) r.assign(4, 99);
  auto out =
      std::array<uint8_t*, 4>{rows[0].data(), rows[1].data(), rows[2].data(), rows[3].data()};
  int first, last;
  // Row 0: the background of an inverted raster is 0, and the span empty.
  ASSERT_EQ(PictReadPixelScan(*pict, out, &first, &last), 0);
  EXPECT_EQ(rows[0], std::vector<uint8_t>(4, 0));
  EXPECT_EQ(rows[3], std::vector<uint8_t>(4, 99));
  EXPECT_EQ(first, 0);
  EXPECT_EQ(last, 0);
  // Row 1: the raster, complemented; the span is the raster's columns.
  ASSERT_EQ(PictReadPixelScan(*pict, out, &first, &last), 0);
  EXPECT_EQ(rows[0], (std::vector<uint8_t>{0, 245, 255, 0}));
  EXPECT_EQ(rows[1], (std::vector<uint8_t>{0, 55, 255, 0}));
  EXPECT_EQ(rows[2], (std::vector<uint8_t>{0, 0, 255, 0}));
  EXPECT_EQ(rows[3], (std::vector<uint8_t>{99, 1, 0, 99}));
  EXPECT_EQ(first, 1);
  EXPECT_EQ(last, 3);
  EXPECT_EQ(PictCloseRaster(*pict), 0);
}

TEST_F(RasterScan, SeveralRastersOfOnePictureAreVisitedInTurn) {
  RasterRecipe a = indexed(8, 1, 8, greyTable(2));
  a.rows = {std::vector<uint8_t>(8, 1)};
  RasterRecipe b = direct32(2, 1, 4, 3);
  b.rows = {{1, 2, 3, 4, 5, 6, 0, 0}};
  PictBytes p = pictVersion2(a.bounds);
  appendRaster(p, a);
  p.op(0x00A0);
  p.u16(0);
  appendRaster(p, b);
  p.end();
  auto pict = open(p);
  ASSERT_NE(pict, nullptr);
  EXPECT_EQ(pict->raster->opcode, 0x98);
  ASSERT_EQ(PictCloseRaster(*pict), 0);  // its row is skipped unread
  ASSERT_EQ(PictOpenRasterRead(*pict), 1);
  EXPECT_EQ(pict->raster->opcode, 0x9A);
  ASSERT_EQ(PictCloseRaster(*pict), 0);
  EXPECT_EQ(PictOpenRasterRead(*pict), 0);
  EXPECT_EQ(MacError(), 0);
}

// ---- Refusals ---------------------------------------------------------------------

TEST_F(RasterRead, PictureWithoutARasterFails) {
  PictBytes p = pictVersion2(PictRect{0, 0, 4, 4});
  p.op(0x00A0);
  p.u16(1);
  p.end();
  pict_errstr.clear();
  const Image image = read(p);
  EXPECT_EQ(image.result, -1);
  EXPECT_EQ(pict_errstr, "No raster information found");
}

TEST_F(RasterRead, ReservedOpcodesAmongTheRastersAreBadParameters) {
  PictBytes p = pictVersion2(PictRect{0, 0, 4, 4});
  p.op(0x0092);
  p.u16(0);
  p.end();
  const Image image = read(p);
  EXPECT_EQ(image.result, 17);
  EXPECT_EQ(image.error, "SetRasterSize: Bad Parameter!");
}

TEST_F(RasterRead, WrongOpcodeBeforeTheRasterFailsTheFirstRow) {
  RasterRecipe s = indexed(8, 1, 8, greyTable(2));
  s.rows = {std::vector<uint8_t>(8, 1)};
  PictBytes p = pictVersion2(s.bounds);
  p.op(0x0078);  // frameSamePoly
  appendRaster(p, s);
  p.end();
  const Image image = read(p);
  EXPECT_EQ(image.result, -1);
  EXPECT_EQ(image.error, message("%s: Wrong opcode for this PICT version."));
}

struct BadRaster {
  const char* label;
  std::function<void(RasterRecipe&, PictBytes&)> spoil;  // applied before the raster is appended
};

class BadRasterTest : public RasterRead, public testing::WithParamInterface<BadRaster> {};

TEST_P(BadRasterTest, IsRefused) {
  RasterRecipe s = indexed(10, 2, 8, colourTable({{0, 0, 0}, {1, 1, 1}, {2, 2, 2}}));
  s.rows.assign(2, std::vector<uint8_t>(10, 2));
  PictBytes p = pictVersion2(s.bounds);
  GetParam().spoil(s, p);
  p.end();
  const Image image = read(p);
  EXPECT_NE(image.result, 0);
  EXPECT_EQ(image.error, message("%s: Bad value encountered."));
  EXPECT_TRUE(image.planes[0].empty());
}

void appendWithRows(RasterRecipe& s, PictBytes& p, const std::vector<std::vector<uint8_t>>& raw) {
  // The record, then rows given as stored bytes (count included).
  s.rows.clear();
  appendRaster(p, s);
  for (const auto& r : raw) p.bytes(r);
}

INSTANTIATE_TEST_SUITE_P(
    Rasters, BadRasterTest,
    testing::Values(BadRaster{"count_beyond_the_row_buffer",
                              [](RasterRecipe& s, PictBytes& p) {
                                std::vector<uint8_t> row = {0xFF};
                                row.resize(256, 0);  // 255 bytes of literal groups
                                appendWithRows(s, p, {row, row});
                              }},
                    BadRaster{
                        "row_unpacks_past_rowBytes",
                        [](RasterRecipe& s, PictBytes& p) {
                          appendWithRows(s, p, {{2, 0xF0, 1}, {2, 0xF0, 1}});  // a run of 17 > 10
                        }},
                    BadRaster{"pixel_beyond_the_table",
                              [](RasterRecipe& s, PictBytes& p) {
                                s.rows.assign(2, std::vector<uint8_t>(10, 3));
                                appendRaster(p, s);
                              }},
                    BadRaster{"negative_ctSize",
                              [](RasterRecipe& s, PictBytes& p) {
                                s.colours.clear();
                                s.ctSizeOverride = -1;
                                appendRaster(p, s);
                              }},
                    BadRaster{"destination_wider_than_the_row",
                              [](RasterRecipe& s, PictBytes& p) {
                                s.dst.right = 11;
                                appendRaster(p, s);
                              }},
                    BadRaster{"negative_row_count",
                              [](RasterRecipe& s, PictBytes& p) {
                                s.bounds.bottom = -1;
                                s.rows.clear();
                                appendRaster(p, s);
                              }},
                    BadRaster{"indexed_depth_3",
                              [](RasterRecipe& s, PictBytes& p) {
                                s.cmpSize = s.pixelSize = 3;
                                appendRaster(p, s);
                              }},
                    BadRaster{"direct_24_bit_pixels",
                              [](RasterRecipe& s, PictBytes& p) {
                                RasterRecipe d = direct32(10, 2, 4, 3);
                                d.pixelSize = 24;
                                d.rows.assign(2, std::vector<uint8_t>(40, 0));
                                (void)s;
                                appendRaster(p, d);
                              }},
                    BadRaster{"planes_wider_than_bounds",
                              [](RasterRecipe& s, PictBytes& p) {
                                RasterRecipe d = direct32(10, 2, 4, 3);
                                d.dst.right = 12;
                                d.rowBytes = 48;
                                d.rows.assign(2, std::vector<uint8_t>(48, 0));
                                (void)s;
                                appendRaster(p, d);
                              }},
                    BadRaster{"mask_region_smaller_than_its_size_word",
                              [](RasterRecipe& s, PictBytes& p) {
                                s.opcode = 0x99;
                                s.rows.clear();
                                appendRaster(p, s);
                                // Replace the region (size 10 + rect) by a size of 1.
                                p.b.erase(p.b.end() - 10, p.b.end());
                                p.u16(1);
                              }}),
    [](const testing::TestParamInfo<BadRaster>& info) { return info.param.label; });

TEST_F(RasterRead, TruncatedRowsAreReadErrors) {
  RasterRecipe s = indexed(10, 2, 8, greyTable(2));
  PictBytes p = pictVersion2(s.bounds);
  appendRaster(p, s);
  p.bytes({10, 0x09, 1, 1});  // 10 bytes announced, the file ends after 3
  const Image image = read(p);
  EXPECT_EQ(image.result, -1);
  EXPECT_EQ(image.error, message("Can't read file %s"));
}

TEST_F(RasterRead, FramesLargerThanTheImageLimitAreRefused) {
  RasterRecipe s = indexed(20, 20, 8, greyTable(2));
  s.rows.assign(20, std::vector<uint8_t>(20, 1));
  PictBytes p = pictVersion2(s.bounds);
  appendRaster(p, s);
  p.end();
  PictSetImageLimit(399);
  const Image refused = read(p);
  PictSetImageLimit(400);
  const Image accepted = read(p);
  PictSetImageLimit(int64_t{32767} * 32767);
  EXPECT_EQ(refused.result, 11);
  EXPECT_EQ(refused.error, message("%s: Bad value encountered."));
  EXPECT_EQ(accepted.result, 0);
}

}  // namespace
}  // namespace kx
