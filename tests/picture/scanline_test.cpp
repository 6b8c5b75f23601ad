// Scanline coders and decoders: exact bytes of the worked examples and edge
// cases, the lenient decoding of damaged segments, and the buffer-based code
// against the byte-at-a-time reference on many random rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "picture/picture_test_util.h"

namespace kx::test {
namespace {

const Pixel A{0x10, 0x11, 0x12, 0x13}, B{0x20, 0x21, 0x22, 0x23}, C{0x30, 0x31, 0x32, 0x33},
    V{0xA0, 0xB0, 0xC0, 0xD0};

Bytes px(const Pixel& p) {
  return pixelBytes(p, 3);
}
Bytes hdr(std::initializer_list<uint8_t> b) {
  return Bytes(b);
}

// ---- Exact coder output ----------------------------------------------------

struct CoderCase {
  std::string name;
  int type;
  int n;
  std::vector<Pixel> pixels;
  Bytes expected;
};

void PrintTo(const CoderCase& c, std::ostream* os) {
  *os << c.name;
}

class CoderBytes : public testing::TestWithParam<CoderCase> {};

TEST_P(CoderBytes, FastAndReferenceWriteExactly) {
  const CoderCase& c = GetParam();
  EXPECT_EQ(encodeFast(c.type, c.pixels, c.n), c.expected);
  EXPECT_EQ(encodeReference(c.type, c.pixels, c.n), c.expected);
}

std::vector<Pixel> concat(std::initializer_list<std::vector<Pixel>> parts) {
  std::vector<Pixel> r;
  for (const auto& p : parts) r.insert(r.end(), p.begin(), p.end());
  return r;
}

const std::vector<Pixel> k200 = distinctPixels(200, 3);
const std::vector<Pixel> k129 = distinctPixels(129, 3);
const std::vector<Pixel> k128 = distinctPixels(128, 3);

INSTANTIATE_TEST_SUITE_P(
    Examples, CoderBytes,
    testing::Values(
        CoderCase{"Mixed_ABBCCC",
                  2,
                  3,
                  {A, B, B, C, C, C},
                  hdr({0x00}) + px(A) + hdr({0x81}) + px(B) + hdr({0x82}) + px(C)},
        CoderCase{"Mixed_130Equal", 2, 3, repeatPixel(V, 130), hdr({0x80, 0x00, 0x82}) + px(V)},
        CoderCase{"Mixed_200Distinct", 2, 3, k200,
                  hdr({0x7F}) + pixelsBytes({k200.begin(), k200.begin() + 128}, 3) + hdr({0x47}) +
                      pixelsBytes({k200.begin() + 128, k200.end()}, 3)},
        CoderCase{"Mixed_OnePixel", 2, 3, {A}, hdr({0x00}) + px(A)},
        CoderCase{"Mixed_127Equal", 2, 3, repeatPixel(V, 127), hdr({0xFE}) + px(V)},
        CoderCase{"Mixed_128Equal", 2, 3, repeatPixel(V, 128), hdr({0x80, 0x00, 0x80}) + px(V)},
        CoderCase{"Mixed_128Distinct", 2, 3, k128, hdr({0x7F}) + pixelsBytes(k128, 3)},
        CoderCase{"Mixed_129Distinct", 2, 3, k129,
                  hdr({0x7F}) + pixelsBytes({k129.begin(), k129.begin() + 128}, 3) + hdr({0x00}) +
                      px(k129[128])},
        CoderCase{"Mixed_AAB", 2, 3, {A, A, B}, hdr({0x81}) + px(A) + hdr({0x00}) + px(B)},
        CoderCase{"Mixed_ABAB", 2, 3, {A, B, A, B}, hdr({0x03}) + px(A) + px(B) + px(A) + px(B)},
        // The pixel after a full literal starts afresh even when it equals the
        // literal's last pixel.
        CoderCase{"Mixed_128DistinctThenRepeatOfLast", 2, 3,
                  concat({k128, repeatPixel(k128.back(), 3)}),
                  hdr({0x7F}) + pixelsBytes(k128, 3) + hdr({0x82}) + px(k128.back())},
        // Two equal pixels at the 127th and 128th place cut the literal short.
        CoderCase{"Mixed_LiteralCutByRepeatAtEnd", 2, 3,
                  concat({distinctPixels(127, 3), {distinctPixels(127, 3).back()}}),
                  hdr({0x7D}) + pixelsBytes(distinctPixels(126, 3), 3) + hdr({0x81}) +
                      px(distinctPixels(127, 3).back())},
        CoderCase{"Mixed_RedAlphaOnly", 2, 2, {A, A, A}, hdr({0x82, 0x10, 0x11})},
        CoderCase{"Mixed_NoChannels", 2, 0, repeatPixel(A, 5), hdr({0x84})},
        CoderCase{"Mixed_NoChannels300", 2, 0, repeatPixel(A, 300), hdr({0x80, 0x01, 0x2C})},
        CoderCase{"Pure_300Equal", 1, 3, repeatPixel(V, 300),
                  hdr({0xFF}) + px(V) + hdr({0x2D}) + px(V)},
        CoderCase{"Pure_ABBCCC",
                  1,
                  3,
                  {A, B, B, C, C, C},
                  hdr({0x01}) + px(A) + hdr({0x02}) + px(B) + hdr({0x03}) + px(C)},
        CoderCase{"Pure_NoChannels", 1, 0, repeatPixel(A, 5), hdr({0x05})},
        CoderCase{"Uncompressed_AB", 0, 3, {A, B}, px(A) + px(B)},
        CoderCase{"Uncompressed_FourChannels", 0, 4, {A}, Bytes(A.begin(), A.end())},
        CoderCase{"Uncompressed_NoChannels", 0, 0, repeatPixel(A, 5), Bytes{}}),
    [](const testing::TestParamInfo<CoderCase>& info) { return info.param.name; });

// ---- Decoding damaged and unusual segments -----------------------------------

// One segment of one channel decoded into a row pre-filled with 0x5A (the
// "old contents" that unreached samples keep).
struct DecodeCase {
  std::string name;
  int type;
  int width;
  Bytes bytes;
  Bytes samples;
  size_t position;
  bool eof;
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
  *os << c.name;
}

class DecodeSegment : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeSegment, SamplesPositionAndEndOfFile) {
  const DecodeCase& c = GetParam();
  PictureInStream in(c.bytes);
  Bytes row(static_cast<size_t>(c.width) + 1, 0x5A);
  uint8_t* samples[1] = {row.data()};
  const auto w = static_cast<int16_t>(c.width);
  if (c.type == 0) QZ_scanlineReadUncompressed(in, w, 1, samples);
  if (c.type == 1) QZ_scanlineReadPureRunLength(in, w, 1, samples);
  if (c.type == 2) QZ_scanlineReadMixedRunLength(in, w, 1, samples);
  EXPECT_EQ(row.back(), 0x5A) << "wrote past the scanline";
  row.pop_back();
  EXPECT_EQ(row, c.samples);
  EXPECT_EQ(in.position(), c.position);
  EXPECT_EQ(in.eof(), c.eof);
}

const uint8_t Z = 0x5A, F = 0xFF;

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeSegment,
    testing::Values(
        DecodeCase{
            "Pure_CountAboveWidthIsClamped", 1, 4, {0x09, 0xAA, 0x77}, Bytes(4, 0xAA), 2, false},
        DecodeCase{"Pure_CountZeroConsumesItsPixel",
                   1,
                   2,
                   {0x00, 0x11, 0x02, 0x22},
                   {0x22, 0x22},
                   4,
                   false},
        DecodeCase{"Pure_RunPastTheEndIsCut",
                   1,
                   3,
                   {0x02, 0x11, 0x05, 0x22, 0x33},
                   {0x11, 0x11, 0x22},
                   4,
                   false},
        DecodeCase{"Pure_TruncatedEndsInOneRunOf255", 1, 4, {0x01, 0x11}, {0x11, F, F, F}, 2, true},
        DecodeCase{"Pure_EmptyScanlineStillReadsOneRun", 1, 0, {0x03, 0x44, 0x55}, {}, 2, false},
        DecodeCase{
            "Uncompressed_MissingBytesRead255", 0, 4, {0x01, 0x02}, {0x01, 0x02, F, F}, 2, true},
        DecodeCase{"Uncompressed_AtTheEnd", 0, 3, {}, {F, F, F}, 0, true},
        // Abandoning positions the stream at its end without reading past it.
        DecodeCase{"Mixed_LiteralPastTheEndAbandons",
                   2,
                   2,
                   {0x02, 0x01, 0x02, 0x03, 0x81, 0x09},
                   {Z, Z},
                   6,
                   false},
        DecodeCase{"Mixed_RepeatPastTheEndAbandonsAfterWhatFitted",
                   2,
                   4,
                   {0x81, 0x07, 0x82, 0x08, 0x00, 0x01},
                   {0x07, 0x07, Z, Z},
                   6,
                   false},
        DecodeCase{"Mixed_TruncatedLiteralReads255",
                   2,
                   4,
                   {0x03, 0x01, 0x02},
                   {0x01, 0x02, F, F},
                   3,
                   true},
        // A long repeat count cut by the end of the file ends the scanline.
        DecodeCase{"Mixed_LongRepeatCountCutByTheEnd",
                   2,
                   4,
                   {0x81, 0x07, 0x80, 0x00},
                   {0x07, 0x07, Z, Z},
                   4,
                   true},
        // A whole count is not the end of the file yet: the repeat stores 255.
        DecodeCase{"Mixed_LongRepeatCountEndingTheFileStillRepeats",
                   2,
                   4,
                   {0x81, 0x07, 0x80, 0x00, 0x02},
                   {0x07, 0x07, F, F},
                   5,
                   true}),
    [](const testing::TestParamInfo<DecodeCase>& info) { return info.param.name; });

