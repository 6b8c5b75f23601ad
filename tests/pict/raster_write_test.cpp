// Raster writing: PackBits' exact packed bytes and the unpacker's bounds, the
// files we write, blank completion rows, the pad byte and refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "pict/pict.h"
#include "pict/pict_pvt.h"
#include "picture/picture_test_util.h"
#include "support/tempdir.h"

namespace kx {
namespace {

using test::Bytes;
using test::operator+;

Bytes pack(std::span<const uint8_t> in) {
  Bytes out(PictPackBitsBound(in.size()));
  out.resize(PictPackBits(in, out.data()));
  return out;
}

TEST(PackBits, ExamplesPackExactly) {
  Bytes distinct(200);
  for (int i = 0; i < 200; ++i) distinct[i] = static_cast<uint8_t>(i);
  const Bytes fives{5, 5, 5, 5};
  const struct {
    Bytes in, packed;
  } cases[] = {{{1, 1, 1, 1, 2, 3, 3, 4}, {0xFD, 0x01, 0x03, 0x02, 0x03, 0x03, 0x04}},
               {Bytes(128, 9), {0x81, 9}},
               {Bytes(129, 9), {0x81, 9, 0x00, 9}},
               {{5, 5}, {0x01, 5, 5}},
               {{5, 5, 5}, {0xFE, 5}},
               {{}, {}},
               {{42}, {0x00, 42}},
               // 127 literal bytes, then 73.
               {distinct, Bytes{0x7E} + Bytes(distinct.begin(), distinct.begin() + 127) +
                              Bytes{0x48} + Bytes(distinct.begin() + 127, distinct.end())}};
  for (const auto& c : cases) EXPECT_EQ(pack(c.in), c.packed) << c.in.size();
  // A run stops at the end of the input, whatever lies beyond it.
  EXPECT_EQ(pack(std::span(fives).first(3)), (Bytes{0xFE, 5}));
}

TEST(PackBits, RandomRowsRoundTripWithinTheBound) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 300; ++trial) {
    const size_t n = rng() % 700;
    const int alphabet = 1 + static_cast<int>(rng() % 4 == 0 ? 256 : rng() % 4);
    Bytes row(n);
    for (auto& b : row) b = static_cast<uint8_t>(rng() % alphabet);
    const Bytes packed = pack(row);
    ASSERT_LE(packed.size(), PictPackBitsBound(n));
    Bytes unpacked(n);
    ASSERT_EQ(PictUnpackBits(packed, unpacked, 1), static_cast<int64_t>(n));
    ASSERT_EQ(unpacked, row) << "trial " << trial;
  }
}

TEST(PackBits, UnpacksWithinBothEnds) {
  const struct {
    Bytes in;
    int unit;
    int64_t result;
    Bytes out;  // when the result is not -1
  } cases[] = {{{0xFF, 0x12, 0x34, 0x00, 0xAB, 0xCD}, 2, 6, {0x12, 0x34, 0x12, 0x34, 0xAB, 0xCD}},
               {{0xFD, 9}, 1, 4, {9, 9, 9, 9}},     // exactly full
               {{0x00, 9}, 1, 1, {9}},              // shorter rows report their length
               {{0x04, 1, 2, 3, 4, 5}, 1, -1, {}},  // literal of 5 into 4
               {{0xFE}, 1, -1, {}},                 // run without its unit
               {{0xFE, 1}, 2, -1, {}},
               {{0x80, 0x33}, 1, 129, Bytes(129, 0x33)}};  // flag -128: 129 times
  for (const auto& c : cases) {
    Bytes out(std::max<int64_t>(c.result, 4), 0);
    ASSERT_EQ(PictUnpackBits(c.in, out, c.unit), c.result) << c.in.size();
    if (c.result > 0) {
      EXPECT_EQ(Bytes(out.begin(), out.begin() + c.result), c.out);
    }
  }
}

// The prologue and the background take data offsets 512 to 581.
constexpr size_t kRasterStart = 582;

class RasterWrite : public testing::Test {
 protected:
  void SetUp() override {
    MacClearError();
    pict_errstr.clear();
  }
  // One indexed raster written with the low-level calls, a row at a time;
  // the bytes after its record (74 bytes and the colour table's).
  Bytes writeRows(const PictRect& frame, const std::vector<PictColorEntry>& table,
                  const std::vector<Bytes>& rows) {
    MacSetCreatType(kAppleDoubleMagic);
    auto pict = PictOpenFileWrite(dir_.path("low.pict"), frame);
    EXPECT_NE(pict, nullptr) << MacGetError();
    if (!pict) return {};
    EXPECT_EQ(PictWriteClearBack(*pict), 0);
    EXPECT_EQ(PictOpenRasterWrite(*pict, frame, 1, table.data(), static_cast<int>(table.size())), 0)
        << MacGetError();
    for (const Bytes& row : rows)
      EXPECT_EQ(PictWritePixelScan(*pict, {row.data(), nullptr, nullptr, nullptr}, 0, 32767), 0)
          << MacGetError();
    EXPECT_EQ(PictCloseRaster(*pict), 0);
    EXPECT_EQ(PictCloseFile(pict), 0);
    const Bytes bytes = readFileBytes(dir_.path("low.pict"));
    const size_t record = kRasterStart + 74 + 8 * table.size();
    return bytes.size() < record ? Bytes{} : Bytes(bytes.begin() + record, bytes.end());
  }
  TempDir dir_;
};

