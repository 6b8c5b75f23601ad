// kxconv's command line: usage, extensions, refusals with their messages,
// .pic pictures it cannot use, and outputs that cannot be written.
#include <gtest/gtest.h>
#include <unistd.h>

#include "conv_support.h"
#include "picture/picture.h"
#include "support/pictures.h"

namespace kx {
namespace {

const std::string kUsageStart = "Usage: kxconv [-c <colormap> | -C <colormap>] <input> <output>\n";

TEST(KxconvCommandLine, WrongArgumentsPrintTheUsage) {
  TempDir dir;
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{}, ""},
      {{"a.png"}, "kxconv: give one input and one output file\n"},
      {{"a.png", "b.pic", "c.pic"}, "kxconv: give one input and one output file\n"},
      {{"-x", "a.png", "b.pic"}, "kxconv: unknown option -x\n"},
      {{"a.icn", "b.png", "-c"}, "kxconv: -c needs a colormap file name\n"},
      {{"-c", "p", "-C", "q", "a.icn", "b.png"}, "kxconv: only one -c or -C option may be given\n"},
  };
  for (const Case& c : cases) {
    RunResult r = kxconv(c.args, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err.substr(0, c.message.size() + kUsageStart.size()), c.message + kUsageStart);
    EXPECT_EQ(r.out, "");
  }
}

TEST(KxconvCommandLine, RefusalsNameTheFile) {
  TempDir dir;
  writeSamplePicture(dir.path("s"), 8, 4);
  PngSpec spec;
  spec.width = 2;
  spec.height = 2;
  fillRandom(spec, 1);
  writeTestPng(dir.path("a.png"), spec);
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"photo.jpg", "x.pic"},
       "kxconv: photo.jpg: unknown extension \".jpg\" (kxconv reads .png, .ppm, .pgm, .pbm, .pnm, "
       ".pam, .pic, .icn and .pict)\n"},
      {{"photo", "x.pic"},
       "kxconv: photo: no extension (kxconv reads .png, .ppm, .pgm, .pbm, .pnm, .pam, .pic, .icn "
       "and .pict)\n"},
      {{"s.PIC", "x.png"},
       "kxconv: s.PIC: unknown extension \".PIC\" (kxconv reads .png, .ppm, .pgm, .pbm, .pnm, "
       ".pam, .pic, .icn and .pict)\n"},
      {{"s.pic", "x.gif"},
       "kxconv: x.gif: unknown extension \".gif\" (kxconv writes .png, .ppm and .pic)\n"},
      {{"s.pic", "x.icn"},
       "kxconv: x.icn: unknown extension \".icn\" (kxconv writes .png, .ppm and .pic)\n"},
      {{"-c", "pal", "a.png", "x.pic"}, "kxconv: a.png: -c and -C apply only to .icn input\n"},
      {{"a.png", "./a.png"}, "kxconv: ./a.png: the output would overwrite the input\n"},
      {{"nope.png", "x.pic"}, "kxconv: nope.png: cannot open: No such file or directory\n"},
      {{"nope.pic", "x.png"}, "kxconv: nope.pic: cannot open: No such file or directory\n"},
      {{"nope.icn", "x.png"}, "kxconv: nope.icn: cannot open: No such file or directory\n"},
      {{"nope.ppm", "x.pic"}, "kxconv: nope.ppm: cannot open: No such file or directory\n"},
      {{"a.png", "nodir/x.pic"}, "kxconv: nodir/x.pic: cannot write: No such file or directory\n"},
      {{"a.png", "nodir/x.png"}, "kxconv: nodir/x.png: cannot create: No such file or directory\n"},
  };
  for (const Case& c : cases) {
    RunResult r = kxconv(c.args, dir.path());
    EXPECT_EQ(r.status, 255) << c.args[0];
    EXPECT_EQ(r.err, c.message);
    EXPECT_FALSE(fileExists(dir.path("x.pic")));
    EXPECT_FALSE(fileExists(dir.path("x.png")));
  }
}

