// Picture files: the header's exact bytes, magic range, version warning and
// cut files; whole pictures: golden files, small and damaged files, FIFOs,
// refusals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "common/bytes.h"
#include "picture/picture_test_util.h"
#include "picture/sample.h"
#include "support/tempdir.h"

namespace kx::test {
namespace {

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

TEST(HeaderRead, MagicRangeEdgesAndLaterVersionsWarned) {
  for (uint32_t magic : {0x5380F633u, 0x5380F634u, 0x5380F645u, 0x5380F646u}) {
    const bool accepted = magic == 0x5380F634u || magic == 0x5380F645u;
    EXPECT_EQ(QZ_pictureReadMemory(fileHeader(magic, 2.7f)) != nullptr, accepted)
        << std::hex << magic;
  }
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

// The picture as the library writes it: geometry, channels present and samples.
Bytes written(Picture& pic) {
  Bytes b;
  EXPECT_TRUE(QZ_pictureWriteMemory(pic, nullptr, 2, b));
  return b;
}

// The file name.pic is read and holds pic.
testing::AssertionResult readsBackAs(const std::string& name, Picture& pic) {
  PicturePtr back = QZ_pictureReadFile(name);
  if (!back) return testing::AssertionFailure() << name << ".pic is not read";
  if (written(*back) != written(pic)) return testing::AssertionFailure() << name << ".pic differs";
  return testing::AssertionSuccess();
}

// 300 wide, RGBA: rows of no runs, short runs, long runs and one run of 300
// (past the 255 of pure and the 128 of mixed run-length).
PicturePtr goldenPicture() {
  PicturePtr pic = randomPicture(1, 300, 4, 0xF, 0);
  std::mt19937_64 rng(2);
  for (int y = 1; y < 4; ++y) {
    const auto row = randomRow(rng, 300, y == 3 ? 100 : y * 45);
    for (int c = 0; c < 4; ++c)
      for (int x = 0; x < 300; ++x) pic->channel[c][y * 300 + x] = row[x][c];
  }
  return pic;
}

// The files in tests/data/picture were written by the coders when they agreed
// byte for byte with a byte-at-a-time reference; KX_REGENERATE=1 rewrites them.
TEST(Golden, WritingGivesAndReadingTakesTheCheckedInFiles) {
  const ChannelPacketList own{{8, 1, 0x90}, {8, 0, 0x40}, {8, 2, 0x20}};
  for (int k = 0; k < 4; ++k) {
    const std::string path =
        std::string(KX_SOURCE_DIR) + "/tests/data/picture/golden-" + "0123"[k] + ".pic";
    PicturePtr pic = goldenPicture();
    Bytes bytes;
    ASSERT_TRUE(QZ_pictureWriteMemory(*pic, k == 3 ? &own : nullptr, k % 3, bytes));
    if (std::getenv("KX_REGENERATE")) writeFileBytes(path, bytes);
    EXPECT_TRUE(bytes == readFileBytes(path)) << path;
    EXPECT_TRUE(readsBackAs(path.substr(0, path.size() - 4), *pic));
  }
}

// A file written in several blocks, read through a FIFO, which delivers it in
// pieces: the read window is refilled while scanlines straddle its end.
TEST(Golden, ReadingFromAFifoGivesThePictureOfTheFile) {
  TempDir dir;
  PicturePtr pic = randomPicture(3, 1000, 400, 0x7, 50);  // over the 1 MiB the writer holds
  ASSERT_EQ(QZ_pictureWriteFile(dir.path("file"), *pic, nullptr, 0), 1);
  const Bytes bytes = readFileBytes(dir.path("file.pic"));
  ASSERT_EQ(mkfifo(dir.path("fifo.pic").c_str(), 0600), 0);
  std::thread writer([&] {  // (a thread: the process may hold a pool that fork would not copy)
    const int fd = ::open(dir.path("fifo.pic").c_str(), O_WRONLY);
    for (size_t i = 0; fd >= 0 && i < bytes.size(); i += 999)
      if (::write(fd, bytes.data() + i, std::min<size_t>(999, bytes.size() - i)) < 0) break;
    if (fd >= 0) ::close(fd);
  });
  EXPECT_TRUE(readsBackAs(dir.path("fifo"), *pic));
  writer.join();
  // Bytes after the last scanline (here more scanlines) are never read as rows.
  ASSERT_EQ(QZ_pictureWriteFile(dir.path("raw"), *pic, nullptr, 2), 1);
  writeFileBytes(dir.path("raw.pic"), readFileBytes(dir.path("raw.pic")) + Bytes(600000, 0x5A));
  EXPECT_TRUE(readsBackAs(dir.path("raw"), *pic));
}

Bytes handMadeFile(int16_t width, int16_t height, ChannelPacketList packets, const Bytes& lines) {
  return headerOf(Picture{.width = width, .height = height, .channel = {}}, packets) + lines;
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
  // Zero wide: the header alone, with every compression, and read back so.
  for (int compression : {0, 1, 2}) {
    PicturePtr empty = randomPicture(4, 0, 3, 0x7, 0);
    TempDir dir;
    ASSERT_EQ(QZ_pictureWriteFile(dir.path("e"), *empty, nullptr, compression), 1);
    EXPECT_EQ(readFileBytes(dir.path("e.pic")).size(), 108u) << compression;
    EXPECT_TRUE(readsBackAs(dir.path("e"), *empty)) << compression;
  }
}

TEST(Refusals, NegativeSizeOnReading) {
  EXPECT_EQ(QZ_pictureReadMemory(handMadeFile(-1, 2, {{8, 2, 0xE0}}, {})), nullptr);
  EXPECT_EQ(QZ_pictureReadMemory(handMadeFile(2, -5, {{8, 2, 0xE0}}, {})), nullptr);
}

TEST(Refusals, WritingRefusesPacketsThatDoNotFitTheRecord) {
  TempDir dir;
  PicturePtr pic = randomPicture(5, 4, 4, 0x7, 0);
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
  PicturePtr pic = randomPicture(6, 4, 4, 0x7, 0);
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
  EXPECT_TRUE(readsBackAs(path + "/deep", *pic));
}

TEST(Kxsample, WritesReadsBackAndNamesFailures) {
  TempDir dir;
  RunResult r = runProgram("kxsample", {"sample"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "sample.pic: 320x240 RGB picture written and read back identical\n");
  EXPECT_TRUE(readsBackAs(dir.path("sample"), *makeSamplePicture(320, 240)));
  r = runProgram("kxsample", {"missing/sample"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kxsample: cannot write missing/sample.pic: No such file or directory\n");
  r = runProgram("kxsample", {"x", "0", "5"}, dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "kxsample: width and height must be whole numbers from 1 to 32767\n");
}

}  // namespace
}  // namespace kx::test
