// Whole PICT images and the frame driver's entry points: channels of each
// kind of picture, warnings and messages, the AppleDouble pair we write, and
// failures that leave no file behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "pict/pict.h"
#include "pict/pict_builder.h"
#include "pict/pict_pvt.h"
#include "support/tempdir.h"

namespace kx {
namespace {

namespace fs = std::filesystem;

// Data offset of the raster opcode in what we write.
constexpr size_t kRasterOpcodeOffset = 582;

class PictImage : public testing::Test {
 protected:
  void SetUp() override {
    MacClearError();
    pict_errstr.clear();
  }
  // Reads base.pict through the driver's entry point; stderr is captured.
  int readRecord(const PictBytes& bytes, Picture& picture) {
    writePict(dir_.path("in.pict"), bytes);
    testing::internal::CaptureStderr();
    const int result = kx_pictureReadPict(dir_.path("in"), picture, 0);
    err_ = testing::internal::GetCapturedStderr();
    return result;
  }
  std::vector<uint8_t> channel(const Picture& picture, int c) const {
    const size_t n = static_cast<size_t>(picture.width) * picture.height;
    return std::vector<uint8_t>(picture.channel[c].get(), picture.channel[c].get() + n);
  }
  TempDir dir_;
  std::string err_;
};

RasterRecipe pixmap(int opcode, int width, int rows) {
  RasterRecipe s;
  s.opcode = opcode;
  s.bounds = s.src = s.dst =
      PictRect{0, 0, static_cast<int16_t>(rows), static_cast<int16_t>(width)};
  return s;
}

TEST_F(PictImage, IndexedColourFillsColoursAndPixelValues) {
  RasterRecipe s = pixmap(0x98, 8, 2);
  s.rowBytes = 8;
  s.colours = colourTable({{9, 8, 7}, {100, 150, 200}, {1, 2, 3}});
  s.rows = {{0, 1, 2, 0, 1, 2, 0, 1}, {2, 2, 2, 2, 1, 1, 1, 1}};
  PictBytes p = pictVersion2(s.bounds);
  appendRaster(p, s);
  p.end();
  Picture picture;
  picture.ratio = 0.5f;
  ASSERT_EQ(readRecord(p, picture), 0) << err_;
  EXPECT_EQ(err_, "");
  EXPECT_EQ(picture.width, 8);
  EXPECT_EQ(picture.height, 2);
  EXPECT_EQ(picture.ratio, 1.0f);
  // Row 0 of the record is the PICT's bottom row.
  EXPECT_EQ(channel(picture, 3),
            (std::vector<uint8_t>{2, 2, 2, 2, 1, 1, 1, 1, 0, 1, 2, 0, 1, 2, 0, 1}));
  EXPECT_EQ(channel(picture, 0),
            (std::vector<uint8_t>{1, 1, 1, 1, 100, 100, 100, 100, 9, 100, 1, 9, 100, 1, 9, 100}));
  EXPECT_EQ(channel(picture, 2)[8], 7);
}

TEST_F(PictImage, DirectPicturesFillAlphaOnlyWhenTheyHaveIt) {
  for (int cmpCount : {3, 4}) {
    RasterRecipe s = pixmap(0x9A, 2, 1);
    s.rowBytes = 8;
    s.packType = 4;
    s.pixelType = 16;
    s.pixelSize = 32;
    s.cmpCount = cmpCount;
    s.rows = {cmpCount == 4 ? std::vector<uint8_t>{200, 201, 1, 2, 3, 4, 5, 6}
                            : std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 0, 0}};
    PictBytes p = pictVersion2(s.bounds);
    appendRaster(p, s);
    p.end();
    Picture picture;
    ASSERT_EQ(readRecord(p, picture), 0) << err_;
    EXPECT_EQ(channel(picture, 0), (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(channel(picture, 2), (std::vector<uint8_t>{5, 6}));
    if (cmpCount == 3) {
      EXPECT_EQ(picture.channel[3], nullptr);
    } else {
      EXPECT_EQ(channel(picture, 3), (std::vector<uint8_t>{200, 201}));
    }
  }
}

TEST_F(PictImage, SixteenBitPicturesWarnAndKeepFiveBitValues) {
  RasterRecipe s = pixmap(0x9A, 2, 1);
  s.rowBytes = 4;
  s.packType = 1;
  s.pixelType = 16;
  s.pixelSize = 16;
  s.cmpCount = 3;
  s.cmpSize = 5;
  s.rows = {{0x7F, 0xFF, 0x00, 0x21}};
  PictBytes p = pictVersion2(s.bounds);
  appendRaster(p, s);
  p.end();
  Picture picture;
  ASSERT_EQ(readRecord(p, picture), 0) << err_;
  EXPECT_EQ(err_,
            "Warning: " + dir_.path("in.pict") + " has 5 bits per channel. Not fully supported.");
  EXPECT_EQ(channel(picture, 0), (std::vector<uint8_t>{31, 0}));
  EXPECT_EQ(channel(picture, 1), (std::vector<uint8_t>{31, 1}));
  EXPECT_EQ(channel(picture, 2), (std::vector<uint8_t>{31, 1}));
}

TEST_F(PictImage, OneBitAndGreyPicturesRepeatGreyInGreenAndBlue) {
  RasterRecipe bits = pixmap(0x90, 8, 1);
  bits.pixmap = false;
  bits.rowBytes = 2;
  bits.rows = {{0xF0, 0x00}};
  PictBytes p = pictVersion2(bits.bounds);
  appendRaster(p, bits);
  p.end();
  Picture picture;
  ASSERT_EQ(readRecord(p, picture), 0) << err_;
  EXPECT_EQ(err_,
            "Warning: " + dir_.path("in.pict") + " has 1 bits per channel. Not fully supported.");
  const std::vector<uint8_t> values = {0, 0, 0, 0, 1, 1, 1, 1};
  for (int c = 0; c < 3; ++c) EXPECT_EQ(channel(picture, c), values) << c;
  EXPECT_EQ(picture.channel[3], nullptr);

  RasterRecipe grey = pixmap(0x98, 8, 1);
  grey.rowBytes = 8;
  grey.colours = greyTable(256);
  grey.rows = {{0, 30, 60, 90, 120, 150, 180, 210}};
  PictBytes q = pictVersion2(grey.bounds);
  appendRaster(q, grey);
  q.end();
  Picture greyPicture;
  ASSERT_EQ(readRecord(q, greyPicture), 0) << err_;
  EXPECT_EQ(err_, "");
  for (int c = 0; c < 3; ++c) EXPECT_EQ(channel(greyPicture, c), grey.rows[0]) << c;
}

TEST_F(PictImage, FailuresPrintTheirMessage) {
  PictBytes p = pictVersion2(PictRect{0, 0, 2, 2});
  p.end();
  Picture picture;
  EXPECT_EQ(readRecord(p, picture), -1);
  EXPECT_EQ(err_, "ERROR ====> No raster information found <==== ERROR\n");
  EXPECT_EQ(pict_errstr, "No raster information found");

  // The first failure's text stays in pict_errstr; each failure prints its own.
  Picture missing;
  testing::internal::CaptureStderr();
  EXPECT_EQ(kx_pictureReadPict(dir_.path("nothing"), missing, 0), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ERROR ====> Can't open file " + dir_.path("nothing.pict") + " <==== ERROR\n");
  EXPECT_EQ(pict_errstr, "No raster information found");
  EXPECT_EQ(missing.channel[0], nullptr);
}

TEST_F(PictImage, WriterNeedsItsPlanes) {
  const std::vector<uint8_t> plane(4, 1);
  pict_errstr = "earlier";
  EXPECT_EQ(
      writePictImage(dir_.path("a.pict"), 2, 2, 0, nullptr, {nullptr, nullptr, nullptr, nullptr}),
      -1);
  EXPECT_EQ(pict_errstr, "Red parameter is NULL.");
  EXPECT_EQ(writePictImage(dir_.path("a.pict"), 2, 2, 0, nullptr,
                           {plane.data(), nullptr, plane.data(), nullptr}),
            -1);
  EXPECT_EQ(pict_errstr, "Green parameter is NULL.");
  EXPECT_FALSE(fs::exists(dir_.path("a.pict")));
  EXPECT_FALSE(fs::exists(dir_.path("%a.pict")));
}

TEST_F(PictImage, WritesAnAppleDoublePairTypedPictByKest) {
  Picture picture;
  picture.width = 3;
  picture.height = 2;
  for (int c = 0; c < 3; ++c) {
    picture.channel[c] = std::make_unique<uint8_t[]>(6);
    for (int i = 0; i < 6; ++i) picture.channel[c][i] = static_cast<uint8_t>(40 * c + i);
  }
  testing::internal::CaptureStderr();
  ASSERT_EQ(kx_pictureWritePict(dir_.path("out"), picture, 0, nullptr), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  const std::vector<uint8_t> header = readFileBytes(dir_.path("%out.pict"));
  ASSERT_EQ(header.size(), 256u);
  EXPECT_EQ(loadBE32(header.data()), kAppleDoubleMagic);
  EXPECT_EQ(std::string(header.begin() + 224, header.begin() + 232), "PICTKEST");
  const std::vector<uint8_t> data = readFileBytes(dir_.path("out.pict"));
  ASSERT_GT(data.size(), 600u);
  EXPECT_EQ(std::string(data.begin(), data.begin() + 7), "KX_PICT");
  EXPECT_EQ(loadBE16(data.data() + kRasterOpcodeOffset), 0x009A);

  // Read back through the same entry point: the same channels.
  Picture back;
  ASSERT_EQ(kx_pictureReadPict(dir_.path("out"), back, 0), 0);
  for (int c = 0; c < 3; ++c) EXPECT_EQ(channel(back, c), channel(picture, c)) << c;
}

TEST_F(PictImage, IndexedOutputCarriesThePalette) {
  Picture picture;
  picture.width = 4;
  picture.height = 1;
  picture.channel[0] = std::make_unique<uint8_t[]>(4);
  for (int i = 0; i < 4; ++i) picture.channel[0][i] = static_cast<uint8_t>(i % 3);
  Colormap colormap = {{10, 20, 30, 0}, {40, 50, 60, 0}, {70, 80, 90, 0}, {1, 1, 1, 0}};
  ASSERT_EQ(kx_pictureWritePict(dir_.path("ix"), picture, 3, &colormap), 0);
  const std::vector<uint8_t> data = readFileBytes(dir_.path("ix.pict"));
  EXPECT_EQ(loadBE16(data.data() + kRasterOpcodeOffset), 0x0098);
  EXPECT_EQ(loadBE16(data.data() + kRasterOpcodeOffset + 54), 2);  // ctSize: 3 colours
  Picture back;
  ASSERT_EQ(kx_pictureReadPict(dir_.path("ix"), back, 0), 0);
  EXPECT_EQ(channel(back, 0), (std::vector<uint8_t>{10, 40, 70, 10}));
  EXPECT_EQ(channel(back, 3), (std::vector<uint8_t>{0, 1, 2, 0}));
}

TEST_F(PictImage, AOneColourPaletteIsNotTakenForTheGreyRamp) {
  Picture picture;
  picture.width = 2;
  picture.height = 1;
  picture.channel[0] = std::make_unique<uint8_t[]>(2);
  Colormap colormap = {{200, 30, 40, 0}};
  ASSERT_EQ(kx_pictureWritePict(dir_.path("one"), picture, 1, &colormap), 0);
  Picture back;
  ASSERT_EQ(kx_pictureReadPict(dir_.path("one"), back, 0), 0);
  EXPECT_EQ(channel(back, 0), (std::vector<uint8_t>{200, 200}));
  EXPECT_EQ(channel(back, 1), (std::vector<uint8_t>{30, 30}));
}

TEST_F(PictImage, AFailedWriteLeavesNoFile) {
  // Writing into a directory that does not exist.
  Picture picture;
  picture.width = 2;
  picture.height = 1;
  picture.channel[0] = std::make_unique<uint8_t[]>(2);
  testing::internal::CaptureStderr();
  EXPECT_EQ(kx_pictureWritePict(dir_.path("no/such"), picture, 0, nullptr), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ERROR ====> Can't open file " + dir_.path("no/such.pict") + " <==== ERROR\n");

  // A write that fails half-way (the file size limit): a child process
  // writes, the parent looks at what is left.
  const int width = 120, height = 100;
  std::vector<uint8_t> noise(static_cast<size_t>(width) * height);
  std::mt19937 rng(3);
  for (auto& b : noise) b = static_cast<uint8_t>(rng());
  const std::string name = dir_.path("big.pict");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    const int result = writePictImage(name, width, height, 0, nullptr,
                                      {noise.data(), noise.data(), noise.data(), nullptr});
    _exit(result != 0 && MacGetError() == "Can't write file " + name ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(fs::exists(name));
  EXPECT_FALSE(fs::exists(dir_.path("%big.pict")));

  // Without the limit the same picture is written.
  ASSERT_EQ(writePictImage(name, width, height, 0, nullptr,
                           {noise.data(), noise.data(), noise.data(), nullptr}),
            0);
  EXPECT_TRUE(fs::exists(name));
  EXPECT_TRUE(fs::exists(dir_.path("%big.pict")));
}

}  // namespace
}  // namespace kx
