// Whole runs of the real binary on real picture files: frame names, repeats,
// sequences, the unique colormap, imposed colormaps, messages and failures.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/pictures.h"
#include "support/tempdir.h"

namespace kx {
namespace {

namespace fs = std::filesystem;

// kxreduce in the folder, the arguments split at each space; its status
// is checked.
RunResult kxreduce(const TempDir& dir, const std::string& args, int status = 0) {
  RunResult r = runProgram("kxreduce", words(args), dir.path());
  EXPECT_EQ(r.status, status) << args << ": " << r.err;
  return r;
}

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& [name, bytes] : snapshotFolder(dir)) names.push_back(name);
  return names;
}

// A 4 × 2 picture of five colours.
const std::vector<uint8_t> kFive = {0, 0, 0, 1, 0, 0, 2, 0, 0, 3, 0, 0,
                                    4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

class FrameDriver : public testing::Test {
 protected:
  TempDir dir;
};

// Without -v only "allocate color table"; with it every step in order. An
// input that cannot be read is named as typed.
TEST_F(FrameDriver, MessagesOfOneFrameInOrder) {
  writeRgbPicture(dir.path("in"), 4, 2, kFive);
  EXPECT_EQ(kxreduce(dir, "-n 4 in out").err, "allocate color table\n");
  EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"in.pic", "out.clm", "out.icn"}));
  EXPECT_EQ(kxreduce(dir, "-v -n 4 in out").err,
            "Reading image in...\n"
            "allocate color table\n"
            "Writing to out...\n"
            "Counting colors in the image...  5 colors found.\n"
            "Choosing 4 colors...\n"
            "Making the new 4 colors image...\n"
            "Done.\n"
            "#### END OF COLOR REDUCTION ####\n");
  RunResult r = kxreduce(dir, "-v -q in out");
  EXPECT_TRUE(r.err.starts_with(
      "Reading image in...\nMaking color quantification...\nallocate color table\n"))
      << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(kxreduce(dir, "-s 1 1 1 missing out", 255).err,
            "Error: Cannot open input file missing\n");
}

