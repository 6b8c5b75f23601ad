// Raster writing: the exact bytes of the rasters we write, row counts, blank
// completion rows, the pad byte, refusals, and round trips through the
// reader.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "pict/pict.h"
#include "pict/pict_builder.h"
#include "pict/pict_pvt.h"
#include "support/tempdir.h"

namespace kx {
namespace {

// The prologue and the background take data offsets 512 to 581.
constexpr size_t kRasterStart = 582;

std::vector<uint8_t> be16(std::initializer_list<int> words) {
  std::vector<uint8_t> out;
  for (int w : words) {
    out.push_back(static_cast<uint8_t>(w >> 8));
    out.push_back(static_cast<uint8_t>(w));
  }
  return out;
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The pixel map fields from pmVersion to pmReserved.
std::vector<uint8_t> pixelMap(int packType, int pixelType, int pixelSize, int cmpCount) {
  return be16(
      {0, packType, 0, 0, 0x48, 0, 0x48, 0, pixelType, pixelSize, cmpCount, 8, 0, 0, 0, 0, 0, 0});
}

class RasterWrite : public testing::Test {
 protected:
  void SetUp() override {
    MacClearError();
    pict_errstr.clear();
  }
  std::vector<uint8_t> rasterBytes(const std::string& name) {
    const std::vector<uint8_t> data = readFileBytes(dir_.path(name));
    EXPECT_GT(data.size(), kRasterStart);
    return std::vector<uint8_t>(data.begin() + kRasterStart, data.end());
  }
  TempDir dir_;
};

TEST_F(RasterWrite, TrueColour4By2IsADirectBitsRectOfTwoPackedRows) {
  std::vector<uint8_t> red(8), green(8), blue(8);
  for (int i = 0; i < 8; ++i) {
    red[i] = static_cast<uint8_t>(10 + i);
    green[i] = static_cast<uint8_t>(20 + i);
    blue[i] = static_cast<uint8_t>(30 + i);
  }
  ASSERT_EQ(writePictImage(dir_.path("tc.pict"), 4, 2, 0, nullptr,
                           {red.data(), green.data(), blue.data(), nullptr}),
            0)
      << pict_errstr;
  const std::vector<uint8_t> expected = cat({
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
  for (int i = 0; i < 16; ++i) {
    colormap[i].red = static_cast<uint8_t>(i * 16);
    colormap[i].green = static_cast<uint8_t>(255 - i);
    colormap[i].blue = static_cast<uint8_t>(i);
  }
  const std::vector<uint8_t> index = {0, 1, 2, 3, 4, 5, 6, 15};
  ASSERT_EQ(writePictImage(dir_.path("ix.pict"), 4, 2, 16, &colormap,
                           {index.data(), nullptr, nullptr, nullptr}),
            0)
      << pict_errstr;
  std::vector<uint8_t> table = be16({0, 0x10E1, 0, 15});  // ctSeed, ctFlags, ctSize
  for (int i = 0; i < 16; ++i) {
    const auto entry = be16({i, i * 16 * 257, (255 - i) * 257, i * 257});
    table.insert(table.end(), entry.begin(), entry.end());
  }
  const std::vector<uint8_t> expected = cat({
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

// Writes one raster with the low-level calls and returns its bytes.
class LowLevelWrite : public RasterWrite {
 protected:
  std::vector<uint8_t> write(const PictRect& frame, int components,
                             const std::vector<PictColorEntry>& table,
                             const std::vector<std::array<std::vector<uint8_t>, 4>>& rows,
                             int first = 0, int last = 32767) {
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
      EXPECT_EQ(PictWritePixelScan(*pict, in, first, last), 0) << MacGetError();
    }
    EXPECT_EQ(PictCloseRaster(*pict), 0);
    EXPECT_EQ(PictCloseFile(pict), 0);
    return rasterBytes("low.pict");
  }
  // The rows after a raster record of the given length.
  static std::vector<uint8_t> after(const std::vector<uint8_t>& bytes, size_t record) {
    return std::vector<uint8_t>(bytes.begin() + record, bytes.end());
  }
};

constexpr size_t kDirectRecord = 70;
size_t indexedRecord(int entries) {
  return 74 + 8 * entries;
}

TEST_F(LowLevelWrite, ThreeWideIndexedRowsAreFourBytesUnpacked) {
  const auto bytes = write(PictRect{0, 0, 1, 3}, 1, greyTable(2), {{{{7, 8, 9}, {}, {}, {}}}});
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(loadBE16(bytes.data() + 2), 0x8004);
  EXPECT_EQ(after(bytes, indexedRecord(2)), (std::vector<uint8_t>{7, 8, 9, 0, 0x00, 0xFF}));
}

TEST_F(LowLevelWrite, FiveWideIndexedRowsArePacked) {
  const auto bytes =
      write(PictRect{0, 0, 1, 5}, 1, greyTable(2), {{{{1, 2, 3, 4, 5}, {}, {}, {}}}});
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(loadBE16(bytes.data() + 2), 0x8008);
  // 1 2 3 4 5 then three padding zeros; then a pad byte (odd length).
  EXPECT_EQ(after(bytes, indexedRecord(2)),
            (std::vector<uint8_t>{8, 0x04, 1, 2, 3, 4, 5, 0xFE, 0, 0, 0x00, 0xFF}));
}

TEST_F(LowLevelWrite, NarrowDirectRows) {
  // One pixel: rowBytes 4, red green blue and a zero, unpacked.
  auto bytes = write(PictRect{0, 0, 1, 1}, 3, {}, {{{{1}, {2}, {3}, {}}}});
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(loadBE16(bytes.data() + 6), 0x8004);
  EXPECT_EQ(after(bytes, kDirectRecord), (std::vector<uint8_t>{1, 2, 3, 0, 0x00, 0xFF}));
  // Two pixels: rowBytes 8, packed from 6 bytes (3 components) or 8 (4).
  bytes = write(PictRect{0, 0, 1, 2}, 3, {}, {{{{1, 2}, {3, 4}, {5, 6}, {}}}});
  EXPECT_EQ(loadBE16(bytes.data() + 6), 0x8008);
  EXPECT_EQ(after(bytes, kDirectRecord),
            (std::vector<uint8_t>{7, 0x05, 1, 2, 3, 4, 5, 6, 0x00, 0xFF}));
  bytes = write(PictRect{0, 0, 1, 2}, 4, {}, {{{{1, 2}, {3, 4}, {5, 6}, {8, 9}}}});
  EXPECT_EQ(loadBE16(bytes.data() + 36), 4);  // cmpCount
  EXPECT_EQ(after(bytes, kDirectRecord),
            (std::vector<uint8_t>{9, 0x07, 8, 9, 1, 2, 3, 4, 5, 6, 0x00, 0xFF}));
}

TEST_F(LowLevelWrite, RowCountsAreWordsFromRowBytes251) {
  for (int width : {62, 63}) {
    std::array<std::vector<uint8_t>, 4> row;
    for (int p = 0; p < 3; ++p) row[p].assign(width, 0x55);
    const auto bytes = write(PictRect{0, 0, 1, static_cast<int16_t>(width)}, 3, {}, {row});
    ASSERT_FALSE(bytes.empty());
    const std::vector<uint8_t> rows = after(bytes, kDirectRecord);
    // 3 × width equal bytes: a run of 128, then the rest.
    const auto rest = static_cast<uint8_t>(1 - (3 * width - 128));
    if (width == 62) {
      EXPECT_EQ(rows, (std::vector<uint8_t>{4, 0x81, 0x55, rest, 0x55, 0, 0x00, 0xFF}));
    } else {
      EXPECT_EQ(rows, (std::vector<uint8_t>{0, 4, 0x81, 0x55, rest, 0x55, 0x00, 0xFF}));
    }
  }
}

TEST_F(LowLevelWrite, WithoutAPaletteTheTableIsTheGreyRamp) {
  auto bytes = write(PictRect{0, 0, 1, 8}, 1, {}, {{{std::vector<uint8_t>(8, 3), {}, {}, {}}}});
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(loadBE16(bytes.data() + 54), 255);  // ctSize
  for (int i = 0; i < 256; ++i) {
    const uint8_t* e = bytes.data() + 56 + 8 * i;
    EXPECT_EQ(loadBE16(e), i);
    for (int c = 1; c < 4; ++c) ASSERT_EQ(loadBE16(e + 2 * c), i * 257) << i;
  }
  // A one-entry table counts as none.
  bytes =
      write(PictRect{0, 0, 1, 8}, 1, greyTable(1), {{{std::vector<uint8_t>(8, 3), {}, {}, {}}}});
  EXPECT_EQ(loadBE16(bytes.data() + 54), 255);
}

TEST_F(LowLevelWrite, InvertedGreyRampAndItsBlankRows) {
  // Two rows, none written: both are completed with zeros (white inverted).
  const auto bytes = write(PictRect{0, 0, 2, 8}, -1, {}, {});
  ASSERT_FALSE(bytes.empty());
  const uint8_t* last = bytes.data() + 56 + 8 * 255;
  EXPECT_EQ(loadBE16(last + 2), 0);
  EXPECT_EQ(loadBE16(bytes.data() + 56 + 2), 0xFFFF);
  EXPECT_EQ(after(bytes, indexedRecord(256)),
            (std::vector<uint8_t>{2, 0xF9, 0, 2, 0xF9, 0, 0x00, 0xFF}));
}

TEST_F(LowLevelWrite, MissingRowsAreWrittenAs0xFF) {
  const auto bytes =
      write(PictRect{0, 0, 3, 8}, 1, greyTable(4), {{{std::vector<uint8_t>(8, 2), {}, {}, {}}}});
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(after(bytes, indexedRecord(4)),
            (std::vector<uint8_t>{2, 0xF9, 2, 2, 0xF9, 0xFF, 2, 0xF9, 0xFF, 0, 0x00, 0xFF}));
}

TEST_F(LowLevelWrite, ColumnsOutsideFirstAndLastAreZero) {
  std::vector<uint8_t> in(30);
  for (int x = 0; x < 30; ++x) in[x] = static_cast<uint8_t>(100 + x);
  const auto bytes = write(PictRect{0, 0, 1, 30}, 1, {}, {{{in, {}, {}, {}}}}, 10, 20);
  ASSERT_FALSE(bytes.empty());
  const std::vector<uint8_t> packed = after(bytes, indexedRecord(256));
  std::vector<uint8_t> row(32);
  ASSERT_EQ(PictUnpackBits(std::span<const uint8_t>(packed.data() + 1, packed[0]), row, 1), 32);
  std::vector<uint8_t> expected(32, 0);
  for (int x = 10; x < 20; ++x) expected[x] = static_cast<uint8_t>(100 + x);
  EXPECT_EQ(row, expected);
}

TEST_F(RasterWrite, RefusesRowsBeyondTheRasterAndBadParameters) {
  MacSetCreatType(kAppleDoubleMagic);
  auto pict = PictOpenFileWrite(dir_.path("bad.pict"), PictRect{0, 0, 1, 8});
  ASSERT_NE(pict, nullptr);
  EXPECT_EQ(PictOpenRasterWrite(*pict, PictRect{0, 0, 1, 8}, 2, nullptr, 0), -1);
  EXPECT_EQ(MacError(), 17);
  EXPECT_STREQ(MacGetError(), "PictOpenRasterWrite: Bad Parameter!");
  MacClearError();
  EXPECT_EQ(PictOpenRasterWrite(*pict, PictRect{0, 0, 1, 8200}, 3, nullptr, 0), -1);
  EXPECT_EQ(MacError(), 17);

  MacClearError();
  ASSERT_EQ(PictOpenRasterWrite(*pict, PictRect{0, 0, 1, 8}, 1, nullptr, 0), 0);
  const std::vector<uint8_t> row(8, 1);
  const std::array<const uint8_t*, 4> in = {row.data(), nullptr, nullptr, nullptr};
  EXPECT_EQ(PictWritePixelScan(*pict, in, 0, 8), 0);
  EXPECT_EQ(PictWritePixelScan(*pict, in, 0, 8), -1);
  EXPECT_EQ(MacError(), 18);
  EXPECT_STREQ(MacGetError(), "PictWritePixelScan: Bad Function Call!");
  EXPECT_EQ(PictCloseRaster(*pict), 0);
  EXPECT_EQ(PictCloseFile(pict), 0);

  // A picture open for reading takes no raster.
  MacClearError();
  auto reading = PictOpenFileRead(dir_.path("bad.pict"));
  ASSERT_NE(reading, nullptr) << MacGetError();
  EXPECT_EQ(PictOpenRasterWrite(*reading, PictRect{0, 0, 1, 8}, 1, nullptr, 0), -1);
  EXPECT_STREQ(MacGetError(), "PictOpenRasterWrite: Bad Parameter!");
}

// ---- Round trips ------------------------------------------------------------------

struct RoundTrip {
  int width;
  int height;
  int kind;  // 1 grey, 2 indexed with a palette, 3 true colour, 4 with alpha
};

class RoundTripTest : public RasterWrite, public testing::WithParamInterface<RoundTrip> {};

TEST_P(RoundTripTest, ReadsBackWhatWasWritten) {
  const RoundTrip& c = GetParam();
  const size_t n = static_cast<size_t>(c.width) * c.height;
  std::mt19937 rng(c.width * 1000 + c.height * 10 + c.kind);
  std::array<std::vector<uint8_t>, 4> planes;
  Colormap colormap;
  const int colours = 37;
  if (c.kind == 2) {
    for (int i = 0; i < colours; ++i) {
      colormap.push_back({static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()),
                          static_cast<uint8_t>(rng()), 0});
    }
  }
  const int planeCount = c.kind == 4 ? 4 : c.kind == 3 ? 3 : 1;
  for (int p = 0; p < planeCount; ++p) {
    planes[p].resize(n);
    for (size_t i = 0; i < n; ++i) {
      // Runs and noise, so that rows pack in every way.
      const uint32_t v = (i / 5) % 3 == 0 ? 77 + p : rng();
      planes[p][i] = static_cast<uint8_t>(c.kind == 2 ? v % colours : v);
    }
  }
  std::array<const uint8_t*, 4> in{};
  for (int p = 0; p < 4; ++p) in[p] = planes[p].empty() ? nullptr : planes[p].data();
  const std::string name = dir_.path("rt.pict");
  ASSERT_EQ(writePictImage(name, c.width, c.height, colours, c.kind == 2 ? &colormap : nullptr, in),
            0)
      << pict_errstr;

  int16_t w, h;
  int count = 0;
  Colormap table;
  PictPlanes out;
  ASSERT_EQ(readPictImage(name, &w, &h, &count, &table, out), 0) << MacGetError();
  ASSERT_EQ(w, c.width);
  ASSERT_EQ(h, c.height);
  if (c.kind == 1) {
    // The grey ramp: every value stands for itself, in all three planes.
    for (int p = 0; p < 3; ++p) {
      ASSERT_EQ(std::vector<uint8_t>(out[p].get(), out[p].get() + n), planes[0]) << p;
    }
  } else if (c.kind == 2) {
    ASSERT_EQ(count, colours);
    EXPECT_EQ(std::vector<uint8_t>(out[3].get(), out[3].get() + n), planes[0]);
    for (size_t i = 0; i < n; ++i) {
      ASSERT_EQ(out[0][i], colormap[planes[0][i]].red) << i;
      ASSERT_EQ(out[1][i], colormap[planes[0][i]].green) << i;
      ASSERT_EQ(out[2][i], colormap[planes[0][i]].blue) << i;
    }
  } else {
    for (int p = 0; p < planeCount; ++p) {
      ASSERT_EQ(std::vector<uint8_t>(out[p].get(), out[p].get() + n), planes[p]) << p;
    }
    EXPECT_EQ(out[3] != nullptr, c.kind == 4);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RoundTripTest,
                         testing::Values(RoundTrip{1, 1, 1}, RoundTrip{3, 2, 2}, RoundTrip{5, 4, 2},
                                         RoundTrip{1, 3, 3}, RoundTrip{2, 3, 3}, RoundTrip{2, 2, 4},
                                         RoundTrip{40, 7, 1}, RoundTrip{250, 3, 2},
                                         RoundTrip{251, 3, 2}, RoundTrip{63, 5, 3},
                                         RoundTrip{64, 5, 4}, RoundTrip{300, 4, 3}));

}  // namespace
}  // namespace kx
