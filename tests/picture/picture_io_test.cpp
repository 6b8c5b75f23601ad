// Whole pictures: round trips through every coding, exact small files,
// reading what the packets name, the whole reader and writer against the
// reference, and the refusals (bad geometry, channels named twice or
// missing, files that cannot be written).
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>

#include "picture/picture_test_util.h"
#include "picture/sample.h"
#include "support/tempdir.h"

namespace kx::test {
namespace {

void expectSamePicture(const Picture& a, const Picture& b, unsigned channels) {
  ASSERT_EQ(a.width, b.width);
  ASSERT_EQ(a.height, b.height);
  EXPECT_EQ(a.ratio, b.ratio);
  EXPECT_EQ(a.fields, b.fields);
  const size_t plane = static_cast<size_t>(a.width) * static_cast<size_t>(a.height);
  for (int c = 0; c < 4; ++c) {
    const bool want = channels & (1u << c);
    ASSERT_EQ(b.channel[c] != nullptr, want) << "channel " << c;
    if (want) {
      ASSERT_EQ(std::memcmp(a.channel[c].get(), b.channel[c].get(), plane), 0) << "channel " << c;
    }
  }
}

// ---- Round trips -----------------------------------------------------------

class RoundTrip : public testing::TestWithParam<std::tuple<int, bool, int>> {};

TEST_P(RoundTrip, FileReadsBackIdentical) {
  const auto [compression, alpha, width] = GetParam();
  Rng rng(static_cast<uint64_t>(width * 10 + compression + (alpha ? 5 : 0)));
  const unsigned channels = alpha ? 0xF : 0x7;
  for (int repeat : {0, 40, 90}) {
    PicturePtr pic = randomPicture(rng, width, 5, channels, repeat);
    TempDir dir;
    ASSERT_EQ(QZ_pictureWriteFile(dir.path("rt"), *pic, nullptr, compression), 1);
    // The cursors of the written channels stand after the last scanline.
    const size_t plane = static_cast<size_t>(width) * 5;
    for (int c = 0; c < 4; ++c) {
      if (pic->channel[c]) {
        EXPECT_EQ(pic->cursor[c], pic->channel[c].get() + plane);
      }
    }
    PicturePtr back = QZ_pictureReadFile(dir.path("rt.pic"));
    ASSERT_TRUE(back);
    expectSamePicture(*pic, *back, channels);
    for (int c = 0; c < 4; ++c) {
      if (back->channel[c]) {
        EXPECT_EQ(back->cursor[c], back->channel[c].get() + plane);
      }
    }
    // The same bytes as the reference writer, through memory too.
    Bytes bytes;
    ASSERT_TRUE(QZ_pictureWriteMemory(*pic, nullptr, compression, bytes));
    std::vector<ref::Packet> packets{
        {8, static_cast<uint8_t>(QZ_defaultPackets(*pic, compression)[0].type), 0xE0}};
    if (alpha) packets.push_back({8, packets[0].type, 0x10});
    EXPECT_EQ(bytes, ref::writeFile(toImage(*pic), packets));
    EXPECT_EQ(readFileBytes(dir.path("rt.pic")), bytes);
  }
}

std::string roundTripName(const testing::TestParamInfo<std::tuple<int, bool, int>>& info) {
  static const char* const kCoding[] = {"Mixed", "Pure", "Uncompressed"};
  return std::string(kCoding[std::get<0>(info.param)]) +
         (std::get<1>(info.param) ? "Alpha" : "Rgb") + "_" +
         std::to_string(std::get<2>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Codings, RoundTrip,
                         testing::Combine(testing::Values(0, 1, 2), testing::Bool(),
                                          testing::Values(1, 2, 127, 128, 129, 255, 256, 300)),
                         roundTripName);

TEST(WholePicture, CallersPacketListIsUsedAsItIs) {
  Rng rng(3);
  PicturePtr pic = randomPicture(rng, 40, 6, 0xF, 50);
  const ChannelPacketList packets{{8, 1, 0x90}, {8, 0, 0x40}, {8, 2, 0x20}};
  Bytes bytes;
  ASSERT_TRUE(QZ_pictureWriteMemory(*pic, &packets, 0, bytes));
  EXPECT_EQ(bytes, ref::writeFile(toImage(*pic), {{8, 1, 0x90}, {8, 0, 0x40}, {8, 2, 0x20}}));
  PicturePtr back = QZ_pictureReadMemory(bytes);
  ASSERT_TRUE(back);
  expectSamePicture(*pic, *back, 0xF);
}

// ---- Exact small files ------------------------------------------------------------

TEST(WholePicture, TwoEqualPixelsMakeA112ByteFile) {
  Picture pic;
  pic.width = 2;
  pic.height = 1;
  const uint8_t rgb[3] = {0x12, 0x34, 0x56};
  for (int c = 0; c < 3; ++c) {
    pic.channel[c] = std::make_unique<uint8_t[]>(2);
    pic.channel[c][0] = pic.channel[c][1] = rgb[c];
  }
  TempDir dir;
  ASSERT_EQ(QZ_pictureWriteFile(dir.path("two"), pic, nullptr, 0), 1);
  const Bytes file = readFileBytes(dir.path("two.pic"));
  ASSERT_EQ(file.size(), 112u);
  EXPECT_EQ(Bytes(file.begin() + 104, file.end()), (Bytes{0, 8, 2, 0xE0, 0x81, 0x12, 0x34, 0x56}));
}

Bytes handMadeFile(int16_t width, int16_t height, const ChannelPacketList& packets,
                   const Bytes& scanlines) {
  Picture shape;
  shape.width = width;
  shape.height = height;
  PictureOutStream out;
  ChannelPacketList list = packets;
  QZ_pictureWriteStreamHeader(out, shape, list, 0);
  return Bytes(out.bytes().begin(), out.bytes().end()) + scanlines;
}

TEST(WholePicture, BuffersForExactlyTheChannelsNamed) {
  PicturePtr four = QZ_pictureReadMemory(handMadeFile(1, 1, {{8, 0, 0xF0}}, {1, 2, 3, 4}));
  ASSERT_TRUE(four);
  for (int c = 0; c < 4; ++c) {
    ASSERT_TRUE(four->channel[c]);
    EXPECT_EQ(four->channel[c][0], c + 1);
  }
  PicturePtr rg =
      QZ_pictureReadMemory(handMadeFile(2, 1, {{8, 2, 0x80}, {8, 0, 0x40}}, {0x81, 7, 8, 9}));
  ASSERT_TRUE(rg);
  EXPECT_EQ(rg->channel[0][1], 7);
  EXPECT_EQ(rg->channel[1][0], 8);
  EXPECT_EQ(rg->channel[1][1], 9);
  EXPECT_EQ(rg->channel[2], nullptr);
  EXPECT_EQ(rg->channel[3], nullptr);
}

TEST(WholePicture, HeightZeroReadsNoScanline) {
  PicturePtr pic = QZ_pictureReadMemory(handMadeFile(5, 0, {{8, 2, 0xE0}}, {}));
  ASSERT_TRUE(pic);
  EXPECT_EQ(pic->width, 5);
  EXPECT_EQ(pic->height, 0);
  EXPECT_TRUE(pic->channel[0]);
}

TEST(WholePicture, TruncatedFileReadsThe255s) {
  // Width 3, pure run-length: one run of 1, then the file ends: the rest of
  // the picture is one run of 255 per scanline.
  PicturePtr pic = QZ_pictureReadMemory(handMadeFile(3, 2, {{8, 1, 0x80}}, {0x01, 0x42}));
  ASSERT_TRUE(pic);
  EXPECT_EQ(Bytes(pic->channel[0].get(), pic->channel[0].get() + 6),
            (Bytes{0x42, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(WholePicture, AbandonedFileLeavesUnreachedSamplesAtZero) {
  // A repeat longer than the scanline ends the decoding; nothing else is read.
  PicturePtr pic = QZ_pictureReadMemory(handMadeFile(3, 2, {{8, 2, 0x80}}, {0x83, 0x42}));
  ASSERT_TRUE(pic);
  EXPECT_EQ(Bytes(pic->channel[0].get(), pic->channel[0].get() + 6), Bytes(6, 0));
}

// ---- Whole reader and writer against the reference -------------------------------------

TEST(WholePicture, ReaderMatchesReferenceOnDamagedFiles) {
  Rng rng(99);
  for (int round = 0; round < 200; ++round) {
    const int width = 1 + rng.below(70), height = rng.below(6);
    ChannelPacketList packets;
    std::vector<ref::Packet> refPackets;
    unsigned channels = 0;
    for (int c = 0; c < 4; ++c) {
      if (rng.below(3) == 0 && !packets.empty()) {
        packets.back().mask |= kChannelBits[c];
      } else if (rng.below(4) != 0) {
        packets.push_back({8, static_cast<uint8_t>(rng.below(4)), kChannelBits[c]});
      } else {
        continue;
      }
      channels |= 1u << c;
    }
    if (packets.empty()) continue;
    for (const auto& p : packets) refPackets.push_back({p.size, p.type, p.mask});
    PicturePtr pic = randomPicture(rng, width, height, channels, rng.below(101));
    Bytes bytes;
    ASSERT_TRUE(QZ_pictureWriteMemory(*pic, &packets, 0, bytes));
    ASSERT_EQ(bytes, ref::writeFile(toImage(*pic), refPackets)) << round;
    // Damage it: cut it, or change a few bytes of the scanlines.
    if (round % 2) {
      bytes.resize(static_cast<size_t>(rng.below(static_cast<int>(bytes.size()) + 1)));
    } else if (bytes.size() > 110) {
      for (int i = 0; i < 4; ++i)
        bytes[104 + rng.below(static_cast<int>(bytes.size()) - 104)] =
            static_cast<uint8_t>(rng.next());
    }
    ref::Image expected;
    const bool readable = ref::readFile(bytes, expected);
    PicturePtr back = QZ_pictureReadMemory(bytes);
    ASSERT_EQ(back != nullptr, readable) << round;
    if (!back) continue;
    const ref::Image got = toImage(*back);
    EXPECT_EQ(got.width, expected.width);
    EXPECT_EQ(got.height, expected.height);
    EXPECT_EQ(got.has, expected.has) << round;
    EXPECT_EQ(got.channel, expected.channel) << round;
  }
}

// ---- Refusals instead of overruns ---------------------------------------------------------

TEST(Refusals, NegativeGeometryIsRefusedOnReading) {
  EXPECT_EQ(QZ_pictureReadMemory(handMadeFile(-1, 2, {{8, 2, 0xE0}}, {})), nullptr);
  EXPECT_EQ(QZ_pictureReadMemory(handMadeFile(2, -5, {{8, 2, 0xE0}}, {})), nullptr);
  EXPECT_EQ(QZ_pictureReadMemory(handMadeFile(-32768, -32768, {{8, 2, 0xE0}}, {})), nullptr);
}

TEST(Refusals, ChannelNamedTwiceIsRefusedOnReading) {
  EXPECT_EQ(QZ_pictureReadMemory(handMadeFile(2, 2, {{8, 2, 0xE0}, {8, 2, 0x20}}, {})), nullptr);
  EXPECT_EQ(QZ_pictureReadMemory(handMadeFile(2, 2, {{8, 2, 0x80}, {8, 3, 0x90}}, {})), nullptr);
}

TEST(Refusals, WritingRefusesPacketsThatDoNotFitTheRecord) {
  TempDir dir;
  Rng rng(5);
  PicturePtr rg = randomPicture(rng, 4, 4, 0x3, 0);  // red and green only
  errno = 0;
  EXPECT_EQ(QZ_pictureWriteFile(dir.path("rg"), *rg, nullptr, 0), 0);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(std::filesystem::exists(dir.path("rg.pic")));
  Bytes bytes;
  EXPECT_FALSE(QZ_pictureWriteMemory(*rg, nullptr, 0, bytes));

  PicturePtr rgb = randomPicture(rng, 4, 4, 0x7, 0);
  const ChannelPacketList twice{{8, 2, 0xC0}, {8, 2, 0x40}};
  EXPECT_EQ(QZ_pictureWriteFile(dir.path("twice"), *rgb, &twice, 0), 0);
  EXPECT_EQ(errno, EINVAL);
  const ChannelPacketList alpha{{8, 2, 0x10}};
  EXPECT_EQ(QZ_pictureWriteFile(dir.path("alpha"), *rgb, &alpha, 0), 0);
  rgb->width = -4;
  EXPECT_EQ(QZ_pictureWriteFile(dir.path("neg"), *rgb, nullptr, 0), 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  ChannelPacketList none;
  EXPECT_EQ(QZ_pictureWriteFileHeader(dir.path("neg"), *rgb, &none, 0), nullptr);
}

TEST(Refusals, FileThatCannotBeCreatedIsReported) {
  Rng rng(6);
  PicturePtr pic = randomPicture(rng, 4, 4, 0x7, 0);
  errno = 0;
  EXPECT_EQ(QZ_pictureWriteFile("/nonexistent-dir/pic", *pic, nullptr, 0), 0);
  EXPECT_EQ(errno, ENOENT);
  TempDir dir;
  const std::string tooLong = dir.path(std::string(300, 'x'));
  EXPECT_EQ(QZ_pictureWriteFile(tooLong, *pic, nullptr, 0), 0);
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_EQ(QZ_pictureReadFile(tooLong), nullptr);
}

TEST(Refusals, DiskFullIsReported) {
  Rng rng(8);
  PicturePtr pic = randomPicture(rng, 600, 600, 0x7, 0);
  errno = 0;
  EXPECT_EQ(QZ_pictureWritePath("/dev/full", *pic, nullptr, 0), 0);
  EXPECT_EQ(errno, ENOSPC);
}

// Run in a child process: exits 0 when writing under a file size limit
// fails with EFBIG and leaves no file.
[[noreturn]] void writeUnderFileSizeLimit(const std::string& name) {
  std::signal(SIGXFSZ, SIG_IGN);
  const struct rlimit limit = {4096, 4096};
  setrlimit(RLIMIT_FSIZE, &limit);
  Rng rng(9);
  PicturePtr pic = randomPicture(rng, 300, 300, 0x7, 0);
  errno = 0;
  const int result = QZ_pictureWriteFile(name, *pic, nullptr, 0);
  const int error = errno;
  const bool gone = !std::filesystem::exists(name + ".pic");
  std::exit(result == 0 && error == EFBIG && gone ? 0 : 1);
}

TEST(Refusals, FailedWriteLeavesNoPartialFile) {
  // A file size limit makes the writes of a real file fail part way.
  TempDir dir;
  EXPECT_EXIT(writeUnderFileSizeLimit(dir.path("limited")), testing::ExitedWithCode(0), "");
}

TEST(Refusals, LongPathsWork) {
  // Far beyond the 256 bytes that a fixed name buffer would hold.
  TempDir dir;
  std::string path = dir.path();
  for (int i = 0; i < 6; ++i) {
    path += "/" + std::string(60, static_cast<char>('a' + i));
    std::filesystem::create_directory(path);
  }
  Rng rng(10);
  PicturePtr pic = randomPicture(rng, 9, 3, 0x7, 30);
  ASSERT_GT(path.size(), 256u);
  ASSERT_EQ(QZ_pictureWriteFile(path + "/deep", *pic, nullptr, 0), 1);
  PicturePtr back = QZ_pictureReadFile(path + "/deep");
  ASSERT_TRUE(back);
  expectSamePicture(*pic, *back, 0x7);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Run in a child process: exits 0 when reading the file under an address
// space limit of 512 MB gives null.
[[noreturn]] void readUnderMemoryLimit(const Bytes& file) {
  const struct rlimit limit = {size_t{1} << 29, size_t{1} << 29};
  setrlimit(RLIMIT_AS, &limit);
  std::exit(QZ_pictureReadMemory(file) == nullptr ? 0 : 1);
}

TEST(Refusals, BuffersLargerThanMemoryAllowsAreRefused) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer reserves more address space than the limit";
  // 30000 × 30000 × 3 bytes that the memory limit cannot hold: the allocation
  // fails and the reader says so instead of ending the process.
  const Bytes file = handMadeFile(30000, 30000, {{8, 2, 0xE0}}, {});
  EXPECT_EXIT(readUnderMemoryLimit(file), testing::ExitedWithCode(0), "");
}

TEST(Refusals, MissingFileAndNonPictureFiles) {
  TempDir dir;
  EXPECT_EQ(QZ_pictureReadFile(dir.path("nothing")), nullptr);
  writeFileBytes(dir.path("short.pic"), {0x53, 0x80, 0xF6, 0x34});
  EXPECT_EQ(QZ_pictureReadFile(dir.path("short")), nullptr);
  EXPECT_EQ(QZ_pictureReadFile(dir.path()), nullptr);  // a directory: dir.pic does not exist
  std::filesystem::create_directory(dir.path("d.pic"));
  EXPECT_EQ(QZ_pictureReadFile(dir.path("d.pic")), nullptr);
}

// ---- kxsample ---------------------------------------------------------------------------------

TEST(Kxsample, WritesAndReadsBackTheSample) {
  TempDir dir;
  RunResult r = runProgram("kxsample", {"sample"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "sample.pic: 320x240 RGB picture written and read back identical\n");
  PicturePtr back = QZ_pictureReadFile(dir.path("sample"));
  ASSERT_TRUE(back);
  PicturePtr sample = makeSamplePicture(320, 240);
  expectSamePicture(*sample, *back, 0x7);

  r = runProgram("kxsample", {"small.pic", "7", "5"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(dir.path("small.pic")));
}

TEST(Kxsample, FailuresAreNamed) {
  TempDir dir;
  RunResult r = runProgram("kxsample", {"missing/sample"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kxsample: cannot write missing/sample.pic: No such file or directory\n");
  r = runProgram("kxsample", {"x", "0", "5"}, dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "kxsample: width and height must be whole numbers from 1 to 32767\n");
  r = runProgram("kxsample", {}, dir.path());
  EXPECT_EQ(r.status, 2);
}

}  // namespace
}  // namespace kx::test