TEST(KxconvCommandLine, ExtensionsOfForeignFormatsInAnyCase) {
  TempDir dir;
  const std::string pgm = "P5\n2 1\n255\n\x10\xf0";
  writeFileBytes(dir.path("G.PGM"), std::vector<uint8_t>(pgm.begin(), pgm.end()));
  RunResult r = kxconv({"G.PGM", "G.PNG"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  // A grey source stays a grey PNG (IHDR colour type 0) when it is not
  // going through a picture.
  EXPECT_EQ(readFileBytes(dir.path("G.PNG")).at(25), 0);
  EXPECT_EQ(pilDescribe(dir.path("G.PNG"), "im.mode, list(im.getdata())"), "L [16, 240]\n");
}

// ---- .pic pictures kxconv cannot use ----------------------------------------------

TEST(KxconvPictures, PictureWithoutColourChannelsIsRefused) {
  TempDir dir;
  PicturePtr pic = QZ_pictureAllocate();
  pic->width = 2;
  pic->height = 2;
  pic->channel[0] = std::make_unique<uint8_t[]>(4);
  const ChannelPacketList redOnly = {ChannelPacket{8, 2, 0x80}};
  ASSERT_TRUE(QZ_pictureWriteFile(dir.path("red.pic"), *pic, &redOnly, 0));
  RunResult r = kxconv({"red.pic", "red.png"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "kxconv: red.pic: the picture has no green channel\n");
  EXPECT_FALSE(fileExists(dir.path("red.png")));

  writeFileBytes(dir.path("bad.pic"), std::vector<uint8_t>(200, 0x53));
  r = kxconv({"bad.pic", "bad.png"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err,
            "kxconv: bad.pic: not a valid .pic picture file (bad header or channel packets)\n");
}

TEST(KxconvPictures, AlphaChannelKeptInPngAndPic) {
  TempDir dir;
  PicturePtr pic = QZ_pictureAllocate();
  pic->width = 3;
  pic->height = 1;
  const uint8_t samples[4][3] = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {0, 128, 255}};
  for (int c = 0; c < 4; ++c) {
    pic->channel[c] = std::make_unique<uint8_t[]>(3);
    std::copy(samples[c], samples[c] + 3, pic->channel[c].get());
  }
  ASSERT_TRUE(QZ_pictureWriteFile(dir.path("a.pic"), *pic, nullptr, 0));
  ASSERT_EQ(kxconv({"a.pic", "a.png"}, dir.path()).status, 0);
  EXPECT_EQ(pilDescribe(dir.path("a.png"), "im.mode, list(im.getdata())"),
            "RGBA [(1, 4, 7, 0), (2, 5, 8, 128), (3, 6, 9, 255)]\n");
  ASSERT_EQ(kxconv({"a.png", "b.pic"}, dir.path()).status, 0);
  EXPECT_EQ(picPixels(dir.path("b.pic")), picPixels(dir.path("a.pic")));
}

// ---- Outputs that cannot be written completely ---------------------------------

class FullDisk : public ::testing::TestWithParam<const char*> {};

TEST_P(FullDisk, ReportedAsAWriteError) {
  if (!fileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  TempDir dir;
  writeSamplePicture(dir.path("s"), 64, 64);
  const std::string out = std::string("full") + GetParam();
  ASSERT_EQ(::symlink("/dev/full", dir.path(out).c_str()), 0);
  RunResult r = kxconv({"s.pic", out}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "kxconv: " + out + ": cannot write: No space left on device\n");
  EXPECT_TRUE(fileExists("/dev/full"));  // a device is never removed
}

INSTANTIATE_TEST_SUITE_P(Formats, FullDisk, ::testing::Values(".png", ".ppm", ".pic"),
                         [](const auto& info) { return std::string(info.param + 1); });

}  // namespace
}  // namespace kx
