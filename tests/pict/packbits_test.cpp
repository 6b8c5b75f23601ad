// PackBits: the exact packed bytes of the writer, and the unpacker's bounds.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "pict/pict_pvt.h"

namespace kx {
namespace {

std::vector<uint8_t> pack(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out(PictPackBitsBound(in.size()));
  out.resize(PictPackBits(in, out.data()));
  return out;
}

// Obviously correct unpacker to check the packer against.
std::vector<uint8_t> referenceUnpack(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < in.size();) {
    int n = static_cast<int8_t>(in[i++]);
    if (n >= 0) {
      for (int k = 0; k <= n; ++k) out.push_back(in.at(i++));
    } else {
      for (int k = 0; k < 1 - n; ++k) out.push_back(in.at(i));
      ++i;
    }
  }
  return out;
}

TEST(PackBits, ExamplesPackExactly) {
  EXPECT_EQ(pack({1, 1, 1, 1, 2, 3, 3, 4}),
            (std::vector<uint8_t>{0xFD, 0x01, 0x03, 0x02, 0x03, 0x03, 0x04}));
  EXPECT_EQ(pack(std::vector<uint8_t>(8, 7)), (std::vector<uint8_t>{0xF9, 0x07}));

  std::vector<uint8_t> distinct(200);
  for (int i = 0; i < 200; ++i) distinct[i] = static_cast<uint8_t>(i);
  const std::vector<uint8_t> packed = pack(distinct);
  ASSERT_EQ(packed.size(), 202u);
  EXPECT_EQ(packed[0], 0x7E);    // 127 literal bytes
  EXPECT_EQ(packed[128], 0x48);  // then 73
  EXPECT_EQ(std::vector<uint8_t>(packed.begin() + 1, packed.begin() + 128),
            std::vector<uint8_t>(distinct.begin(), distinct.begin() + 127));
}

TEST(PackBits, RunsAreCappedAt128AndPairsStayLiteral) {
  EXPECT_EQ(pack(std::vector<uint8_t>(128, 9)), (std::vector<uint8_t>{0x81, 9}));
  EXPECT_EQ(pack(std::vector<uint8_t>(129, 9)), (std::vector<uint8_t>{0x81, 9, 0x00, 9}));
  EXPECT_EQ(pack({5, 5}), (std::vector<uint8_t>{0x01, 5, 5}));
  EXPECT_EQ(pack({5, 5, 5}), (std::vector<uint8_t>{0xFE, 5}));
  EXPECT_EQ(pack({}), std::vector<uint8_t>{});
  EXPECT_EQ(pack({42}), (std::vector<uint8_t>{0x00, 42}));
}

TEST(PackBits, RandomRowsRoundTripWithinTheBound) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 300; ++trial) {
    const size_t n = rng() % 700;
    const int alphabet = 1 + static_cast<int>(rng() % 4 == 0 ? 256 : rng() % 4);
    std::vector<uint8_t> row(n);
    for (auto& b : row) b = static_cast<uint8_t>(rng() % alphabet);
    const std::vector<uint8_t> packed = pack(row);
    ASSERT_LE(packed.size(), PictPackBitsBound(n));
    ASSERT_EQ(referenceUnpack(packed), row) << "trial " << trial;
    std::vector<uint8_t> unpacked(n);
    ASSERT_EQ(PictUnpackBits(packed, unpacked, 1), static_cast<int64_t>(n));
    ASSERT_EQ(unpacked, row);
  }
}

TEST(PackBits, IncompressibleShortRowsFitTheBound) {
  // Rows shorter than about 50 bytes grow by more than 2 percent.
  for (size_t n = 1; n <= 300; ++n) {
    std::vector<uint8_t> row(n);
    for (size_t i = 0; i < n; ++i) row[i] = static_cast<uint8_t>(i * 7 + 1);
    EXPECT_EQ(pack(row).size(), n + (n + 126) / 127) << n;
  }
}

TEST(PackBits, UnpacksUnitsOfTwoBytes) {
  std::vector<uint8_t> out(8);
  // 0xFF repeats the next unit twice, 0x00 copies one unit.
  const std::vector<uint8_t> in = {0xFF, 0x12, 0x34, 0x00, 0xAB, 0xCD, 0x00, 0x01, 0x02};
  ASSERT_EQ(PictUnpackBits(in, out, 2), 8);
  EXPECT_EQ(out, (std::vector<uint8_t>{0x12, 0x34, 0x12, 0x34, 0xAB, 0xCD, 0x01, 0x02}));
}

TEST(PackBits, FlagMinus128RepeatsTheUnit129Times) {
  std::vector<uint8_t> out(129);
  ASSERT_EQ(PictUnpackBits(std::vector<uint8_t>{0x80, 0x33}, out, 1), 129);
  EXPECT_EQ(out, std::vector<uint8_t>(129, 0x33));
}

TEST(PackBits, UnpackRefusesToRunPastEitherEnd) {
  std::vector<uint8_t> out(4);
  // Output: a literal of 5 or a run of 5 into 4 bytes.
  EXPECT_EQ(PictUnpackBits(std::vector<uint8_t>{0x04, 1, 2, 3, 4, 5}, out, 1), -1);
  EXPECT_EQ(PictUnpackBits(std::vector<uint8_t>{0xFC, 1}, out, 1), -1);
  EXPECT_EQ(PictUnpackBits(std::vector<uint8_t>{0xFF, 1, 2, 0xFF, 3, 4, 0x00, 5, 6}, out, 2), -1);
  // Input: a literal whose bytes are missing, a run without its unit.
  EXPECT_EQ(PictUnpackBits(std::vector<uint8_t>{0x02, 1, 2}, out, 1), -1);
  EXPECT_EQ(PictUnpackBits(std::vector<uint8_t>{0xFE}, out, 1), -1);
  EXPECT_EQ(PictUnpackBits(std::vector<uint8_t>{0xFE, 1}, out, 2), -1);
  // Exactly full is fine; a shorter row reports its length.
  EXPECT_EQ(PictUnpackBits(std::vector<uint8_t>{0xFD, 9}, out, 1), 4);
  EXPECT_EQ(PictUnpackBits(std::vector<uint8_t>{0x00, 9}, out, 1), 1);
}

}  // namespace
}  // namespace kx
