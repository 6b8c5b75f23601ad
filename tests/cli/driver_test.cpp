// kxreduce, the real binary: its command line (usage text, every option
// check with its message and status, the values the options leave for the
// run), and whole runs on real picture files: frame names, repeats,
// sequences and their shares, the unique colormap, imposed colormaps,
// messages and failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <ranges>
#include <string>
#include <vector>

#include "support/case_names.h"
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

// The usage text, byte for byte.
const std::string kUsage = readFileText(KX_SOURCE_DIR "/tests/data/cli/usage.txt");

// A command line: what the scan prints (possibly nothing), then the usage
// text when it is rejected, or the run's refusal of the missing input when
// it is accepted; status 255 either way, nothing on stdout.
struct Line {
  std::string name;  // the arguments, split at each space
  std::string message;
  bool accepted = false;
};

// "-n 1 in out" gives n_1_in_out; "--" alone, EndOfOptions.
std::string lineName(const testing::TestParamInfo<Line>& p) {
  return identifier(p.param.name.starts_with("-- ") ? "EndOfOptions" + p.param.name.substr(2)
                                                    : p.param.name);
}

class CommandLines : public testing::TestWithParam<Line> {};

TEST_P(CommandLines, MessageThenUsageOrTheRun) {
  const Line& line = GetParam();
  TempDir dir;
  const RunResult r = kxreduce(dir, line.name, 255);
  EXPECT_EQ(r.err, line.message + (line.accepted ? "Error: Cannot open input file in\n" : kUsage));
  EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Options, CommandLines,
    testing::Values(
        Line{"", ""}, Line{"in", ""}, Line{"in out extra", "Too many parameters!\n"},
        Line{"-n 1 in out", "number of colors must >= 2\n"}, Line{"in out -n abc", ""},
        Line{"in out -n", ""}, Line{"-a 0 in out", "adjustment factor mast > 0 and <= 1\n"},
        Line{"-a 1.5 in out", "adjustment factor mast > 0 and <= 1\n"},
        Line{"-a .5 in out", "Too many parameters!\n"},
        Line{"-q 1 in out", "quantization factor must > 1 and < 8\n"},
        Line{"-Q 8 in out", "quantization factor must > 1 and < 8\n"},
        Line{"-z 0 in out", "compress value must > 1 and < 255\n"},
        Line{"-z 256 in out", "compress value must > 1 and < 255\n"},
        Line{"-b 0 in out", "number of bits must > 0 "},
        Line{"-r -2 in out", "-2 is an invalid opt.repeat value.\n"}, Line{"in out -s 1 5", ""},
        Line{"in out -s 1 x 1", ""}, Line{"-i pict2 in out", "format pict2 unknown.\n\n"},
        Line{"-o gif in out", "format gif unknown.\n\n"},
        Line{"--refined in out", "Invalid option --\n\n"},
        Line{"-- in out", "Invalid option --\n\n"}, Line{"-x in out", "Invalid option -x\n\n"},
        Line{"-5 in out", "Invalid option -5\n\n"},
        Line{"-o pic same same",
             "!!!Error: When using option -o, input and output\nmust have different file names\n"},
        Line{"in out", "", true},
        Line{"-n 300 in out", "Too many colors, 256 colors used.\n", true},
        Line{"-a in out", "", true}, Line{"in out -a", "", true}, Line{"-a 1 in out", "", true},
        Line{"-q in out", "", true}, Line{"-q 7.99 in out", "", true},
        Line{"in out -q 3", "", true}, Line{"-z 1 in out", "", true},
        Line{"-z 255 in out", "", true}, Line{"-b 1 in out", "", true},
        Line{"-b 16 in out", "", true},
        Line{"-b 17 in out", "number of bits must <= 16 to save a colormap\n"},
        Line{"--frames 0- -s 1 5 1 in out",
             "--frames takes a range of frame numbers A-B with A <= B, not 0-\n"},
        Line{"-r 0 in out", "", true}, Line{"-o pict2 in out", "", true},
        Line{"in --refine out", "", true}, Line{"-o pict in in", "", true},
        Line{"-verbose in out", "Reading image in...\n", true},
        Line{"-c x -C y -A -T -u in out", "", true}),
    lineName);

// Values that reach the run, seen in what it writes: the colour count from
// leading digits, a count above 256 taken as 256, a later option overriding
// an earlier one, and an empty sequence, whatever its step, reading nothing
// (kxslurm's refusals show kxreduce's of a step that would never end).
TEST(CommandLine, ValuesReachTheRunAndAnEmptySequenceReadsNothing) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 40, 30);
  kxreduce(dir, "-n 12abc in out");
  EXPECT_EQ(readFileBytes(dir.path("out.clm")).size(), 16u + 12u * 6u);
  kxreduce(dir, "-n 300 in out");  // its message is checked in the table above
  EXPECT_EQ(readFileBytes(dir.path("out.clm")).size(), 16u + 256u * 6u);
  EXPECT_EQ(kxreduce(dir, "-n 8 -n 4 -A in out").out, "writeASCIIColorMap\n");
  EXPECT_EQ(readFileText(dir.path("out.cla")).substr(0, 4), "4 8\n");
  EXPECT_EQ(kxreduce(dir, "-s 5 1 1 in out").err, "");
  EXPECT_EQ(kxreduce(dir, "-s 5 1 -1 in out").err, "");
}

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& [name, bytes] : snapshotFolder(dir)) names.push_back(name);
  return names;
}

