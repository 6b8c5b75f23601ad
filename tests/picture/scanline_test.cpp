// Scanline coders and decoders: worked examples and damaged segments.
#include <gtest/gtest.h>

#include "picture/picture_test_util.h"

namespace kx::test {
namespace {

const Pixel A{0x10, 0x11, 0x12, 0x13}, B{0x20, 0x21, 0x22, 0x23}, C{0x30, 0x31, 0x32, 0x33},
    V{0xA0, 0xB0, 0xC0, 0xD0};

std::vector<Pixel> rep(const Pixel& p, int count) {
  return std::vector<Pixel>(static_cast<size_t>(count), p);
}

// count pixels of which no two neighbours are equal.
std::vector<Pixel> distinct(int count) {
  std::vector<Pixel> row;
  for (int i = 0; i < count; ++i)
    row.push_back({static_cast<uint8_t>(i * 7), static_cast<uint8_t>(i * 7 + 1),
                   static_cast<uint8_t>(i * 7 + 2), 0});
  return row;
}

// The three-channel bytes of pixels.
Bytes px(const std::vector<Pixel>& row) {
  Bytes b;
  for (const Pixel& p : row) b.insert(b.end(), p.begin(), p.begin() + 3);
  return b;
}

// Encodes one segment of the first n channels of pixels.
Bytes encode(int type, const std::vector<Pixel>& pixels, int n) {
  std::array<Bytes, 4> planes;
  const uint8_t* in[4];
  for (int c = 0; c < 4; ++c) {
    for (const Pixel& p : pixels) planes[c].push_back(p[c]);
    planes[c].push_back(0);  // never empty
    in[c] = planes[c].data();
  }
  const auto width = static_cast<int16_t>(pixels.size());
  PictureOutStream out;
  if (type == 0) QZ_scanlineWriteUncompressed(out, width, n, in);
  if (type == 1) QZ_scanlineWritePureRunLength(out, width, n, in);
  if (type == 2) QZ_scanlineWriteMixedRunLength(out, width, n, in);
  return Bytes(out.bytes().begin(), out.bytes().end());
}

TEST(CoderBytes, EveryCoderWritesItsPacketsExactly) {
  const auto d127 = distinct(127), d128 = distinct(128), d129 = distinct(129);
  const std::vector<Pixel> last{d128.back()};
  const Bytes a = px({A}), b = px({B}), c = px({C}), v = px({V});
  struct Case {
    const char* name;
    int type, n;
    std::vector<Pixel> pixels;
    Bytes expected;
  } cases[] = {
      {"m ABBCCC", 2, 3, {A, B, B, C, C, C}, Bytes{0} + a + Bytes{0x81} + b + Bytes{0x82} + c},
      {"m 127 equal", 2, 3, rep(V, 127), Bytes{0xFE} + v},
      {"m 128 equal", 2, 3, rep(V, 128), Bytes{0x80, 0x00, 0x80} + v},
      {"m 128 distinct", 2, 3, d128, Bytes{0x7F} + px(d128)},
      {"m 129 distinct", 2, 3, d129, Bytes{0x7F} + px(d128) + Bytes{0x00} + px({d129.back()})},
      {"m AAB", 2, 3, {A, A, B}, Bytes{0x81} + a + Bytes{0x00} + b},
      {"m ABAB", 2, 3, {A, B, A, B}, Bytes{0x03} + px({A, B, A, B})},
      // After a full literal the next pixel starts afresh, even when equal.
      {"m 128 distinct + 3 last", 2, 3, d128 + rep(last[0], 3),
       Bytes{0x7F} + px(d128) + Bytes{0x82} + px(last)},
      // Two equal pixels at the 127th and 128th place cut the literal short.
      {"m 127 distinct + last", 2, 3, d127 + std::vector{d127[126]},
       Bytes{0x7D} + px(distinct(126)) + Bytes{0x81} + px({d127[126]})},
      {"m two channels", 2, 2, {A, A, A}, Bytes{0x82, 0x10, 0x11}},
      {"m no channels", 2, 0, rep(A, 300), Bytes{0x80, 0x01, 0x2C}},
      {"p 300 equal", 1, 3, rep(V, 300), Bytes{0xFF} + v + Bytes{0x2D} + v},
      {"p ABBCCC", 1, 3, {A, B, B, C, C, C}, Bytes{1} + a + Bytes{2} + b + Bytes{3} + c},
      {"p no channels", 1, 0, rep(A, 5), Bytes{0x05}},
      {"u AB", 0, 3, {A, B}, px({A, B})},
      {"u four channels", 0, 4, {A}, Bytes(A.begin(), A.end())},
      {"u no channels", 0, 0, rep(A, 5), Bytes{}}};
  for (const Case& k : cases) EXPECT_EQ(encode(k.type, k.pixels, k.n), k.expected) << k.name;
}

TEST(DecodeSegment, DamagedAndUnusualSegments) {
  const uint8_t Z = 0x5A, F = 0xFF;  // Z: the old contents of unreached samples
  const Bytes r129 = Bytes(128, 0x44) + Bytes{0x55};
  struct Case {
    const char* name;
    int type, width;
    Bytes bytes, samples;
    size_t position;
    bool eof;
  } cases[] = {
      {"p count above width is clamped", 1, 4, {0x09, 0xAA, 0x77}, Bytes(4, 0xAA), 2, false},
      {"p truncated: a run of 255", 1, 4, {0x01, 0x11}, {0x11, F, F, F}, 2, true},
      {"p empty scanline reads a run", 1, 0, {0x03, 0x44, 0x55}, {}, 2, false},
      {"u missing bytes read 255", 0, 4, {0x01, 0x02}, {0x01, 0x02, F, F}, 2, true},
      {"u at the end", 0, 3, {}, {F, F, F}, 0, true},
      {"m truncated literal", 2, 4, {0x03, 0x01, 0x02}, {1, 2, F, F}, 3, true},
      {"m long count cut by the end", 2, 4, {0x81, 7, 0x80, 0}, {7, 7, Z, Z}, 4, true},
      {"m whole long count at the end", 2, 4, {0x81, 7, 0x80, 0, 2}, {7, 7, F, F}, 5, true},
      // Header 255 (a short repeat of 128); a long repeat of 0 consumes its pixel.
      {"m 255 and count 0", 2, 129, {0x80, 0, 0, 0x33, 0xFF, 0x44, 0, 0x55}, r129, 8, false}};
  for (const Case& c : cases) {
    PictureInStream in(c.bytes);
    Bytes row(static_cast<size_t>(c.width) + 1, Z);
    uint8_t* samples[1] = {row.data()};
    const auto w = static_cast<int16_t>(c.width);
    if (c.type == 0) QZ_scanlineReadUncompressed(in, w, 1, samples);
    if (c.type == 1) QZ_scanlineReadPureRunLength(in, w, 1, samples);
    if (c.type == 2) QZ_scanlineReadMixedRunLength(in, w, 1, samples);
    EXPECT_EQ(row.back(), Z) << c.name << ": wrote past the scanline";
    row.pop_back();
    EXPECT_EQ(row, c.samples) << c.name;
    EXPECT_EQ(in.position(), c.position) << c.name;
    EXPECT_EQ(in.eof(), c.eof) << c.name;
  }
}

}  // namespace
}  // namespace kx::test
