// kxslurm: split into any number of tasks, a sequence leaves the files one
// kxreduce leaves; a second run redoes only what is missing; what cannot give
// the same files is refused before anything is submitted. Mostly with the
// stand-ins of tests/slurm/fake (every task runs as soon as it is submitted),
// and on a real private one-node Slurm cluster (tests/slurm/local-cluster).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/case_names.h"
#include "support/pictures.h"
#include "support/tempdir.h"

namespace kx {
namespace {

namespace fs = std::filesystem;

void writeFrame(const std::string& dir, int i) {
  writeSamplePicture(dir + "/in." + std::to_string(i), 50 + 13 * i, 30 + 7 * (i % 3), i);
}

// A folder of frames in.1 ... in.7 of different sizes and a colormap map.clm to impose.
struct Frames : TempDir {
  Frames() {
    for (int i = 1; i <= 7; ++i) writeFrame(path(), i);
    EXPECT_EQ(runProgram("kxreduce", {"-n", "12", "in.1", "map"}, path()).status, 0);
    fs::remove(path("map.icn"));
  }
};

FolderSnapshot outputsOf(const std::string& dir) {
  FolderSnapshot files = snapshotFolder(dir);
  std::erase_if(files, [](const auto& entry) { return entry.first == "out.kxslurm"; });
  return files;
}

// The files kxreduce leaves for the arguments (ending in "in out").
FolderSnapshot oneProcess(const std::string& args) {
  Frames dir;
  const RunResult r = runProgram("kxreduce", words(args), dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  return outputsOf(dir.path());
}

struct FakeSlurm {
  TempDir state;
  RunResult run(const std::string& dir, const std::string& args) const {
    const char* path = std::getenv("PATH");
    const std::string fake = KX_SOURCE_DIR "/tests/slurm/fake:" + std::string(path ? path : "");
    return runProgram(
        "kxslurm", words(args),
        RunOptions{.cwd = dir,
                   .env = {"PATH=" + fake, "KX_FAKE_SLURM=" + state.path(), "KX_THREADS=2"}});
  }
  std::string calls() const { return readFileText(state.path("calls")); }
};

struct SplitCase {
  const char* name;
  std::string args;  // split at each space
};

const SplitCase kOptions[] = {
    {"UniqueRepeated", "-u -r 2 -n 24 -s 1 7 1 in out"},
    {"UniqueCompressedRefinedPict2", "-u -A -z 30 -o pict2 --refine -s 1 7 1 in out"},
    {"AdjustedCompressedPic", "-a -z 40 -r 3 -o pic -s 1 7 1 in out"},
    {"ImposedColormapConverted", "-c map -T -o pict -s 1 7 1 in out"},
    {"FilteredBitsEveryThirdFrame", "-q 4 -b 6 -Q 3 -r 2 --refine -s 1 7 3 in out"},
};

class Split : public testing::TestWithParam<SplitCase> {};

TEST_P(Split, SameFilesAsOneProcess) {
  const FolderSnapshot expected = oneProcess(GetParam().args);
  for (const char* tasks : {"1", "3", "9"}) {
    Frames dir;
    const RunResult r =
        FakeSlurm().run(dir.path(), std::string("--tasks ") + tasks + " --wait " + GetParam().args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(outputsOf(dir.path()) == expected) << tasks << " tasks\n" << r.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Options, Split, testing::ValuesIn(kOptions), CaseName());

TEST(Rerun, RedoesOnlyTheSharesWithMissingFiles) {
  Frames dir;
  const std::string args = "-a -r 2 -s 1 7 1 in out", split = "--tasks 3 --wait " + args;
  FakeSlurm slurm;
  ASSERT_EQ(slurm.run(dir.path(), split).status, 0);
  // Frame 5 (the third share's) lost a repetition, and a killed task left a
  // temporary file; a file of the user's is named alike.
  fs::remove(dir.path("out.10.icn"));
  std::ofstream(dir.path(".out.9.icn.Ab12Cd")) << "half";
  std::ofstream(dir.path("~out.9.icn.Ab12Cd")) << "mine";
  const RunResult again = slurm.run(dir.path(), split);
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_TRUE(fs::remove(dir.path("~out.9.icn.Ab12Cd")));
  EXPECT_NE(again.err.find("2 of 3 shares were done already"), std::string::npos) << again.err;
  EXPECT_NE(slurm.calls().rfind("--array=2 "), std::string::npos) << slurm.calls();
  EXPECT_TRUE(outputsOf(dir.path()) == oneProcess(args));
  EXPECT_EQ(slurm.run(dir.path(), split).err,
            "kxslurm: every file of the sequence is there already: nothing to submit\n");
  // The work folder belongs to its command.
  const RunResult refused = slurm.run(dir.path(), "--tasks 3 -n 8 " + args);
  EXPECT_EQ(refused.status, 255);
  EXPECT_TRUE(refused.err.starts_with("kxslurm: " + dir.path() +
                                      "/out.kxslurm holds the work of another command:\n"))
      << refused.err;
}

// Every task ended well, but a file is not there: the run fails and names it.
// (sbatch gets the options given after "--".)
TEST(Rerun, AFileLostAfterItsTaskFailsTheRun) {
  Frames dir;
  FakeSlurm slurm;
  std::ofstream(slurm.state.path("lose")) << "out.3.icn";
  const RunResult r = slurm.run(dir.path(), "--tasks 3 --wait -s 1 7 1 in out -- --comment=kx");
  EXPECT_NE(slurm.calls().find(" --comment=kx /"), std::string::npos) << slurm.calls();
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.err.find("every task ended well, but out.3.icn is not there"), std::string::npos)
      << r.err;
}

// Neither a first run nor a rerun lists the files of every frame.
TEST(Rerun, AMistypedRangeCostsNothingBeforeItsFrames) {
  TempDir dir;
  FakeSlurm slurm;
  for (int run = 0; run < 2; ++run) {
    const RunResult r = slurm.run(dir.path(), "--tasks 2 -s 1 10000000 1 in out");
    EXPECT_EQ(r.status, 0) << r.err;
#if !defined(__SANITIZE_ADDRESS__)  // reserves terabytes and doubles the resident memory
    EXPECT_LE(r.maxRssKb, 32 * 1024) << run;
#endif
  }
}

TEST(Refusals, BeforeAnythingIsSubmitted) {
  Frames dir;
  // clang-format off
  const std::pair<std::string, std::string> refusals[] = {
      {"--tasks 0 -s 1 7 1 in out",
       "kxslurm: --tasks takes the number of array tasks, 1 or more, not 0"},
      {"-s 1 7 1 in out", "kxslurm: give --tasks <count>, the number of array tasks"},
      {"--tasks 2 in out", "kxslurm: give -s <start> <end> <step>: kxslurm runs a sequence"},
      {"--tasks 2 -d -s 1 7 1 in out",
       "kxslurm: -d shows every frame in a window, and cluster tasks have no display"},
      {"--tasks 2 -s 1 7 1 --frames 1-3 in out", "kxslurm: unknown option --frames (kxslurm "
       "gives kxreduce its --frames, --palettes-to, --gather and --palette itself)"},
      {"--tasks 2 -s 1 7 1 in out -- -p big --array=0-3",
       "kxslurm: kxslurm sets sbatch's --array itself"},
      {"--tasks 2 -r 2 -o pic -s 1 7 1 in ./in", "kxslurm: the output frames would be written "
       "over the input frames in.<n>: give another output name"},
      {"--tasks 2 -s 1 7 0 in out",
       "Error: Frame step 0 is below 1: the sequence 1 to 7 would never end"},
      {"--tasks 2 -n 1 -s 1 7 1 in out", "number of colors must >= 2"}};
  // clang-format on
  FakeSlurm slurm;
  for (const auto& [args, firstLine] : refusals) {
    const RunResult result = slurm.run(dir.path(), args);
    EXPECT_EQ(result.status, 255) << firstLine;
    EXPECT_EQ(result.err.substr(0, result.err.find('\n')), firstLine);
  }
  EXPECT_EQ(slurm.calls(), "");
  EXPECT_FALSE(fs::exists(dir.path("out.kxslurm")));
  // kxreduce's refusals end with kxslurm's word on them.
  const RunResult step = slurm.run(dir.path(), refusals[7].first);
  EXPECT_TRUE(step.err.ends_with("\nkxslurm: kxreduce refuses these arguments (see above)\n"));
}

// The job ids of the last submission by stage ("stage job task first last"
// lines of the work folder's record), and its "stage task" lines.
std::string jobsOf(const std::string& dir, std::map<std::string, std::string>* jobs) {
  std::ifstream in(dir + "/out.kxslurm/submission");
  std::string tasks;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string stage, job, task;
    if (line.empty() || line[0] == '#' || !(fields >> stage >> job >> task)) continue;
    (*jobs)[stage] = job;
    tasks += stage + " " + task + "\n";
  }
  return tasks;
}

// The real cluster (as root; skipped without the packages), stopped at the
// end of the test or by the helper's watchdog when the test dies. A plain
// sequence gives the files of one process, also with the preview module out
// of reach (a node without SDL2); a failed task of a -u sequence is named,
// leaves no partial file, and is all that a second run submits again.
TEST(Cluster, SameFilesAsOneProcessAndAFailedTaskNamedAndRedone) {
  struct Daemons {
    TempDir folder;
    std::string helper = std::string(KX_SOURCE_DIR) + "/tests/slurm/local-cluster";
    ~Daemons() { runProgram(helper, {"stop", folder.path("cluster")}); }
  } cluster;
  const RunResult started = runProgram(
      cluster.helper, {"start", cluster.folder.path("cluster"), std::to_string(getpid())});
  if (started.status == 2) GTEST_SKIP() << "no private Slurm cluster here: " << started.err;
  ASSERT_EQ(started.status, 0) << started.err;
  const auto run = [&](const std::string& dir, const std::string& args) {
    return runProgram("kxslurm", words("--tasks 3 --wait " + args),
                      RunOptions{.cwd = dir,
                                 .env = {"SLURM_CONF=" + cluster.folder.path("cluster/slurm.conf"),
                                         "KX_PREVIEW_MODULE=/nowhere/kxpreview.so"}});
  };
  Frames plain, dir;
  const std::string a = "-a -s 1 7 1 in out";
  const RunResult r = run(plain.path(), a);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(outputsOf(plain.path()) == oneProcess(a));

  std::ofstream(dir.path("in.4.pic")) << "not a picture";
  const std::string args = "-u -r 2 -s 1 7 1 in out";
  const RunResult failed = run(dir.path(), args);
  EXPECT_EQ(failed.status, 255);
  std::map<std::string, std::string> jobs;
  jobsOf(dir.path(), &jobs);
  const std::string log = dir.path() + "/out.kxslurm/logs/palette-" + jobs["palette"] + "_1.log";
  const std::string waited = " did not run: a job it waited for failed\n";
  EXPECT_NE(
      failed.err.find("kxslurm: palette task 1 (job " + jobs["palette"] +
                      "_1, frames 3-4) failed with status 255; log: " + log +
                      "\nkxslurm:   Error: Cannot open input file in\nkxslurm: the gather job " +
                      jobs["gather"] + waited + "kxslurm: the remap job " + jobs["remap"] + waited +
                      "kxslurm: run the same command again to redo what failed\n"),
      std::string::npos)
      << failed.err;
  // Nothing but the frames, the colormap and the work folder, not even a temporary file.
  for (const auto& [name, bytes] : snapshotFolder(dir.path()))
    EXPECT_TRUE(name.starts_with("in.") || name == "map.clm" || name == "out.kxslurm") << name;
  writeFrame(dir.path(), 4);
  const RunResult again = run(dir.path(), args);
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(jobsOf(dir.path(), &jobs), "palette 1\ngather 0\nremap 0\nremap 1\nremap 2\n");
  EXPECT_TRUE(outputsOf(dir.path()) == oneProcess(args));
}

}  // namespace
}  // namespace kx
