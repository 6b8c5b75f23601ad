// What hostile inputs and refused or failed runs must never do. Hostile
// inputs are refused with their own message, in little memory, leaving the
// folder exactly as it was. A refused or failed run never destroys earlier
// outputs, a folder or a link in the way, files on a disk that fills up, or a
// file under two names, and leaves no partial or temporary file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/case_names.h"
#include "support/pictures.h"
#include "support/tempdir.h"

namespace kx {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct Case {
  const char* name;
  const char* file = nullptr;  // the hostile file beside small.pic (4 x 3), if any
  std::string command;         // tool and arguments, split at spaces
  std::string message;         // a fragment of stderr
  std::string env = "";        // "NAME=value"
  long asLimitMb = 0;          // address-space limit; the peak is bounded (32 MB) without one
  long fileSizeLimit = 0;      // as ulimit -f sets it, SIGXFSZ at its default action
  const char* feed = nullptr;  // `file` is a FIFO, written by this shell command
  int status = 0;              // 0: the tool's failure, 1 for kxquant, 255 for the others
};

class BoundedInput : public testing::TestWithParam<Case> {};

TEST_P(BoundedInput, IsRefusedInLittleMemoryLeavingEveryFile) {
  const Case& c = GetParam();
#if defined(__SANITIZE_ADDRESS__)  // reserves terabytes and doubles the resident memory
  constexpr bool memoryChecked = false;
#else
  constexpr bool memoryChecked = true;
#endif
  if (c.asLimitMb > 0 && (!memoryChecked || access("/usr/bin/prlimit", X_OK) != 0))
    GTEST_SKIP() << "no address-space limit in this build";
  TempDir dir;
  writeFileBytes(dir.path("out.icn"), {'o', 'l', 'd'});  // an earlier output that must survive
  // The files of tests/data/safety (its README says how they were made), a
  // FIFO, a PPM with a 3 MB comment, a picture header with a million packets
  // that carry nothing, or a link to /dev/zero.
  const std::string data = std::string(KX_SOURCE_DIR) + "/tests/data/safety/";
  fs::copy_file(data + "small.pic", dir.path("small.pic"));
  const std::string file = c.file ? c.file : "";
  if (c.feed) {
    fs::copy_file(data + "noend.jpg", dir.path("noend.jpg"));
    ASSERT_EQ(mkfifo(dir.path(file).c_str(), 0600), 0);
  } else if (c.file && fs::exists(data + file)) {
    fs::copy_file(data + file, dir.path(file));
  } else if (file == "comment.ppm") {
    std::string text = "P6\n#" + std::string(3 << 20, 'c') + "\n2 2 255\n" + std::string(12, 0);
    writeFileBytes(dir.path(file), Bytes(text.begin(), text.end()));
  } else if (file == "packets.pic") {
    Bytes b = readFileBytes(data + "small.pic");
    b.resize(104);
    b[92] = 0, b[93] = 1, b[94] = 0x7F, b[95] = 0xFF;  // 1 x 32767 pixels
    for (int i = 999999; i >= 0; --i) b.insert(b.end(), {i > 0, 8, 2, 0});
    writeFileBytes(dir.path(c.file), b);
  } else if (c.file) {
    ASSERT_EQ(symlink("/dev/zero", dir.path(c.file).c_str()), 0);
  }
  const FolderSnapshot before = snapshotFolder(dir.path());
  // The writer of a FIFO waits for a reader, and ends when the run stops
  // reading (a write with no reader left fails).
  std::jthread feeder;
  if (c.feed) {
    feeder = std::jthread([&] {
      runProgram("/bin/sh", {"-c", std::string(c.feed) + " > " + file}, dir.path());
    });
  }
  std::vector<std::string> args = words(c.command);
  if (c.asLimitMb > 0) {
    args[0] = buildDir() + "/" + args[0];
    args.insert(args.begin(), {"/usr/bin/prlimit", "--as=" + std::to_string(c.asLimitMb << 20)});
  }
  const RunResult r = runProgram(args[0], {args.begin() + 1, args.end()},
                                 RunOptions{.cwd = dir.path(),
                                            .env = words(c.env),
                                            .timeoutSeconds = 60,
                                            .fileSizeLimit = c.fileSizeLimit,
                                            .fileSizeSignal = true});
  EXPECT_EQ(r.status, c.status ? c.status : c.command.starts_with("kxquant") ? 1 : 255) << r.err;
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

// clang-format off
const Case kBounded[] = {
    // A 108-byte header declaring 32767 x 32767 pixels once took 7 GB.
    {"pic_over_the_limit", "big.pic", "kxreduce big out",
     "Error: big.pic: the picture is 32767 x 32767 pixels, " + kOver},
    {"pic_over_a_lowered_limit", nullptr, "kxreduce small out",
     "Error: small.pic: the picture is 4 x 3 pixels, over the limit of 11 pixels",
     "KX_MAX_PIXELS=11"},
    {"limit_that_is_not_a_number", nullptr, "kxreduce small out",
     "Error: KX_MAX_PIXELS=lots is not a number of pixels", "KX_MAX_PIXELS=lots"},
    // A million packets that carry nothing once cost minutes per picture.
    {"pic_with_a_million_empty_packets", "packets.pic", "kxreduce packets out",
     "Error: Cannot open input file packets"},
    {"pic_linked_to_dev_zero", "zz.pic", "kxreduce zz out", "Error: Cannot open input file zz"},
    {"pic_that_memory_cannot_hold", "oom.pic", "kxreduce oom out",
     "Error: oom.pic: out of memory", "", 256},
    {"pict_over_the_limit", "big.pict", "kxreduce -i pict big out",
     "Error: big.pict: the picture is 32767 x 32767 pixels, " + kOver},
    // No planes of the frame for a raster whose rows are not in the file.
    {"pict_raster_ending_before_its_first_row", "cut.pict", "kxreduce -i pict cut out",
     "ERROR ====> Can't read file cut.pict <==== ERROR\nError: Cannot open input file cut\n"},
    {"pict_that_memory_cannot_hold", "oom.pict", "kxreduce -i pict oom out",
     "Error: oom.pict: out of memory", "", 256},
    {"pict_linked_to_dev_zero", "dz.pict", "kxreduce -i pict dz out",
     "ERROR ====> dz.pict is not a known PICT format! <==== ERROR"},
    {"ascii_colormap_linked_to_dev_zero", "z.cla", "kxreduce -C z small out",
     "Error: ASCII colormap z.cla, line 1: expected \"<colors> <bits>\""},
    {"binary_colormap_linked_to_dev_zero", "z.clm", "kxreduce -c z small out",
     "Error: colormap z.clm gives 0 colors"},
    // kxconv: the same limit, and every reader stops at a bad header.
    {"png_over_the_limit", "big.png", "kxconv big.png big.pic",
     "kxconv: big.png: the picture is 30000 x 30000 pixels, " + kOver},
    {"ppm_over_the_limit", "big.ppm", "kxconv big.ppm big.png",
     "kxconv: big.ppm: the picture is 20000 x 20000 pixels, " + kOver},
    {"limit_that_is_not_a_number_for_kxconv", nullptr, "kxconv small.pic small.png",
     "kxconv: KX_MAX_PIXELS=0 is not a number of pixels", "KX_MAX_PIXELS=0"},
    {.name = "limit_that_is_not_a_number_for_kxquant", .command = "kxquant small.pic",
     .message = "kxquant: KX_MAX_PIXELS=0 is not a number of pixels", .env = "KX_MAX_PIXELS=0",
     .status = 2},
    {"png_linked_to_dev_zero", "z.png", "kxconv z.png z.pic", "kxconv: z.png: not a PNG file"},
    {"ppm_linked_to_dev_zero", "z.ppm", "kxconv z.ppm z.pic", "kxconv: z.ppm: not a netpbm file"},
    {"icn_linked_to_dev_zero", "z.icn", "kxconv z.icn z.png",
     "kxconv: z.icn: not a colour-mapped image file (no ICON/CICN magic)"},
    // JPEGs: each scan a pass over the picture for a few bytes (896 once
    // took minutes), a small file declaring a huge picture, libjpeg's
    // warnings of corrupt data, kinds libjpeg-turbo does not decode.
    {"jpeg_of_too_many_scans", "scans.jpg", "kxconv scans.jpg o.png",
     "kxconv: scans.jpg: the JPEG has more than 100 scans"},
    {"jpeg_too_small_for_its_picture", "huge.jpg", "kxquant huge.jpg",
     "kxquant: huge.jpg: corrupt JPEG file (16384 x 8192 pixels cannot be held in 158 bytes)"},
    {"jpeg_cut_short", "cut.jpg", "kxconv cut.jpg o.png",
     "kxconv: cut.jpg: corrupt JPEG file (premature end of data segment)"},
    {"jpeg_of_12_bits", "twelve.jpg", "kxconv twelve.jpg o.png",
     "kxconv: twelve.jpg: unsupported JPEG: 12-bit samples"},
    {"lossless_jpeg", "lossless.jpg", "kxconv lossless.jpg o.png",
     "kxconv: lossless.jpg: unsupported JPEG: the lossless (SOF3) process"},
    {.name = "jpeg_from_a_pipe_that_never_ends", .file = "z.jpg", .command = "kxconv z.jpg o.png",
     .message = "kxconv: z.jpg: corrupt JPEG file (no end of the picture within 6692864 bytes, "
                "the most it can take)",
     .feed = "cat noend.jpg /dev/zero"},
    // netpbm numbers beyond 2^31 - 1 once wrapped around (2^32 + 16 read as 16).
    {"ppm_wider_than_32_bits", "wide.ppm", "kxconv wide.ppm o.png",
     "kxconv: wide.ppm: the width is too large to be processed"},
    {"ppm_header_comment_of_3_mb", "comment.ppm", "kxconv comment.ppm o.png",
     "kxconv: comment.ppm: a comment in the header is too long"},
    // Few bytes asking for many frames: a canvas or a strip given again
    // and again, a frame declared and never sent, a pipe that never ends
    // (its frames kept in a temporary file, removed).
    {"webp_of_tiny_frames_on_a_huge_canvas", "canvas.webp", "kxquant -o out.gif canvas.webp",
     "kxquant: canvas.webp: 2 frames of a 16384 x 8192 canvas are 268435456 pixels, more than "
     "the 134217728 read of a WebP file of 140 bytes"},
    {"tiff_pages_sharing_a_strip", "shared.tif", "kxquant -o out.gif shared.tif",
     "kxquant: shared.tif: corrupt TIFF file (pages 1 to 2 cannot be held in 6374 bytes)"},
    // Too wide for any picture, named by its format.
    {"tiff_wider_than_a_picture_side", "wide.tif", "kxquant -o out.png wide.tif",
     "kxquant: wide.tif: the TIFF picture is 40000 x 1 pixels; TIFF pictures are read up to "
     "32767 pixels on a side"},
    {"y4m_header_without_its_frame", "big.y4m", "kxquant -o out.gif big.y4m",
     "kxquant: big.y4m: frame 1: the file ends inside the frame (0 of 201326592 bytes)"},
    {.name = "y4m_from_a_pipe_that_never_ends", .file = "pipe.y4m",
     .command = "kxquant -o out.gif pipe.y4m",
     .message = "kxquant: pipe.y4m: more than 10000 frames", .env = "KX_FRAME_MEMORY=0",
     .asLimitMb = 256, .feed = "{ printf 'YUV4MPEG2 W6 H1 Cmono\\n'; yes FRAME; }"},
    // kxreduce reads a short picture file as the design does; the others
    // need the scanlines its header declares.
    {"pic_without_its_scanlines", "short.pic", "kxquant short.pic",
     "kxquant: short.pic: the file is cut short (108 bytes; its 16384 x 8192 picture takes at "
     "least 49260)"},
    // A file-size limit: the clean failure of a full disk, no temporary
    // file (the limit holds the messages, not the outputs).
    {.name = "file_size_limit_kxreduce", .file = "ramp.pic", .command = "kxreduce ramp out",
     .message = "Error: File too large , Can't write out.clm", .fileSizeLimit = 200},
    {.name = "file_size_limit_kxconv", .file = "ramp.pgm", .command = "kxconv ramp.pgm o.ppm",
     .message = "kxconv: o.ppm: cannot write: File too large", .fileSizeLimit = 200},
    {.name = "file_size_limit_kxquant", .file = "ramp.pgm",
     .command = "kxquant -f -o out.icn ramp.pgm",
     .message = "kxquant: out.icn: cannot write: File too large", .fileSizeLimit = 200},
    // Frames are described as they come: a mistyped range costs nothing.
    {"range_of_ten_million_frames", nullptr, "kxreduce -s 1 10000000 1 film out",
     "Error: Cannot open input file film"}};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Files, BoundedInput, testing::ValuesIn(kBounded), CaseName());

const Bytes kOld = {'o', 'l', 'd'};

struct Kept {
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

const Kept kKept[] = {
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
    {"empty_picture_as_a_pict", "empty", 0, 3, "", "", "-o pict empty e",
     "ERROR ====> PictOpenRasterWrite: Bad Parameter! <==== ERROR\n"},
};

class OutputSafety : public testing::TestWithParam<Kept> {};

TEST_P(OutputSafety, NothingLost) {
  const Kept& c = GetParam();
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

INSTANTIATE_TEST_SUITE_P(Cases, OutputSafety, testing::ValuesIn(kKept), CaseName());

// The checks above must not refuse what is allowed: equal stems of different
// files, -b 17 when no colormap is saved, and links in the way of the
// outputs, which are replaced, not written through.
TEST(OutputSafety, DifferentFilesOfEqualNamesProceedAndLinksInTheWayAreReplaced) {
  TempDir dir;
  writeSamplePicture(dir.path("x"), 24, 16);
  EXPECT_EQ(runProgram("kxreduce", {"-o", "pict", "x", "x"}, dir.path()).status, 0);
  EXPECT_TRUE(fs::exists(dir.path("x.pict")));
  ASSERT_EQ(runProgram("kxreduce", {"-n", "4", "x", "pal"}, dir.path()).status, 0);
  EXPECT_EQ(runProgram("kxreduce", {"-b", "17", "-c", "pal", "x", "y"}, dir.path()).status, 0);
  writeFileBytes(dir.path("target"), kOld);
  ASSERT_EQ(::symlink("target", dir.path("out.icn").c_str()), 0);
  ASSERT_EQ(::symlink("/dev/full", dir.path("out.pict").c_str()), 0);
  const RunResult r = runProgram("kxreduce", {"-o", "pict", "x", "out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFileBytes(dir.path("target")), kOld);
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir.path("out.icn"))));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir.path("out.pict"))));
  EXPECT_TRUE(fs::is_character_file("/dev/full"));
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
