// netpbm and PICT input of kxconv against the netpbm tools (pamdepth 255,
// ppmtopict), the PPM output bytes, and damaged files refused with their reason.
#include <gtest/gtest.h>

#include "conv_support.h"
#include "support/pictures.h"

namespace kx {
namespace {

// Every kind of netpbm file (tests/data/pnm, its README says how they were made).
TEST(NetpbmInput, SamplesAsPamdepthScalesThem) {
  TempDir dir;
  for (const char* name : {"a.ppm", "b.PPM", "c.pnm", "d.pbm", "e.pam", "f.pam"}) {
    std::filesystem::copy_file(std::string(KX_SOURCE_DIR) + "/tests/data/pnm/" + name,
                               dir.path(name));
    const Raster in = netpbm("cat " + quoted(dir.path(name)));
    ASSERT_EQ(in.width, 29) << name << ": netpbm refuses the test file";
    ASSERT_TRUE(converts({name, "out.pic"}, dir.path()));
    EXPECT_EQ(picPixels(dir.path("out.pic")), asRgb(in, in.depth % 2 == 0)) << name;
    std::filesystem::remove(dir.path("out.pic"));
  }
  // A bitmap of many reads' bytes, rows of 251 bytes, read to its last row.
  std::string pbm = "P4\n2001 1200\n";
  for (int i = 0; i < 251 * 1200; ++i) pbm += static_cast<char>(i * 7 % 251);
  writeFileBytes(dir.path("g.pbm"), {pbm.begin(), pbm.end()});
  ASSERT_EQ(kxconv({"g.pbm", "out.pic"}, dir.path()).status, 0);
  EXPECT_EQ(picPixels(dir.path("out.pic")),
            asRgb(netpbm("cat " + quoted(dir.path("g.pbm"))), false));
}

TEST(NetpbmInput, DamagedFilesAreRefusedWithTheirReason) {
  using namespace std::string_literals;
  const std::pair<std::string, std::string> cases[] = {
      {"GIF89a", "not a netpbm file (no P1 to P7 magic)"},
      {"P", "not a netpbm file (no P1 to P7 magic)"},
      {"P7\nWIDTH 0\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nENDHDR\n",
       "the picture is empty (0 x 1 pixels)"},
      {"P6\n2 2\n255\n" + std::string(11, 'a'), "the file ends inside the raster"},
      {"P5\n1 1\n1000\n\x03\xe9", "a sample (1001) exceeds the maxval 1000"},
      {"P5\n1 32768\n255\n",
       "the PGM picture is 1 x 32768 pixels; PGM pictures are read up to 32767 pixels on a side"},
      {"P7\nWIDTH 1\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE CMYK\nENDHDR\n....",
       "unsupported PAM tuple type \"CMYK\""},
      {"P7 WIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nENDHDR\n...",
       "not a PAM file (no line feed after P7)"},
      // Header lines may start with white space.
      {"P7\n  WIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\n\tTUPLTYPE RGB_ALPHA\nENDHDR\n...",
       "the PAM tuple type RGB_ALPHA needs depth 4, not 3"},
  };
  TempDir dir;
  for (const auto& [bytes, message] : cases) {
    writeFileBytes(dir.path("bad.pnm"), std::vector<uint8_t>(bytes.begin(), bytes.end()));
    expectRefused(dir.path(), {"bad.pnm", "bad.pic"}, "kxconv: bad.pnm: " + message + "\n");
  }
}

// A plain file, and a raw one larger than the first block that holds the header.
TEST(PpmOutput, RawPpmBytes) {
  std::string big = "P6\n700 700\n255\n";
  for (int i = 0; i < 700 * 700 * 3; ++i) big += static_cast<char>(i * 7 % 251);
  const std::pair<std::string, std::string> cases[] = {
      {"P3\n2 1\n255\n1 2 3 250 251 252\n", "P6\n2 1\n255\n\x01\x02\x03\xfa\xfb\xfc"}, {big, big}};
  TempDir dir;
  for (const auto& [text, expected] : cases) {
    writeFileBytes(dir.path("in.ppm"), std::vector<uint8_t>(text.begin(), text.end()));
    ASSERT_EQ(kxconv({"in.ppm", "in.pic"}, dir.path()).status, 0);
    ASSERT_EQ(kxconv({"in.pic", "out.ppm"}, dir.path()).status, 0);
    EXPECT_TRUE(readFileBytes(dir.path("out.ppm")) ==
                std::vector<uint8_t>(expected.begin(), expected.end()))
        << text.size() << "-byte file";
    std::filesystem::remove(dir.path("in.pic"));
    std::filesystem::remove(dir.path("out.ppm"));
  }
}

TEST(PictInput, NetpbmPictureShowsTheSameRowsOnTop) {
  TempDir dir;
  writeSamplePicture(dir.path("s"), 16, 8);  // ppmtopict takes at most 256 colours
  ASSERT_EQ(kxconv({"s.pic", "x.ppm"}, dir.path()).status, 0);
  RunResult r =
      shell("ppmtopict " + quoted(dir.path("x.ppm")) + " > " + quoted(dir.path("x.pict")));
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(converts({"x.pict", "x.png"}, dir.path()));
  EXPECT_EQ(pilPixels(dir.path("x.png"), "RGB"), pilPixels(dir.path("x.ppm"), "RGB"));

  writeFileBytes(dir.path("junk.pict"), std::vector<uint8_t>(600, 'j'));
  r = kxconv({"junk.pict", "junk.png"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err.rfind("kxconv: junk.pict: cannot read the PICT picture (", 0), 0u) << r.err;
  EXPECT_FALSE(exists(dir.path("junk.png")));
}

}  // namespace
}  // namespace kx
