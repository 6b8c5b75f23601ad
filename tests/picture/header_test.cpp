// Picture file header: exact bytes, magic range, version warning, cut files.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "common/bytes.h"
#include "picture/picture_test_util.h"

namespace kx::test {
namespace {

// The header and packet list of an RGB picture of the size given.
Bytes rgbHeader(int width, int height, ChannelPacketList packets = {}) {
  return headerOf(*randomPicture(0, width, height, 0x7, 0), packets);
}

TEST(Header, WrittenBytesAndACommentCutTo80Characters) {
  PicturePtr pic = randomPicture(0, 0x0140, 0x00F0, 0x7, 0);
  pic->ratio = 1.0f;
  pic->fields = -2;
  const std::string comment = "No comment...";
  const Bytes expected = Bytes{0x53, 0x80, 0xF6, 0x34, 0x40, 0x2C, 0xCC, 0xCD} +
                         Bytes(comment.begin(), comment.end()) + Bytes(67, 0) +
                         Bytes{'P',  'I',  'C',  'T',  0x01, 0x40, 0x00, 0xF0, 0x3F, 0x80,
                               0x00, 0x00, 0xFF, 0xFE, 0x00, 0x00, 0x00, 0x08, 0x02, 0xE0};
  EXPECT_EQ(headerOf(*pic), expected);  // the golden files hold headers with alpha
  // The comment field holds at most 80 characters, without a terminator.
  PictureOutStream out;
  QZ_headerWriteBinary(out, std::string(100, 'x').c_str());
  EXPECT_EQ(Bytes(out.bytes().begin(), out.bytes().end()),
            Bytes(expected.begin(), expected.begin() + 8) + Bytes(80, 'x'));
}

Bytes fileHeader(uint32_t magic, float version) {
  Bytes h = rgbHeader(3, 2);
  storeBE32(h.data(), magic);
  storeBE32(h.data() + 4, bitsFromFloat(version));
  return h;
}

TEST(HeaderRead, MagicRangeEdges) {
  for (uint32_t magic : {0x5380F633u, 0x5380F634u, 0x5380F645u, 0x5380F646u}) {
    const bool accepted = magic == 0x5380F634u || magic == 0x5380F645u;
    EXPECT_EQ(QZ_pictureReadMemory(fileHeader(magic, 2.7f)) != nullptr, accepted)
        << std::hex << magic;
  }
}

TEST(HeaderRead, VersionWarning) {
  for (float v : {2.0f, 2.7f, 2.8f}) {
    testing::internal::CaptureStderr();
    EXPECT_TRUE(QZ_pictureReadMemory(fileHeader(kPictureMagic, v))) << v;
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              v > 2.7f ? "Warning, file version 2.8 is later than Qzar release version 2.7\n"
                         "Attempt to read: An error may occur...\n"
                       : "");
  }
}

TEST(HeaderRead, FileEndingInTheHeaderIsRefused) {
  const Bytes h = rgbHeader(3, 0, {{8, 2, 0x80}, {8, 2, 0x40}});
  EXPECT_TRUE(QZ_pictureReadMemory(h));
  for (size_t cut = 0; cut < h.size(); ++cut)
    EXPECT_EQ(QZ_pictureReadMemory(Bytes(h.begin(), h.begin() + cut)), nullptr) << cut;
}

// The bytes 300-pixel RGB scanlines take at least and at most, by packet type.
TEST(HeaderRead, ExtentOfTheScanlinesByPacketType) {
  const std::array<std::array<uint64_t, 3>, 3> cases = {
      {{0, 900, 900}, {1, 2 * 4, 1200}, {2, 3 + 3, 1200}}};
  for (const auto& [type, least, most] : cases) {
    const Bytes h = rgbHeader(300, 2, {{8, static_cast<uint8_t>(type), 0xE0}});
    PictureFileExtent extent;
    ASSERT_TRUE(QZ_pictureFileExtent(h, &extent)) << type;
    EXPECT_EQ(extent.least, h.size() + 2 * least) << type;
    EXPECT_EQ(extent.most, h.size() + 2 * most) << type;
  }
}

}  // namespace
}  // namespace kx::test
