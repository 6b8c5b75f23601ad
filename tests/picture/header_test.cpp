// Picture file header: exact bytes, magic range, version warning, packet
// list, file names, record and list disposal.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/bytes.h"
#include "picture/picture_test_util.h"
#include "support/tempdir.h"

namespace kx::test {
namespace {

Bytes headerOf(const Picture& pic, ChannelPacketList packets = {}, int compression = 0) {
  PictureOutStream out;
  QZ_pictureWriteStreamHeader(out, pic, packets, compression);
  return Bytes(out.bytes().begin(), out.bytes().end());
}

Picture rgbPicture(int16_t width, int16_t height) {
  Picture pic;
  pic.width = width;
  pic.height = height;
  for (int c = 0; c < 3; ++c) pic.channel[c] = std::make_unique<uint8_t[]>(1);
  return pic;
}

TEST(Header, RgbHeaderIsExactly108Bytes) {
  Picture pic = rgbPicture(0x0140, 0x00F0);
  pic.ratio = 1.0f;
  pic.fields = -2;
  Bytes expected{0x53, 0x80, 0xF6, 0x34, 0x40, 0x2C, 0xCC, 0xCD};
  const std::string comment = "No comment...";
  expected.insert(expected.end(), comment.begin(), comment.end());
  expected.resize(88, 0);
  expected = expected + Bytes{'P',  'I',  'C',  'T',  0x01, 0x40, 0x00, 0xF0, 0x3F, 0x80,
                              0x00, 0x00, 0xFF, 0xFE, 0x00, 0x00, 0x00, 0x08, 0x02, 0xE0};
  EXPECT_EQ(headerOf(pic), expected);
}

TEST(Header, AlphaAddsASecondPacketOf4Bytes) {
  Picture pic = rgbPicture(2, 2);
  pic.channel[3] = std::make_unique<uint8_t[]>(1);
  const Bytes h = headerOf(pic, {}, 1);
  ASSERT_EQ(h.size(), 112u);
  EXPECT_EQ(Bytes(h.begin() + 104, h.end()), (Bytes{1, 8, 1, 0xE0, 0, 8, 1, 0x10}));
}

TEST(Header, CompressionSelectsThePacketType) {
  Picture pic = rgbPicture(1, 1);
  EXPECT_EQ(headerOf(pic, {}, 0)[106], 2);
  EXPECT_EQ(headerOf(pic, {}, 1)[106], 1);
  EXPECT_EQ(headerOf(pic, {}, 2)[106], 0);
  EXPECT_EQ(headerOf(pic, {}, -7)[106], 0);
  // A list of the caller's is written as it is, whatever the compression.
  const Bytes h = headerOf(pic, {{8, 0x12, 0x90}}, 1);
  EXPECT_EQ(Bytes(h.begin() + 104, h.end()), (Bytes{0, 8, 0x12, 0x90}));
}

TEST(Header, CommentFieldHoldsAtMost80CharactersWithoutTerminator) {
  PictureOutStream out;
  const std::string longText(100, 'x');
  QZ_headerWriteBinary(out, longText.c_str());
  ASSERT_EQ(out.bytes().size(), 88u);
  EXPECT_EQ(std::string(out.bytes().begin() + 8, out.bytes().end()), std::string(80, 'x'));
}

Bytes fileHeader(uint32_t magic, float version) {
  Picture pic = rgbPicture(3, 2);
  Bytes h = headerOf(pic);
  storeBE32(h.data(), magic);
  storeBE32(h.data() + 4, bitsFromFloat(version));
  return h;
}

TEST(HeaderRead, MagicRangeEdges) {
  struct Case {
    uint32_t magic;
    bool accepted;
  } cases[] = {{0x5380F633, false}, {0x5380F634, true},  {0x5380F640, true}, {0x5380F645, true},
               {0x5380F646, false}, {0x00000000, false}, {0xFFFFFFFF, false}};
  for (const Case& c : cases) {
    Bytes h = fileHeader(c.magic, 2.7f);
    PictureInStream in(h);
    EXPECT_EQ(QZ_headerReadBinary(in, nullptr, nullptr), c.accepted ? kPictIdentifier : 0u)
        << std::hex << c.magic;
    EXPECT_EQ(QZ_pictureReadMemory(h) != nullptr, c.accepted) << std::hex << c.magic;
  }
}

TEST(HeaderRead, ReturnsTheIdentifierAndFillsVersionAndComment) {
  Bytes h = fileHeader(kPictureMagic, 2.1f);
  std::memcpy(h.data() + 8, "hello\0junk", 10);
  h[88] = 'Q';
  PictureInStream in(h);
  float version = 0;
  char comment[80];
  std::memset(comment, 'z', sizeof comment);
  EXPECT_EQ(QZ_headerReadBinary(in, &version, comment), 0x51494354u);
  EXPECT_EQ(version, 2.1f);
  EXPECT_EQ(std::string(comment, 80), "hello" + std::string(75, '\0'));
  EXPECT_EQ(QZ_pictureReadMemory(h), nullptr);  // not "PICT"
}

std::string warningsFor(float version) {
  Bytes h = fileHeader(kPictureMagic, version);
  testing::internal::CaptureStderr();
  PicturePtr pic = QZ_pictureReadMemory(h);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(pic) << version;
  return err;
}

TEST(HeaderRead, VersionWarning) {
  EXPECT_EQ(warningsFor(2.8f),
            "Warning, file version 2.8 is later than Qzar release version 2.7\n"
            "Attempt to read: An error may occur...\n");
  for (float v : {2.0f, 2.1f, 2.6f, 2.7f}) EXPECT_EQ(warningsFor(v), "") << v;
}

TEST(HeaderRead, VersionTableAndConstants) {
  EXPECT_EQ(QZ_VERSION, 3);
  EXPECT_EQ(QZ_RELEASE_NUMBER, 2.7f);
  EXPECT_EQ(bitsFromFloat(QZ_versionTable[QZ_VERSION]), 0x402CCCCDu);
  EXPECT_EQ(QZ_versionTable[0], 2.0f);
  EXPECT_EQ(QZ_versionTable[1], 2.1f);
  EXPECT_EQ(QZ_versionTable[2], 2.6f);
}

TEST(HeaderRead, FieldsAndPacketList) {
  Picture pic = rgbPicture(-3, 7);
  pic.ratio = 0.5f;
  pic.fields = 9;
  Bytes h = headerOf(pic, {{8, 2, 0x90}, {4, 0x31, 0x4F}});
  PictureInStream in(h);
  Picture back;
  ChannelPacketList packets;
  ASSERT_TRUE(QZ_pictureReadStreamHeader(in, back, packets));
  EXPECT_EQ(back.width, -3);
  EXPECT_EQ(back.height, 7);
  EXPECT_EQ(back.ratio, 0.5f);
  EXPECT_EQ(back.fields, 9);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].mask, 0x90);
  EXPECT_EQ(packets[1].size, 4);
  EXPECT_EQ(packets[1].type, 0x31);
  EXPECT_EQ(packets[1].mask, 0x4F);
  EXPECT_EQ(in.position(), h.size());
}

