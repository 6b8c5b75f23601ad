// kxconv's command line: usage, refusals with their messages that leave
// every file as it was, and outputs that cannot be written.
#include <gtest/gtest.h>

#include "conv_support.h"
#include "support/pictures.h"

namespace kx {
namespace {

TEST(KxconvCommandLine, WrongArgumentsPrintTheUsage) {
  TempDir dir;
  const std::string usage = "Usage: kxconv [-c <colormap> | -C <colormap>] <input> <output>\n";
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"a.png b.pic c.pic", "kxconv: give one input and one output file\n"},
      {"- b.pic c.pic", "kxconv: give one input and one output file\n"},  // - is a name
      {"-x a.png b.pic", "kxconv: unknown option -x\n"},
      {"a.icn b.png -c", "kxconv: -c needs a colormap file name\n"},
      {"-c p -C q a.icn b.png", "kxconv: only one -c or -C option may be given\n"},
  };
  for (const auto& [args, message] : cases) {
    RunResult r = kxconv(words(args), dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err.substr(0, message.size() + usage.size()), message + usage);
    EXPECT_EQ(r.out, "");
  }
}

TEST(KxconvCommandLine, RefusalsNameTheFile) {
  TempDir dir;
  writeSamplePicture(dir.path("s"), 8, 4);
  ASSERT_EQ(kxconv({"s.pic", "a.png"}, dir.path()).status, 0);
  writeFileBytes(dir.path("bad.pic"), std::vector<uint8_t>(200, 0x53));
  PicturePtr red = QZ_pictureAllocate();  // a picture of a red channel only
  red->width = red->height = 2;
  red->channel[0] = std::make_unique<uint8_t[]>(4);
  const ChannelPacketList redOnly = {ChannelPacket{8, 2, 0x80}};
  ASSERT_TRUE(QZ_pictureWriteFile(dir.path("red.pic"), *red, &redOnly, 0));
  const std::string reads =
      " (kxconv reads .png, .jpg, .jpeg, .webp, .tif, .tiff, .ppm, .pgm, .pbm, .pnm, .pam, .pic, "
      ".icn and .pict)\n";
  const std::string writes = " (kxconv writes .png, .ppm and .pic)\n";
  const std::pair<std::string, std::string> cases[] = {
      {"photo.heic x.pic", "kxconv: photo.heic: unknown extension \".heic\"" + reads},
      {"photo x.pic", "kxconv: photo: no extension" + reads},
      {"s.pic x.icn", "kxconv: x.icn: unknown extension \".icn\"" + writes},
      {"-c pal a.png x.pic", "kxconv: a.png: -c and -C apply only to .icn input\n"},
      {"a.png ./a.png", "kxconv: ./a.png: the output would overwrite the input\n"},
      {"bad.pic x.png",
       "kxconv: bad.pic: not a valid .pic picture file (bad header or channel packets)\n"},
      {"red.pic x.png", "kxconv: red.pic: the picture has no green channel\n"},
      {"nope.png x.pic", "kxconv: nope.png: cannot open: No such file or directory\n"},
      {"a.png nodir/x.png", "kxconv: nodir/x.png: the folder nodir does not exist\n"},
  };
  for (const auto& [args, message] : cases) expectRefused(dir.path(), words(args), message);
  // A write that fails leaves the file that was there.
  writeFileBytes(dir.path("full.pic"), {'o', 'l', 'd'});
  const RunResult r = runProgram("kxconv", {"a.png", "full.pic"},
                                 RunOptions{.cwd = dir.path(), .fileSizeLimit = 100});
  EXPECT_EQ(r.err, "kxconv: full.pic: cannot write: File too large\n");
  EXPECT_EQ(readFileBytes(dir.path("full.pic")), (std::vector<uint8_t>{'o', 'l', 'd'}));
}

}  // namespace
}  // namespace kx
