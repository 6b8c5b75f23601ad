#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "macfile/macfile.h"
#include "support/tempdir.h"

namespace kx {
namespace {

using Bytes = std::vector<uint8_t>;

std::unique_ptr<MacFile> openPlain(const std::string& path, const char* mode) {
  MacSetCreatType(kMacPlainKind);
  uint32_t type = 0;
  auto f = MacOpenFile(path, mode, mode[0] == 'r' ? &type : nullptr);
  EXPECT_NE(f, nullptr) << MacGetError();
  return f;
}

TEST(MacNumbers, AreBigEndianLowBitsAndCounted) {
  const struct {
    int size;
    uint32_t written;
    Bytes bytes;
    uint32_t read;
  } cases[] = {{2, 0x12345, {0x23, 0x45}, 0x2345},
               {2, 0xFFFE, {0xFF, 0xFE}, 65534},
               {1, 0x1FF, {0xFF}, 255},
               {4, 1, {0, 0, 0, 1}, 1},
               {4, 0x80000001, {0x80, 0, 0, 1}, 0x80000001},
               {4, 0xDEADBEEF, {0xDE, 0xAD, 0xBE, 0xEF}, 0xDEADBEEF}};
  TempDir dir;
  auto w = openPlain(dir.path("n"), "w");
  ASSERT_NE(w, nullptr);
  Bytes expected;
  int32_t count = 0;
  for (const auto& c : cases) {
    const int rc = c.size == 4   ? MacWriteLong(*w, c.written)
                   : c.size == 2 ? MacWriteShort(*w, c.written)
                                 : MacWriteByte(*w, c.written);
    EXPECT_EQ(rc, 0);
    expected.insert(expected.end(), c.bytes.begin(), c.bytes.end());
    EXPECT_EQ(MacGetIOCount(*w), count += c.size);
  }
  ASSERT_EQ(MacCloseFile(w), 0);
  EXPECT_EQ(readFileBytes(dir.path("n")), expected);
  auto r = openPlain(dir.path("n"), "r");
  ASSERT_NE(r, nullptr);
  for (const auto& c : cases) {
    const uint32_t v = c.size == 4   ? MacReadLong(*r)
                       : c.size == 2 ? MacReadShort(*r)
                                     : MacReadByte(*r);
    EXPECT_EQ(v, c.read);
  }
  EXPECT_EQ(MacGetIOCount(*r), count);
  // Reading past the end is error 2 and still counts the size.
  MacReadLong(*r);
  EXPECT_EQ(MacError(), kMacReadError);
  EXPECT_EQ(std::string(MacGetError()), "Can't read file " + dir.path("n"));
  EXPECT_EQ(MacGetIOCount(*r), count + 4);
  MacClearError();
  EXPECT_EQ(MacWriteShort(*r, 7), -1);
  EXPECT_EQ(MacError(), kMacWriteError);
  MacClearError();
  EXPECT_EQ(MacCloseFile(r), 0);
}

TEST(MacSkipTo, AppleSingleDataStartsAtByte282AndFailedSeekIsRefused) {
  TempDir dir;
  MacSetCreatType(kAppleSingleMagic);
  uint32_t type = MacFourCC("PICT");
  auto w = MacOpenFile(dir.path("s"), "w", &type);
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(MacWrite(*w, "abcdef", 6), 0);
  ASSERT_EQ(MacCloseFile(w), 0);
  type = 0;
  auto r = MacOpenFile(dir.path("s"), "r", &type);
  ASSERT_NE(r, nullptr) << MacGetError();
  EXPECT_EQ(MacSkip(*r, 4), 0);
  EXPECT_EQ(MacSkipTo(*r, 0), 0);
  EXPECT_EQ(MacReadByte(*r), 'a');
  EXPECT_EQ(MacSkipTo(*r, 5), 0);
  EXPECT_EQ(MacReadByte(*r), 'f');
  EXPECT_EQ(MacSkipTo(*r, -1000), -1);
  EXPECT_EQ(MacError(), kMacReadError);
  MacClearError();
  EXPECT_EQ(MacCloseFile(r), 0);
}

}  // namespace
}  // namespace kx
