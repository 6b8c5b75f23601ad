// Hostile inputs (headers declaring huge pictures, links to /dev/zero, a
// packet list without end, too little memory) are refused with their own
// message, in little memory, leaving the folder exactly as it was.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/tempdir.h"

namespace kx {
namespace {

using Bytes = std::vector<uint8_t>;

struct Case {
  const char* name;
  const char* file;      // the hostile file beside small.pic (4 x 3), if any
  std::string command;   // tool and arguments, split at spaces
  std::string message;   // a fragment of stderr
  std::string env = "";  // "NAME=value"
  long asLimitMb = 0;    // address-space limit; the peak is bounded (32 MB) without one
};

class BoundedInput : public testing::TestWithParam<Case> {};

TEST_P(BoundedInput, IsRefusedInLittleMemoryLeavingEveryFile) {
  const Case& c = GetParam();
#if defined(__SANITIZE_ADDRESS__)  // reserves terabytes and doubles the resident memory
  constexpr bool memoryChecked = false;
#else
  constexpr bool memoryChecked = true;
#endif
  if (c.asLimitMb > 0 && (!memoryChecked || access("/usr/bin/prlimit", X_OK) != 0)) {
    GTEST_SKIP() << "no address-space limit in this build";
  }
  TempDir dir;
  writeFileBytes(dir.path("out.icn"), {'o', 'l', 'd'});  // an earlier output that must survive
  // The files of tests/data/safety (its README says how they were made), a
  // picture header with a million packets that carry nothing, or a link to /dev/zero.
  const std::string data = std::string(KX_SOURCE_DIR) + "/tests/data/safety/";
  std::filesystem::copy_file(data + "small.pic", dir.path("small.pic"));
  if (c.file && std::filesystem::exists(data + c.file)) {
    std::filesystem::copy_file(data + c.file, dir.path(c.file));
  } else if (c.file && std::string(c.file) == "packets.pic") {
    Bytes b = readFileBytes(data + "small.pic");
    b.resize(104);
    b[92] = 0, b[93] = 1, b[94] = 0x7F, b[95] = 0xFF;  // 1 x 32767 pixels
    for (int i = 999999; i >= 0; --i) b.insert(b.end(), {i > 0, 8, 2, 0});
    writeFileBytes(dir.path(c.file), b);
  } else if (c.file) {
    ASSERT_EQ(symlink("/dev/zero", dir.path(c.file).c_str()), 0);
  }
  const FolderSnapshot before = snapshotFolder(dir.path());

  std::vector<std::string> args;
  std::istringstream words(c.command);
  for (std::string word; words >> word;) args.push_back(word);
  if (c.asLimitMb > 0) {
    args[0] = buildDir() + "/" + args[0];
    args.insert(args.begin(), "--as=" + std::to_string(c.asLimitMb << 20));
    args.insert(args.begin(), "/usr/bin/prlimit");
  }
  RunOptions options;
  options.cwd = dir.path();
  if (!c.env.empty()) options.env = {c.env};
  options.timeoutSeconds = 60;
  const RunResult r = runProgram(args[0], {args.begin() + 1, args.end()}, options);
  EXPECT_EQ(r.status, 255) << r.err;
  EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  if (memoryChecked && c.asLimitMb == 0) {
    EXPECT_LE(r.maxRssKb, 32 * 1024) << r.err;
  }
  // Every lookup of a plain file's Macintosh type may leave an empty ancillary file.
  FolderSnapshot after = snapshotFolder(dir.path());
  std::erase(after, std::pair<std::string, std::string>(".HSancillary", ""));
  EXPECT_EQ(before, after) << "the folder changed";
}

const std::string kOver = "over the limit of 134217728 pixels (set KX_MAX_PIXELS to change it)";

INSTANTIATE_TEST_SUITE_P(
    Files, BoundedInput,
    testing::Values(
        // A 108-byte header declaring 32767 x 32767 pixels once took 7 GB.
        Case{"pic_over_the_limit", "big.pic", "kxreduce big out",
             "Error: big.pic: the picture is 32767 x 32767 pixels, " + kOver},
        Case{"pic_over_a_lowered_limit", nullptr, "kxreduce small out",
             "Error: small.pic: the picture is 4 x 3 pixels, over the limit of 11 pixels",
             "KX_MAX_PIXELS=11"},
        Case{"limit_that_is_not_a_number", nullptr, "kxreduce small out",
             "Error: KX_MAX_PIXELS=lots is not a number of pixels", "KX_MAX_PIXELS=lots"},
        // A million packets that carry nothing once cost minutes per picture.
        Case{"pic_with_a_million_empty_packets", "packets.pic", "kxreduce packets out",
             "Error: Cannot open input file packets"},
        Case{"pic_linked_to_dev_zero", "zz.pic", "kxreduce zz out",
             "Error: Cannot open input file zz"},
        Case{"pic_that_memory_cannot_hold", "oom.pic", "kxreduce oom out",
             "Error: oom.pic: out of memory", "", 256},
        Case{"pict_over_the_limit", "big.pict", "kxreduce -i pict big out",
             "Error: big.pict: the picture is 32767 x 32767 pixels, " + kOver},
        // No planes of the frame for a raster whose rows are not in the file.
        Case{"pict_raster_ending_before_its_first_row", "cut.pict", "kxreduce -i pict cut out",
             "ERROR ====> Can't read file cut.pict <==== ERROR\nError: Cannot open input file "
             "cut\n"},
        Case{"pict_that_memory_cannot_hold", "oom.pict", "kxreduce -i pict oom out",
             "Error: oom.pict: out of memory", "", 256},
        Case{"pict_linked_to_dev_zero", "dz.pict", "kxreduce -i pict dz out",
             "ERROR ====> dz.pict is not a known PICT format! <==== ERROR"},
        Case{"ascii_colormap_linked_to_dev_zero", "z.cla", "kxreduce -C z small out",
             "Error: ASCII colormap z.cla, line 1: expected \"<colors> <bits>\""},
        Case{"binary_colormap_linked_to_dev_zero", "z.clm", "kxreduce -c z small out",
             "Error: colormap z.clm gives 0 colors"},
        // kxconv: the same limit, and every reader stops at a bad header.
        Case{"png_over_the_limit", "big.png", "kxconv big.png big.pic",
             "kxconv: big.png: the picture is 30000 x 30000 pixels, " + kOver},
        Case{"ppm_over_the_limit", "big.ppm", "kxconv big.ppm big.png",
             "kxconv: big.ppm: the picture is 20000 x 20000 pixels, " + kOver},
        Case{"limit_that_is_not_a_number_for_kxconv", nullptr, "kxconv small.pic small.png",
             "kxconv: KX_MAX_PIXELS=0 is not a number of pixels", "KX_MAX_PIXELS=0"},
        Case{"png_linked_to_dev_zero", "z.png", "kxconv z.png z.pic",
             "kxconv: z.png: not a PNG file"},
        Case{"ppm_linked_to_dev_zero", "z.ppm", "kxconv z.ppm z.pic",
             "kxconv: z.ppm: not a netpbm file"},
        Case{"icn_linked_to_dev_zero", "z.icn", "kxconv z.icn z.png",
             "kxconv: z.icn: not a colour-mapped image file (no ICON/CICN magic)"}),
    [](const testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace kx
