// PICT framing and the opcode walker: the exact prologue we write, the versions
// we recognise, pad bytes, NOPs, the end opcode, argument forms and refusals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pict/pict_builder.h"
#include "pict/pict_pvt.h"
#include "support/tempdir.h"

namespace kx {
namespace {

TEST(PictFraming, PrologueOfA100By50FrameIsExact) {
  TempDir dir;
  const std::string name = dir.path("frame.pict");
  MacSetCreatType(kAppleDoubleMagic);
  MacSetCreator(MacFourCC("KEST"));
  auto pict = PictOpenFileWrite(name, PictRect{0, 0, 50, 100});
  ASSERT_NE(pict, nullptr) << MacGetError();
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
  const std::vector<uint8_t> header = readFileBytes(dir.path("%frame.pict"));
  ASSERT_EQ(header.size(), 256u);
  EXPECT_EQ(std::string(header.begin() + 224, header.begin() + 232), "PICTKEST");
}

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
      ops.push_back(PictGetNextOpcode(pict));
      if (ops.back() == 0xFF || ops.back() == -1) break;
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
  PictBytes p = pictStart(PictRect{0, 0, 4, 6}, 1);
  p.bytes({0x04, 0x01, 0xA0, 0x12, 0x34, 0x00, 0x03, 0x00, 0x01, 0xFF});  // TxFace, ShortComment,
  auto pict = open(p);                                                    // NOP, TxFont, end
  ASSERT_NE(pict, nullptr) << MacGetError();
  EXPECT_EQ(pict->version, 1);
  EXPECT_EQ(pict->width, 6);
  EXPECT_EQ(pict->height, 4);
  EXPECT_EQ(walk(*pict), (std::vector<int32_t>{0x04, 0xA0, 0x03, 0xFF}));
  EXPECT_EQ(MacError(), 0);
}

TEST_F(PictWalk, NopsAreDroppedAndOddDataIsFollowedByOnePad) {
  PictBytes p = pictStart(PictRect{0, 0, 4, 6});
  p.op(0x0000);
  p.op(0x0004);  // TxFace: 1 data byte, then a pad
  p.u8(0x07);
  p.op(0x0000);
  p.op(0x00A1);  // LongComment: kind, word count 3, 3 bytes, pad
  p.u16(100), p.u16(3), p.zeros(3);
  p.op(0x0004);  // read by the caller, still padded
  p.u8(0x07);
  p.end();
  p.u16(0x00A0);  // never read
  auto pict = open(p);
  ASSERT_NE(pict, nullptr) << MacGetError();
  for (int32_t op : {0x04, 0xA1, 0x04}) EXPECT_EQ(PictGetNextOpcode(*pict), op);
  uint8_t face;
  ASSERT_TRUE(PictReadU8(*pict->file, face));
  EXPECT_EQ(face, 7);
  pict->currentOpcode = kPictNoOpcode;
  EXPECT_EQ(PictGetNextOpcode(*pict), 0xFF);
  // The end is sticky and reads nothing more.
  const long position = std::ftell(pict->file->stream.get());
  EXPECT_EQ(PictGetNextOpcode(*pict), 0xFF);
  EXPECT_EQ(std::ftell(pict->file->stream.get()), position);
  EXPECT_EQ(MacError(), 0);
}

TEST_F(PictWalk, ExtendedVersion2TakesItsSizeFromTheSourceRectangle) {
  PictBytes p = pictStart(PictRect{0, 0, 100, 100}, 3, PictRect{10, 20, 15, 27});
  p.op(0x002C);  // fontName is an extended version 2 opcode
  p.zeros(5);
  p.end();
  auto pict = open(p);
  ASSERT_NE(pict, nullptr) << MacGetError();
  EXPECT_EQ(pict->version, 3);
  EXPECT_EQ(pict->width, 7);
  EXPECT_EQ(pict->height, 5);
  EXPECT_EQ(walk(*pict), (std::vector<int32_t>{0x2C, 0xFF}));
  EXPECT_EQ(MacError(), 0);
}

TEST_F(PictWalk, WrongOpcodeForTheVersionIsReturnedWithError13) {
  struct Case {
    int version;
    uint32_t opcode;
    size_t data;
  };
  for (const Case& c : {Case{2, 0x2C, 5}, Case{3, 0x7C, 0}, Case{1, 0x1A, 6}}) {
    const PictRect frame{0, 0, 4, 6};
    PictBytes p = pictStart(frame, c.version, frame);
    c.version == 1 ? p.u8(c.opcode) : p.op(c.opcode);
    p.zeros(c.data);
    c.version == 1 ? p.u8(0xFF) : p.end();
    MacClearError();
    auto pict = open(p);
    ASSERT_NE(pict, nullptr) << MacGetError();
    EXPECT_EQ(PictGetNextOpcode(*pict), static_cast<int32_t>(c.opcode));
    EXPECT_EQ(MacError(), 13);
    EXPECT_EQ(MacGetError(), message("%s: Wrong opcode for this PICT version."));
    EXPECT_EQ(PictGetNextOpcode(*pict), 0xFF);  // the walk goes on
  }
}

TEST_F(PictWalk, UnknownStartsShortFilesAndEmptyFramesAreRefused) {
  for (std::vector<uint8_t> start : {std::vector<uint8_t>{0x00, 0x11, 0x02, 0x01},  // not 02FF
                                     std::vector<uint8_t>{0x00, 0x11, 0x02, 0xFF, 0x00, 0x1E}}) {
    PictBytes p = pictStart(PictRect{0, 0, 4, 6}, 1);
    p.b.resize(522);
    p.bytes(start);
    MacClearError();
    EXPECT_EQ(open(p), nullptr);
    EXPECT_EQ(MacError(), 10);
    EXPECT_EQ(MacGetError(), message("%s is not a known PICT format!"));
  }
  PictBytes shortFile;
  shortFile.zeros(300);
  MacClearError();
  EXPECT_EQ(open(shortFile), nullptr);
  EXPECT_EQ(MacError(), 2);
  PictBytes empty = pictStart(PictRect{5, 5, 0, 10}, 1);
  empty.u8(0xFF);
  MacClearError();
  EXPECT_EQ(open(empty), nullptr);
  EXPECT_EQ(MacError(), 11);
  EXPECT_EQ(MacGetError(), message("%s: Bad value encountered."));
}

TEST_F(PictWalk, SkipsEveryArgumentForm) {
  PictBytes p = pictStart(PictRect{0, 0, 8, 16});
  std::vector<int32_t> expected;
  auto op = [&](uint32_t code, std::vector<uint8_t> data) {
    p.op(code);
    p.bytes(data);
    expected.push_back(static_cast<int32_t>(code));
  };
  op(0x0001, {0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});  // Clip: a region
  op(0x0028, {0, 0, 0, 0, 3, 'a', 'b', 'c'});         // LongText: 4 fixed, byte count
  op(0x0029, {1, 2, 'x', 'y'});                       // DHText: 1 fixed, byte count
  op(0x00A1, {0, 1, 0, 5, 0, 0, 0, 0, 0});            // LongComment: 2 fixed, word count
  op(0x0024, {0, 3, 0, 0, 0});                        // reserved, word count
  op(0x00D0, {0, 0, 0, 3, 0, 0, 0});                  // reserved, long count
  op(0x00B3, {});                                     // reserved, no data
  op(0x0200, {0, 0, 0, 0});                           // 2 × 2 bytes
  op(0x8000, {});
  op(0x8100, {0, 0, 0, 1, 0});  // long count
  op(0x0012, {0, 2});           // BkPixPat, dither pattern
  p.zeros(14);
  op(0x0013, {0, 1});  // PnPixPat, a 4-bit pixel map with two colours, 2 packed rows
  p.zeros(8), p.u16(0x8000 | 8), p.rect(PictRect{0, 0, 2, 16}), p.zeros(42), p.u16(1);
  p.zeros(16);
  p.bytes({2, 0xF9, 0x11, 2, 0xF9, 0x22});
  op(0x0014, {0, 1});  // FillPixPat, a one-bit pattern, 8 unpacked rows
  p.zeros(8), p.u16(2), p.rect(PictRect{0, 0, 8, 16}), p.zeros(16);
  RasterRecipe rgn = indexedRaster(16, 2, 8, greyTable(4));  // with a mask region
  rgn.opcode = 0x99;
  rgn.rows = {std::vector<uint8_t>(16, 3), std::vector<uint8_t>(16, 1)};
  RasterRecipe three = directRaster(3, 2, 32, 2, 3);  // three bytes a pixel
  three.rows.assign(2, std::vector<uint8_t>(9, 0x40));
  for (const RasterRecipe& r : {rgn, three}) {
    appendRaster(p, r);
    expected.push_back(r.opcode);
  }
  p.end();
  expected.push_back(0xFF);
  auto pict = open(p);
  ASSERT_NE(pict, nullptr) << MacGetError();
  EXPECT_EQ(walk(*pict), expected);
  EXPECT_EQ(MacError(), 0) << MacGetError();
}

TEST_F(PictWalk, TruncatedDataAndImpossibleSizesFail) {
  PictBytes p = pictStart(PictRect{0, 0, 4, 6});
  p.op(0x00A1);
  p.u16(1), p.u16(100), p.zeros(2);  // 100 bytes announced, 2 present
  auto pict = open(p);
  ASSERT_NE(pict, nullptr);
  EXPECT_EQ(PictGetNextOpcode(*pict), 0xA1);
  EXPECT_EQ(PictGetNextOpcode(*pict), -1);
  EXPECT_EQ(MacError(), 2);
  EXPECT_EQ(MacGetError(), message("Can't read file %s"));

  PictBytes q = pictStart(PictRect{0, 0, 4, 6});
  q.op(0x8100);
  q.u32(0xFFFFFFF0);  // a count no file can hold
  q.end();
  pict = open(q);
  ASSERT_NE(pict, nullptr);
  EXPECT_EQ(PictGetNextOpcode(*pict), 0x8100);
  EXPECT_EQ(PictGetNextOpcode(*pict), -1);
  EXPECT_EQ(MacError(), 11);
  EXPECT_EQ(MacGetError(), message("%s: Bad value encountered."));
}

TEST_F(PictWalk, RegionsAndPolygonsOfSizeBelowTwoSkipNothing) {
  // Clip, paintPoly, frameRgn and their unnamed kin, with size words 0 and 1.
  for (uint32_t opcode : {0x0001u, 0x0071u, 0x0080u, 0x0075u}) {
    for (uint32_t size : {0u, 1u}) {
      PictBytes p = pictStart(PictRect{0, 0, 4, 6});
      p.op(opcode);
      p.u16(size);
      p.op(0x0003);  // TxFont right after the size word
      p.u16(7);
      p.end();
      MacClearError();
      auto pict = open(p);
      ASSERT_NE(pict, nullptr) << MacGetError();
      EXPECT_EQ(walk(*pict), (std::vector<int32_t>{static_cast<int32_t>(opcode), 0x03, 0xFF}))
          << opcode << " " << size;
      EXPECT_EQ(MacError(), 0);
    }
  }
}

TEST_F(PictWalk, NopsBeforeTheVersionAreBounded) {
  // A few are dropped as everywhere; a file of nothing but zeros (such as a
  // link to /dev/zero) is refused instead of walked forever.
  for (int nops : {3, kPictMaxLeadingNops, kPictMaxLeadingNops + 1}) {
    PictBytes p;
    p.zeros(522 + 2 * static_cast<size_t>(nops));
    p.b[519] = 4, p.b[521] = 6;  // frame 0, 0, 4, 6
    p.u16(0x0011), p.u16(0x02FF), p.u16(0x0C00), p.u32(0xFFFFFFFF);
    for (int v : {0, 0, 6, 4}) p.u32(static_cast<uint32_t>(v) << 16);
    p.u32(0);
    p.u16(0x00FF);
    MacClearError();
    auto pict = open(p);
    if (nops <= kPictMaxLeadingNops) {
      ASSERT_NE(pict, nullptr) << nops << " " << MacGetError();
      EXPECT_EQ(walk(*pict), std::vector<int32_t>{0xFF});
    } else {
      EXPECT_EQ(pict, nullptr);
      EXPECT_EQ(MacGetError(), message("%s is not a known PICT format!"));
    }
  }
}

}  // namespace
}  // namespace kx