// The first `n` bytes of each plane readPictImage gives of the file (none
// for a plane it does not give).
std::array<Bytes, 4> readBack(const std::string& path, size_t n) {
  int16_t w = 0, h = 0;
  int colours = -1;
  Colormap table;
  PictPlanes planes;
  EXPECT_EQ(readPictImage(path, &w, &h, &colours, &table, planes), 0) << MacGetError();
  std::array<Bytes, 4> out;
  for (int p = 0; p < 4; ++p)
    if (planes[p]) out[p].assign(planes[p].get(), planes[p].get() + n);
  return out;
}

// The files in tests/data/pict were written by writePictImage and checked
// field by field against the layout in raster_write.cpp; KX_REGENERATE=1
// rewrites them. True colour (three packed planes a row, or four with
// alpha) and 16 colours (rows below 8 bytes unpacked, the colour table).
TEST_F(RasterWrite, PicturesWeWriteAreTheCheckedInFiles) {
  Bytes red(8), green(8), blue(8), alpha(8), index = {0, 1, 2, 3, 4, 5, 6, 15};
  for (int i = 0; i < 8; ++i) red[i] = 10 + i, green[i] = 20 + i, blue[i] = 30 + i;
  for (int i = 0; i < 8; ++i) alpha[i] = 200 + i;
  Colormap colormap(16);
  for (int i = 0; i < 16; ++i) colormap[i] = {uint8_t(i * 16), uint8_t(255 - i), uint8_t(i), 0};
  const struct {
    const char* name;
    std::array<const uint8_t*, 4> planes;
  } cases[] = {{"tc", {red.data(), green.data(), blue.data(), nullptr}},
               {"tca", {red.data(), green.data(), blue.data(), alpha.data()}},
               {"ix", {index.data(), nullptr, nullptr, nullptr}}};
  for (const auto& c : cases) {
    const std::string mine = dir_.path(std::string(c.name) + ".pict");
    const bool indexed = !c.planes[1];
    ASSERT_EQ(writePictImage(mine, 4, 2, 16, indexed ? &colormap : nullptr, c.planes), 0);
    for (const std::string prefix : {"", "%"}) {
      const std::string golden =
          std::string(KX_SOURCE_DIR) + "/tests/data/pict/" + prefix + c.name + ".pict";
      const std::string ours = dir_.path(prefix + c.name + ".pict");
      if (std::getenv("KX_REGENERATE")) writeFileBytes(golden, readFileBytes(ours));
      EXPECT_EQ(readFileBytes(ours), readFileBytes(golden)) << golden;
    }
    const std::array<Bytes, 4> planes = readBack(mine, 8);
    for (int p = 0; p < (indexed ? 1 : c.planes[3] ? 4 : 3); ++p)
      EXPECT_EQ(planes[indexed ? 3 : p], Bytes(c.planes[p], c.planes[p] + 8)) << c.name << p;
  }
}

// A row without runs packs a byte longer every 128 than it is: read back.
TEST_F(RasterWrite, RowsThatPackLongerThanTheyAreReadBack) {
  Bytes index(300);
  for (size_t i = 0; i < index.size(); ++i) index[i] = static_cast<uint8_t>(i * 37);
  Colormap colormap(256);
  for (int i = 0; i < 256; ++i) colormap[i] = {uint8_t(i), uint8_t(255 - i), uint8_t(i / 2), 0};
  const std::string path = dir_.path("wide.pict");
  ASSERT_EQ(writePictImage(path, 300, 1, 256, &colormap, {index.data(), nullptr, nullptr, nullptr}),
            0);
  EXPECT_EQ(readBack(path, 300)[0], index);  // red is the index
}

std::vector<PictColorEntry> greyTable(int n) {
  std::vector<PictColorEntry> t;
  for (int i = 0; i < n; ++i) {
    const auto v = static_cast<uint16_t>(i * 257);
    t.push_back({static_cast<uint16_t>(i), v, v, v});
  }
  return t;
}

TEST_F(RasterWrite, OddRowsArePaddedAndMissingRowsAreWrittenAs0xFF) {
  // 1 2 3 4 5 then three padding zeros; then a pad byte (odd length).
  EXPECT_EQ(writeRows(PictRect{0, 0, 1, 5}, greyTable(2), {{1, 2, 3, 4, 5}}),
            (Bytes{8, 0x04, 1, 2, 3, 4, 5, 0xFE, 0, 0, 0x00, 0xFF}));
  EXPECT_EQ(writeRows(PictRect{0, 0, 3, 8}, greyTable(4), {Bytes(8, 2)}),
            (Bytes{2, 0xF9, 2, 2, 0xF9, 0xFF, 2, 0xF9, 0xFF, 0, 0x00, 0xFF}));
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

  // A picture opened for reading takes no raster.
  auto reading = PictOpenFileRead(dir_.path("bad.pict"));
  ASSERT_NE(reading, nullptr) << MacGetError();
  EXPECT_EQ(PictOpenRasterWrite(*reading, PictRect{0, 0, 1, 8}, 1, nullptr, 0), -1);
  EXPECT_EQ(MacError(), 17);
  MacClearError();
  pict_errstr.clear();
  EXPECT_EQ(writePictImage(dir_.path("a.pict"), 2, 2, 0, nullptr,
                           {row.data(), nullptr, row.data(), nullptr}),
            -1);
  EXPECT_EQ(pict_errstr, "Green parameter is NULL.");
}

}  // namespace
}  // namespace kx