TEST(MixedRunLengthDecoder, AcceptsWhatTheCoderNeverWrites) {
  // Header 255 (a short repeat of 128) and a long repeat of 0, which stores
  // nothing but consumes its pixel.
  const Bytes bytes{0x80, 0x00, 0x00, 0x33, 0xFF, 0x44, 0x00, 0x55};
  PictureInStream in(bytes);
  Bytes row(129, 0x5A);
  uint8_t* samples[1] = {row.data()};
  QZ_scanlineReadMixedRunLength(in, 129, 1, samples);
  Bytes expected(128, 0x44);
  expected.push_back(0x55);
  EXPECT_EQ(row, expected);
  EXPECT_EQ(in.position(), 8u);
}

TEST(MixedRunLengthDecoder, LaterScanlinesReadAsEndOfFileAfterAbandon) {
  Bytes bytes{0x83, 0x01, 0x00, 0x02};  // a repeat of 4 in a scanline of 3
  PictureInStream in(bytes);
  Bytes first(3, 0x5A), second(200, 0x5A);
  uint8_t* s1[1] = {first.data()};
  uint8_t* s2[1] = {second.data()};
  QZ_scanlineReadMixedRunLength(in, 3, 1, s1);
  EXPECT_EQ(first, Bytes(3, 0x5A));
  // Every header byte now reads as 255, a repeat of 128 of the sample 255: it
  // fits once into 200 samples, the second abandons the scanline.
  QZ_scanlineReadMixedRunLength(in, 200, 1, s2);
  EXPECT_EQ(Bytes(second.begin(), second.begin() + 128), Bytes(128, 0xFF));
  EXPECT_EQ(Bytes(second.begin() + 128, second.end()), Bytes(72, 0x5A));
}

