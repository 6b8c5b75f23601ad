// PackBits: the exact packed bytes of the writer, and the unpacker's bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "pict/pict_pvt.h"

namespace kx {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

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
               {{0xFC, 1}, 1, -1, {}},              // run of 5
               {{0xFF, 1, 2, 0xFF, 3, 4, 0x00, 5, 6}, 2, -1, {}},
               {{0x02, 1, 2}, 1, -1, {}},  // literal bytes missing
               {{0xFE}, 1, -1, {}},        // run without its unit
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

}  // namespace
}  // namespace kx
