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

RunResult kxreduce(const std::vector<std::string>& args, const std::string& cwd) {
  return runProgram("kxreduce", args, cwd);
}

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A picture of exactly `count` distinct colours, each once, on one row per 256.
std::vector<uint8_t> distinctColours(int count, int width, int height) {
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3, 0);
  for (int i = 0; i < width * height; ++i) {
    int v = i < count ? i : 0;
    rgb[3 * i] = static_cast<uint8_t>(v & 0xFF);
    rgb[3 * i + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
    rgb[3 * i + 2] = static_cast<uint8_t>((v >> 16) * 37);
  }
  return rgb;
}

TEST(FrameDriver, SingleFrameWritesImageAndColormap) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 32, 24);
  RunResult r = kxreduce({"-n", "16", "in", "out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "allocate color table\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"in.pic", "out.clm", "out.icn"}));
  EXPECT_EQ(readFileBytes(dir.path("out.icn")).size(), 32u * 24u + 76u);
  EXPECT_EQ(readFileBytes(dir.path("out.clm")).size(), 16u + 16u * 6u);
}

TEST(FrameDriver, VerboseMessagesOfOneFrameInOrder) {
  TempDir dir;
  writeRgbPicture(dir.path("in"), 4, 2, distinctColours(5, 4, 2));
  RunResult r = kxreduce({"-v", "-n", "4", "in", "out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err,
            "Reading image in...\n"
            "allocate color table\n"
            "Writing to out...\n"
            "Counting colors in the image...  5 colors found.\n"
            "Choosing 4 colors...\n"
            "Making the new 4 colors image...\n"
            "Done.\n"
            "#### END OF COLOR REDUCTION ####\n");
  r = kxreduce({"-v", "-q", "in", "out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.rfind("Reading image in...\nMaking color quantification...\n"
                        "allocate color table\n",
                        0),
            0u)
      << r.err;
}

TEST(FrameDriver, RepeatedFramesAreCopies) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 16, 16);
  RunResult r = kxreduce({"-r", "3", "-o", "pic", "in", "my out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  auto first = readFileBytes(dir.path("my out.1.icn"));
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(readFileBytes(dir.path("my out.2.icn")), first);
  EXPECT_EQ(readFileBytes(dir.path("my out.3.icn")), first);
  EXPECT_EQ(readFileBytes(dir.path("my out.3.pic")), readFileBytes(dir.path("my out.1.pic")));
  // Only the first frame's colormap is written.
  EXPECT_TRUE(fs::exists(dir.path("my out.1.clm")));
  EXPECT_FALSE(fs::exists(dir.path("my out.2.clm")));
}

TEST(FrameDriver, FailedCopyIsAnError) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 8, 8);
  fs::create_directory(dir.path("out.2.icn"));
  RunResult r = kxreduce({"-r", "2", "in", "out"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.err.find("Error: Cannot copy out.1.icn to out.2.icn: "), std::string::npos) << r.err;
  EXPECT_TRUE(fs::exists(dir.path("out.1.icn")));  // finished before the failure
}

