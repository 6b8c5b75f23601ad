// Colour-mapped image files: exact header bytes, the sizes that follow the
// frame, what is written after the header, failures.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/bytes.h"
#include "output/output.h"
#include "support/tempdir.h"

namespace kx {
namespace {

std::vector<uint8_t> headerOf(const std::string& name, int w, int h) {
  EXPECT_TRUE(writeIconFile(name, w, h, std::vector<uint8_t>(size_t(w) * h, 7)));
  std::vector<uint8_t> bytes = readFileBytes(name + ".icn");
  // The indices and the trailer: 0 and "_EOF".
  EXPECT_EQ(bytes.size(), 76 + size_t(w) * h);
  EXPECT_EQ(std::vector(bytes.end() - 8, bytes.end()),
            (std::vector<uint8_t>{0, 0, 0, 0, '_', 'E', 'O', 'F'}));
  bytes.resize(68);
  return bytes;
}

TEST(IconFile, HeaderBytesOfOnePixelFrame) {
  TempDir dir;
  const std::vector<uint8_t> bytes = headerOf(dir.path("out"), 1, 1);
  const std::vector<uint8_t> want = {
      'I', 'C', 'O', 'N', '0', '1', '0', '0', 0, 1,  // magic, version, header word
      0,   0,   0,   0,   0,   0,   0,   0,   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // reserved
      'C', 'I', 'C', 'N', '0', '1', '0', '0',                                            // chunk
      0,   0,   0,   29,                             // chunk size
      0,   0,   0,   1,                              // chunk words
      0,   1,   0,   1,                              // width, height
      0,   1,                                        // mask row bytes
      0,   0,   0,   0,   0,   0,   0,   0,   0, 0,  // chunk words
      0,   0,   0,   1};                             // index count
  EXPECT_EQ(bytes, want);
}

struct Geometry {
  int w, h;
  uint32_t chunk, maskBytes, count;
};

class IconGeometry : public testing::TestWithParam<Geometry> {};

TEST_P(IconGeometry, SizesFollowTheFrame) {
  const Geometry g = GetParam();
  TempDir dir;
  const std::vector<uint8_t> bytes = headerOf(dir.path("f"), g.w, g.h);
  EXPECT_EQ(loadBE32(&bytes[40]), g.chunk);
  EXPECT_EQ(loadBE16(&bytes[48]), g.w);
  EXPECT_EQ(loadBE16(&bytes[50]), g.h);
  EXPECT_EQ(loadBE16(&bytes[52]), g.maskBytes);
  EXPECT_EQ(loadBE32(&bytes[64]), g.count);
}

INSTANTIATE_TEST_SUITE_P(Frames, IconGeometry,
                         testing::Values(Geometry{8, 2, 44, 1, 16}, Geometry{9, 1, 37, 2, 9},
                                         Geometry{16, 1, 44, 2, 16},
                                         Geometry{640, 480, 307228, 80, 307200},
                                         Geometry{32767, 2, 65562, 4096, 65534},
                                         Geometry{0, 5, 28, 0, 0}),
                         [](const testing::TestParamInfo<Geometry>& p) {
                           return std::to_string(p.param.w) + "x" + std::to_string(p.param.h);
                         });

TEST(IconFile, FailuresToCreateAndToWrite) {
  TempDir dir;
  const std::string name = dir.path("missing/out");
  const Result<IconFile> file = IconFile::create(name, 1, 1);
  ASSERT_FALSE(file.ok());
  EXPECT_EQ(file.error().message, "No such file or directory , Can't open " + name + ".icn");
  FileSizeLimit full(10);
  const Status written = writeIconFile(dir.path("g"), 4, 4, std::vector<uint8_t>(16));
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().message, "File too large , Can't write " + dir.path("g") + ".icn");
  EXPECT_FALSE(std::filesystem::exists(dir.path("g.icn")));
}

}  // namespace
}  // namespace kx
