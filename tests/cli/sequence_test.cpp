// Sequences in shares (--frames, and the three stages of -u): what cannot be
// split is refused. That shares write what one run writes is kxslurm's test.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/pictures.h"
#include "support/tempdir.h"

namespace kx {
namespace {

namespace fs = std::filesystem;

// Frames 1 to 6 of different sizes.
void writeFrames(const std::string& dir) {
  for (int i = 1; i <= 6; ++i)
    writeSamplePicture(dir + "/in." + std::to_string(i), 60 + 17 * i, 40 + 9 * (i % 3), i);
}

TEST(Sequences, SharesRefuseWhatCannotBeSplit) {
  TempDir dir;
  writeFrames(dir.path());
  // The palettes of a first share, frames 1 to 3.
  const RunResult first = runProgram(
      "kxreduce", words("-u -s 1 6 1 --frames 1-3 --palettes-to a.kxp in out"), dir.path());
  ASSERT_EQ(first.status, 0) << first.err;
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
    const RunResult r = runProgram("kxreduce", words(args), dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, message);
    EXPECT_FALSE(fs::exists(dir.path("out-1-6.clm")));
  }
}

}  // namespace
}  // namespace kx
