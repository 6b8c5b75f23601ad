#include <gtest/gtest.h>

#include <random>
#include <set>

#include "picture/picture.h"
#include "picture/sample.h"
#include "reduce/reduce.h"
#include "reduce/reference.h"
#include "reduce/support.h"

namespace kx {
namespace {

std::vector<uint8_t> filtered(std::vector<uint8_t> samples, int width, int bits, int dither = 1) {
  int16_t t[256];
  makequanttab(t, bits);
  applytab(samples.data(), t, static_cast<int64_t>(samples.size()), width,
           static_cast<int16_t>(dither));
  return samples;
}

TEST(QuantTable, LevelsByBitReplication) {
  int16_t t[256];
  makequanttab(t, 3);
  EXPECT_EQ(t[0], 0);
  EXPECT_EQ(t[1], 0);
  EXPECT_EQ(t[2], 36);
  EXPECT_EQ(t[36], 36);
  EXPECT_EQ(t[37], 73);
  EXPECT_EQ(t[73], 73);
  EXPECT_EQ(t[219], 219);
  EXPECT_EQ(t[220], 255);
  EXPECT_EQ(t[255], 255);
  makequanttab(t, 2);
  EXPECT_EQ(std::set<int>(t, t + 256), (std::set<int>{0, 85, 170, 255}));
  for (int bits = 1; bits <= 8; ++bits) {
    makequanttab(t, bits);
    const std::vector<int> want = ref::quantTable(bits);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(t[i], want[i]) << bits << " " << i;
  }
}

TEST(QuantTable, ZeroBitsAreRefused) {
  int16_t t[256];
  std::string err;
  EXPECT_EQ(test::exitStatusOf([&] { makequanttab(t, 0); }, &err), 255);
  EXPECT_EQ(err, "Error: quantization needs 1 to 8 bits per channel, not 0\n");
}

TEST(Filter, ThreeBitRowExample) {
  EXPECT_EQ(filtered({10, 10, 10}, 3, 3), (std::vector<uint8_t>{36, 0, 36}));
}

TEST(Filter, UniformExtremesStay) {
  EXPECT_EQ(filtered(std::vector<uint8_t>(12, 255), 4, 3), std::vector<uint8_t>(12, 255));
  EXPECT_EQ(filtered(std::vector<uint8_t>(12, 0), 4, 3), std::vector<uint8_t>(12, 0));
}

TEST(Filter, TwoBitCases) {
  // 85 is a level: nothing is spread.
  EXPECT_EQ(filtered({85, 100}, 2, 2), (std::vector<uint8_t>{85, 170}));
  // 86 goes up to 170 and its error −84 is limited to −40: the sample below
  // gets 100 − 12.5 = 87.5 → 170 (unlimited, 100 − 26.25 would give 85).
  EXPECT_EQ(filtered({86, 0, 100, 0}, 2, 2), (std::vector<uint8_t>{170, 0, 170, 0}));
  // 1 with no incoming error becomes 0; 2 becomes the second level.
  EXPECT_EQ(filtered({1}, 1, 2), (std::vector<uint8_t>{0}));
  EXPECT_EQ(filtered({2}, 1, 2), (std::vector<uint8_t>{85}));
}

TEST(Filter, RoundsHalfToEven) {
  // Width 1: the first sample's error goes straight down with 5/16.
  // 28 → 36 (err −8): 39 − 2.5 = 36.5 rounds to 36, which stays 36.
  EXPECT_EQ(filtered({28, 39}, 1, 3), (std::vector<uint8_t>{36, 36}));
  // 26 → 36 (err −10): 40 − 3.125 = 36.875 rounds (not truncates) to 37 → 73.
  EXPECT_EQ(filtered({26, 40}, 1, 3), (std::vector<uint8_t>{36, 73}));
  // Without diffusion: 36 stays and 37 goes up.
  EXPECT_EQ(filtered({36, 37}, 2, 3, 0), (std::vector<uint8_t>{36, 73}));
}

TEST(Filter, OneRowSpreadsOnlyRight) {
  std::vector<uint8_t> row = {10, 10, 10, 10, 10, 10};
  EXPECT_EQ(filtered(row, 6, 3), (std::vector<uint8_t>{36, 0, 36, 0, 36, 0}));
  ref::quantChannel(row, 6, 3);
  EXPECT_EQ(filtered({10, 10, 10, 10, 10, 10}, 6, 3), row);
}

TEST(Filter, ShortLastRowStaysInsideTheChannel) {
  // 10 samples in rows of 4: the last row has 2, and nothing is spread past
  // the tenth sample.
  auto channel = std::make_unique<uint8_t[]>(10);
  std::fill(channel.get(), channel.get() + 10, 100);
  int16_t t[256];
  makequanttab(t, 2);
  applytab(channel.get(), t, 10, 4, 1);
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(channel[i] % 85 == 0) << i;
}

TEST(Filter, MatchesReferenceOnPictures) {
  std::mt19937 rng(7);
  for (int bits = 1; bits <= 7; ++bits) {
    for (auto [w, h] : {std::pair{1, 7}, {7, 1}, {13, 9}, {64, 40}, {300, 200}}) {
      PicturePtr pic = makeSamplePicture(w, h, bits);
      for (int i = 0; i < w * h; ++i) pic->channel[1][i] = static_cast<uint8_t>(rng());
      Picture copy;
      copy.width = pic->width;
      copy.height = pic->height;
      for (int c = 0; c < 3; ++c) {
        copy.channel[c] = std::make_unique<uint8_t[]>(w * h);
        std::copy(pic->channel[c].get(), pic->channel[c].get() + w * h, copy.channel[c].get());
      }
      copy.channel[2].reset();  // an absent channel is skipped
      EXPECT_EQ(quantFloyd(copy, bits, 1), 1);
      EXPECT_EQ(table[255], 255);
      for (int c = 0; c < 2; ++c) {
        std::vector<uint8_t> want(pic->channel[c].get(), pic->channel[c].get() + w * h);
        ref::quantChannel(want, w, bits);
        ASSERT_EQ(std::vector<uint8_t>(copy.channel[c].get(), copy.channel[c].get() + w * h), want)
            << bits << " " << w << "x" << h << " channel " << c;
      }
    }
  }
}

}  // namespace
}  // namespace kx
