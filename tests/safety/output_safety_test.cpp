// Files a refused or failed run must never destroy: earlier outputs, a folder
// or a link in the way, a disk that fills up, two names for one file. The
// folder must be byte for byte what it was, with no partial or temporary file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "support/case_names.h"
#include "support/pictures.h"
#include "support/tempdir.h"

namespace kx {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
const Bytes kOld = {'o', 'l', 'd'};

struct Case {
  const char* name;
  const char* picture;  // a sample picture of this name and size
  int width, height;
  std::string before;  // a kxreduce run that makes earlier outputs ("": none)
  std::string old;     // files holding "old"; a name ending in / is a folder
  std::string args;
  std::string message;  // a fragment of stderr
  long fileSizeLimit = 0;
};

const std::string kSameFile =
    "!!!Error: When using option -o, input and output\nmust have different file names\n";

const Case kCases[] = {
    {"failed_pict_write_keeps_the_old_files", "photo", 200, 200, "", "f.pict %f.pict f.icn f.clm",
     "-o pict photo f", "ERROR ====> Can't write file f.pict <==== ERROR\n", 50000},
    {"folder_in_the_way_of_the_pict_header_file", "photo", 24, 16, "", "f.pict %f.pict/",
     "-o pict photo f", "ERROR ====> Can't open file f.pict <==== ERROR\n"},
    {"one_pict_as_input_and_output", "x", 24, 16, "-o pict x x", "", "-i pict x x -o pict",
     kSameFile},
    {"the_input_picture_under_another_name", "victim", 24, 16, "", "", "victim victim.pic -o pic",
     kSameFile},
    {"the_output_stem_is_the_input_file_name", "v", 24, 16, "", "", "v.pic v -o pic", kSameFile},
    {"full_disk_on_a_rerun_keeps_the_previous_pair", "g", 200, 200, "-n 16 g g", "", "-n 64 g g",
     "Error: File too large , Can't write g.icn\n", 30000},
    {"too_wide_for_a_true_colour_pict", "wide", 8192, 1, "", "", "-o pict wide w",
     "Error: cannot write w.pict: a true-colour PICT row holds at most 8191 pixels, and "
     "wide.pic is 8192 pixels wide\n"},
    {"too_wide_for_a_colour_indexed_pict", "wide", 32765, 1, "", "", "-o pict2 wide w",
     "Error: cannot write w.pict: a colour-indexed PICT row holds at most 32764 pixels, and "
     "wide.pic is 32765 pixels wide\n"},
    {"17_bits_cannot_be_saved", "in", 24, 16, "", "", "-b 17 in out",
     "number of bits must <= 16 to save a colormap\n"},
};

class OutputSafety : public testing::TestWithParam<Case> {};

TEST_P(OutputSafety, NothingLost) {
  const Case& c = GetParam();
  TempDir dir;
  writeSamplePicture(dir.path(c.picture), c.width, c.height);
  if (!c.before.empty()) {
    ASSERT_EQ(runProgram("kxreduce", words(c.before), dir.path()).status, 0);
  }
  for (const std::string& name : words(c.old)) {
    if (name.ends_with('/')) fs::create_directory(dir.path(name));
    if (!name.ends_with('/')) writeFileBytes(dir.path(name), kOld);
  }
  const FolderSnapshot before = snapshotFolder(dir.path());
  const RunResult r = runProgram("kxreduce", words(c.args),
                                 RunOptions{.cwd = dir.path(), .fileSizeLimit = c.fileSizeLimit});
  EXPECT_EQ(r.status, 255) << r.err;
  EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  EXPECT_EQ(snapshotFolder(dir.path()), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, OutputSafety, testing::ValuesIn(kCases), CaseName());

TEST(OutputSafety, LinksInTheWayAreReplacedNotWrittenThrough) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 24, 16);
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

// The checks above must not refuse what is allowed: equal stems of different
// files, and -b 17 when no colormap is saved.
TEST(OutputSafety, DifferentFilesOfEqualNamesProceed) {
  TempDir dir;
  writeSamplePicture(dir.path("x"), 24, 16);
  EXPECT_EQ(runProgram("kxreduce", {"-o", "pict", "x", "x"}, dir.path()).status, 0);
  EXPECT_TRUE(fs::exists(dir.path("x.pict")));
  ASSERT_EQ(runProgram("kxreduce", {"-n", "4", "x", "pal"}, dir.path()).status, 0);
  EXPECT_EQ(runProgram("kxreduce", {"-b", "17", "-c", "pal", "x", "y"}, dir.path()).status, 0);
}

// Killed in the middle of a run: whatever stands under a final name is
// complete; SIGTERM also clears the temporary files; a SIGHUP the caller
// ignores (nohup) stays ignored. The run is held at a known point rather
// than killed after a while: its PICT output is a FIFO, which is written
// where it is and whose opening waits for a reader, after the frame's
// colour-mapped image and colormap are written under their temporary names
// and before they are renamed into place.
TEST(OutputSafety, KilledRunsLeaveNoPartialFile) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 64, 48);
  for (const int signal : {SIGKILL, SIGTERM, SIGHUP}) {
    writeFileBytes(dir.path("out.icn"), kOld);
    ASSERT_EQ(::mkfifo(dir.path("out.pict").c_str(), 0600), 0);
    const RunOptions options{.cwd = dir.path(),
                             .killWhenExists = ".out.clm.",
                             .killSignal = signal,
                             .drainFifo = signal == SIGHUP ? "out.pict" : ""};
    const auto saved = std::signal(SIGHUP, signal == SIGHUP ? SIG_IGN : SIG_DFL);
    const RunResult r = runProgram("kxreduce", {"-o", "pict", "in", "out"}, options);
    std::signal(SIGHUP, saved);
    // Still running after the ignored SIGHUP, the run meets a PICT file it
    // cannot seek in and fails as such.
    EXPECT_EQ(r.status, signal == SIGHUP ? 255 : 128 + signal) << r.err;
    EXPECT_EQ(readFileBytes(dir.path("out.icn")), kOld);
    EXPECT_FALSE(fs::exists(dir.path("out.clm")));
    for (const auto& e : fs::directory_iterator(dir.path())) {
      const std::string name = e.path().filename();
      EXPECT_TRUE(signal == SIGKILL || name[0] != '.') << name;
      if (name != "in.pic") fs::remove(e.path());
    }
  }
}

}  // namespace
}  // namespace kx
