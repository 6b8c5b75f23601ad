#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "macfile/macfile.h"
#include "support/tempdir.h"

namespace kx {
namespace {

using Bytes = std::vector<uint8_t>;

std::unique_ptr<MacFile> openPlain(const TempDir& dir, const Bytes& content) {
  writeFileBytes(dir.path("data"), content);
  uint32_t type = 0;
  auto f = MacOpenFile(dir.path("data"), "r", &type);
  EXPECT_NE(f, nullptr) << MacGetError();
  MacClearError();
  return f;
}

std::unique_ptr<MacFile> createPlain(const TempDir& dir) {
  MacSetCreatType(kMacPlainKind);
  auto f = MacOpenFile(dir.path("out"), "w", nullptr);
  EXPECT_NE(f, nullptr) << MacGetError();
  MacClearError();
  return f;
}

TEST(MacReadNumbers, AreBigEndianAndUnsigned) {
  TempDir dir;
  auto f = openPlain(dir, {0xFF, 0xFE, 0xFF, 0x80, 0x00, 0x00, 0x01, 0x12, 0x34, 0x56, 0x78});
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(MacReadShort(*f), 65534);
  EXPECT_EQ(MacGetIOCount(*f), 2);
  EXPECT_EQ(MacReadByte(*f), 255);
  EXPECT_EQ(MacGetIOCount(*f), 3);
  EXPECT_EQ(MacReadLong(*f), 0x80000001u);
  EXPECT_EQ(MacGetIOCount(*f), 7);
  uint8_t block[4];
  EXPECT_EQ(MacReadNumbers(*f, block, 4), 0);  // kept as in the file
  EXPECT_EQ(Bytes(block, block + 4), (Bytes{0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ(MacGetIOCount(*f), 11);
  EXPECT_EQ(MacError(), 0);
  EXPECT_EQ(MacCloseFile(f), 0);
}

struct ShortRead {
  const char* what;
  int size;  // bytes the number read asks for; the file holds one byte less
};

void PrintTo(const ShortRead& r, std::ostream* os) {
  *os << r.what;
}

class MacReadAtEnd : public testing::TestWithParam<ShortRead> {};

TEST_P(MacReadAtEnd, SetsError2AndStillCountsTheSize) {
  TempDir dir;
  const int size = GetParam().size;
  auto f = openPlain(dir, Bytes(static_cast<size_t>(size - 1), 0x55));
  ASSERT_NE(f, nullptr);
  if (size == 4) MacReadLong(*f);
  if (size == 2) MacReadShort(*f);
  if (size == 1) MacReadByte(*f);
  EXPECT_EQ(MacError(), kMacReadError);
  EXPECT_EQ(std::string(MacGetError()), "Can't read file " + dir.path("data"));
  EXPECT_EQ(MacGetIOCount(*f), size);
  MacClearError();
  EXPECT_EQ(MacCloseFile(f), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, MacReadAtEnd,
                         testing::Values(ShortRead{"Long", 4}, ShortRead{"Short", 2},
                                         ShortRead{"Byte", 1}),
                         [](const auto& i) { return std::string(i.param.what); });

TEST(MacReadBlock, ShortBlockFailsWithoutCounting) {
  TempDir dir;
  auto f = openPlain(dir, Bytes(10, 1));
  ASSERT_NE(f, nullptr);
  uint8_t buf[16];
  EXPECT_EQ(MacRead(*f, buf, 4), 0);
  EXPECT_EQ(MacRead(*f, buf, 16), -1);
  EXPECT_EQ(MacError(), kMacReadError);
  EXPECT_EQ(MacGetIOCount(*f), 4);
  MacClearError();
  EXPECT_EQ(MacCloseFile(f), 0);
}

TEST(MacSkip, MovesForwardAndCountsButIgnoresZeroAndNegative) {
  TempDir dir;
  auto f = openPlain(dir, {0, 1, 2, 3, 4, 5, 6, 7});
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(MacSkip(*f, 3), 0);
  EXPECT_EQ(MacGetIOCount(*f), 3);
  EXPECT_EQ(MacSkip(*f, -3), 0);
  EXPECT_EQ(MacSkip(*f, 0), 0);
  EXPECT_EQ(MacGetIOCount(*f), 3);
  EXPECT_EQ(MacError(), 0);
  EXPECT_EQ(MacReadByte(*f), 3);  // not moved back
  EXPECT_EQ(MacSkipTo(*f, 512), 0);
  EXPECT_EQ(MacGetIOCount(*f), 0);
  EXPECT_EQ(MacSkipTo(*f, 6), 0);
  EXPECT_EQ(MacReadByte(*f), 6);
  MacResetIOCount(*f);
  EXPECT_EQ(MacGetIOCount(*f), 0);
  EXPECT_EQ(MacCloseFile(f), 0);
}

TEST(MacSkip, FailedSeekIsError2WhenReadingAnd3WhenWriting) {
  TempDir dir;
  auto r = openPlain(dir, {1, 2, 3});
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(MacSkipTo(*r, -1), -1);
  EXPECT_EQ(MacError(), kMacReadError);
  auto w = createPlain(dir);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(MacWriteByte(*w, 1), 0);
  EXPECT_EQ(MacSkipTo(*w, -5), -1);
  EXPECT_EQ(MacError(), kMacWriteError);
  EXPECT_EQ(MacGetIOCount(*w), 1);
  MacClearError();
  EXPECT_EQ(MacCloseFile(r), 0);
  EXPECT_EQ(MacCloseFile(w), 0);
}

TEST(MacSkipTo, AppleSingleDataStartsAtByte282) {
  TempDir dir;
  MacSetCreatType(kAppleSingleMagic);
  uint32_t type = MacFourCC("PICT");
  auto w = MacOpenFile(dir.path("s"), "w", &type);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(ftello(w->stream.get()), 282);
  ASSERT_EQ(MacWrite(*w, "abcdef", 6), 0);
  ASSERT_EQ(MacCloseFile(w), 0);
  type = 0;
  auto r = MacOpenFile(dir.path("s"), "r", &type);
  ASSERT_NE(r, nullptr) << MacGetError();
  EXPECT_EQ(r->dataStart, 282u);
  EXPECT_EQ(MacSkip(*r, 4), 0);
  EXPECT_EQ(MacSkipTo(*r, 0), 0);
  EXPECT_EQ(ftello(r->stream.get()), 282);
  EXPECT_EQ(MacReadByte(*r), 'a');
  EXPECT_EQ(MacSkipTo(*r, 5), 0);
  EXPECT_EQ(MacReadByte(*r), 'f');
  EXPECT_EQ(MacCloseFile(r), 0);
}

TEST(MacWriteNumbers, AreBigEndianLowBitsAndCounted) {
  TempDir dir;
  auto f = createPlain(dir);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(MacWriteShort(*f, 0x12345), 0);
  EXPECT_EQ(MacWriteLong(*f, 1), 0);
  EXPECT_EQ(MacWriteByte(*f, 0x1FF), 0);
  EXPECT_EQ(MacWriteLong(*f, 0xDEADBEEF), 0);
  const uint8_t block[3] = {9, 8, 7};
  EXPECT_EQ(MacWriteNumbers(*f, block, 3), 0);
  EXPECT_EQ(MacWrite(*f, block, 0), 0);
  EXPECT_EQ(MacGetIOCount(*f), 2 + 4 + 1 + 4 + 3);
  ASSERT_EQ(MacCloseFile(f), 0);
  EXPECT_EQ(readFileBytes(dir.path("out")),
            (Bytes{0x23, 0x45, 0, 0, 0, 1, 0xFF, 0xDE, 0xAD, 0xBE, 0xEF, 9, 8, 7}));
}

TEST(MacWriteNumbers, SeekBeyondTheEndLeavesZeroBytes) {
  TempDir dir;
  auto f = createPlain(dir);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(MacWriteByte(*f, 0xAA), 0);
  EXPECT_EQ(MacSkip(*f, 3), 0);
  EXPECT_EQ(MacWriteByte(*f, 0xBB), 0);
  EXPECT_EQ(MacSkipTo(*f, 8), 0);
  EXPECT_EQ(MacWriteByte(*f, 0xCC), 0);
  ASSERT_EQ(MacCloseFile(f), 0);
  EXPECT_EQ(readFileBytes(dir.path("out")), (Bytes{0xAA, 0, 0, 0, 0xBB, 0, 0, 0, 0xCC}));
}

TEST(MacWriteNumbers, FailedWriteIsError3AndLeavesTheCount) {
  MacSetCreatType(kMacPlainKind);
  auto f = MacOpenFile("/dev/full", "w", nullptr);
  ASSERT_NE(f, nullptr);
  // The stream buffers: the write that has to flush it is the one that fails.
  int32_t before = 0;
  int rc = 0;
  for (int i = 0; i < 1 << 20 && rc == 0; ++i) {
    before = MacGetIOCount(*f);
    rc = MacWriteLong(*f, 0x01020304);
  }
  ASSERT_EQ(rc, -1);
  EXPECT_EQ(MacError(), kMacWriteError);
  EXPECT_STREQ(MacGetError(), "Can't write file /dev/full");
  EXPECT_EQ(MacGetIOCount(*f), before);
  MacClearError();
  MacCloseFile(f);
  MacClearError();
}

TEST(MacWriteNumbers, WritingToAFileOpenForReadingFails) {
  TempDir dir;
  auto f = openPlain(dir, {1, 2});
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(MacWriteShort(*f, 7), -1);
  EXPECT_EQ(MacError(), kMacWriteError);
  EXPECT_EQ(MacGetIOCount(*f), 0);
  MacClearError();
  EXPECT_EQ(MacCloseFile(f), 0);
}

}  // namespace
}  // namespace kx
