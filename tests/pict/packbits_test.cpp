// PackBits: the exact packed bytes of the writer, and the unpacker's bounds.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "pict/pict_pvt.h"

namespace kx {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes pack(const Bytes& in) {
  Bytes out(PictPackBitsBound(in.size()));
  out.resize(PictPackBits(in, out.data()));
  return out;
}

// Obviously correct unpacker to check the packer against.
Bytes referenceUnpack(const Bytes& in) {
  Bytes out;
  for (size_t i = 0; i < in.size();) {
    const int n = static_cast<int8_t>(in[i++]);
    if (n >= 0) {
      for (int k = 0; k <= n; ++k) out.push_back(in.at(i++));
    } else {
      out.insert(out.end(), 1 - n, in.at(i++));
    }
  }
  return out;
}

TEST(PackBits, ExamplesPackExactly) {
  EXPECT_EQ(pack({1, 1, 1, 1, 2, 3, 3, 4}), (Bytes{0xFD, 0x01, 0x03, 0x02, 0x03, 0x03, 0x04}));
  EXPECT_EQ(pack(Bytes(8, 7)), (Bytes{0xF9, 0x07}));
  EXPECT_EQ(pack(Bytes(128, 9)), (Bytes{0x81, 9}));
  EXPECT_EQ(pack(Bytes(129, 9)), (Bytes{0x81, 9, 0x00, 9}));
  EXPECT_EQ(pack({5, 5}), (Bytes{0x01, 5, 5}));
  EXPECT_EQ(pack({5, 5, 5}), (Bytes{0xFE, 5}));
  EXPECT_EQ(pack({}), Bytes{});
  EXPECT_EQ(pack({42}), (Bytes{0x00, 42}));
  Bytes distinct(200);
  for (int i = 0; i < 200; ++i) distinct[i] = static_cast<uint8_t>(i);
  const Bytes packed = pack(distinct);
  ASSERT_EQ(packed.size(), 202u);
  EXPECT_EQ(packed[0], 0x7E);    // 127 literal bytes
  EXPECT_EQ(packed[128], 0x48);  // then 73
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
    ASSERT_EQ(referenceUnpack(packed), row) << "trial " << trial;
    Bytes unpacked(n);
    ASSERT_EQ(PictUnpackBits(packed, unpacked, 1), static_cast<int64_t>(n));
    ASSERT_EQ(unpacked, row);
  }
}

TEST(PackBits, UnpacksUnitsOfTwoBytesAndLongRuns) {
  Bytes out(8);
  ASSERT_EQ(PictUnpackBits(Bytes{0xFF, 0x12, 0x34, 0x00, 0xAB, 0xCD, 0x00, 0x01, 0x02}, out, 2), 8);
  EXPECT_EQ(out, (Bytes{0x12, 0x34, 0x12, 0x34, 0xAB, 0xCD, 0x01, 0x02}));
  Bytes run(129);
  ASSERT_EQ(PictUnpackBits(Bytes{0x80, 0x33}, run, 1), 129);  // flag -128: 129 times
  EXPECT_EQ(run, Bytes(129, 0x33));
}

TEST(PackBits, UnpackRefusesToRunPastEitherEnd) {
  Bytes out(4);
  EXPECT_EQ(PictUnpackBits(Bytes{0x04, 1, 2, 3, 4, 5}, out, 1), -1);  // literal of 5 into 4
  EXPECT_EQ(PictUnpackBits(Bytes{0xFC, 1}, out, 1), -1);              // run of 5
  EXPECT_EQ(PictUnpackBits(Bytes{0xFF, 1, 2, 0xFF, 3, 4, 0x00, 5, 6}, out, 2), -1);
  EXPECT_EQ(PictUnpackBits(Bytes{0x02, 1, 2}, out, 1), -1);  // literal bytes missing
  EXPECT_EQ(PictUnpackBits(Bytes{0xFE}, out, 1), -1);        // run without its unit
  EXPECT_EQ(PictUnpackBits(Bytes{0xFE, 1}, out, 2), -1);
  EXPECT_EQ(PictUnpackBits(Bytes{0xFD, 9}, out, 1), 4);  // exactly full
  EXPECT_EQ(PictUnpackBits(Bytes{0x00, 9}, out, 1), 1);  // shorter rows report their length
}

}  // namespace
}  // namespace kx
