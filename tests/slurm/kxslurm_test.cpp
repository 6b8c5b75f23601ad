// kxslurm without a cluster: sbatch and squeue are the stand-ins in
// tests/slurm/fake, which run every task as soon as it is submitted. Split
// into any number of tasks, a sequence leaves the files one kxreduce
// leaves; a second run redoes only what is missing; and what cannot give
// the same files is refused before anything is submitted.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/pictures.h"
#include "support/tempdir.h"

namespace kx {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

// Frames in.1 ... in.7 of different sizes, and a colormap map.clm to impose.
void writeFrames(const std::string& dir) {
  for (int i = 1; i <= 7; ++i) {
    writeSamplePicture(dir + "/in." + std::to_string(i), 50 + 13 * i, 30 + 7 * (i % 3), i);
  }
  ASSERT_EQ(runProgram("kxreduce", {"-n", "12", "in.1", "map"}, dir).status, 0);
  fs::remove(dir + "/map.icn");
}

Args withNames(Args args) {
  args.insert(args.end(), {"in", "out"});
  return args;
}

FolderSnapshot outputsOf(const std::string& dir) {
  FolderSnapshot files = snapshotFolder(dir);
  std::erase_if(files, [](const auto& entry) { return entry.first == "out.kxslurm"; });
  return files;
}

struct FakeSlurm {
  TempDir state;
  RunResult run(const std::string& dir, const Args& args) const {
    RunOptions options;
    options.cwd = dir;
    const char* path = std::getenv("PATH");
    options.env = {"PATH=" + std::string(KX_SOURCE_DIR) + "/tests/slurm/fake:" + (path ? path : ""),
                   "KX_FAKE_SLURM=" + state.path(), "KX_THREADS=2"};
    return runProgram("kxslurm", args, options);
  }
  std::string calls() const {
    std::ifstream in(state.path("calls"));
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

const Args kOptions[] = {
    {"-u", "-r", "2", "-n", "24", "-s", "1", "7", "1"},
    {"-u", "-A", "-z", "30", "-o", "pict2", "--refine", "-s", "1", "7", "1"},
    {"-a", "-z", "40", "-r", "3", "-o", "pic", "-s", "1", "7", "1"},
    {"-c", "map", "-T", "-o", "pict", "-s", "1", "7", "1"},
    {"-q", "4", "-b", "6", "-Q", "3", "-r", "2", "--refine", "-s", "1", "7", "3"},
};

class Split : public testing::TestWithParam<Args> {};

TEST_P(Split, SameFilesAsOneProcess) {
  TempDir whole;
  writeFrames(whole.path());
  const RunResult one = runProgram("kxreduce", withNames(GetParam()), whole.path());
  ASSERT_EQ(one.status, 0) << one.err;
  const FolderSnapshot expected = outputsOf(whole.path());
  for (const char* tasks : {"1", "3", "9"}) {
    TempDir dir;
    writeFrames(dir.path());
    FakeSlurm slurm;
    Args args = {"--tasks", tasks, "--wait"};
    args.insert(args.end(), GetParam().begin(), GetParam().end());
    const RunResult r = slurm.run(dir.path(), withNames(args));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(outputsOf(dir.path()) == expected) << tasks << " tasks\n" << r.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Options, Split, testing::ValuesIn(kOptions));

TEST(Rerun, RedoesOnlyTheSharesWithMissingFiles) {
  TempDir whole, dir;
  writeFrames(whole.path());
  writeFrames(dir.path());
  const Args args = withNames({"-a", "-r", "2", "-s", "1", "7", "1"});
  ASSERT_EQ(runProgram("kxreduce", args, whole.path()).status, 0);
  FakeSlurm slurm;
  Args split = {"--tasks", "3", "--wait"};
  split.insert(split.end(), args.begin(), args.end());
  ASSERT_EQ(slurm.run(dir.path(), split).status, 0);

  // Frame 5 (the third share's) lost a repetition, and a killed task left
  // a temporary file.
  fs::remove(dir.path("out.10.icn"));
  std::ofstream(dir.path(".out.9.icn.Ab12Cd")) << "half";
  const RunResult again = slurm.run(dir.path(), split);
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.err.find("2 of 3 shares were done already"), std::string::npos) << again.err;
  const std::string calls = slurm.calls();
  EXPECT_NE(calls.rfind("--array=2 "), std::string::npos) << calls;
  EXPECT_TRUE(outputsOf(dir.path()) == outputsOf(whole.path()));

  const RunResult done = slurm.run(dir.path(), split);
  EXPECT_EQ(done.err, "kxslurm: every file of the sequence is there already: nothing to submit\n");

  // The work folder belongs to its command.
  Args other = split;
  other[3] = "-n";
  other.insert(other.begin() + 4, "8");
  const RunResult refused = slurm.run(dir.path(), other);
  EXPECT_EQ(refused.status, 255);
  EXPECT_EQ(refused.err.rfind("kxslurm: " + dir.path() +
                                  "/out.kxslurm holds the work of another "
                                  "command:\n",
                              0),
            0u)
      << refused.err;
}

TEST(Refusals, BeforeAnythingIsSubmitted) {
  TempDir dir;
  writeFrames(dir.path());
  struct Refusal {
    Args args;
    std::string firstLine;
  };
  const Refusal refusals[] = {
      {{"--tasks", "0", "-s", "1", "7", "1", "in", "out"},
       "kxslurm: --tasks takes the number of array tasks, 1 or more, not 0"},
      {{"-s", "1", "7", "1", "in", "out"},
       "kxslurm: give --tasks <count>, the number of array tasks"},
      {{"--tasks", "2", "in", "out"},
       "kxslurm: give -s <start> <end> <step>: kxslurm runs a sequence"},
      {{"--tasks", "2", "-d", "-s", "1", "7", "1", "in", "out"},
       "kxslurm: -d shows every frame in a window, and cluster tasks have no display"},
      {{"--tasks", "2", "-s", "1", "7", "1", "--frames", "1-3", "in", "out"},
       "kxslurm: unknown option --frames (kxslurm gives kxreduce its --frames, --palettes-to, "
       "--gather and --palette itself)"},
      {{"--tasks", "2", "-s", "1", "7", "1", "in", "out", "--", "-p", "big", "--array=0-3"},
       "kxslurm: kxslurm sets sbatch's --array itself"},
      {{"--tasks", "2", "-r", "2", "-o", "pic", "-s", "1", "7", "1", "in", "./in"},
       "kxslurm: the output frames would be written over the input frames in.<n>: give another "
       "output name"},
      {{"--tasks", "2", "-s", "1", "7", "0", "in", "out"},
       "Error: Frame step 0 is below 1: the sequence 1 to 7 would never end"},
      {{"--tasks", "2", "-n", "1", "-s", "1", "7", "1", "in", "out"}, "number of colors must >= 2"},
  };
  FakeSlurm slurm;
  for (const Refusal& r : refusals) {
    const RunResult result = slurm.run(dir.path(), r.args);
    EXPECT_EQ(result.status, 255) << r.firstLine;
    EXPECT_EQ(result.err.substr(0, result.err.find('\n')), r.firstLine);
  }
  EXPECT_EQ(slurm.calls(), "");
  EXPECT_FALSE(fs::exists(dir.path("out.kxslurm")));
  // kxreduce's refusals end with kxslurm's word on them.
  const RunResult step = slurm.run(dir.path(), refusals[7].args);
  EXPECT_TRUE(step.err.ends_with("\nkxslurm: kxreduce refuses these arguments (see above)\n"));
}

}  // namespace
}  // namespace kx