// ---- Scanline operations ----------------------------------------------------------

TEST(ScanlineOperations, UnknownTypeMovesNoBytesButAdvancesCursors) {
  Picture pic;
  pic.width = 3;
  pic.height = 1;
  Bytes red{1, 2, 3}, alpha{4, 5, 6};
  pic.cursor[0] = red.data();
  pic.cursor[3] = alpha.data();
  ChannelPacketList packets{{8, 3, 0x80}, {8, 0x20, 0x10}};  // type 3; type 0x20 is 0
  PictureOutStream out;
  QZ_pictureWriteScanline(out, pic, packets);
  EXPECT_EQ(Bytes(out.bytes().begin(), out.bytes().end()), (Bytes{4, 5, 6}));
  EXPECT_EQ(pic.cursor[0], red.data() + 3);
  EXPECT_EQ(pic.cursor[3], alpha.data() + 3);

  Bytes file{9, 8, 7};
  PictureInStream in(file);
  pic.cursor[0] = red.data();
  pic.cursor[3] = alpha.data();
  QZ_pictureReadScanline(in, pic, packets);
  EXPECT_EQ(red, (Bytes{1, 2, 3}));
  EXPECT_EQ(alpha, (Bytes{9, 8, 7}));
  EXPECT_EQ(pic.cursor[0], red.data() + 3);
  EXPECT_EQ(in.position(), 3u);
}

