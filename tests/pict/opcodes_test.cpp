// PICT framing and the opcode walker: the opcode table, the exact prologue we
// write, the versions we recognise, pad bytes, NOPs, the end opcode, and the
// skipping of every argument form.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pict/pict_builder.h"
#include "pict/pict_pvt.h"
#include "support/tempdir.h"

namespace kx {
namespace {

struct OptabRow {
  int opcode;
  const char* name;
  int minVersion;
  int length;
};

class OptabTest : public testing::TestWithParam<OptabRow> {};

TEST_P(OptabTest, RowHoldsNameVersionAndLength) {
  const OptabRow& row = GetParam();
  const PictOpcodeInfo& info = optab[row.opcode];
  if (row.name) {
    ASSERT_NE(info.name, nullptr);
    EXPECT_STREQ(info.name, row.name);
  } else {
    EXPECT_EQ(info.name, nullptr);
  }
  EXPECT_EQ(info.minVersion, row.minVersion);
  EXPECT_EQ(info.length, row.length);
}

// The first and last opcode of every run of the table.
INSTANTIATE_TEST_SUITE_P(
    Runs, OptabTest,
    testing::Values(OptabRow{0x00, "NOP", 1, 0}, OptabRow{0x01, "Clip", 1, -1001},
                    OptabRow{0x02, "BkPat", 1, 8}, OptabRow{0x03, "TxFont", 1, 2},
                    OptabRow{0x04, "TxFace", 1, 1}, OptabRow{0x05, "TxMode", 1, 2},
                    OptabRow{0x06, "SpExtra", 1, 4}, OptabRow{0x07, "PnSize", 1, 4},
                    OptabRow{0x08, "PnMode", 1, 2}, OptabRow{0x09, "PnPat", 1, 8},
                    OptabRow{0x0A, "FillPat", 1, 8}, OptabRow{0x0B, "OvSize", 1, 4},
                    OptabRow{0x0C, "Origin", 1, 4}, OptabRow{0x0D, "TxSize", 1, 2},
                    OptabRow{0x0E, "FgColor", 1, 4}, OptabRow{0x0F, "BkColor", 1, 4},
                    OptabRow{0x10, "TxRatio", 1, 8}, OptabRow{0x11, "Version", 1, 1},
                    OptabRow{0x12, "BkPixPat", 2, -1004}, OptabRow{0x14, "FillPixPat", 2, -1004},
                    OptabRow{0x15, "PNLocHFrac", 2, 2}, OptabRow{0x16, "ChExtra", 2, 2},
                    OptabRow{0x17, nullptr, 2, 0}, OptabRow{0x19, nullptr, 2, 0},
                    OptabRow{0x1A, "RGBFgCol", 2, 6}, OptabRow{0x1B, "RGBBkCol", 2, 6},
                    OptabRow{0x1C, "HiliteMode", 2, 0}, OptabRow{0x1D, "HiliteColor", 2, 6},
                    OptabRow{0x1E, "DefHilite", 2, 0}, OptabRow{0x1F, "OpColor", 2, 6},
                    OptabRow{0x20, "Line", 1, 8}, OptabRow{0x21, "LineFrom", 1, 4},
                    OptabRow{0x22, "ShortLine", 1, 6}, OptabRow{0x23, "ShortLineFrom", 1, 2},
                    OptabRow{0x24, nullptr, 2, -2}, OptabRow{0x27, nullptr, 2, -2},
                    OptabRow{0x28, "LongText", 1, -41}, OptabRow{0x29, "DHText", 1, -11},
                    OptabRow{0x2A, "DVText", 1, -11}, OptabRow{0x2B, "DHDVText", 1, -21},
                    OptabRow{0x2C, "fontName", 3, -41}, OptabRow{0x2D, "lineJustify", 3, 8},
                    OptabRow{0x2E, nullptr, 2, -2}, OptabRow{0x2F, nullptr, 2, -2},
                    OptabRow{0x30, "frameRect", 1, 8}, OptabRow{0x34, "fillRect", 1, 8},
                    OptabRow{0x35, nullptr, 2, 8}, OptabRow{0x37, nullptr, 2, 8},
                    OptabRow{0x38, "frameSameRect", 1, 0}, OptabRow{0x3C, "fillSameRect", 1, 0},
                    OptabRow{0x3D, nullptr, 2, 0}, OptabRow{0x3F, nullptr, 2, 0},
                    OptabRow{0x40, "frameRRect", 1, 8}, OptabRow{0x44, "fillRRect", 1, 8},
                    OptabRow{0x45, nullptr, 2, 8}, OptabRow{0x47, nullptr, 2, 8},
                    OptabRow{0x48, "frameSameRRect", 1, 0}, OptabRow{0x4C, "fillSameRRect", 1, 0},
                    OptabRow{0x4D, nullptr, 2, 0}, OptabRow{0x4F, nullptr, 2, 0},
                    OptabRow{0x50, "frameOval", 1, 8}, OptabRow{0x54, "fillOval", 1, 8},
                    OptabRow{0x55, nullptr, 2, 8}, OptabRow{0x57, nullptr, 2, 8},
                    OptabRow{0x58, "frameSameOval", 1, 0}, OptabRow{0x5C, "fillSameOval", 1, 0},
                    OptabRow{0x5D, nullptr, 2, 0}, OptabRow{0x5F, nullptr, 2, 0},
                    OptabRow{0x60, "frameArc", 1, 12}, OptabRow{0x64, "fillArc", 1, 12},
                    OptabRow{0x65, nullptr, 2, 12}, OptabRow{0x67, nullptr, 2, 12},
                    OptabRow{0x68, "frameSameArc", 1, 4}, OptabRow{0x6C, "fillSameArc", 1, 4},
                    OptabRow{0x6D, nullptr, 2, 4}, OptabRow{0x6F, nullptr, 2, 4},
                    OptabRow{0x70, "framePoly", 1, -1002}, OptabRow{0x74, "fillPoly", 1, -1002},
                    OptabRow{0x75, nullptr, 2, -1002}, OptabRow{0x77, nullptr, 2, -1002},
                    OptabRow{0x78, "frameSamePoly", 99, 0}, OptabRow{0x7C, "fillSamePoly", 99, 0},
                    OptabRow{0x7D, nullptr, 2, 0}, OptabRow{0x7F, nullptr, 2, 0},
                    OptabRow{0x80, "frameRgn", 1, -1001}, OptabRow{0x84, "fillRgn", 1, -1001},
                    OptabRow{0x85, nullptr, 2, -1001}, OptabRow{0x87, nullptr, 2, -1001},
                    OptabRow{0x88, "frameSameRgn", 99, 0}, OptabRow{0x8C, "fillSameRgn", 99, 0},
                    OptabRow{0x8D, nullptr, 2, 0}, OptabRow{0x8F, nullptr, 2, 0},
                    OptabRow{0x90, "BitsRect", 1, -1003}, OptabRow{0x91, "BitsRgn", 1, -1003},
                    OptabRow{0x92, nullptr, 2, -2}, OptabRow{0x97, nullptr, 2, -2},
                    OptabRow{0x98, "PackBitsRect", 1, -1003},
                    OptabRow{0x99, "PackBitsRgn", 1, -1003},
                    OptabRow{0x9A, "DirectBitsRect", 2, -1003},
                    OptabRow{0x9B, "DirectBitsRgn", 2, -1003}, OptabRow{0x9C, nullptr, 2, -2},
                    OptabRow{0x9F, nullptr, 2, -2}, OptabRow{0xA0, "ShortComment", 1, 2},
                    OptabRow{0xA1, "LongComment", 1, -22}, OptabRow{0xA2, nullptr, 2, -2},
                    OptabRow{0xAF, nullptr, 2, -2}, OptabRow{0xB0, nullptr, 2, 0},
                    OptabRow{0xCF, nullptr, 2, 0}, OptabRow{0xD0, nullptr, 2, -4},
                    OptabRow{0xFE, nullptr, 2, -4}, OptabRow{0xFF, "opEndPic", 1, 2}));

TEST(Optab, HasEveryNameOnceAndNoRowWithoutAVersion) {
  int named = 0;
  for (int op = 0; op < 256; ++op) {
    EXPECT_TRUE(optab[op].minVersion == 1 || optab[op].minVersion == 2 ||
                optab[op].minVersion == 3 || optab[op].minVersion == 99)
        << op;
    if (!optab[op].name) continue;
    ++named;
    for (int other = op + 1; other < 256; ++other) {
      if (optab[other].name) {
        EXPECT_STRNE(optab[op].name, optab[other].name);
      }
    }
  }
  EXPECT_EQ(named, 108);
}

// ---- Writing the prologue -------------------------------------------------------

TEST(PictFraming, PrologueOfA100By50FrameIsExact) {
  TempDir dir;
  const std::string name = dir.path("frame.pict");
  MacSetCreatType(kAppleDoubleMagic);
  MacSetCreator(MacFourCC("KEST"));
  auto pict = PictOpenFileWrite(name, PictRect{0, 0, 50, 100});
  ASSERT_NE(pict, nullptr) << MacGetError();
  EXPECT_EQ(pict->width, 100);
  EXPECT_EQ(pict->height, 50);
  EXPECT_EQ(pict->version, 3);
  EXPECT_EQ(MacGetIOCount(*pict->file) + 512, 566);
  ASSERT_EQ(PictWriteClearBack(*pict), 0);
  ASSERT_EQ(PictCloseFile(pict), 0);
  EXPECT_EQ(pict, nullptr);

  const std::vector<uint8_t> data = readFileBytes(name);
  ASSERT_EQ(data.size(), 566u + 16u + 2u);
  EXPECT_EQ(std::string(data.begin(), data.begin() + 8), std::string("KX_PICT\0", 8));
  EXPECT_EQ(std::vector<uint8_t>(data.begin() + 8, data.begin() + 512),
            std::vector<uint8_t>(504, 0));
  const std::vector<uint8_t> prologue = {
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x32, 0x00, 0x64,              // picSize, frame
      0x00, 0x11, 0x02, 0xFF, 0x0C, 0x00,                                      // version 2, header
      0xFF, 0xFF, 0xFF, 0xFF,                                                  // -1, reserved
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                          // left, top
      0x00, 0x64, 0x00, 0x00, 0x00, 0x32, 0x00, 0x00,                          // right, bottom
      0x00, 0x00, 0x00, 0x00,                                                  // reserved
      0x00, 0x1E,                                                              // DefHilite
      0x00, 0x01, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x32, 0x00, 0x64,  // Clip
      // PictWriteClearBack: FgColor 33, paintRect over the frame.
      0x00, 0x0E, 0x00, 0x00, 0x00, 0x21, 0x00, 0x31, 0x00, 0x00, 0x00, 0x00, 0x00, 0x32, 0x00,
      0x64, 0x00, 0xFF};  // end of picture
  EXPECT_EQ(std::vector<uint8_t>(data.begin() + 512, data.end()), prologue);

  // The AppleDouble header file gives the type and the creator.
  const std::vector<uint8_t> header = readFileBytes(dir.path("%frame.pict"));
  ASSERT_EQ(header.size(), 256u);
  EXPECT_EQ(std::string(header.begin() + 224, header.begin() + 232), "PICTKEST");
}

TEST(PictFraming, WrittenPrologueReadsBack) {
  TempDir dir;
  const std::string name = dir.path("back.pict");
  MacSetCreatType(kAppleDoubleMagic);
  auto out = PictOpenFileWrite(name, PictRect{0, 0, 7, 9});
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(PictCloseFile(out), 0);
  MacClearError();
  auto in = PictOpenFileRead(name);
  ASSERT_NE(in, nullptr) << MacGetError();
  EXPECT_EQ(in->version, 2);
  EXPECT_EQ(in->width, 9);
  EXPECT_EQ(in->height, 7);
  EXPECT_EQ(in->picSize, 0);
  EXPECT_EQ(PictGetNextOpcode(*in), 0x1E);
  EXPECT_EQ(PictGetNextOpcode(*in), 0x01);
  EXPECT_EQ(PictGetNextOpcode(*in), 0xFF);
  EXPECT_EQ(MacError(), 0);
  EXPECT_EQ(PictCloseFile(in), 0);
}

TEST(PictFraming, ClosingNullIsAnError) {
  MacClearError();
  std::unique_ptr<PictFile> none;
  EXPECT_EQ(PictCloseFile(none), -1);
  EXPECT_EQ(MacError(), 14);
  EXPECT_STREQ(MacGetError(), "PictCloseFile: Null pointer!");
}

// ---- Reading the framing --------------------------------------------------------

class PictWalk : public testing::Test {
 protected:
  void SetUp() override { MacClearError(); }
  std::unique_ptr<PictFile> open(const PictBytes& bytes) {
    path_ = dir_.path("walk.pict");
    writePict(path_, bytes);
    return PictOpenFileRead(path_);
  }
  std::vector<int32_t> walk(PictFile& pict) {
    std::vector<int32_t> ops;
    for (int i = 0; i < 100; ++i) {
      const int32_t op = PictGetNextOpcode(pict);
      ops.push_back(op);
      if (op == 0xFF || op == -1) break;
    }
    return ops;
  }
  std::string message(const char* format) const {
    const std::string m = format;
    const size_t hole = m.find("%s");
    return m.substr(0, hole) + path_ + m.substr(hole + 2);
  }
  TempDir dir_;
  std::string path_;
};

TEST_F(PictWalk, Version1ReadsByteOpcodesWithoutPads) {
  PictBytes p = pictVersion1(PictRect{0, 0, 4, 6});
  p.u8(0x04);  // TxFace, 1 byte: no pad follows
  p.u8(0x01);
  p.u8(0xA0);  // ShortComment
  p.u16(0x1234);
  p.u8(0x00);  // NOP
  p.u8(0x03);  // TxFont
  p.u16(1);
  p.u8(0xFF);
  auto pict = open(p);
  ASSERT_NE(pict, nullptr) << MacGetError();
  EXPECT_EQ(pict->version, 1);
  EXPECT_EQ(pict->width, 6);
  EXPECT_EQ(pict->height, 4);
  EXPECT_EQ(walk(*pict), (std::vector<int32_t>{0x04, 0xA0, 0x03, 0xFF}));
  EXPECT_EQ(MacError(), 0);
}

TEST_F(PictWalk, NopsAreDroppedAndOddDataIsFollowedByOnePad) {
  PictBytes p = pictVersion2(PictRect{0, 0, 4, 6});
  p.op(0x0000);
  p.op(0x0000);
  p.op(0x0004);  // TxFace: 1 data byte, then a pad
  p.u8(0x07);
  p.op(0x0000);
  p.op(0x0022);  // ShortLine: 6 bytes
  p.zeros(6);
  p.op(0x00A1);  // LongComment: kind, word count 3, 3 bytes, pad
  p.u16(100);
  p.u16(3);
  p.zeros(3);
  p.end();
  auto pict = open(p);
  ASSERT_NE(pict, nullptr) << MacGetError();
  EXPECT_EQ(walk(*pict), (std::vector<int32_t>{0x04, 0x22, 0xA1, 0xFF}));
  EXPECT_EQ(MacError(), 0);
}

TEST_F(PictWalk, DataConsumedByTheCallerIsPaddedToo) {
  PictBytes p = pictVersion2(PictRect{0, 0, 4, 6});
  p.op(0x0004);
  p.u8(0x07);
  p.op(0x00A0);
  p.u16(5);
  p.end();
  auto pict = open(p);
  ASSERT_NE(pict, nullptr);
  ASSERT_EQ(PictGetNextOpcode(*pict), 0x04);
  uint8_t face;
  ASSERT_TRUE(PictReadU8(*pict->file, face));
  EXPECT_EQ(face, 7);
  pict->currentOpcode = kPictNoOpcode;
  EXPECT_EQ(PictGetNextOpcode(*pict), 0xA0);
  EXPECT_EQ(PictGetNextOpcode(*pict), 0xFF);
}

TEST_F(PictWalk, EndIsStickyAndReadsNothingMore) {
  PictBytes p = pictVersion2(PictRect{0, 0, 4, 6});
  p.end();
  p.u16(0x00A0);  // never read
  auto pict = open(p);
  ASSERT_NE(pict, nullptr);
  EXPECT_EQ(PictGetNextOpcode(*pict), 0xFF);
  const long position = std::ftell(pict->file->stream.get());
  EXPECT_EQ(PictGetNextOpcode(*pict), 0xFF);
  EXPECT_EQ(PictGetNextOpcode(*pict), 0xFF);
  EXPECT_EQ(std::ftell(pict->file->stream.get()), position);
}

TEST_F(PictWalk, ExtendedVersion2TakesItsSizeFromTheSourceRectangle) {
  PictBytes p = pictExtendedVersion2(PictRect{0, 0, 100, 100}, PictRect{10, 20, 15, 27});
  p.op(0x002C);  // fontName is an extended version 2 opcode
  p.u16(0);
  p.u16(0);
  p.u8(0);
  p.end();
  auto pict = open(p);
  ASSERT_NE(pict, nullptr) << MacGetError();
  EXPECT_EQ(pict->version, 3);
  EXPECT_EQ(pict->width, 7);
  EXPECT_EQ(pict->height, 5);
  EXPECT_EQ(walk(*pict), (std::vector<int32_t>{0x2C, 0xFF}));
  EXPECT_EQ(MacError(), 0);
}

TEST_F(PictWalk, Version2TakesItsSizeFromTheFixedPointBox) {
  PictBytes p = pictVersion2(PictRect{-3, -5, 9, 11});
  p.end();
  auto pict = open(p);
  ASSERT_NE(pict, nullptr) << MacGetError();
  EXPECT_EQ(pict->width, 16);
  EXPECT_EQ(pict->height, 12);
}

struct WrongOpcodeCase {
  const char* label;
  int version;  // 1, 2 or 3
  uint32_t opcode;
  std::vector<uint8_t> data;
};

class WrongOpcodeTest : public PictWalk, public testing::WithParamInterface<WrongOpcodeCase> {};

TEST_P(WrongOpcodeTest, IsReturnedWithError13Pending) {
  const WrongOpcodeCase& c = GetParam();
  const PictRect frame{0, 0, 4, 6};
  PictBytes p = c.version == 1   ? pictVersion1(frame)
                : c.version == 2 ? pictVersion2(frame)
                                 : pictExtendedVersion2(frame, frame);
  if (c.version == 1) {
    p.u8(c.opcode);
  } else {
    p.op(c.opcode);
  }
  p.bytes(c.data);
  if (c.version == 1) {
    p.u8(0xFF);
  } else {
    p.end();
  }
  auto pict = open(p);
  ASSERT_NE(pict, nullptr) << MacGetError();
  EXPECT_EQ(PictGetNextOpcode(*pict), static_cast<int32_t>(c.opcode));
  EXPECT_EQ(MacError(), 13);
  EXPECT_EQ(MacGetError(), message("%s: Wrong opcode for this PICT version."));
  // The walk itself goes on.
  EXPECT_EQ(PictGetNextOpcode(*pict), 0xFF);
}

INSTANTIATE_TEST_SUITE_P(
    Opcodes, WrongOpcodeTest,
    testing::Values(WrongOpcodeCase{"fontName_v2", 2, 0x2C, {0, 0, 0, 0, 0}},
                    WrongOpcodeCase{"lineJustify_v2", 2, 0x2D, std::vector<uint8_t>(8, 0)},
                    WrongOpcodeCase{"frameSamePoly_v2", 2, 0x78, {}},
                    WrongOpcodeCase{"fillSamePoly_v3", 3, 0x7C, {}},
                    WrongOpcodeCase{"frameSameRgn_v1", 1, 0x88, {}},
                    WrongOpcodeCase{"fillSameRgn_v3", 3, 0x8C, {}},
                    WrongOpcodeCase{"RGBFgCol_v1", 1, 0x1A, std::vector<uint8_t>(6, 0)}),
    [](const testing::TestParamInfo<WrongOpcodeCase>& info) { return info.param.label; });

TEST_F(PictWalk, UnknownStartsAreRefusedWithError10) {
  const PictRect frame{0, 0, 4, 6};
  // Not 02FF after 0011.
  PictBytes a = pictVersion1(frame);
  a.b.resize(522);
  a.u16(0x0011);
  a.u16(0x0201);
  EXPECT_EQ(open(a), nullptr);
  EXPECT_EQ(MacError(), 10);
  EXPECT_EQ(MacGetError(), message("%s is not a known PICT format!"));

  // No header opcode after the version.
  PictBytes b = pictVersion1(frame);
  b.b.resize(522);
  b.u16(0x0011);
  b.u16(0x02FF);
  b.u16(0x001E);
  MacClearError();
  EXPECT_EQ(open(b), nullptr);
  EXPECT_EQ(MacError(), 10);

  // Neither start at all; nothing at all after the frame.
  PictBytes c = pictVersion1(frame);
  c.b.resize(522);
  c.u16(0x1234);
  MacClearError();
  EXPECT_EQ(open(c), nullptr);
  EXPECT_EQ(MacError(), 10);
  PictBytes d = pictVersion1(frame);
  d.b.resize(522);
  MacClearError();
  EXPECT_EQ(open(d), nullptr);
  EXPECT_EQ(MacError(), 10);

  // A file too short for its frame cannot be read.
  PictBytes e;
  e.zeros(300);
  MacClearError();
  EXPECT_EQ(open(e), nullptr);
  EXPECT_EQ(MacError(), 2);
}

TEST_F(PictWalk, FramesWithoutPixelsOrBeyond16BitsAreRefused) {
  for (PictRect frame : {PictRect{0, 0, 0, 10}, PictRect{0, 0, 10, 0}, PictRect{5, 5, 0, 10},
                         PictRect{0, -30000, 10, 30000}, PictRect{-20000, 0, 20000, 10}}) {
    MacClearError();
    PictBytes p = pictVersion1(frame);
    p.u8(0xFF);
    EXPECT_EQ(open(p), nullptr);
    EXPECT_EQ(MacError(), 11);
    EXPECT_EQ(MacGetError(), message("%s: Bad value encountered."));
  }
}

// Every argument form, walked in one picture.
TEST_F(PictWalk, SkipsEveryArgumentForm) {
  PictBytes p = pictVersion2(PictRect{0, 0, 8, 16});
  std::vector<int32_t> expected;
  auto op = [&](uint32_t code) {
    p.op(code);
    expected.push_back(static_cast<int32_t>(code));
  };
  op(0x0001);  // Clip: a region with a 6-byte body
  p.u16(16);
  p.zeros(14);
  op(0x0070);  // framePoly
  p.u16(12);
  p.zeros(10);
  op(0x0028);  // LongText: 4 fixed bytes, byte count
  p.zeros(4);
  p.u8(3);
  p.bytes({'a', 'b', 'c'});
  op(0x0029);  // DHText: 1 fixed, byte count
  p.u8(1);
  p.u8(2);
  p.bytes({'x', 'y'});
  op(0x002B);  // DHDVText: 2 fixed, byte count
  p.u8(1);
  p.u8(1);
  p.u8(1);
  p.u8('z');
  op(0x00A1);  // LongComment: 2 fixed, word count
  p.u16(1);
  p.u16(5);
  p.zeros(5);
  op(0x0024);  // reserved, word count
  p.u16(3);
  p.zeros(3);
  op(0x00D0);  // reserved, long count
  p.u32(7);
  p.zeros(7);
  op(0x00B3);  // reserved, no data
  op(0x0200);  // 2 × 2 bytes
  p.zeros(4);
  op(0x8000);  // none
  op(0x8100);  // long count
  p.u32(9);
  p.zeros(9);
  op(0x0012);  // BkPixPat, dither pattern
  p.u16(2);
  p.zeros(14);
  op(0x0013);  // PnPixPat, a 4-bit pixel map with two colours, 2 packed rows
  p.u16(1);
  p.zeros(8);
  p.u16(0x8000 | 8);
  p.rect(PictRect{0, 0, 2, 16});
  p.u16(0);
  p.u16(0);
  p.zeros(32);  // rest of the pixel map
  p.zeros(6);   // ctSeed, ctFlags
  p.u16(1);
  p.zeros(16);
  p.u8(2);
  p.bytes({0xF9, 0x11});
  p.u8(2);
  p.bytes({0xF9, 0x22});
  op(0x0014);  // FillPixPat, a one-bit pattern
  p.u16(1);
  p.zeros(8);
  p.u16(2);
  p.rect(PictRect{0, 0, 8, 16});
  p.zeros(16);  // 8 rows of 2 bytes, unpacked
  // Rasters of each kind.
  RasterRecipe bits;
  bits.opcode = 0x90;
  bits.pixmap = false;
  bits.rowBytes = 2;
  bits.bounds = bits.src = bits.dst = PictRect{0, 0, 3, 16};
  bits.rows.assign(3, std::vector<uint8_t>{0xAA, 0x55});
  appendRaster(p, bits);
  expected.push_back(0x90);
  RasterRecipe rgn;
  rgn.opcode = 0x99;
  rgn.rowBytes = 16;
  rgn.bounds = rgn.src = rgn.dst = PictRect{0, 0, 2, 16};
  rgn.colours = greyTable(4);
  rgn.rows = {std::vector<uint8_t>(16, 3), std::vector<uint8_t>(16, 1)};
  appendRaster(p, rgn);
  expected.push_back(0x99);
  RasterRecipe wide = rgn;  // rowBytes above 250: word counts
  wide.opcode = 0x98;
  wide.rowBytes = 300;
  wide.bounds = wide.src = wide.dst = PictRect{0, 0, 2, 300};
  wide.rows = {std::vector<uint8_t>(300, 2), std::vector<uint8_t>(300, 0)};
  appendRaster(p, wide);
  expected.push_back(0x98);
  RasterRecipe three;  // 32-bit, packType 2: three bytes a pixel
  three.opcode = 0x9A;
  three.rowBytes = 12;
  three.packType = 2;
  three.pixelType = 16;
  three.pixelSize = 32;
  three.cmpCount = 3;
  three.bounds = three.src = three.dst = PictRect{0, 0, 2, 3};
  three.rows.assign(2, std::vector<uint8_t>(9, 0x40));
  appendRaster(p, three);
  expected.push_back(0x9A);
  RasterRecipe planes = three;  // packType 4 with a mask region
  planes.opcode = 0x9B;
  planes.packType = 4;
  planes.rows.assign(2, std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0});
  appendRaster(p, planes);
  expected.push_back(0x9B);
  RasterRecipe sixteen;  // 16-bit pixels packed in units
  sixteen.opcode = 0x9A;
  sixteen.rowBytes = 10;
  sixteen.packType = 3;
  sixteen.pixelType = 16;
  sixteen.pixelSize = 16;
  sixteen.cmpCount = 3;
  sixteen.cmpSize = 5;
  sixteen.bounds = sixteen.src = sixteen.dst = PictRect{0, 0, 1, 5};
  sixteen.rows = {{0x7F, 0xFF, 0x7F, 0xFF, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03}};
  appendRaster(p, sixteen);
  expected.push_back(0x9A);
  op(0x00A0);
  p.u16(0);
  p.end();
  expected.push_back(0xFF);