TEST(HeaderRead, FileEndingInsideThePacketListIsRefused) {
  Picture pic = rgbPicture(3, 2);
  const Bytes h = headerOf(pic, {{8, 2, 0x80}, {8, 2, 0x40}});
  for (size_t cut = 0; cut < h.size(); ++cut) {
    Bytes part(h.begin(), h.begin() + cut);
    PictureInStream in(part);
    Picture back;
    ChannelPacketList packets;
    EXPECT_FALSE(QZ_pictureReadStreamHeader(in, back, packets)) << cut;
    EXPECT_TRUE(packets.empty());
    EXPECT_EQ(QZ_pictureReadMemory(part), nullptr) << cut;
  }
}

TEST(FileName, PicIsAppendedUnlessTheNameEndsInIt) {
  EXPECT_EQ(QZ_pictureFileName("face"), "face.pic");
  EXPECT_EQ(QZ_pictureFileName("a.pic"), "a.pic");
  EXPECT_EQ(QZ_pictureFileName(".pic"), ".pic.pic");
  EXPECT_EQ(QZ_pictureFileName("x.PIC"), "x.PIC.pic");
  EXPECT_EQ(QZ_pictureFileName(""), ".pic");
  const std::string longName(5000, 'n');
  EXPECT_EQ(QZ_pictureFileName(longName), longName + ".pic");
}

TEST(FileName, HeaderOperationsUseTheRule) {
  TempDir dir;
  Picture pic = rgbPicture(1, 1);
  ChannelPacketList packets;
  auto out = QZ_pictureWriteFileHeader(dir.path("face"), pic, &packets, 0);
  ASSERT_TRUE(out);
  EXPECT_EQ(packets.size(), 1u);  // the default list stays the caller's
  ASSERT_TRUE(out->finish());
  EXPECT_EQ(readFileBytes(dir.path("face.pic")).size(), 108u);
  Picture back;
  ChannelPacketList read;
  auto in = QZ_pictureReadFileHeader(dir.path("face"), back, &read);
  ASSERT_TRUE(in);
  EXPECT_EQ(in->position(), 108u);
  EXPECT_EQ(read.size(), 1u);
  EXPECT_EQ(QZ_pictureReadFileHeader(dir.path("missing"), back, &read), nullptr);
}

TEST(Records, AllocateGivesDefaultsAndDisposeAcceptsNull) {
  PicturePtr pic = QZ_pictureAllocate();
  ASSERT_TRUE(pic);
  EXPECT_EQ(pic->width, 0);
  EXPECT_EQ(pic->height, 0);
  EXPECT_EQ(pic->ratio, 1.0f);
  EXPECT_EQ(pic->fields, 0);
  for (int c = 0; c < 4; ++c) {
    EXPECT_EQ(pic->channel[c], nullptr);
    EXPECT_EQ(pic->cursor[c], nullptr);
  }
  EXPECT_EQ(QZ_pictureDispose(&pic), 1);
  EXPECT_EQ(pic, nullptr);
  EXPECT_EQ(QZ_pictureDispose(&pic), 1);
  EXPECT_EQ(QZ_pictureDispose(nullptr), 1);
  ChannelPacketList list{{8, 2, 0xE0}};
  QZ_channelPacketDispose(&list);
  EXPECT_TRUE(list.empty());
  QZ_channelPacketDispose(nullptr);
}

}  // namespace
}  // namespace kx::test