TEST(ScanlineOperations, MaskOrderIsRedGreenBlueAlphaAndLowBitsIgnored) {
  Picture pic;
  pic.width = 1;
  Bytes red{0x11}, alpha{0x44};
  pic.cursor[0] = red.data();
  pic.cursor[3] = alpha.data();
  PictureOutStream out;
  QZ_pictureWriteScanline(out, pic, {{8, 0, 0x9F}});
  EXPECT_EQ(Bytes(out.bytes().begin(), out.bytes().end()), (Bytes{0x11, 0x44}));
}

// ---- Buffer-based code against the reference ---------------------------------------

TEST(CodersAgainstReference, ManyRandomRowsGiveIdenticalBytes) {
  Rng rng(7);
  const int widths[] = {1, 2, 3, 127, 128, 129, 130, 254, 255, 256, 257, 300, 1000};
  for (int round = 0; round < 40; ++round) {
    for (int width : widths) {
      for (int n = 0; n <= 4; ++n) {
        const auto row = randomRow(rng, width, (round * 17) % 101);
        for (int type = 0; type <= 2; ++type) {
          ASSERT_EQ(encodeFast(type, row, n), encodeReference(type, row, n))
              << "type " << type << " width " << width << " n " << n << " round " << round;
        }
      }
    }
  }
}

TEST(CodersAgainstReference, LongRunsGiveIdenticalBytes) {
  Rng rng(11);
  for (int width : {32767, 20000}) {
    std::vector<Pixel> row = repeatPixel(V, width);
    for (int i = 0; i < 5; ++i) row[static_cast<size_t>(rng.below(width))] = A;
    for (int type = 0; type <= 2; ++type)
      ASSERT_EQ(encodeFast(type, row, 3), encodeReference(type, row, 3)) << type;
  }
}

