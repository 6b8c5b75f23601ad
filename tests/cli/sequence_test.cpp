// Sequences worked on side by side, and in shares: whatever the thread
// count, and however a sequence is split into --frames shares (with the
// three stages of -u), the files, their bytes, the messages and the status
// are those of one run on one thread.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/pictures.h"
#include "support/tempdir.h"

namespace kx {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

// Frames 1 to 6 of different sizes; `noise` (if not 0) keeps too many
// colours, `missing` (if not 0) is not there.
void writeFrames(const std::string& dir, int noise = 0, int missing = 0) {
  for (int i = 1; i <= 6; ++i) {
    const std::string name = dir + "/in." + std::to_string(i);
    if (i == missing) continue;
    if (i == noise) {
      std::vector<uint8_t> rgb(400 * 400 * 3);
      std::mt19937 rng(i);
      for (auto& b : rgb) b = static_cast<uint8_t>(rng());
      writeRgbPicture(name, 400, 400, rgb);
    } else {
      writeSamplePicture(name, 60 + 17 * i, 40 + 9 * (i % 3), i);
    }
  }
}

struct Outcome {
  RunResult result;
  FolderSnapshot files;
};

Outcome runIn(const std::string& dir, const Args& args, int threads) {
  RunOptions options;
  options.cwd = dir;
  options.env = {"KX_THREADS=" + std::to_string(threads)};
  Outcome o{runProgram("kxreduce", args, options), {}};
  o.files = snapshotFolder(dir);
  return o;
}

struct SequenceCase {
  const char* name;
  Args args;
  int noise = 0, missing = 0;
};

const SequenceCase kCases[] = {
    {"plain", {"-n", "16", "-s", "1", "6", "1", "in", "out"}},
    {"adjusted_repeated_pictures",
     {"-v", "-a", "-r", "2", "-o", "pic", "-s", "1", "6", "1", "in", "out"}},
    {"one_palette", {"-v", "-u", "-r", "3", "-n", "32", "-s", "1", "6", "1", "in", "out"}},
    {"one_palette_ascii_pict2", {"-u", "-A", "-o", "pict2", "-s", "1", "6", "1", "in", "out"}},
    {"filtered_compressed_pict",
     {"-v", "-q", "4", "-z", "50", "-o", "pict", "-s", "1", "6", "1", "in", "out"}},
    {"bits_and_palette_levels", {"-b", "5", "-Q", "3", "-s", "1", "6", "1", "in", "out"}},
    {"stepped", {"-v", "-s", "2", "6", "2", "-r", "2", "in", "out"}},
    {"missing_frame", {"-v", "-s", "1", "6", "1", "in", "out"}, 0, 4},
    {"too_many_colours", {"-s", "1", "6", "1", "in", "out"}, 3, 0},
    {"too_many_colours_one_palette", {"-u", "-s", "1", "6", "1", "in", "out"}, 5, 0},
};

class Sequences : public testing::TestWithParam<SequenceCase> {};

TEST_P(Sequences, SameForAnyThreadCount) {
  const SequenceCase& c = GetParam();
  std::vector<Outcome> outcomes;
  for (const int threads : {1, 2, 3, 8}) {
    TempDir dir;
    writeFrames(dir.path(), c.noise, c.missing);
    outcomes.push_back(runIn(dir.path(), c.args, threads));
  }
  const Outcome& one = outcomes[0];
  for (size_t t = 1; t < outcomes.size(); ++t) {
    EXPECT_EQ(outcomes[t].result.status, one.result.status) << t;
    EXPECT_EQ(outcomes[t].result.err, one.result.err) << t;
    EXPECT_EQ(outcomes[t].result.out, one.result.out) << t;
    EXPECT_TRUE(outcomes[t].files == one.files) << t;
  }
  EXPECT_EQ(one.result.status, c.missing ? 255 : c.noise ? 1 : 0) << one.result.err;
}

INSTANTIATE_TEST_SUITE_P(Cases, Sequences, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<SequenceCase>& info) {
                           return std::string(info.param.name);
                         });

