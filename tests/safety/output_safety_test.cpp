// Files a run must never destroy: every case prepares a folder (earlier
// outputs, a folder or a link in the way, a disk that fills up, two names
// for one file), runs the real binary, and checks the status, the message,
// and that every file that was there before is byte for byte what it was,
// with no partial file under a final name.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>
#include <csignal>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/pictures.h"
#include "support/tempdir.h"

namespace kx {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const Bytes kOld = {'o', 'l', 'd'};

struct Case {
  const char* name;
  std::function<void(const TempDir&)> prepare;
  std::vector<std::string> args;
  int status;
  std::string message;              // expected in stderr (empty: anything)
  std::vector<std::string> keep;    // files that must be what they were
  std::vector<std::string> absent;  // files that must not exist afterwards
  long fileSizeLimit = 0;
};

bool hiddenTemporaries(const std::string& dir) {
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().filename().string().rfind(".", 0) == 0) return true;
  }
  return false;
}

void picture(const TempDir& dir, const std::string& name, int width = 24, int height = 16) {
  writeSamplePicture(dir.path(name), width, height);
}

const std::string kSameFile =
    "!!!Error: When using option -o, input and output\nmust have different file names\n";

const Case kCases[] = {
    {"failed PICT write keeps the old pair",
     [](const TempDir& d) {
       picture(d, "photo", 200, 200);
       writeFileBytes(d.path("f.pict"), kOld);
       writeFileBytes(d.path("%f.pict"), kOld);
       writeFileBytes(d.path("f.icn"), kOld);
       writeFileBytes(d.path("f.clm"), kOld);
     },
     {"-o", "pict", "photo", "f"},
     255,
     "ERROR ====> Can't write file f.pict <==== ERROR\n",
     {"f.pict", "%f.pict", "f.icn", "f.clm"},
     {},
     50000},
    {"a folder in the way of the PICT header file",
     [](const TempDir& d) {
       picture(d, "photo");
       writeFileBytes(d.path("f.pict"), kOld);
       fs::create_directory(d.path("%f.pict"));
     },
     {"-o", "pict", "photo", "f"},
     255,
     "ERROR ====> Can't open file f.pict <==== ERROR\n",
     {"f.pict"},
     {"f.icn", "f.clm"}},
    {"one PICT as input and output",
     [](const TempDir& d) {
       picture(d, "x");
       ASSERT_EQ(runProgram("kxreduce", {"-o", "pict", "x", "x"}, d.path()).status, 0);
       fs::remove(d.path("x.pic"));
       fs::remove(d.path("x.icn"));
     },
     {"-i", "pict", "x", "x", "-o", "pict"},
     255,
     kSameFile,
     {"x.pict", "%x.pict"},
     {"x.icn"}},
    {"the input picture under another name",
     [](const TempDir& d) { picture(d, "victim"); },
     {"victim", "victim.pic", "-o", "pic"},
     255,
     kSameFile,
     {"victim.pic"},
     {"victim.pic.icn"}},
    {"the output stem is the input's file name",
     [](const TempDir& d) { picture(d, "v"); },
     {"v.pic", "v", "-o", "pic"},
     255,
     kSameFile,
     {"v.pic"},
     {"v.icn"}},
    {"a full disk on a rerun keeps the previous pair",
     [](const TempDir& d) {
       picture(d, "g", 200, 200);
       ASSERT_EQ(runProgram("kxreduce", {"-n", "16", "g", "g"}, d.path()).status, 0);
     },
     {"-n", "64", "g", "g"},
     255,
     "Error: File too large , Can't write g.icn\n",
     {"g.icn", "g.clm", "g.pic"},
     {},
     30000},
    {"a picture too wide for a true-colour PICT is refused before any work",
     [](const TempDir& d) { picture(d, "wide", 8192, 1); },
     {"-o", "pict", "wide", "w"},
     255,
     "Error: cannot write w.pict: a true-colour PICT row holds at most 8191 pixels, and "
     "wide.pic is 8192 pixels wide\n",
     {"wide.pic"},
     {"w.icn", "w.clm", "w.pict"}},
    {"a colour-indexed PICT takes rows of 32764 pixels",
     [](const TempDir& d) { picture(d, "wide", 32765, 1); },
     {"-o", "pict2", "wide", "w"},
     255,
     "Error: cannot write w.pict: a colour-indexed PICT row holds at most 32764 pixels, and "
     "wide.pic is 32765 pixels wide\n",
     {"wide.pic"},
     {"w.icn", "w.clm"}},
    {"17 bits cannot be saved",
     [](const TempDir& d) { picture(d, "in"); },
     {"-b", "17", "in", "out"},
     255,
     "number of bits must <= 16 to save a colormap\n",
     {"in.pic"},
     {"out.icn", "out.clm"}},
};

