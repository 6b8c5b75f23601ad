#include "common/outfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "support/tempdir.h"

namespace kx {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(OutFile, CommitKeepsBigEndianBytes) {
  TempDir dir;
  auto f = OutFile::create(dir.path("a.bin"));
  ASSERT_TRUE(f);
  f->u32(0x49434F4E);
  f->u16(0x1234);
  f->u8(0x7F);
  std::vector<uint8_t> big(100000, 0xAB);
  f->write(big);
  ASSERT_TRUE(f->commit());
  std::string bytes = slurp(dir.path("a.bin"));
  ASSERT_EQ(bytes.size(), 7u + 100000u);
  EXPECT_EQ(bytes.substr(0, 7), std::string("ICON\x12\x34\x7F"));
}

TEST(OutFile, UnfinishedFileIsRemoved) {
  TempDir dir;
  {
    auto f = OutFile::create(dir.path("b.bin"));
    ASSERT_TRUE(f);
    f->u32(1);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path("b.bin")));
}

TEST(OutFile, DiskFullIsReportedAndDeviceKept) {
  auto f = OutFile::create("/dev/full");
  ASSERT_TRUE(f);
  std::vector<uint8_t> data(200000, 1);
  f->write(data);
  EXPECT_FALSE(f->commit());
  EXPECT_EQ(f->error(), ENOSPC);
  struct stat st;
  EXPECT_EQ(stat("/dev/full", &st), 0);
}

TEST(OutFile, CreateFailureSetsErrno) {
  errno = 0;
  EXPECT_EQ(OutFile::create("/nonexistent-dir/x.bin"), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
}  // namespace kx
