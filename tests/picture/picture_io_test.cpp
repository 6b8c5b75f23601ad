// Whole pictures: round trips against the reference, small files, refusals.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <string>

#include "picture/picture_test_util.h"
#include "picture/sample.h"
#include "support/tempdir.h"

namespace kx::test {
namespace {

// The picture as the library writes it: geometry, channels present and samples.
Bytes written(Picture& pic) {
  Bytes b;
  EXPECT_TRUE(QZ_pictureWriteMemory(pic, nullptr, 2, b));
  return b;
}

// The scanline bytes the reference writes for pic under packets.
Bytes referenceScanlines(const Picture& pic, const ChannelPacketList& packets) {
  Bytes b;
  for (int y = 0; y < pic.height; ++y) {
    for (const ChannelPacket& p : packets) {
      std::vector<Pixel> row(static_cast<size_t>(pic.width));
      int n = 0;
      for (int c = 0; c < 4; ++c) {
        if (!(p.mask & (0x80 >> c))) continue;
        for (int x = 0; x < pic.width; ++x) row[x][n] = pic.channel[c][y * pic.width + x];
        ++n;
      }
      b = b + encode(true, p.type & 0x0F, row, n);
    }
  }
  return b;
}

TEST(WholePicture, RoundTripsMatchTheReference) {
  Rng rng(1);
  for (int compression : {0, 1, 2}) {
    for (int width : {1, 2, 127, 128, 129, 255, 256, 300}) {
      const bool alpha = width % 2;
      const unsigned channels = alpha ? 0xF : 0x7;
      PicturePtr pic = randomPicture(rng, width, 5, channels, (width * 7) % 101);
      SCOPED_TRACE(testing::Message() << "compression " << compression << " width " << width);
      TempDir dir;
      ASSERT_EQ(QZ_pictureWriteFile(dir.path("rt"), *pic, nullptr, compression), 1);
      PicturePtr back = QZ_pictureReadFile(dir.path("rt.pic"));
      ASSERT_TRUE(back);
      EXPECT_EQ(written(*pic), written(*back));
      const Bytes bytes = readFileBytes(dir.path("rt.pic"));
      const size_t header = alpha ? 112 : 108;
      ASSERT_GE(bytes.size(), header);
      EXPECT_EQ(Bytes(bytes.begin() + header, bytes.end()),
                referenceScanlines(*pic, QZ_defaultPackets(*pic, compression)));
    }
  }
  // A list of the caller's is used as it is.
  PicturePtr pic = randomPicture(rng, 40, 6, 0xF, 50);
  const ChannelPacketList packets{{8, 1, 0x90}, {8, 0, 0x40}, {8, 2, 0x20}};
  Bytes bytes;
  ASSERT_TRUE(QZ_pictureWriteMemory(*pic, &packets, 0, bytes));
  EXPECT_EQ(Bytes(bytes.begin() + 116, bytes.end()), referenceScanlines(*pic, packets));
  PicturePtr back = QZ_pictureReadMemory(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(written(*pic), written(*back));
}

TEST(WholePicture, TwoEqualPixelsMakeA112ByteFile) {
  Rng rng(2);
  PicturePtr pic = randomPicture(rng, 2, 1, 0x7, 100);
  TempDir dir;
  ASSERT_EQ(QZ_pictureWriteFile(dir.path("two"), *pic, nullptr, 0), 1);
  const Bytes file = readFileBytes(dir.path("two.pic"));
  ASSERT_EQ(file.size(), 112u);
  EXPECT_EQ(Bytes(file.begin() + 104, file.end()), (Bytes{0, 8, 2, 0xE0, 0x81, pic->channel[0][1],
                                                          pic->channel[1][1], pic->channel[2][1]}));
}

Bytes handMadeFile(int16_t width, int16_t height, ChannelPacketList packets, const Bytes& lines) {
  Picture shape;
  shape.width = width;
  shape.height = height;
  PictureOutStream out;
  QZ_pictureWriteStreamHeader(out, shape, packets, 0);
  return Bytes(out.bytes().begin(), out.bytes().end()) + lines;
}

Bytes plane(const PicturePtr& pic, int c, size_t count) {
  return Bytes(pic->channel[c].get(), pic->channel[c].get() + count);
}

TEST(WholePicture, ReadsTheChannelsNamedAndDamagedFiles) {
  PicturePtr rg =
      QZ_pictureReadMemory(handMadeFile(2, 1, {{8, 2, 0x80}, {8, 0, 0x40}}, {0x81, 7, 8, 9}));
  ASSERT_TRUE(rg);
  EXPECT_EQ(plane(rg, 0, 2), (Bytes{7, 7}));
  EXPECT_EQ(plane(rg, 1, 2), (Bytes{8, 9}));
  EXPECT_EQ(rg->channel[2], nullptr);
  EXPECT_EQ(rg->channel[3], nullptr);
  // Truncated: the rest is one run of 255 per scanline. Abandoned: zeros stay.
  PicturePtr cut = QZ_pictureReadMemory(handMadeFile(3, 2, {{8, 1, 0x80}}, {0x01, 0x42}));
  ASSERT_TRUE(cut);
  EXPECT_EQ(plane(cut, 0, 6), (Bytes{0x42, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  PicturePtr gone = QZ_pictureReadMemory(handMadeFile(3, 2, {{8, 2, 0x80}}, {0x83, 0x42}));
  ASSERT_TRUE(gone);
  EXPECT_EQ(plane(gone, 0, 6), Bytes(6, 0));
}

TEST(Refusals, NegativeSizeAndChannelNamedTwiceOnReading) {
  EXPECT_EQ(QZ_pictureReadMemory(handMadeFile(-1, 2, {{8, 2, 0xE0}}, {})), nullptr);
  EXPECT_EQ(QZ_pictureReadMemory(handMadeFile(2, -5, {{8, 2, 0xE0}}, {})), nullptr);
  EXPECT_EQ(QZ_pictureReadMemory(handMadeFile(2, 2, {{8, 2, 0xE0}, {8, 2, 0x20}}, {})), nullptr);
  EXPECT_EQ(QZ_pictureReadMemory(handMadeFile(2, 2, {{8, 2, 0x80}, {8, 3, 0x90}}, {})), nullptr);
}

TEST(Refusals, WritingRefusesPacketsThatDoNotFitTheRecord) {
  TempDir dir;
  Rng rng(5);
  PicturePtr pic = randomPicture(rng, 4, 4, 0x7, 0);
  const ChannelPacketList twice{{8, 2, 0xC0}, {8, 2, 0x40}};
  errno = 0;
  EXPECT_EQ(QZ_pictureWriteFile(dir.path("twice"), *pic, &twice, 0), 0);
  EXPECT_EQ(errno, EINVAL);
  pic->channel[2].reset();  // red and green only: the default packet names blue
  errno = 0;
  EXPECT_EQ(QZ_pictureWriteFile(dir.path("rg"), *pic, nullptr, 0), 0);
  EXPECT_EQ(errno, EINVAL);
  pic->width = -4;
  EXPECT_EQ(QZ_pictureWriteFile(dir.path("neg"), *pic, nullptr, 0), 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(Refusals, LongNamesAndNonPictureFiles) {
  Rng rng(6);
  PicturePtr pic = randomPicture(rng, 4, 4, 0x7, 0);
  TempDir dir;
  const std::string tooLong = dir.path(std::string(300, 'x'));
  errno = 0;
  EXPECT_EQ(QZ_pictureWriteFile(tooLong, *pic, nullptr, 0), 0);
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_EQ(QZ_pictureReadFile(tooLong), nullptr);
  writeFileBytes(dir.path("short.pic"), {0x53, 0x80, 0xF6, 0x34});
  EXPECT_EQ(QZ_pictureReadFile(dir.path("short")), nullptr);
  std::string path = dir.path();  // far beyond a fixed name buffer of 256 bytes
  for (int i = 0; i < 6; ++i) path += "/" + std::string(60, static_cast<char>('a' + i));
  std::filesystem::create_directories(path);
  ASSERT_EQ(QZ_pictureWriteFile(path + "/deep", *pic, nullptr, 0), 1);
  PicturePtr back = QZ_pictureReadFile(path + "/deep");
  ASSERT_TRUE(back);
  EXPECT_EQ(written(*pic), written(*back));
}

TEST(Refusals, FailedWriteLeavesNoPartialFile) {
  TempDir dir;
  const std::string name = dir.path("limited");
  auto child = [&] {  // a file size limit makes the writes of a real file fail part way
    std::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    Rng rng(9);
    PicturePtr pic = randomPicture(rng, 300, 300, 0x7, 0);
    errno = 0;
    const bool failed = QZ_pictureWriteFile(name, *pic, nullptr, 0) == 0 && errno == EFBIG;
    std::exit(failed && !std::filesystem::exists(name + ".pic") ? 0 : 1);
  };
  EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
}

TEST(Refusals, BuffersLargerThanMemoryAllowsAreRefused) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer reserves more address space than the limit";
#endif
  const Bytes file = handMadeFile(30000, 30000, {{8, 2, 0xE0}}, {});
  auto child = [&] {
    const struct rlimit limit = {size_t{1} << 29, size_t{1} << 29};
    setrlimit(RLIMIT_AS, &limit);
    std::exit(QZ_pictureReadMemory(file) == nullptr ? 0 : 1);
  };
  EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
}

TEST(Kxsample, WritesReadsBackAndNamesFailures) {
  TempDir dir;
  RunResult r = runProgram("kxsample", {"sample"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "sample.pic: 320x240 RGB picture written and read back identical\n");
  PicturePtr back = QZ_pictureReadFile(dir.path("sample"));
  ASSERT_TRUE(back);
  EXPECT_EQ(written(*makeSamplePicture(320, 240)), written(*back));
  r = runProgram("kxsample", {"missing/sample"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kxsample: cannot write missing/sample.pic: No such file or directory\n");
  r = runProgram("kxsample", {"x", "0", "5"}, dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "kxsample: width and height must be whole numbers from 1 to 32767\n");
}

}  // namespace
}  // namespace kx::test
