// Raster writing: the exact bytes of the rasters we write, row counts, blank
// completion rows, the pad byte and refusals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/bytes.h"
#include "pict/pict.h"
#include "pict/pict_builder.h"
#include "pict/pict_pvt.h"
#include "support/tempdir.h"

namespace kx {
namespace {

using Bytes = std::vector<uint8_t>;

// The prologue and the background take data offsets 512 to 581.
constexpr size_t kRasterStart = 582;

Bytes be16(std::initializer_list<int> words) {
  Bytes out;
  for (int w : words) out.push_back(static_cast<uint8_t>(w >> 8)), out.push_back(w & 0xFF);
  return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The pixel map fields from pmVersion to pmReserved.
Bytes pixelMap(int packType, int pixelType, int pixelSize, int cmpCount) {
  return be16(
      {0, packType, 0, 0, 0x48, 0, 0x48, 0, pixelType, pixelSize, cmpCount, 8, 0, 0, 0, 0, 0, 0});
}

class RasterWrite : public testing::Test {
 protected:
  void SetUp() override {
    MacClearError();
    pict_errstr.clear();
  }
  Bytes rasterBytes(const std::string& name) {
    const Bytes data = readFileBytes(dir_.path(name));
    EXPECT_GT(data.size(), kRasterStart);
    return Bytes(data.begin() + kRasterStart, data.end());
  }
  // One raster written with the low-level calls; the bytes after its record.
  Bytes writeRows(const PictRect& frame, int components, const std::vector<PictColorEntry>& table,
                  const std::vector<std::array<Bytes, 4>>& rows, size_t record) {
    MacSetCreatType(kAppleDoubleMagic);
    auto pict = PictOpenFileWrite(dir_.path("low.pict"), frame);
    EXPECT_NE(pict, nullptr) << MacGetError();
    if (!pict) return {};
    EXPECT_EQ(PictWriteClearBack(*pict), 0);
    EXPECT_EQ(PictOpenRasterWrite(*pict, frame, components, table.empty() ? nullptr : table.data(),
                                  static_cast<int>(table.size())),
              0)
        << MacGetError();
    for (const auto& row : rows) {
      std::array<const uint8_t*, 4> in{};
      for (int p = 0; p < 4; ++p) in[p] = row[p].empty() ? nullptr : row[p].data();
      EXPECT_EQ(PictWritePixelScan(*pict, in, 0, 32767), 0) << MacGetError();
    }
    EXPECT_EQ(PictCloseRaster(*pict), 0);
    EXPECT_EQ(PictCloseFile(pict), 0);
    const Bytes bytes = rasterBytes("low.pict");
    return bytes.size() < record ? Bytes{} : Bytes(bytes.begin() + record, bytes.end());
  }
  TempDir dir_;
};

TEST_F(RasterWrite, TrueColour4By2IsADirectBitsRectOfTwoPackedRows) {
  Bytes red(8), green(8), blue(8);
  for (int i = 0; i < 8; ++i) red[i] = 10 + i, green[i] = 20 + i, blue[i] = 30 + i;
  ASSERT_EQ(writePictImage(dir_.path("tc.pict"), 4, 2, 0, nullptr,
                           {red.data(), green.data(), blue.data(), nullptr}),
            0)
      << pict_errstr;
  const Bytes expected = cat({
      be16({0x009A, 0x0000, 0x00FF, 0x8010}),  // opcode, baseAddr, rowBytes 16
      be16({0, 0, 2, 4}),                      // bounds
      pixelMap(4, 16, 32, 3),
      be16({0, 0, 2, 4, 0, 0, 2, 4, 0}),  // srcRect, dstRect, mode
      // The first row written is the planes' last row: 12 literal bytes.
      {13, 0x0B, 14, 15, 16, 17, 24, 25, 26, 27, 34, 35, 36, 37},
      {13, 0x0B, 10, 11, 12, 13, 20, 21, 22, 23, 30, 31, 32, 33},
      be16({0x00FF}),  // 98 bytes of raster: no pad before the end
  });
  EXPECT_EQ(rasterBytes("tc.pict"), expected);
}

TEST_F(RasterWrite, Indexed4By2IsAPackBitsRectWithTheColormap) {
  Colormap colormap(16);
  for (int i = 0; i < 16; ++i) colormap[i] = {uint8_t(i * 16), uint8_t(255 - i), uint8_t(i), 0};
  const Bytes index = {0, 1, 2, 3, 4, 5, 6, 15};
  ASSERT_EQ(writePictImage(dir_.path("ix.pict"), 4, 2, 16, &colormap,
                           {index.data(), nullptr, nullptr, nullptr}),
            0)
      << pict_errstr;
  Bytes table = be16({0, 0x10E1, 0, 15});  // ctSeed, ctFlags, ctSize
  for (int i = 0; i < 16; ++i)
    table = cat({table, be16({i, i * 16 * 257, (255 - i) * 257, i * 257})});
  const Bytes expected = cat({
      be16({0x0098, 0x8004}),  // rowBytes 4
      be16({0, 0, 2, 4}),
      pixelMap(0, 0, 8, 1),
      table,
      be16({0, 0, 2, 4, 0, 0, 2, 4, 0}),
      {4, 5, 6, 15},  // rowBytes below 8: unpacked
      {0, 1, 2, 3},
      be16({0x00FF}),
  });
  EXPECT_EQ(rasterBytes("ix.pict"), expected);
}

constexpr size_t kDirectRecord = 70;
size_t indexedRecord(int entries) {
  return 74 + 8 * entries;
}

TEST_F(RasterWrite, OddRowsArePaddedAndMissingRowsAreWrittenAs0xFF) {
  // 1 2 3 4 5 then three padding zeros; then a pad byte (odd length).
  EXPECT_EQ(
      writeRows(PictRect{0, 0, 1, 5}, 1, greyTable(2), {{Bytes{1, 2, 3, 4, 5}}}, indexedRecord(2)),
      (Bytes{8, 0x04, 1, 2, 3, 4, 5, 0xFE, 0, 0, 0x00, 0xFF}));
  EXPECT_EQ(writeRows(PictRect{0, 0, 3, 8}, 1, greyTable(4), {{Bytes(8, 2)}}, indexedRecord(4)),
            (Bytes{2, 0xF9, 2, 2, 0xF9, 0xFF, 2, 0xF9, 0xFF, 0, 0x00, 0xFF}));
}

TEST_F(RasterWrite, RowCountsAreWordsFromRowBytes251) {
  for (int width : {62, 63}) {  // rowBytes 248 and 252
    std::array<Bytes, 4> row;
    for (int p = 0; p < 3; ++p) row[p].assign(width, 0x55);
    const Bytes rows =
        writeRows(PictRect{0, 0, 1, static_cast<int16_t>(width)}, 3, {}, {row}, kDirectRecord);
    // 3 × width equal bytes: a run of 128, then the rest.
    const auto rest = static_cast<uint8_t>(1 - (3 * width - 128));
    EXPECT_EQ(rows, (width == 62 ? Bytes{4, 0x81, 0x55, rest, 0x55, 0, 0x00, 0xFF}
                                 : Bytes{0, 4, 0x81, 0x55, rest, 0x55, 0x00, 0xFF}));
  }
}

TEST_F(RasterWrite, RefusesRowsBeyondTheRasterAndBadParameters) {
  MacSetCreatType(kAppleDoubleMagic);
  auto pict = PictOpenFileWrite(dir_.path("bad.pict"), PictRect{0, 0, 1, 8});
  ASSERT_NE(pict, nullptr);
  EXPECT_EQ(PictOpenRasterWrite(*pict, PictRect{0, 0, 1, 8}, 2, nullptr, 0), -1);
  EXPECT_EQ(MacError(), 17);
  EXPECT_STREQ(MacGetError(), "PictOpenRasterWrite: Bad Parameter!");
  MacClearError();
  ASSERT_EQ(PictOpenRasterWrite(*pict, PictRect{0, 0, 1, 8}, 1, nullptr, 0), 0);
  const Bytes row(8, 1);
  const std::array<const uint8_t*, 4> in = {row.data(), nullptr, nullptr, nullptr};
  EXPECT_EQ(PictWritePixelScan(*pict, in, 0, 8), 0);
  EXPECT_EQ(PictWritePixelScan(*pict, in, 0, 8), -1);
  EXPECT_EQ(MacError(), 18);
  EXPECT_STREQ(MacGetError(), "PictWritePixelScan: Bad Function Call!");
  EXPECT_EQ(PictCloseRaster(*pict), 0);
  EXPECT_EQ(PictCloseFile(pict), 0);

  // Missing planes.
  pict_errstr.clear();
  EXPECT_EQ(writePictImage(dir_.path("a.pict"), 2, 2, 0, nullptr,
                           {row.data(), nullptr, row.data(), nullptr}),
            -1);
  EXPECT_EQ(pict_errstr, "Green parameter is NULL.");
}

}  // namespace
}  // namespace kx