// Repeated frames are copies of the first (.icn and .pic, not .clm), named
// along the sequence; a copy that fails ends the run.
TEST_F(FrameDriver, RepeatedFramesAreCopiesOfTheFirstAndAFailedCopyEndsTheRun) {
  for (int f : {1, 3, 5}) writeSamplePicture(dir.path("in." + std::to_string(f)), 8, 8, f);
  RunResult r = runProgram("kxreduce", {"-r", "3", "-o", "pic", "in.1", "my out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const auto first = readFileBytes(dir.path("my out.1.icn"));
  EXPECT_EQ(readFileBytes(dir.path("my out.3.icn")), first);
  EXPECT_EQ(readFileBytes(dir.path("my out.3.pic")), readFileBytes(dir.path("my out.1.pic")));
  kxreduce(dir, "-s 1 5 2 -r 2 in out");
  EXPECT_EQ(readFileBytes(dir.path("out.3.icn")), readFileBytes(dir.path("out.1.icn")));
  EXPECT_EQ(
      filesIn(dir.path()),
      (std::vector<std::string>{"in.1.pic", "in.3.pic", "in.5.pic", "my out.1.clm", "my out.1.icn",
                                "my out.1.pic", "my out.2.icn", "my out.2.pic", "my out.3.icn",
                                "my out.3.pic", "out.1.clm", "out.1.icn", "out.11.icn", "out.3.icn",
                                "out.5.clm", "out.5.icn", "out.7.icn", "out.9.clm", "out.9.icn"}));
  fs::create_directory(dir.path("x.2.icn"));
  r = kxreduce(dir, "-r 2 in.1 x", 255);
  EXPECT_NE(r.err.find("Error: Cannot copy x.1.icn to x.2.icn: "), std::string::npos) << r.err;
  EXPECT_TRUE(fs::exists(dir.path("x.1.icn")));  // finished before the failure
}

// -u: both passes read every frame, only the second writes, and the palette
// is written once under the sequence's name.
TEST_F(FrameDriver, UniqueColormapOverSequence) {
  for (int f = 1; f <= 5; f += 2)
    writeSamplePicture(dir.path("in." + std::to_string(f)), 12, 10, f);
  const RunResult r = kxreduce(dir, "-u -v -n 8 -s 1 5 2 in out");
  EXPECT_EQ(filesIn(dir.path()),
            (std::vector<std::string>{"in.1.pic", "in.3.pic", "in.5.pic", "out-1-5.clm",
                                      "out.1.icn", "out.3.icn", "out.5.icn"}));
  size_t reads = 0;
  for (size_t p = r.err.find("Reading image in.1..."); p != std::string::npos;
       p = r.err.find("Reading image in.1...", p + 1)) {
    ++reads;
  }
  EXPECT_EQ(reads, 2u);
  // With -r 0 nothing is written.
  kxreduce(dir, "-u -r 0 -s 1 5 2 in none");
  EXPECT_EQ(filesIn(dir.path()).size(), 7u);
}

// One frame: the sequence's palette is chosen from the frame's palette (as
// from a picture of its colours, without the frame's -z), and the frame is
// mapped onto it as with -c; the messages of both passes in order.
TEST_F(FrameDriver, UniqueColormapOfOneFrame) {
  writeSamplePicture(dir.path("in.1"), 24, 16, 3);
  kxreduce(dir, "-z 60 -n 8 in.1 frame");
  const std::vector<uint8_t> clm = readFileBytes(dir.path("frame.clm"));
  std::vector<uint8_t> colours;
  for (int i = 0; i < 8; ++i)
    for (int c = 0; c < 3; ++c) colours.push_back(clm.at(17 + 6 * i + 2 * c));
  writeRgbPicture(dir.path("colours"), 1, 8, colours);
  kxreduce(dir, "-n 8 colours shared");
  kxreduce(dir, "-c shared -o pic in.1 mapped");

  const RunResult r = kxreduce(dir, "-v -u -z 60 -n 8 -o pic -s 1 1 1 in out");
  EXPECT_EQ(readFileBytes(dir.path("out-1-1.clm")), readFileBytes(dir.path("shared.clm")));
  EXPECT_EQ(readFileBytes(dir.path("out.1.icn")), readFileBytes(dir.path("mapped.icn")));
  EXPECT_EQ(readFileBytes(dir.path("out.1.pic")), readFileBytes(dir.path("mapped.pic")));
  EXPECT_FALSE(fs::exists(dir.path("out.1.clm")));
  const std::string counted = r.err.substr(0, r.err.find(" colors found.\n"));
  EXPECT_EQ(r.err,
            "Reading image in.1...\nallocate color table\nWriting to out.1...\n"
            "Compressing colors ...\n" +
                counted.substr(counted.rfind('\n') + 1) +
                " colors found.\nChoosing 8 colors...\nPrepare the unique colormap...\n"
                "Reading image in.1...\nCounting colors in the image...  8 colors found.\n"
                "Choosing 8 colors...\nWriting to out.1...\nMaking the new 8 colors image...\n"
                "Done.\n#### END OF COLOR REDUCTION ####\n");
}

// With an imposed colormap -u uses it for every frame and writes no palette.
TEST_F(FrameDriver, UniqueWithImposedColormapUsesItForEveryFrame) {
  for (int f = 1; f <= 3; ++f) writeSamplePicture(dir.path("in." + std::to_string(f)), 12, 10, f);
  kxreduce(dir, "-n 4 in.1 pal");
  kxreduce(dir, "-u -c pal -s 1 3 1 in out");
  EXPECT_FALSE(fs::exists(dir.path("out-1-3.clm")));
  for (int f = 1; f <= 3; ++f) {
    auto icn = readFileBytes(dir.path("out." + std::to_string(f) + ".icn"));
    ASSERT_EQ(icn.size(), 12u * 10u + 76u);
    for (size_t i = 68; i < 68 + 120; ++i) ASSERT_LT(icn[i], 4);
  }
}

TEST_F(FrameDriver, ImposedColormapsAndConversionBothWays) {
  writeSamplePicture(dir.path("in"), 20, 20);
  kxreduce(dir, "-n 6 in pal");
  // Binary colormap imposed and converted to ASCII.
  const RunResult r = kxreduce(dir, "-v -c pal -T in a");
  EXPECT_NE(r.err.find("Reading colormap pal.clm ...\nnb_color = 6, nb_bits = 8\n"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(dir.path("a.clm")));  // an imposed palette is not saved again
  ASSERT_TRUE(fs::exists(dir.path("pal.cla")));
  // ASCII colormap imposed and converted back: the binary file is identical.
  auto original = readFileBytes(dir.path("pal.clm"));
  fs::remove(dir.path("pal.clm"));
  kxreduce(dir, "-C pal -T in b");
  EXPECT_EQ(readFileBytes(dir.path("pal.clm")), original);
  EXPECT_EQ(readFileBytes(dir.path("a.icn")), readFileBytes(dir.path("b.icn")));
}

TEST_F(FrameDriver, PictureOutputShowsThePaletteColourOfEachIndex) {
  writeSamplePicture(dir.path("in"), 30, 20);
  kxreduce(dir, "-n 8 -o pic in out");
  int w = 0, h = 0;
  std::vector<uint8_t> reduced = readRgbPicture(dir.path("out"), &w, &h);
  ASSERT_EQ(w, 30);
  ASSERT_EQ(h, 20);
  auto icn = readFileBytes(dir.path("out.icn"));
  auto clm = readFileBytes(dir.path("out.clm"));
  for (int i = 0; i < w * h; ++i) {
    int index = icn[68 + i];
    for (int c = 0; c < 3; ++c) ASSERT_EQ(reduced[3 * i + c], clm[16 + 6 * index + 2 * c + 1]) << i;
  }
  // An unwritable picture takes the frame's other outputs with it.
  fs::create_directory(dir.path("bad.pic"));
  const RunResult r = kxreduce(dir, "-o pic in bad", 255);
  EXPECT_NE(r.err.find("Error: Cannot write picture file bad.pic: "), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir.path("bad.icn")));
  EXPECT_FALSE(fs::exists(dir.path("bad.clm")));
}

// A one-bit PICT has one plane; the reduction reads it in all three.
TEST_F(FrameDriver, OneBitPictIsReducedFromItsOnePlane) {
  fs::copy_file(std::string(KX_SOURCE_DIR) +
                    "/tests/data/pict/read/BitmapSetBitsAreBlackAndPartialBytesAreExpanded-1.pict",
                dir.path("b.pict"));
  kxreduce(dir, "-i pict b out");
  EXPECT_TRUE(fs::exists(dir.path("out.icn")));
}

}  // namespace
}  // namespace kx
