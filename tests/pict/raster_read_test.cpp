// Raster reading from files the tests build: every pixel depth and packing,
// row counts, bands, and the refusal of rasters that would read or write out
// of bounds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pict/pict.h"
#include "pict/pict_builder.h"
#include "pict/pict_pvt.h"
#include "support/tempdir.h"

namespace kx {
namespace {

using Bytes = std::vector<uint8_t>;

// A picture read with readPictImage, its planes turned top-down.
struct Image {
  int result = 0, width = 0, height = 0, colours = -1;
  std::array<Bytes, 4> planes;  // empty when absent
  std::string warning, error;   // stderr; MacGetError() after a failure
  Colormap table;

  uint8_t at(int plane, int x, int y) const { return planes[plane].at(y * width + x); }
  Bytes row(int plane, int y) const {
    return Bytes(planes[plane].begin() + y * width, planes[plane].begin() + (y + 1) * width);
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
      for (int y = h - 1; planes[p] && y >= 0; --y) {
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

// Packs pixel values of `depth` bits into a row of rowBytes bytes.
Bytes pixelRow(const std::vector<int>& values, int depth, int rowBytes) {
  Bytes row(rowBytes, 0);
  for (size_t k = 0; k < values.size(); ++k) {
    row[k * depth / 8] |= static_cast<uint8_t>(values[k] << (8 - depth - k * depth % 8));
  }
  return row;
}

TEST_F(RasterRead, IndexedDepthsGiveColoursAndRawValues) {
  const std::vector<std::array<uint8_t, 3>> rgb = {
      {255, 0, 0},   {0, 255, 0},   {0, 0, 255},  {10, 20, 30},   {200, 100, 50}, {1, 2, 3},
      {40, 50, 60},  {70, 80, 90},  {5, 6, 7},    {9, 9, 1},      {33, 66, 99},   {128, 0, 128},
      {0, 128, 128}, {250, 250, 0}, {17, 34, 51}, {255, 255, 255}};
  for (int depth : {1, 2, 4, 8}) {
    const int width = 11, rows = 3, n = std::min(1 << depth, 16);
    RasterRecipe s = indexedRaster(width, rows, depth, colourTable({rgb.begin(), rgb.begin() + n}));
    std::vector<std::vector<int>> values(rows);
    for (int y = 0; y < rows; ++y) {
      for (int x = 0; x < width; ++x) values[y].push_back((x * 3 + y) % n);
      s.rows.push_back(pixelRow(values[y], depth, s.rowBytes));
    }
    const Image image = read(pictOf(s));
    ASSERT_EQ(image.result, 0) << image.error;
    EXPECT_EQ(image.warning, "");
    ASSERT_EQ(image.width, width);
    ASSERT_EQ(image.height, rows);
    for (int y = 0; y < rows; ++y) {
      for (int x = 0; x < width; ++x) {
        const int v = values[y][x];
        for (int c = 0; c < 3; ++c) ASSERT_EQ(image.at(c, x, y), rgb[v][c]) << depth;
        ASSERT_EQ(image.at(3, x, y), v) << depth;
      }
    }
  }
}

TEST_F(RasterRead, GreyTablesGivePlaneZeroOrGreyInAllThreeWithTheTable) {
  RasterRecipe s = indexedRaster(8, 1, 8, greyTable(256));
  s.rows = {{0, 10, 20, 30, 40, 50, 60, 255}};
  Image image = read(pictOf(s));
  ASSERT_EQ(image.result, 0) << image.error;
  EXPECT_EQ(image.row(0, 0), s.rows[0]);
  for (int c = 1; c < 4; ++c) EXPECT_TRUE(image.planes[c].empty()) << c;
  image = read(pictOf(s), true);
  ASSERT_EQ(image.result, 0) << image.error;
  ASSERT_EQ(image.colours, 256);
  EXPECT_EQ(image.table[30].blue, 30);
  for (int c = 0; c < 3; ++c) EXPECT_EQ(image.row(c, 0), s.rows[0]);
  EXPECT_EQ(image.row(3, 0), Bytes(8, 0));
}

TEST_F(RasterRead, BitmapSetBitsAreBlackAndPartialBytesAreExpanded) {
  RasterRecipe s = bitmapRaster(10, 2);
  s.rows = {{0xAA, 0x80}, {0x0F, 0x40}};
  Image image = read(pictOf(s));
  ASSERT_EQ(image.result, 0) << image.error;
  EXPECT_EQ(image.warning, message("Warning: %s has 1 bits per channel. Not fully supported."));
  EXPECT_TRUE(image.planes[1].empty());
  EXPECT_EQ(image.row(0, 0), (Bytes{0, 1, 0, 1, 0, 1, 0, 1, 0, 1}));  // set bits are black
  EXPECT_EQ(image.row(0, 1), (Bytes{1, 1, 1, 1, 0, 0, 0, 0, 1, 0}));
}

TEST_F(RasterRead, SixteenBitPixelsGiveFiveBitComponents) {
  for (int packType : {0, 1, 3}) {
    RasterRecipe s = directRaster(4, 1, 16, packType, 3);
    // (31, 0, 0), (0, 31, 0), (1, 2, 3), (31, 31, 31); the top bit is ignored.
    s.rows = {{0x7C, 0x00, 0x03, 0xE0, 0x04, 0x43, 0xFF, 0xFF}};
    if (packType == 3) s.rows[0] = {9, 0x03, 0x7C, 0x00, 0x03, 0xE0, 0x04, 0x43, 0xFF, 0xFF};
    const Image image = read(pictOf(s));
    ASSERT_EQ(image.result, 0) << image.error;
    EXPECT_EQ(image.warning, message("Warning: %s has 5 bits per channel. Not fully supported."));
    EXPECT_EQ(image.row(0, 0), (Bytes{31, 0, 1, 31})) << packType;
    EXPECT_EQ(image.row(1, 0), (Bytes{0, 31, 2, 31})) << packType;
    EXPECT_EQ(image.row(2, 0), (Bytes{0, 0, 3, 31})) << packType;
    EXPECT_TRUE(image.planes[3].empty());
  }
}

TEST_F(RasterRead, ThirtyTwoBitPackingsGiveRedGreenBlueAndAlpha) {
  // {packType, cmpCount}: planes, three bytes, unpacked xRGB/ARGB, packed xRGB.
  const std::pair<int, int> cases[] = {{4, 3}, {4, 4}, {2, 3}, {1, 3}, {1, 4}, {0, 3}};
  for (auto [packType, cmpCount] : cases) {
    const int width = 5;
    const bool alpha = cmpCount == 4;
    RasterRecipe s = directRaster(width, 2, 32, packType, cmpCount);
    auto component = [](int ch, int x, int y) { return static_cast<uint8_t>(40 * ch + 7 * x + y); };
    for (int y = 0; y < 2; ++y) {
      Bytes row;
      if (packType == 4) {  // planes: alpha (cmpCount 4), red, green, blue
        for (int ch = alpha ? 0 : 1; ch < 4; ++ch) {
          for (int x = 0; x < width; ++x) row.push_back(component(ch, x, y));
        }
        row.resize(s.rowBytes, 0);
      } else {
        for (int x = 0; x < width; ++x) {
          for (int ch = packType == 2 ? 1 : 0; ch < 4; ++ch) row.push_back(component(ch, x, y));
        }
      }
      s.rows.push_back(row);
    }
    const Image image = read(pictOf(s));
    ASSERT_EQ(image.result, 0) << image.error;
    EXPECT_EQ(image.warning, "");
    EXPECT_EQ(image.planes[3].empty(), !alpha) << packType;
    for (int y = 0; y < 2; ++y) {
      for (int x = 0; x < width; ++x) {
        for (int ch = 0; ch < 3; ++ch) ASSERT_EQ(image.at(ch, x, y), component(ch + 1, x, y));
        if (alpha) {
          ASSERT_EQ(image.at(3, x, y), component(0, x, y));
        }
      }
    }
  }
}

TEST_F(RasterRead, RowCountsAreBytesUpTo250AndWordsFrom251) {
  for (int rowBytes : {250, 251}) {
    RasterRecipe s = indexedRaster(rowBytes, 2, 8, colourTable({{0, 0, 0}, {9, 8, 7}, {1, 2, 3}}));
    s.rowBytes = rowBytes;
    Bytes row(rowBytes);
    for (int x = 0; x < rowBytes; ++x) row[x] = static_cast<uint8_t>((x / 3) % 3);
    s.rows = {row, Bytes(rowBytes, 1)};
    const Image image = read(pictOf(s));
    ASSERT_EQ(image.result, 0) << rowBytes << ": " << image.error;
    EXPECT_EQ(image.row(3, 0), row) << rowBytes;
    EXPECT_EQ(image.row(0, 1), Bytes(rowBytes, 9)) << rowBytes;
  }
}

TEST_F(RasterRead, AdjoiningBandsOfTheSameKindReadAsOneImage) {
  const auto colour = colourTable({{0, 0, 0}, {10, 20, 30}, {40, 50, 60}});
  auto band = [](int top, int bottom, uint8_t value, std::vector<PictColorEntry> table) {
    RasterRecipe s = indexedRaster(8, bottom - top, 8, std::move(table));
    s.bounds = s.src = s.dst =
        PictRect{static_cast<int16_t>(top), 0, static_cast<int16_t>(bottom), 8};
    s.rows.assign(bottom - top, Bytes(8, value));
    return s;
  };
  // Second band: adjoining; after a comment; after a gap; grey (other flags).
  struct Case {
    int top;
    bool comment;
    bool grey;
    int joined;  // rows read
  };
  for (const Case& c : {Case{2, false, false, 5}, Case{2, true, false, 2}, Case{3, false, false, 2},
                        Case{2, false, true, 2}}) {
    PictBytes p = pictStart(PictRect{0, 0, static_cast<int16_t>(c.top + 3), 8});
    appendRaster(p, band(0, 2, 1, colour));
    if (c.comment) p.op(0x00A0), p.u16(0);
    appendRaster(p, band(c.top, c.top + 3, c.grey ? 1 : 2, c.grey ? greyTable(4) : colour));
    p.end();
    const Image image = read(p);
    ASSERT_EQ(image.result, 0) << image.error;
    for (int y = 0; y < c.top + 3; ++y) {
      const int green = y < 2 ? 20 : y < c.joined ? 50 : 255;
      EXPECT_EQ(image.row(1, y), Bytes(8, green)) << c.top << c.comment << c.grey << y;
    }
  }
}

TEST_F(RasterRead, PicturesWithoutARasterOrWithWrongOpcodesFail) {
  PictBytes p = pictStart(PictRect{0, 0, 4, 4});
  p.op(0x00A0), p.u16(1), p.end();
  pict_errstr.clear();
  EXPECT_EQ(read(p).result, -1);
  EXPECT_EQ(pict_errstr, "No raster information found");

  p = pictStart(PictRect{0, 0, 4, 4});
  p.op(0x0092), p.u16(0), p.end();
  Image image = read(p);
  EXPECT_EQ(image.result, 17);
  EXPECT_EQ(image.error, "SetRasterSize: Bad Parameter!");

  RasterRecipe s = indexedRaster(8, 1, 8, greyTable(2));
  s.rows = {Bytes(8, 1)};
  p = pictStart(s.bounds);
  p.op(0x0078);  // frameSamePoly
  appendRaster(p, s);
  p.end();
  image = read(p);
  EXPECT_EQ(image.result, -1);
  EXPECT_EQ(image.error, message("%s: Wrong opcode for this PICT version."));

  p = pictStart(s.bounds);
  s.rows.clear();
  appendRaster(p, s);
  p.bytes({8, 0x07, 1, 1});  // 8 bytes announced, the file ends after 3
  image = read(p);
  EXPECT_EQ(image.result, -1);
  EXPECT_EQ(image.error, message("Can't read file %s"));
}

TEST_F(RasterRead, BadRastersAreRefused) {
  struct Bad {
    const char* label;
    int opcode = 0x98, pixelSize = 8, ctSize = -2, dstRight = 10, bottom = 2, fill = 2;
    int rowBytes = 0;
    Bytes raw = {};  // each row as stored, count included
  };
  Bytes countBeyond(256, 0);  // a count of 255: literal groups beyond the row buffer
  countBeyond[0] = 0xFF;
  for (const Bad& c : {
           Bad{.label = "count_beyond_the_row_buffer", .raw = countBeyond},
           Bad{.label = "row_unpacks_past_rowBytes", .raw = {2, 0xF0, 1}},
           Bad{.label = "pixel_beyond_the_table", .fill = 3},
           Bad{.label = "negative_ctSize", .ctSize = -1},
           Bad{.label = "destination_wider_than_the_row", .dstRight = 11},
           Bad{.label = "negative_row_count", .bottom = -1},
           Bad{.label = "planes_wider_than_bounds", .opcode = 0x9A, .dstRight = 12, .rowBytes = 48},
       }) {
    RasterRecipe s = c.opcode == 0x9A
                         ? directRaster(10, 2, 32, 4, 3)
                         : indexedRaster(10, 2, 8, colourTable({{0, 0, 0}, {1, 1, 1}, {2, 2, 2}}));
    s.opcode = c.opcode;
    if (c.opcode != 0x9A) s.pixelSize = s.cmpSize = c.pixelSize;
    if (c.opcode == 0x9A) s.pixelSize = c.pixelSize == 8 ? 32 : c.pixelSize;
    if (c.ctSize == -1) s.colours.clear(), s.ctSizeOverride = -1;
    if (c.rowBytes) s.rowBytes = c.rowBytes;
    s.dst.right = static_cast<int16_t>(c.dstRight);
    s.bounds.bottom = static_cast<int16_t>(c.bottom);
    if (c.bottom > 0 && c.raw.empty()) {
      s.rows.assign(2, Bytes(s.rowBytes, c.opcode == 0x9A ? 0 : c.fill));
    }
    PictBytes p = pictStart(PictRect{0, 0, 2, 10});
    appendRaster(p, s);
    p.bytes(c.raw), p.bytes(c.raw);
    p.end();
    const Image image = read(p);
    EXPECT_NE(image.result, 0) << c.label;
    EXPECT_EQ(image.error, message("%s: Bad value encountered.")) << c.label;
    EXPECT_TRUE(image.planes[0].empty()) << c.label;
  }
}

// Layouts the reader takes as designed rather than refusing the file: an
// indexed depth it cannot expand leaves the background, other direct pixel
// sizes are read as 16-bit words, and a mask region of size below 2 has no
// data.
TEST_F(RasterRead, WhatTheDesignAcceptsIsRead) {
  RasterRecipe depth3 = indexedRaster(8, 1, 8, colourTable({{10, 20, 30}, {40, 50, 60}}));
  depth3.pixelSize = depth3.cmpSize = 3;
  depth3.rows = {Bytes(8, 0x24)};
  Image image = read(pictOf(depth3));
  ASSERT_EQ(image.result, 0) << image.error;
  for (int p = 0; p < 3; ++p) EXPECT_EQ(image.row(p, 0), Bytes(8, 255)) << p;

  RasterRecipe direct24 = directRaster(4, 1, 32, 0, 3);  // rows of 16 bytes
  direct24.pixelSize = 24;
  direct24.rows = {{0x7C, 0x00, 0x03, 0xE0, 0x04, 0x43, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}};
  image = read(pictOf(direct24));
  ASSERT_EQ(image.result, 0) << image.error;
  EXPECT_EQ(image.row(0, 0), (Bytes{31, 0, 1, 31}));
  EXPECT_EQ(image.row(1, 0), (Bytes{0, 31, 2, 31}));
  EXPECT_EQ(image.row(2, 0), (Bytes{0, 0, 3, 31}));

  for (int size : {0, 1}) {
    // A PackBitsRgn made from a PackBitsRect: its mask region is a size word
    // alone, between the transfer mode and the rows.
    RasterRecipe rect = indexedRaster(10, 2, 8, colourTable({{0, 0, 0}, {1, 1, 1}, {7, 8, 9}}));
    rect.rows.assign(2, Bytes(10, 2));
    PictBytes full = pictStart(rect.bounds);
    appendRaster(full, rect);
    RasterRecipe record = rect;
    record.rows.clear();
    PictBytes p = pictStart(rect.bounds);
    appendRaster(p, record);
    p.b[p.opcodeStart - 1] = 0x99;
    p.u16(static_cast<uint32_t>(size));
    p.b.insert(p.b.end(), full.b.begin() + static_cast<ptrdiff_t>(p.b.size() - 2), full.b.end());
    p.end();
    image = read(p);
    ASSERT_EQ(image.result, 0) << size << " " << image.error;
    EXPECT_EQ(image.row(0, 1), Bytes(10, 7)) << size;
  }
}

TEST_F(RasterRead, FramesOverThePixelLimitAreRefusedBeforeAnyPlane) {
  RasterRecipe s = indexedRaster(20, 20, 8, greyTable(2));
  s.rows.assign(20, Bytes(20, 1));
  kx_setMaxPixels(399);
  const Image refused = read(pictOf(s));
  int16_t w = 0, h = 0;
  int colours = -1;
  Colormap table;
  PictPlanes planes;
  ReadRefusal why;
  readPictImage(path_, &w, &h, &colours, &table, planes, &why);
  kx_setMaxPixels(400);
  const Image accepted = read(pictOf(s));
  kx_setMaxPixels(kDefaultMaxPixels);
  EXPECT_EQ(refused.result, -1);
  EXPECT_TRUE(refused.planes[0].empty());
  EXPECT_EQ(why.cause, ReadRefusal::Cause::tooLarge);
  EXPECT_EQ(why.width * why.height, 400);
  EXPECT_EQ(accepted.result, 0);
}

}  // namespace
}  // namespace kx
