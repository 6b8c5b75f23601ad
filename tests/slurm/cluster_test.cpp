// kxslurm on a real Slurm cluster: a private one-node cluster of this
// machine (tests/slurm/local-cluster, as root), on which a 24-frame
// sequence split into job arrays leaves the files of one kxreduce process,
// and a task that fails is named with its log, leaves no partial file, and
// is all that a second run submits again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/pictures.h"
#include "support/tempdir.h"

namespace kx {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

const std::string kHelper = std::string(KX_SOURCE_DIR) + "/tests/slurm/local-cluster";
const Args kSequence = {"-s", "1", "24", "1", "in", "out"};

void writeFrame(const std::string& dir, int i) {
  writeSamplePicture(dir + "/in." + std::to_string(i), 40 + 3 * i, 24 + 2 * (i % 5), i);
}

void writeFrames(const std::string& dir) {
  for (int i = 1; i <= 24; ++i) writeFrame(dir, i);
}

Args plus(Args a, const Args& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

FolderSnapshot outputsOf(const std::string& dir) {
  FolderSnapshot files = snapshotFolder(dir);
  std::erase_if(files, [](const auto& entry) { return entry.first == "out.kxslurm"; });
  return files;
}

FolderSnapshot oneProcess(const Args& options) {
  TempDir dir;
  writeFrames(dir.path());
  const RunResult r = runProgram("kxreduce", plus(options, kSequence), dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  return outputsOf(dir.path());
}

class Cluster : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TempDir;
    // The daemons are stopped by TearDownTestSuite, and by the helper's
    // watchdog if this process ends without it.
    const RunResult r =
        runProgram(kHelper, {"start", folder_->path("cluster"), std::to_string(getpid())});
    if (r.status == 2) {
      skip_ = "no private Slurm cluster here: " + r.err;
    } else if (r.status != 0) {
      failure_ = "the private Slurm cluster did not start:\n" + r.err;
    }
  }
  static void TearDownTestSuite() {
    runProgram(kHelper, {"stop", folder_->path("cluster")});
    delete folder_;
  }
  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
    ASSERT_EQ(failure_, "");
  }

  static RunResult kxslurm(const std::string& dir, const Args& args) {
    RunOptions options;
    options.cwd = dir;
    options.env = {"SLURM_CONF=" + folder_->path("cluster/slurm.conf")};
    return runProgram("kxslurm", args, options);
  }

  static inline TempDir* folder_ = nullptr;
  static inline std::string skip_, failure_;
};

TEST_F(Cluster, SameFilesAsOneProcess) {
  struct Case {
    Args options;
    const char* tasks;
  };
  const Case cases[] = {{{"-u", "-r", "2"}, "4"}, {{"-u", "-r", "2"}, "7"}, {{"-a"}, "5"}};
  for (const Case& c : cases) {
    TempDir dir;
    writeFrames(dir.path());
    const RunResult r =
        kxslurm(dir.path(), plus({"--tasks", c.tasks, "--wait"}, plus(c.options, kSequence)));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(outputsOf(dir.path()) == oneProcess(c.options)) << c.options[0] << " " << c.tasks;
  }
}

// The job ids of the last submission, by stage, from the work folder's
// record ("stage job task first last" lines), and its tasks.
std::map<std::string, std::string> jobsOf(const std::string& dir, std::string* tasks) {
  std::ifstream in(dir + "/out.kxslurm/submission");
  std::map<std::string, std::string> jobs;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string stage, job, task;
    fields >> stage >> job >> task;
    jobs[stage] = job;
    *tasks += stage + " " + task + "\n";
  }
  return jobs;
}

TEST_F(Cluster, FailedTaskIsNamedAndOnlyItIsRedone) {
  TempDir dir;
  writeFrames(dir.path());
  std::ofstream(dir.path("in.10.pic")) << "not a picture";
  const Args args = plus({"--tasks", "4", "--wait", "-u", "-r", "2"}, kSequence);
  const RunResult failed = kxslurm(dir.path(), args);
  EXPECT_EQ(failed.status, 255);
  std::string tasks;
  auto jobs = jobsOf(dir.path(), &tasks);
  const std::string report =
      "kxslurm: palette task 1 (job " + jobs["palette"] + "_1, frames 7-12) failed with status " +
      "255; log: " + dir.path() + "/out.kxslurm/logs/palette-" + jobs["palette"] + "_1.log\n" +
      "kxslurm:   Error: Cannot open input file in\n" + "kxslurm: the gather job " +
      jobs["gather"] + " did not run: a job it waited for failed\n" + "kxslurm: the remap job " +
      jobs["remap"] + " did not run: a job it waited for failed\n";
  EXPECT_NE(failed.err.find(report), std::string::npos) << failed.err;
  // Nothing but the frames and the work folder, not even a temporary file.
  for (const auto& [name, bytes] : snapshotFolder(dir.path())) {
    EXPECT_TRUE(name.rfind("in.", 0) == 0 || name == "out.kxslurm") << name;
  }

  writeFrame(dir.path(), 10);
  const RunResult again = kxslurm(dir.path(), args);
  EXPECT_EQ(again.status, 0) << again.err;
  tasks.clear();
  jobsOf(dir.path(), &tasks);
  EXPECT_EQ(tasks, "palette 1\ngather 0\nremap 0\nremap 1\nremap 2\nremap 3\n") << again.err;
  EXPECT_TRUE(outputsOf(dir.path()) == oneProcess({"-u", "-r", "2"}));
}

}  // namespace
}  // namespace kx