TEST(FrameDriver, SequenceWithRepeatsNamesOutputFrames) {
  TempDir dir;
  for (int f : {1, 3, 5}) writeSamplePicture(dir.path("in." + std::to_string(f)), 8, 8, f);
  RunResult r = kxreduce({"-s", "1", "5", "2", "-r", "2", "in", "out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  for (int n : {1, 3, 5, 7, 9, 11}) {
    EXPECT_TRUE(fs::exists(dir.path("out." + std::to_string(n) + ".icn"))) << n;
  }
  EXPECT_FALSE(fs::exists(dir.path("out.2.icn")));
  EXPECT_EQ(readFileBytes(dir.path("out.3.icn")), readFileBytes(dir.path("out.1.icn")));
}

TEST(FrameDriver, LargerLaterFrameGetsALargerIndexTable) {
  TempDir dir;
  writeSamplePicture(dir.path("f.1"), 8, 8);
  writeSamplePicture(dir.path("f.2"), 64, 48);
  // The sanitizer build catches any write past the index table.
  RunResult plain = kxreduce({"-s", "1", "2", "1", "f", "plain"}, dir.path());
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(readFileBytes(dir.path("plain.2.icn")).size(), 64u * 48u + 76u);
}

TEST(FrameDriver, UniqueColormapOverSequence) {
  TempDir dir;
  for (int f = 1; f <= 9; f += 2)
    writeSamplePicture(dir.path("in." + std::to_string(f)), 12, 10, f);
  RunResult r = kxreduce({"-u", "-v", "-n", "8", "-s", "1", "9", "2", "in", "out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists(dir.path("out-1-9.clm")));
  for (int f = 1; f <= 9; f += 2) {
    EXPECT_TRUE(fs::exists(dir.path("out." + std::to_string(f) + ".icn")));
    EXPECT_FALSE(fs::exists(dir.path("out." + std::to_string(f) + ".clm")));
  }
  // Both passes visit every frame; only the second writes.
  size_t reads = 0;
  for (size_t p = r.err.find("Reading image in.1..."); p != std::string::npos;
       p = r.err.find("Reading image in.1...", p + 1)) {
    ++reads;
  }
  EXPECT_EQ(reads, 2u);
  EXPECT_NE(r.err.find("Prepare the unique colormap...\n"), std::string::npos);
}

TEST(FrameDriver, UniqueWithImposedColormapUsesItForEveryFrame) {
  TempDir dir;
  for (int f = 1; f <= 3; ++f) writeSamplePicture(dir.path("in." + std::to_string(f)), 12, 10, f);
  ASSERT_EQ(kxreduce({"-n", "4", "in.1", "pal"}, dir.path()).status, 0);
  RunResult r = kxreduce({"-u", "-c", "pal", "-s", "1", "3", "1", "in", "out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(dir.path("out-1-3.clm")));
  for (int f = 1; f <= 3; ++f) {
    auto icn = readFileBytes(dir.path("out." + std::to_string(f) + ".icn"));
    ASSERT_EQ(icn.size(), 12u * 10u + 76u);
    for (size_t i = 68; i < 68 + 120; ++i) ASSERT_LT(icn[i], 4);
  }
}

TEST(FrameDriver, UniqueWithoutOutputFramesWritesNothing) {
  TempDir dir;
  writeSamplePicture(dir.path("in.1"), 8, 8);
  writeSamplePicture(dir.path("in.2"), 8, 8);
  RunResult r = kxreduce({"-u", "-r", "0", "-s", "1", "2", "1", "in", "out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"in.1.pic", "in.2.pic"}));
}

TEST(FrameDriver, ImposedColormapsAndConversionBothWays) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 20, 20);
  ASSERT_EQ(kxreduce({"-n", "6", "in", "pal"}, dir.path()).status, 0);
  // Binary colormap imposed and converted to ASCII.
  RunResult r = kxreduce({"-v", "-c", "pal", "-T", "in", "a"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("Reading colormap pal.clm ...\nnb_color = 6, nb_bits = 8\n"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(dir.path("a.clm")));  // an imposed palette is not saved again
  ASSERT_TRUE(fs::exists(dir.path("pal.cla")));
  // ASCII colormap imposed and converted back: the binary file is identical.
  auto original = readFileBytes(dir.path("pal.clm"));
  fs::remove(dir.path("pal.clm"));
  r = kxreduce({"-C", "pal", "-T", "in", "b"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFileBytes(dir.path("pal.clm")), original);
  EXPECT_EQ(readFileBytes(dir.path("a.icn")), readFileBytes(dir.path("b.icn")));
}

TEST(FrameDriver, TooManyColoursAreCompressedFirst) {
  TempDir dir;
  // 62769 distinct colours: one more than the colour table accepts.
  writeRgbPicture(dir.path("in"), 256, 246, distinctColours(62769, 256, 246));
  RunResult r = kxreduce({"in", "out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err,
            "allocate color table\n"
            "More than 62768 colors found!!!\n"
            "Note: you can use option -q to reduce color.\n"
            "Compress and Counting colors again...\n");
}

TEST(FrameDriver, StillTooManyColoursEndsWithStatusOne) {
  TempDir dir;
  // Noise keeps far more than 62768 colours after compression to 129 levels.
  std::vector<uint8_t> rgb(300 * 300 * 3);
  uint32_t s = 12345;
  for (auto& b : rgb) {
    s = s * 1103515245u + 12345u;
    b = static_cast<uint8_t>(s >> 24);
  }
  writeRgbPicture(dir.path("in"), 300, 300, rgb);
  RunResult r = kxreduce({"in", "out"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "allocate color table\n"
            "More than 62768 colors found!!!\n"
            "Note: you can use option -q to reduce color.\n"
            "Compress and Counting colors again...\n"
            "Still too many colors, try option -q\n");
  EXPECT_FALSE(fs::exists(dir.path("out.icn")));
  EXPECT_FALSE(fs::exists(dir.path("out.clm")));
}

TEST(FrameDriver, PictureOutputRoundTrip) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 30, 20);
  RunResult r = kxreduce({"-n", "8", "-o", "pic", "in", "out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  int w = 0, h = 0;
  std::vector<uint8_t> reduced = readRgbPicture(dir.path("out"), &w, &h);
  ASSERT_EQ(w, 30);
  ASSERT_EQ(h, 20);
  // Every pixel of the picture output is the palette colour of its index.
  auto icn = readFileBytes(dir.path("out.icn"));
  auto clm = readFileBytes(dir.path("out.clm"));
  for (int i = 0; i < w * h; ++i) {
    int index = icn[68 + i];
    for (int c = 0; c < 3; ++c) {
      ASSERT_EQ(reduced[3 * i + c], clm[16 + 6 * index + 2 * c + 1]) << i;
    }
  }
  // Picture output requires distinct input and output names.
  EXPECT_EQ(kxreduce({"-o", "pic", "in", "in"}, dir.path()).status, 255);
}

TEST(FrameDriver, UnwritablePictureOutputIsAnError) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 8, 8);
  fs::create_directory(dir.path("out.pic"));
  RunResult r = kxreduce({"-o", "pic", "in", "out"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.err.find("Error: Cannot write picture file out.pic: "), std::string::npos) << r.err;
  // The frame's other outputs go with it.
  EXPECT_FALSE(fs::exists(dir.path("out.icn")));
  EXPECT_FALSE(fs::exists(dir.path("out.clm")));
}

TEST(FrameDriver, UnreadableInputNamesTheTypedName) {
  TempDir dir;
  RunResult r = kxreduce({"-s", "1", "1", "1", "missing", "out"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Error: Cannot open input file missing\n");
}

// ---- --refine ----------------------------------------------------------------------

int64_t squaredError(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  int64_t total = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) total += (a[i] - b[i]) * (a[i] - b[i]);
  return total;
}

struct RefinedRun {
  const char* name;
  int width, height;
  std::vector<uint8_t> rgb;
  std::vector<std::string> options;
  const char* messages;  // the same with and without --refine
};

void PrintTo(const RefinedRun& r, std::ostream* os) {
  *os << r.name;
}

std::vector<RefinedRun> refinedRuns() {
  std::vector<uint8_t> gradient(256 * 256 * 3);
  for (int y = 0; y < 256; ++y) {
    for (int x = 0; x < 256; ++x) {
      uint8_t* p = &gradient[3 * (y * 256 + x)];
      p[0] = static_cast<uint8_t>(x);
      p[1] = static_cast<uint8_t>(y);
      p[2] = static_cast<uint8_t>(((x >> 1) * 3 + (y >> 1)) & 0xFF);
    }
  }
  return {
      {"few colours", 4, 2, distinctColours(5, 4, 2), {"-n", "4"}, "allocate color table\n"},
      {"65536 colours, compressed to be counted",
       256,
       256,
       gradient,
       {"-n", "64"},
       "allocate color table\nMore than 62768 colors found!!!\n"
       "Note: you can use option -q to reduce color.\nCompress and Counting colors again...\n"},
  };
}

class Refined : public testing::TestWithParam<RefinedRun> {};

// The refined palette is repeatable to the byte, never gives a larger error
// than the design's palette on the same picture, and the run says exactly
// what the design's run says.
TEST_P(Refined, RepeatableAndNeverWorse) {
  const RefinedRun& c = GetParam();
  TempDir dir;
  writeRgbPicture(dir.path("in"), c.width, c.height, c.rgb);
  auto run = [&](const std::string& out, bool refine) {
    std::vector<std::string> args = c.options;
    if (refine) args.push_back("--refine");
    args.insert(args.end(), {"-o", "pic", "in", out});
    RunResult r = kxreduce(args, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, c.messages);
  };
  run("plain", false);
  run("a", true);
  run("b", true);
  for (const std::string ext : {".icn", ".clm", ".pic"}) {
    EXPECT_EQ(readFileBytes(dir.path("a" + ext)), readFileBytes(dir.path("b" + ext)));
  }
  const std::vector<uint8_t> original = readRgbPicture(dir.path("in"));
  EXPECT_LE(squaredError(original, readRgbPicture(dir.path("a"))),
            squaredError(original, readRgbPicture(dir.path("plain"))));
}

INSTANTIATE_TEST_SUITE_P(Pictures, Refined, testing::ValuesIn(refinedRuns()));

TEST(FrameDriver, UniqueColormapRefinedOverTheFramesPixels) {
  TempDir dir;
  for (int f = 1; f <= 3; ++f) writeSamplePicture(dir.path("in." + std::to_string(f)), 24, 16, f);
  for (const char* out : {"a", "b"}) {
    RunResult r =
        kxreduce({"--refine", "-u", "-n", "8", "-s", "1", "3", "1", "in", out}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
  }
  EXPECT_EQ(readFileBytes(dir.path("a-1-3.clm")), readFileBytes(dir.path("b-1-3.clm")));
  for (int f = 1; f <= 3; ++f) {
    const std::string frame = std::to_string(f);
    EXPECT_EQ(readFileBytes(dir.path("a." + frame + ".icn")),
              readFileBytes(dir.path("b." + frame + ".icn")));
  }
}

}  // namespace
}  // namespace kx