// The shares of a run, as a scheduler would start them: for -u, each share
// records its palettes, one process gathers them, and each share is reduced
// with the sequence's palette.
void runShares(const std::string& dir, const Args& options, int shares) {
  const Args names = {"in", "out"};
  auto run = [&](Args extra) {
    // The names go first: --gather takes the arguments up to the next option.
    Args args = options;
    args.insert(args.end(), names.begin(), names.end());
    args.insert(args.end(), extra.begin(), extra.end());
    RunResult r = runProgram("kxreduce", args, dir);
    ASSERT_EQ(r.status, 0) << r.err;
  };
  const bool unique = std::find(options.begin(), options.end(), "-u") != options.end();
  std::vector<std::string> ranges, palettes;
  for (int s = 0; s < shares; ++s) {
    const int first = 1 + 6 * s / shares, last = 6 * (s + 1) / shares;
    if (first > last) continue;
    ranges.push_back(std::to_string(first) + "-" + std::to_string(last));
    palettes.push_back("part" + std::to_string(s) + ".kxp");
  }
  if (!unique) {
    for (const std::string& range : ranges) run({"--frames", range});
    return;
  }
  for (size_t s = 0; s < ranges.size(); ++s) {
    run({"--frames", ranges[s], "--palettes-to", palettes[s]});
  }
  Args gather = {"--palettes-to", "shared.kxp", "--gather"};
  gather.insert(gather.end(), palettes.begin(), palettes.end());
  run(gather);
  for (const std::string& range : ranges) run({"--frames", range, "--palette", "shared.kxp"});
  for (const std::string& p : palettes) fs::remove(dir + "/" + p);
  fs::remove(dir + "/shared.kxp");
}

TEST(Sequences, SharesWriteWhatOneRunWrites) {
  const Args cases[] = {
      {"-a", "-r", "2", "-z", "60", "-o", "pic", "-s", "1", "6", "1"},
      {"-u", "-r", "2", "-n", "24", "-o", "pict2", "-s", "1", "6", "1"},
      {"-u", "-b", "12", "-A", "-s", "1", "6", "1"},
  };
  for (const Args& options : cases) {
    TempDir whole;
    writeFrames(whole.path());
    Args args = options;
    args.insert(args.end(), {"in", "out"});
    ASSERT_EQ(runProgram("kxreduce", args, whole.path()).status, 0);
    const FolderSnapshot expected = snapshotFolder(whole.path());
    for (const int shares : {2, 4, 7}) {
      TempDir dir;
      writeFrames(dir.path());
      runShares(dir.path(), options, shares);
      EXPECT_TRUE(snapshotFolder(dir.path()) == expected) << options[0] << " " << shares;
    }
  }
}

TEST(Sequences, SharesRefuseWhatCannotBeSplit) {
  TempDir dir;
  writeFrames(dir.path());
  struct Refusal {
    Args args;
    std::string message;
  };
  const Refusal refusals[] = {
      {{"-u", "-s", "1", "6", "1", "--frames", "1-3", "in", "out"},
       "Error: with -u, --frames needs --palettes-to or --palette: the palette of a sequence "
       "comes from all its frames\n"},
      {{"-s", "1", "6", "1", "--palettes-to", "p", "in", "out"},
       "Error: --palettes-to, --gather and --palette are the stages of -u: give -u, and neither "
       "-c, -C nor -r 0\n"},
      {{"-u", "-s", "1", "6", "1", "in", "out", "--gather", "nothing.kxp"},
       "Error: palette file nothing.kxp: No such file or directory\n"},
      {{"-u", "-s", "1", "6", "1", "in", "out", "--gather", "in.1.pic"},
       "Error: palette file in.1.pic: not a palette file\n"},
  };
  for (const Refusal& r : refusals) {
    const RunResult result = runProgram("kxreduce", r.args, dir.path());
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err, r.message);
  }
  // A gather that misses a share names the first frame no file holds.
  ASSERT_EQ(runProgram("kxreduce",
                       {"-u", "-s", "1", "6", "1", "--frames", "1-3", "--palettes-to", "a.kxp",
                        "in", "out"},
                       dir.path())
                .status,
            0);
  const RunResult r = runProgram(
      "kxreduce", {"-u", "-s", "1", "6", "1", "in", "out", "--gather", "a.kxp"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Error: no palette file holds frame 4 of the sequence\n");
  EXPECT_FALSE(fs::exists(dir.path("out-1-6.clm")));
  // The design's command line is unchanged: any other long option is invalid.
  const RunResult invalid = runProgram("kxreduce", {"--frame", "1-3", "in", "out"}, dir.path());
  EXPECT_EQ(invalid.status, 255);
  EXPECT_EQ(invalid.err.rfind("Invalid option --\n\n", 0), 0u);
}

}  // namespace
}  // namespace kx