  auto pict = open(p);
  ASSERT_NE(pict, nullptr) << MacGetError();
  EXPECT_EQ(walk(*pict), expected);
  EXPECT_EQ(MacError(), 0) << MacGetError();
}

TEST_F(PictWalk, TruncatedDataFailsWithAReadError) {
  PictBytes p = pictVersion2(PictRect{0, 0, 4, 6});
  p.op(0x00A1);
  p.u16(1);
  p.u16(100);  // 100 bytes announced, 2 present, then the end of the file
  p.zeros(2);
  auto pict = open(p);
  ASSERT_NE(pict, nullptr);
  EXPECT_EQ(PictGetNextOpcode(*pict), 0xA1);
  EXPECT_EQ(PictGetNextOpcode(*pict), -1);
  EXPECT_EQ(MacError(), 2);
  EXPECT_EQ(MacGetError(), message("Can't read file %s"));
}

TEST_F(PictWalk, ImpossibleSizesAreBadValues) {
  // A region whose size word is smaller than itself.
  PictBytes a = pictVersion2(PictRect{0, 0, 4, 6});
  a.op(0x0001);
  a.u16(1);
  a.end();
  auto pict = open(a);
  ASSERT_NE(pict, nullptr);
  EXPECT_EQ(PictGetNextOpcode(*pict), 0x01);
  EXPECT_EQ(PictGetNextOpcode(*pict), -1);
  EXPECT_EQ(MacError(), 11);
  // A long count beyond any file.
  PictBytes b = pictVersion2(PictRect{0, 0, 4, 6});
  b.op(0x8100);
  b.u32(0xFFFFFFF0);
  b.end();
  pict = open(b);
  ASSERT_NE(pict, nullptr);
  MacClearError();
  EXPECT_EQ(PictGetNextOpcode(*pict), 0x8100);
  EXPECT_EQ(PictGetNextOpcode(*pict), -1);
  EXPECT_EQ(MacError(), 11);
  EXPECT_EQ(MacGetError(), message("%s: Bad value encountered."));
}

}  // namespace
}  // namespace kx