// A 4 × 2 picture of five colours.
const std::vector<uint8_t> kFive = {0, 0, 0, 1, 0, 0, 2, 0, 0, 3, 0, 0,
                                    4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

struct FrameDriver : testing::Test {
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
  EXPECT_EQ(readFileBytes(dir.path("my out.3.icn")), readFileBytes(dir.path("my out.1.icn")));
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
// is written once under the sequence's name. With an imposed colormap -u
// uses it for every frame and writes no palette.
TEST_F(FrameDriver, UniqueColormapOverSequenceOrImposedOnEveryFrame) {
  for (int f = 1; f <= 5; f += 2)
    writeSamplePicture(dir.path("in." + std::to_string(f)), 12, 10, f);
  const RunResult r = kxreduce(dir, "-u -v -n 8 -s 1 5 2 in out");
  EXPECT_EQ(filesIn(dir.path()),
            (std::vector<std::string>{"in.1.pic", "in.3.pic", "in.5.pic", "out-1-5.clm",
                                      "out.1.icn", "out.3.icn", "out.5.icn"}));
  // Frame 1 read by both passes, and only by them: its line cuts the messages in three.
  const std::string_view read = "Reading image in.1...";
  EXPECT_EQ(std::ranges::distance(std::views::split(r.err, read)), 3);
  // With -r 0 nothing is written.
  kxreduce(dir, "-u -r 0 -s 1 5 2 in none");
  EXPECT_EQ(filesIn(dir.path()).size(), 7u);
  writeSamplePicture(dir.path("in.2"), 12, 10, 2);
  kxreduce(dir, "-n 4 in.1 pal");
  kxreduce(dir, "-u -c pal -s 1 3 1 in imposed");
  EXPECT_FALSE(fs::exists(dir.path("imposed-1-3.clm")));
  for (int f = 1; f <= 3; ++f) {
    auto icn = readFileBytes(dir.path("imposed." + std::to_string(f) + ".icn"));
    ASSERT_EQ(icn.size(), 12u * 10u + 76u);
    for (size_t i = 68; i < 68 + 120; ++i) ASSERT_LT(icn[i], 4);
  }
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
  const std::vector<uint8_t> reduced = readRgbPicture(dir.path("out"), &w, &h);
  EXPECT_EQ(std::pair(w, h), std::pair(30, 20));
  const auto icn = readFileBytes(dir.path("out.icn")), clm = readFileBytes(dir.path("out.clm"));
  std::vector<uint8_t> shown;  // the low byte of each index's 16-bit samples
  for (int i = 0; i < 30 * 20; ++i)
    for (int c = 0; c < 3; ++c) shown.push_back(clm.at(16 + 6 * icn.at(68 + i) + 2 * c + 1));
  EXPECT_EQ(reduced, shown);
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

// Sequences in shares (--frames, and the three stages of -u): what cannot be
// split is refused. That shares write what one run writes is kxslurm's test.
TEST(Sequences, SharesRefuseWhatCannotBeSplit) {
  TempDir dir;
  for (int i = 1; i <= 6; ++i)
    writeSamplePicture(dir.path("in." + std::to_string(i)), 60 + 17 * i, 40 + 9 * (i % 3), i);
  // The palettes of a first share, frames 1 to 3.
  ASSERT_EQ(kxreduce(dir, "-u -s 1 6 1 --frames 1-3 --palettes-to a.kxp in out").status, 0);
  // A header of 257 colours per palette and no palettes.
  writeFileBytes(dir.path("wide.kxp"),
                 {'K', 'X', 'P', 'L', 0, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 6, 0, 0, 0, 1, 0, 0, 0, 0});
  const std::pair<std::string, std::string> refusals[] = {
      {"-u -s 1 6 1 --frames 1-3 in out",
       "Error: with -u, --frames needs --palettes-to or --palette: the palette of a sequence "
       "comes from all its frames\n"},
      {"-s 1 6 1 --palettes-to p in out",
       "Error: --palettes-to, --gather and --palette are the stages of -u: give -u, and neither "
       "-c, -C nor -r 0\n"},
      {"-u -s 1 6 1 in out --gather nothing.kxp",
       "Error: palette file nothing.kxp: No such file or directory\n"},
      {"-u -s 1 6 1 in out --gather in.1.pic",
       "Error: palette file in.1.pic: not a palette file\n"},
      {"-u -s 1 6 1 in out --gather wide.kxp",
       "Error: palette file wide.kxp: 257 colours per palette (1 to 256)\n"},
      // A gather that misses a share names the first frame no file holds.
      {"-u -s 1 6 1 in out --gather a.kxp",
       "Error: no palette file holds frame 4 of the sequence\n"},
      {"-u -n 64 -s 1 6 1 in out --gather a.kxp",
       "Error: palette file a.kxp is of the sequence 1 6 1 with 256 colours, not of this run's\n"},
  };
  for (const auto& [args, message] : refusals) {
    EXPECT_EQ(kxreduce(dir, args, 255).err, message);
    EXPECT_FALSE(fs::exists(dir.path("out-1-6.clm")));
  }
}

}  // namespace
}  // namespace kx