// Decodes with both implementations, over buffers holding the same old
// contents, several scanlines in a row; compares samples, positions and the
// end-of-file state.
void expectSameDecoding(int type, int width, int n, int scanlines, const Bytes& bytes) {
  std::array<Bytes, 4> fast, slow;
  for (int c = 0; c < 4; ++c) {
    fast[c].assign(static_cast<size_t>(width) * scanlines + 1, static_cast<uint8_t>(0x30 + c));
    slow[c] = fast[c];
  }
  PictureInStream in(bytes);
  ref::In rin(bytes);
  for (int y = 0; y < scanlines; ++y) {
    uint8_t* fs[4];
    uint8_t* ss[4];
    for (int c = 0; c < 4; ++c) {
      fs[c] = fast[c].data() + static_cast<size_t>(y) * width;
      ss[c] = slow[c].data() + static_cast<size_t>(y) * width;
    }
    const auto w = static_cast<int16_t>(width);
    if (type == 0) {
      QZ_scanlineReadUncompressed(in, w, n, fs);
      ref::readUncompressed(rin, w, n, ss);
    } else if (type == 1) {
      QZ_scanlineReadPureRunLength(in, w, n, fs);
      ref::readPureRunLength(rin, w, n, ss);
    } else {
      QZ_scanlineReadMixedRunLength(in, w, n, fs);
      ref::readMixedRunLength(rin, w, n, ss);
    }
    ASSERT_EQ(in.position(), rin.pos) << "scanline " << y;
    ASSERT_EQ(in.eof(), rin.eofFlag) << "scanline " << y;
  }
  for (int c = 0; c < 4; ++c) ASSERT_EQ(fast[c], slow[c]) << "channel " << c;
}

TEST(DecodersAgainstReference, ValidTruncatedAndGarbageSegments) {
  Rng rng(23);
  for (int round = 0; round < 300; ++round) {
    const int width = 1 + rng.below(round % 3 == 0 ? 400 : 40);
    const int n = rng.below(5);
    const int type = rng.below(3);
    const int scanlines = 1 + rng.below(12);
    Bytes bytes;
    for (int y = 0; y < scanlines; ++y)
      bytes = bytes + encodeReference(type, randomRow(rng, width, rng.below(101)), n);
    SCOPED_TRACE("round " + std::to_string(round));
    expectSameDecoding(type, width, n, scanlines, bytes);
    Bytes cut(bytes.begin(), bytes.begin() + rng.below(static_cast<int>(bytes.size()) + 1));
    expectSameDecoding(type, width, n, scanlines, cut);
    Bytes damaged = bytes;
    for (int i = 0; i < 3 && !damaged.empty(); ++i)
      damaged[static_cast<size_t>(rng.below(static_cast<int>(damaged.size())))] =
          static_cast<uint8_t>(rng.next());
    expectSameDecoding(type, width, n, scanlines, damaged);
    Bytes garbage(static_cast<size_t>(rng.below(600)));
    for (auto& b : garbage) b = static_cast<uint8_t>(rng.below(4) == 0 ? 128 : rng.next());
    expectSameDecoding(type, width, n, scanlines, garbage);
  }
}

// Mixed segments whose packets are well formed but whose lengths run over the
// scanline by a little, long enough for the decoder's in-memory fast path.
TEST(DecodersAgainstReference, MixedPacketsOverrunningTheScanline) {
  Rng rng(31);
  for (int round = 0; round < 400; ++round) {
    const int width = 1 + rng.below(300);
    const int n = round % 2 ? 3 : rng.below(5);
    Bytes bytes;
    int x = 0;
    while (bytes.size() < 3000) {
      const int left = width - x;
      const int m = std::max(0, left - 2 + rng.below(5));  // around what is left
      const int kind = rng.below(3);
      if (kind == 0 && m >= 1 && m <= 128) {
        bytes.push_back(static_cast<uint8_t>(m - 1));
        for (int i = 0; i < m * n; ++i) bytes.push_back(static_cast<uint8_t>(rng.next()));
      } else if (kind == 1 && m >= 2 && m <= 128) {
        bytes.push_back(static_cast<uint8_t>(m + 127));
        for (int i = 0; i < n; ++i) bytes.push_back(static_cast<uint8_t>(rng.next()));
      } else {
        bytes = bytes + Bytes{0x80, static_cast<uint8_t>(m >> 8), static_cast<uint8_t>(m)};
        for (int i = 0; i < n; ++i) bytes.push_back(static_cast<uint8_t>(rng.next()));
      }
      x = x + m >= width ? 0 : x + m;
    }
    SCOPED_TRACE("round " + std::to_string(round));
    expectSameDecoding(2, width, n, 40, bytes);
  }
}

}  // namespace
}  // namespace kx::test
