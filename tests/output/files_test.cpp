// The files of a reduction: colour-mapped image files (.icn) and colormap
// files, binary (.clm) and ASCII (.cla), written, read back and refused.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/bytes.h"
#include "output/output.h"
#include "support/case_names.h"
#include "support/tempdir.h"

namespace kx {
namespace {

std::vector<uint8_t> headerOf(const std::string& name, int w, int h) {
  EXPECT_TRUE(writeIconFile(name, w, h, std::vector<uint8_t>(size_t(w) * h, 7)));
  std::vector<uint8_t> bytes = readFileBytes(name + ".icn");
  // The indices and the trailer: 0 and "_EOF".
  EXPECT_EQ(bytes.size(), 76 + size_t(w) * h);
  EXPECT_EQ(std::vector(bytes.end() - 8, bytes.end()),
            (std::vector<uint8_t>{0, 0, 0, 0, '_', 'E', 'O', 'F'}));
  bytes.resize(68);
  return bytes;
}

struct Geometry {
  const char* name;
  int w, h;
  uint32_t chunk, maskBytes, count;
};

class IconGeometry : public testing::TestWithParam<Geometry> {};

// The one-pixel frame's header, byte for byte, with the sizes that follow
// the frame (9 x 1, a mask row of 2 bytes, is Golden's sample_row_a).
TEST_P(IconGeometry, HeaderBytesWithTheSizesThatFollowTheFrame) {
  const Geometry g = GetParam();
  TempDir dir;
  std::vector<uint8_t> want = {
      'I', 'C', 'O', 'N', '0', '1', '0', '0', 0, 1,  // magic, version, header word
      0,   0,   0,   0,   0,   0,   0,   0,   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // reserved
      'C', 'I', 'C', 'N', '0', '1', '0', '0',                                            // chunk
      0,   0,   0,   29,                             // chunk size
      0,   0,   0,   1,                              // chunk words
      0,   1,   0,   1,                              // width, height
      0,   1,                                        // mask row bytes
      0,   0,   0,   0,   0,   0,   0,   0,   0, 0,  // chunk words
      0,   0,   0,   1};                             // index count
  storeBE32(&want[40], g.chunk);
  storeBE16(&want[48], static_cast<uint32_t>(g.w));
  storeBE16(&want[50], static_cast<uint32_t>(g.h));
  storeBE16(&want[52], g.maskBytes);
  storeBE32(&want[64], g.count);
  EXPECT_EQ(headerOf(dir.path("f"), g.w, g.h), want);
}

const Geometry kGeometries[] = {{"1x1", 1, 1, 29, 1, 1},
                                {"8x2", 8, 2, 44, 1, 16},
                                {"16x1", 16, 1, 44, 2, 16},
                                {"640x480", 640, 480, 307228, 80, 307200},
                                {"32767x2", 32767, 2, 65562, 4096, 65534},
                                {"0x5", 0, 5, 28, 0, 0}};

INSTANTIATE_TEST_SUITE_P(Frames, IconGeometry, testing::ValuesIn(kGeometries), CaseName());

// The message of a file function that failed, as kxreduce prints it (the
// failures to open as they stand, the others after "Error: ").
template <class R>
std::string failure(const R& result) {
  if (result.ok()) return "(no failure)";
  const Error& e = result.error();
  return (e.code == ErrorCode::cannotOpen ? "" : "Error: ") + e.message + "\n";
}

HistogramEntry rgb(int r, int g, int b) {
  return HistogramEntry{uint8_t(r), uint8_t(g), uint8_t(b), 0};
}

std::vector<uint8_t> samples(const Colormap& map) {
  std::vector<uint8_t> out;
  for (const HistogramEntry& e : map) out.insert(out.end(), {e.red, e.green, e.blue});
  return out;
}

std::vector<uint8_t> ascii(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::vector<uint8_t> binary(int count, int bits, std::vector<int> values) {
  std::vector<uint8_t> b = {'C', 'M', 'A', 'P', '0', '1', '0', '0'};
  ByteWriter w(b);
  w.u16(static_cast<uint32_t>(count));
  w.u16(static_cast<uint32_t>(bits));
  w.u32(0);
  for (int v : values) w.u16(static_cast<uint32_t>(v));
  return b;
}

struct ColormapFiles : testing::Test {
  TempDir dir;
  ColormapFormat format;
  ColormapReading reading;
  std::string name = dir.path("pal");

  Colormap readBack(bool ascii, ColormapFileHeader* header = nullptr) {
    Result<ColormapFile> read =
        ascii ? kx_readASCIIColorMap(name, reading) : kx_readColorMap(name, reading);
    EXPECT_TRUE(read.ok()) << read.error().message;
    if (header) *header = read->header;
    return read->colormap;
  }
};

const std::vector<uint8_t> kTwoEntries = binary(2, 8, {0, 0, 0, 255, 255, 255});

// Samples are stored as they are, or with -b scaled to `bits` and back,
// truncating both ways; both forms read back with their header.
TEST_F(ColormapFiles, BytesOfBothFormsScaledToTheBitsOfDashBAndReadBack) {
  // clang-format off
  const struct {
    ColormapFormat format;
    Colormap map;
    std::vector<int> stored;
    const char* ascii;  // nullptr: not written as text
    std::vector<uint8_t> back;
  } cases[] = {
      {{2}, {rgb(0, 0, 0), rgb(255, 255, 255)}, {0, 0, 0, 255, 255, 255},
       "2 8\n0 0 0 0\n1 255 255 255\n", {0, 0, 0, 255, 255, 255}},
      {{2, 1, true}, {rgb(255, 128, 0), rgb(1, 8, 255)}, {1, 0, 0, 0, 0, 1},
       "2 1\n0 1 0 0\n1 0 0 1\n", {255, 0, 0, 0, 0, 255}},
      {{2, 5, true}, {rgb(255, 128, 0), rgb(1, 8, 9)}, {31, 15, 0, 0, 0, 1},
       "2 5\n0 31 15 0\n1 0 0 1\n", {255, 123, 0, 0, 0, 8}},
      {{2, 16, true}, {rgb(255, 128, 0), rgb(1, 8, 255)}, {65535, 32896, 0, 257, 2056, 65535},
       nullptr, {255, 128, 0, 1, 8, 255}}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format.bits);
    format = c.format;
    ASSERT_TRUE(kx_writeColorMap(name, c.map, format));
    EXPECT_EQ(readFileBytes(name + ".clm"), binary(2, c.format.bits, c.stored));
    if (c.ascii) {
      ASSERT_TRUE(kx_writeASCIIColorMap(name, c.map, format));
      EXPECT_EQ(readFileText(name + ".cla"), c.ascii);
    }
    for (bool ascii : {false, true}) {
      if (ascii && !c.ascii) continue;
      ColormapFileHeader header;
      EXPECT_EQ(samples(readBack(ascii, &header)), c.back);
      EXPECT_EQ(header.colors, 2);
      EXPECT_EQ(header.bits, c.format.bits);
      if (!ascii) {
        EXPECT_EQ(std::string(header.magic, 4) + std::string(header.version, 4), "CMAP0100");
      }
    }
  }
}

TEST_F(ColormapFiles, TransformCopiesStoredValuesBothWays) {
  writeFileBytes(name + ".clm", binary(3, 5, {31, 0, 1, 15, 7, 3, 0, 0, 0}));
  reading.transform = true;
  readBack(false);
  EXPECT_EQ(readFileText(name + ".cla"), "3 5\n0 31 0 1\n1 15 7 3\n2 0 0 0\n");
  writeFileBytes(name + ".cla", ascii("2 8\n5 1 2 3\n3 250 251 252\n"));
  // The index column is not read.
  EXPECT_EQ(samples(readBack(true)), (std::vector<uint8_t>{1, 2, 3, 250, 251, 252}));
  EXPECT_EQ(readFileBytes(name + ".clm"), binary(2, 8, {1, 2, 3, 250, 251, 252}));
}

TEST_F(ColormapFiles, ColourLimitTruncatesAndConvertsOnlyWhatIsRead) {
  Colormap big(256);
  for (int i = 0; i < 256; ++i) big[i] = rgb(i, 255 - i, i / 2);
  ASSERT_TRUE(kx_writeColorMap(name, big, ColormapFormat{256}));
  reading = ColormapReading{16, true};
  ColormapFileHeader header;
  const Colormap map = readBack(false, &header);
  EXPECT_EQ(samples(map), samples(Colormap(big.begin(), big.begin() + 16)));
  EXPECT_EQ(header.colors, 16);
  const std::string cla = readFileText(name + ".cla");
  EXPECT_EQ(cla.substr(0, 5), "16 8\n");
  EXPECT_EQ(std::count(cla.begin(), cla.end(), '\n'), 17);
  // -n above the file's count changes nothing; 256 takes the first of 300.
  reading = ColormapReading{200, false};
  writeFileBytes(name + ".cla", ascii("3 8\n0 1 1 1\n1 2 2 2\n2 3 3 3\n"));
  EXPECT_EQ(readBack(true).size(), 3u);
  writeFileBytes(name + ".clm", binary(300, 8, std::vector<int>(900, 7)));
  reading.colorLimit = 256;
  EXPECT_EQ(readBack(false, &header).size(), 256u);
  EXPECT_EQ(header.colors, 256);
}

// (The image file's full disk, and the earlier file kept, are the safety tests'.)
TEST_F(ColormapFiles, OpenFailuresOfColormapsAndTheImageFileUseTheirMessages) {
  EXPECT_EQ(failure(kx_readColorMap(name, reading)),
            "can't read colormap " + name + ".clm, exit...\n");
  EXPECT_EQ(failure(kx_readASCIIColorMap(name, reading)),
            "can't read ASCII colormap " + name + ".cla, exit...\n");
  const std::string bad = dir.path("no/such");
  EXPECT_EQ(failure(IconFile::create(bad, 1, 1)),
            "No such file or directory , Can't open " + bad + ".icn\n");
  format.colors = 1;
  EXPECT_EQ(failure(kx_writeColorMap(bad, {rgb(1, 2, 3)}, format)),
            "can't create colormap " + bad + ".clm, exit...\n");
  EXPECT_EQ(failure(kx_writeASCIIColorMap(bad, {rgb(1, 2, 3)}, format)),
            "can't create colormap " + bad + ".cla, exit...\n");
  // -T into a place that cannot be written.
  writeFileBytes(name + ".clm", kTwoEntries);
  std::filesystem::create_directory(name + ".cla");
  reading.transform = true;
  EXPECT_EQ(failure(kx_readColorMap(name, reading)),
            "can't create ASCII colormap " + name + ".cla, exit...\n");
  // Colormap files hold 16-bit values.
  format = ColormapFormat{1, 17, true};
  EXPECT_EQ(failure(kx_writeColorMap(name, {rgb(1, 2, 3)}, format)),
            "Error: cannot write colormap " + name +
                ".clm with 17 bits per channel (1 to 16 can be stored)\n");
}

struct Bad {
  const char* name;
  bool ascii;
  std::vector<uint8_t> bytes;
  std::string message;  // after "Error: "; @ stands for the file
};

class BadColormap : public testing::TestWithParam<Bad> {};

TEST_P(BadColormap, IsRefusedWithItsNameAndNotConverted) {
  TempDir dir;
  const Bad& c = GetParam();
  const std::string name = dir.path("bad"), file = name + (c.ascii ? ".cla" : ".clm");
  writeFileBytes(file, c.bytes);
  const ColormapReading reading{0, true};
  std::string want = c.message;
  want.replace(want.find('@'), 1, file);
  EXPECT_EQ(failure(c.ascii ? kx_readASCIIColorMap(name, reading) : kx_readColorMap(name, reading)),
            "Error: " + want);
  EXPECT_FALSE(std::filesystem::exists(name + (c.ascii ? ".clm" : ".cla")));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Files, BadColormap, testing::Values(
    Bad{"17_bits", false, binary(1, 17, {0, 0, 0}),
        "colormap @ gives 17 bits per channel (1 to 16 can be read)\n"},
    Bad{"value_too_big", false, binary(2, 5, {0, 0, 0, 1, 32, 1}),
        "colormap @, color 1: value 32 does not fit 5 bits\n"},
    Bad{"a_empty", true, {}, "ASCII colormap @ is empty\n"},
    Bad{"a_endless_blanks", true, ascii("1 8\n" + std::string(size_t{1} << 20, ' ') + "0 1 2 3\n"),
        "ASCII colormap @ holds more than 1048576 bytes of text before its last color; no "
        "colormap is that long\n"},
    Bad{"a_huge_count", true, ascii("70000 8\n"),
        "colormap @ gives 70000 colors (1 to 32767 can be read)\n"},
    Bad{"a_negative_value", true, ascii("1 8\n0 1 -2 3\n"),
        "colormap @, color 0: value -2 does not fit 8 bits\n"}), CaseName());
// clang-format on

TEST_F(ColormapFiles, WriteFailuresAreErrorsAndKeepTheOldFile) {
  format.colors = 2;
  const Colormap map = {rgb(0, 0, 0), rgb(255, 255, 255)};
  for (const char* ext : {".clm", ".cla"}) writeFileBytes(name + ext, ascii("old"));
  writeFileBytes(dir.path("src.clm"), kTwoEntries);
  FileSizeLimit full(10);
  EXPECT_EQ(failure(kx_writeColorMap(name, map, format)),
            "Error: File too large , Can't write " + name + ".clm\n");
  EXPECT_EQ(failure(kx_writeASCIIColorMap(name, map, format)),
            "Error: File too large , Can't write " + name + ".cla\n");
  for (const char* ext : {".clm", ".cla"}) EXPECT_EQ(readFileText(name + ext), "old");
  // The -T conversion too.
  EXPECT_EQ(failure(kx_readColorMap(dir.path("src"), ColormapReading{0, true})),
            "Error: File too large , Can't write " + dir.path("src") + ".cla\n");
  EXPECT_FALSE(std::filesystem::exists(dir.path("src.cla")));
}

}  // namespace
}  // namespace kx