class OutputSafety : public testing::TestWithParam<Case> {};

TEST_P(OutputSafety, NothingLost) {
  const Case& c = GetParam();
  TempDir dir;
  c.prepare(dir);
  const FolderSnapshot before = snapshotFolder(dir.path());
  RunOptions options;
  options.cwd = dir.path();
  options.fileSizeLimit = c.fileSizeLimit;
  const RunResult r = runProgram("kxreduce", c.args, options);
  EXPECT_EQ(r.status, c.status) << r.err;
  EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  for (const std::string& name : c.keep) {
    auto was =
        std::find_if(before.begin(), before.end(), [&](const auto& e) { return e.first == name; });
    ASSERT_NE(was, before.end()) << name;
    const Bytes now = readFileBytes(dir.path(name));
    EXPECT_EQ(std::string(now.begin(), now.end()), was->second) << name;
  }
  for (const std::string& name : c.absent) EXPECT_FALSE(fs::exists(dir.path(name))) << name;
  EXPECT_FALSE(hiddenTemporaries(dir.path()));
}

INSTANTIATE_TEST_SUITE_P(Cases, OutputSafety, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) {
                           std::string n;
                           for (const char* p = info.param.name; *p; ++p) {
                             n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           }
                           return n;
                         });

TEST(OutputSafety, LinksInTheWayAreReplacedNotWrittenThrough) {
  TempDir dir;
  picture(dir, "in");
  writeFileBytes(dir.path("target"), kOld);
  ASSERT_EQ(::symlink("target", dir.path("out.icn").c_str()), 0);
  ASSERT_EQ(::symlink("/dev/full", dir.path("out.pict").c_str()), 0);
  const RunResult r = runProgram("kxreduce", {"-o", "pict", "in", "out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFileBytes(dir.path("target")), kOld);
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir.path("out.icn"))));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir.path("out.pict"))));
  EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

TEST(OutputSafety, DifferentFilesOfEqualNamesProceed) {
  TempDir dir;
  picture(dir, "x");
  const RunResult r = runProgram("kxreduce", {"-o", "pict", "x", "x"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists(dir.path("x.pict")));
  // -b 17 is fine when no palette is saved.
  ASSERT_EQ(runProgram("kxreduce", {"-n", "4", "x", "pal"}, dir.path()).status, 0);
  EXPECT_EQ(runProgram("kxreduce", {"-b", "17", "-c", "pal", "x", "y"}, dir.path()).status, 0);
}

// A disk that really fills up: a small tmpfs that holds the picture but not
// its colour-mapped image too, where the system lets us mount one.
TEST(OutputSafety, FullDiskLeavesThePreviousFiles) {
  TempDir dir;
  const std::string disk = dir.path("disk");
  fs::create_directory(disk);
  if (::geteuid() != 0 || ::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=3m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  }
  writeSamplePicture(disk + "/in", 1000, 1000);  // 2.9 MB; the .icn takes 1 MB more
  writeFileBytes(disk + "/out.icn", kOld);
  writeFileBytes(disk + "/out.clm", kOld);
  const RunResult r = runProgram("kxreduce", {"in", "out"}, disk);
  const bool full = r.status != 0;
  if (full) {
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
    EXPECT_EQ(readFileBytes(disk + "/out.icn"), kOld);
    EXPECT_EQ(readFileBytes(disk + "/out.clm"), kOld);
    EXPECT_FALSE(hiddenTemporaries(disk));
  }
  ::umount(disk.c_str());
  EXPECT_TRUE(full) << "the picture fitted: make it larger";
}

// Killed in the middle of a long run: whatever stands under a final name is
// complete; SIGTERM also clears the temporary files.
TEST(OutputSafety, KilledRunsLeaveNoPartialFile) {
  TempDir dir;
  writeSamplePicture(dir.path("big"), 4000, 4000);
  for (const int signal : {SIGKILL, SIGTERM}) {
    RunOptions options;
    options.cwd = dir.path();
    options.killAfterMs = 400;
    options.killSignal = signal;
    const RunResult r = runProgram("kxreduce", {"-a", "big", "out"}, options);
    EXPECT_EQ(r.status, 128 + signal) << "the run ended before the signal: make it longer";
    if (fs::exists(dir.path("out.icn"))) {
      EXPECT_EQ(fs::file_size(dir.path("out.icn")), 4000u * 4000u + 76u);
      EXPECT_TRUE(fs::exists(dir.path("out.clm")));
    }
    if (signal == SIGTERM) {
      EXPECT_FALSE(hiddenTemporaries(dir.path()));
    }
    for (const auto& e : fs::directory_iterator(dir.path())) {
      if (e.path().filename() != "big.pic") fs::remove(e.path());
    }
  }
}

}  // namespace
}  // namespace kx
