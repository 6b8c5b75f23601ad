// Fault injection on the input side: each case makes a hostile file (a
// header that declares a huge picture, a file of zeros, a link to /dev/zero,
// a packet list without end) or a memory limit, runs the real tool on it and
// checks that it is refused with its own message, quickly in memory, and
// that the folder is left exactly as it was.
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "common/bytes.h"
#include "safety/safety.h"

namespace kx {
namespace {

using Bytes = std::vector<uint8_t>;

void put(const std::string& path, const Bytes& bytes) {
  writeFileBytes(path, bytes);
}

void linkToZero(const std::string& path) {
  ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0);
}

// A picture file header with the given packets (size 8, type, mask) and no
// scanlines: a valid picture whose samples all read as 255.
Bytes picHeader(int width, int height, const std::vector<std::pair<int, int>>& packets) {
  Bytes b;
  ByteWriter w(b);
  w.u32(0x5380F634);
  w.u32(0x402CCCCD);  // 2.7
  w.zeros(80);
  w.bytes("PICT", 4);
  w.u16(static_cast<uint32_t>(width));
  w.u16(static_cast<uint32_t>(height));
  w.u32(0x3F800000);  // ratio 1.0
  w.u32(0);           // fields, padding
  for (size_t i = 0; i < packets.size(); ++i) {
    const uint8_t entry[4] = {static_cast<uint8_t>(i + 1 < packets.size()), 8,
                              static_cast<uint8_t>(packets[i].first),
                              static_cast<uint8_t>(packets[i].second)};
    w.bytes(entry, 4);
  }
  return b;
}

// A version 2 PICT of the frame whose only raster is a DirectBitsRect one
// pixel wide and `rows` tall (32-bit pixels as component planes, rows packed),
// followed by `data`.
Bytes pictWithRaster(int width, int height, int rows, const Bytes& data) {
  Bytes b(512, 0);
  ByteWriter w(b);
  w.u16(0);
  for (int v : {0, 0, height, width}) w.u16(static_cast<uint32_t>(v));
  w.u16(0x0011), w.u16(0x02FF), w.u16(0x0C00);
  w.u32(0xFFFFFFFF);
  for (int v : {0, 0, width, height}) w.u32(static_cast<uint32_t>(v) << 16);
  w.u32(0);
  w.u16(0x009A);
  w.u32(0xFF);
  w.u16(0x8000 | 8);  // rowBytes 8: packed rows
  for (int v : {0, 0, rows, 1}) w.u16(static_cast<uint32_t>(v));
  w.u16(0), w.u16(4), w.u32(0), w.u32(0x00480000), w.u32(0x00480000);  // packType 4
  w.u16(16), w.u16(32), w.u16(3), w.u16(8), w.zeros(12);
  for (int r = 0; r < 2; ++r)
    for (int v : {0, 0, rows, 1}) w.u16(static_cast<uint32_t>(v));
  w.u16(0);  // transfer mode
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

void chunk(Bytes& b, const char* type, const Bytes& data) {
  ByteWriter w(b);
  w.u32(static_cast<uint32_t>(data.size()));
  const size_t start = b.size();
  w.bytes(type, 4);
  b.insert(b.end(), data.begin(), data.end());
  w.u32(static_cast<uint32_t>(crc32(0, b.data() + start, static_cast<uInt>(b.size() - start))));
}

// A PNG whose header declares the size, with a token IDAT: everything a
// reader sees before it must decide to allocate the picture.
Bytes pngDeclaring(uint32_t width, uint32_t height) {
  Bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  ByteWriter w(ihdr);
  w.u32(width), w.u32(height);
  for (uint8_t v : {8, 2, 0, 0, 0}) ihdr.push_back(v);
  chunk(b, "IHDR", ihdr);
  chunk(b, "IDAT", {0x78, 0x9C, 0x63, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01});
  chunk(b, "IEND", {});
  return b;
}

struct Case {
  const char* name;
  void (*make)(const std::string& dir);
  std::string tool;
  std::vector<std::string> args;
  std::vector<std::string> env;
  long asLimitMb;  // address-space limit, 0: none
  int status;
  std::string message;  // a fragment of stderr
  long peakMb;          // bound on the child's peak memory, 0: none
};

class BoundedInput : public testing::TestWithParam<Case> {};

TEST_P(BoundedInput, IsRefusedQuicklyAndLeavesEveryFile) {
  const Case& c = GetParam();
  if (c.asLimitMb > 0 && (!safety::kMemoryChecked || access("/usr/bin/prlimit", X_OK) != 0)) {
    GTEST_SKIP() << "no address-space limit in this build";
  }
  TempDir dir;
  c.make(dir.path());
  put(dir.path("out.icn"), {'o', 'l', 'd'});  // an earlier output that must survive
  const safety::FolderDigest before = safety::digestFolder(dir.path());
  const RunResult r = safety::runTool(dir.path(), c.tool, c.args, c.env, c.asLimitMb);
  safety::expectRefused(r, c.status, c.message, c.peakMb, before, safety::digestFolder(dir.path()));
}

const std::string kLimitText =
    "over the limit of 134217728 pixels (set KX_MAX_PIXELS to change it)";

INSTANTIATE_TEST_SUITE_P(
    Files, BoundedInput,
    testing::Values(
        // A 108-byte header declaring 32767 x 32767 pixels once took 7 GB.
        Case{"pic_over_the_limit",
             [](const std::string& d) {
               put(d + "/big.pic", picHeader(32767, 32767, {{2, 0xE0}}));
             },
             "kxreduce",
             {"big", "out"},
             {},
             0,
             255,
             "Error: big.pic: the picture is 32767 x 32767 pixels, " + kLimitText,
             32},
        Case{"pic_over_a_lowered_limit",
             [](const std::string& d) {
               put(d + "/small.pic", picHeader(40, 30, {{2, 0xE0}}));
             },
             "kxreduce",
             {"small", "out"},
             {"KX_MAX_PIXELS=1199"},
             0,
             255,
             "Error: small.pic: the picture is 40 x 30 pixels, over the limit of 1199 pixels",
             32},
        Case{"limit_that_is_not_a_number",
             [](const std::string& d) {
               put(d + "/small.pic", picHeader(4, 3, {{2, 0xE0}}));
             },
             "kxreduce",
             {"small", "out"},
             {"KX_MAX_PIXELS=lots"},
             0,
             255,
             "Error: KX_MAX_PIXELS=lots is not a number of pixels",
             32},
        // A million packets that carry nothing once cost minutes per picture.
        Case{"pic_with_a_million_empty_packets",
             [](const std::string& d) {
               put(d + "/packets.pic",
                   picHeader(1, 32767, std::vector<std::pair<int, int>>(1000000, {2, 0})));
             },
             "kxreduce",
             {"packets", "out"},
             {},
             0,
             255,
             "Error: Cannot open input file packets",
             32},
        // A large file with a bad magic number is refused after its header.
        Case{"pic_of_128_MiB_with_a_bad_magic",
             [](const std::string& d) {
               put(d + "/zeros.pic", {});
               ASSERT_EQ(truncate((d + "/zeros.pic").c_str(), off_t{128} << 20), 0);
             },
             "kxreduce",
             {"zeros", "out"},
             {},
             0,
             255,
             "Error: Cannot open input file zeros",
             32},
        Case{"pic_linked_to_dev_zero",
             [](const std::string& d) { linkToZero(d + "/zz.pic"); },
             "kxreduce",
             {"zz", "out"},
             {},
             0,
             255,
             "Error: Cannot open input file zz",
             32},
        Case{"pic_that_memory_cannot_hold",
             [](const std::string& d) {
               put(d + "/oom.pic", picHeader(11000, 11000, {{2, 0xE0}}));
             },
             "kxreduce",
             {"oom", "out"},
             {},
             256,
             255,
             "Error: oom.pic: out of memory",
             0},
        Case{
            "pict_over_the_limit",
            [](const std::string& d) { put(d + "/big.pict", pictWithRaster(32767, 32767, 1, {})); },
            "kxreduce",
            {"-i", "pict", "big", "out"},
            {},
            0,
            255,
            "Error: big.pict: the picture is 32767 x 32767 pixels, " + kLimitText,
            32},
        // The planes of an 11000 x 11000 frame are never made for a raster
        // whose rows are not in the file.
        Case{
            "pict_raster_ending_before_its_first_row",
            [](const std::string& d) {
              put(d + "/cut.pict", pictWithRaster(11000, 11000, 11000, {}));
            },
            "kxreduce",
            {"-i", "pict", "cut", "out"},
            {},
            0,
            255,
            "ERROR ====> Can't read file cut.pict <==== ERROR\nError: Cannot open input file cut\n",
            32},
        Case{"pict_that_memory_cannot_hold",
             [](const std::string& d) {
               put(d + "/oom.pict", pictWithRaster(11000, 11000, 1, {4, 0x02, 10, 20, 30}));
             },
             "kxreduce",
             {"-i", "pict", "oom", "out"},
             {},
             256,
             255,
             "Error: oom.pict: out of memory",
             0},
        Case{"pict_linked_to_dev_zero",
             [](const std::string& d) { linkToZero(d + "/dz.pict"); },
             "kxreduce",
             {"-i", "pict", "dz", "out"},
             {},
             0,
             255,
             "ERROR ====> dz.pict is not a known PICT format! <==== ERROR",
             32},
        Case{"ascii_colormap_linked_to_dev_zero",
             [](const std::string& d) {
               put(d + "/small.pic", picHeader(4, 3, {{2, 0xE0}}));
               linkToZero(d + "/z.cla");
             },
             "kxreduce",
             {"-C", "z", "small", "out"},
             {},
             0,
             255,
             "Error: ASCII colormap z.cla, line 1: expected \"<colors> <bits>\"",
             32},
        Case{"binary_colormap_linked_to_dev_zero",
             [](const std::string& d) {
               put(d + "/small.pic", picHeader(4, 3, {{2, 0xE0}}));
               linkToZero(d + "/z.clm");
             },
             "kxreduce",
             {"-c", "z", "small", "out"},
             {},
             0,
             255,
             "Error: colormap z.clm gives 0 colors",
             32},
        // kxconv: the same limit, and every reader stops at a bad header.
        Case{"png_over_the_limit",
             [](const std::string& d) { put(d + "/big.png", pngDeclaring(30000, 30000)); },
             "kxconv",
             {"big.png", "big.pic"},
             {},
             0,
             255,
             "kxconv: big.png: the picture is 30000 x 30000 pixels, " + kLimitText,
             32},
        Case{"pic_over_the_limit_for_kxconv",
             [](const std::string& d) {
               put(d + "/big.pic", picHeader(32767, 32767, {{2, 0xE0}}));
             },
             "kxconv",
             {"big.pic", "big.png"},
             {},
             0,
             255,
             "kxconv: big.pic: the picture is 32767 x 32767 pixels, " + kLimitText,
             32},
        Case{
            "pict_over_the_limit_for_kxconv",
            [](const std::string& d) { put(d + "/big.pict", pictWithRaster(32767, 32767, 1, {})); },
            "kxconv",
            {"big.pict", "big.png"},
            {},
            0,
            255,
            "kxconv: big.pict: cannot read the PICT picture (big.pict: the picture is 32767 x "
            "32767 pixels, " +
                kLimitText + ")",
            32},
        Case{"ppm_over_the_limit",
             [](const std::string& d) {
               const std::string header = "P6\n20000 20000\n255\n";
               put(d + "/big.ppm", Bytes(header.begin(), header.end()));
             },
             "kxconv",
             {"big.ppm", "big.png"},
             {},
             0,
             255,
             "kxconv: big.ppm: the picture is 20000 x 20000 pixels, " + kLimitText,
             32},
        Case{"limit_that_is_not_a_number_for_kxconv",
             [](const std::string& d) { put(d + "/big.png", pngDeclaring(3, 3)); },
             "kxconv",
             {"big.png", "big.pic"},
             {"KX_MAX_PIXELS=0"},
             0,
             255,
             "kxconv: KX_MAX_PIXELS=0 is not a number of pixels",
             32},
        Case{"png_linked_to_dev_zero",
             [](const std::string& d) { linkToZero(d + "/z.png"); },
             "kxconv",
             {"z.png", "z.pic"},
             {},
             0,
             255,
             "kxconv: z.png: not a PNG file",
             32},
        Case{"ppm_linked_to_dev_zero",
             [](const std::string& d) { linkToZero(d + "/z.ppm"); },
             "kxconv",
             {"z.ppm", "z.pic"},
             {},
             0,
             255,
             "kxconv: z.ppm: not a netpbm file",
             32},
        Case{"icn_linked_to_dev_zero",
             [](const std::string& d) { linkToZero(d + "/z.icn"); },
             "kxconv",
             {"z.icn", "z.png"},
             {},
             0,
             255,
             "kxconv: z.icn: not a colour-mapped image file (no ICON/CICN magic)",
             32},
        Case{"pic_linked_to_dev_zero_for_kxconv",
             [](const std::string& d) { linkToZero(d + "/z.pic"); },
             "kxconv",
             {"z.pic", "z.png"},
             {},
             0,
             255,
             "kxconv: z.pic: not a valid .pic picture file",
             32},
        Case{"pict_linked_to_dev_zero_for_kxconv",
             [](const std::string& d) { linkToZero(d + "/z.pict"); },
             "kxconv",
             {"z.pict", "z.png"},
             {},
             0,
             255,
             "z.pict is not a known PICT format!",
             32}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kx
