#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>

#include "common/bytes.h"
#include "output/output.h"
#include "support/capture.h"
#include "support/tempdir.h"

namespace kx {
namespace {

HistogramEntry rgb(int r, int g, int b) {
  return HistogramEntry{static_cast<uint8_t>(r), static_cast<uint8_t>(g), static_cast<uint8_t>(b),
                        0};
}

std::string text(const std::string& path) {
  const std::vector<uint8_t> b = readFileBytes(path);
  return std::string(b.begin(), b.end());
}

void writeText(const std::string& path, const std::string& s) {
  writeFileBytes(path, std::vector<uint8_t>(s.begin(), s.end()));
}

struct ColormapFiles : testing::Test {
  TempDir dir;
  RunSettings opt;
  std::string name = dir.path("pal");
  ColormapFileHeader header;
};

const std::vector<uint8_t> kTwoEntries = {
    0x43, 0x4D, 0x41, 0x50, 0x30, 0x31, 0x30, 0x30, 0x00, 0x02, 0x00, 0x08, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF};

TEST_F(ColormapFiles, TwoEntryBinaryAndAsciiFiles) {
  opt.colors = 2;
  const Colormap map = {rgb(0, 0, 0), rgb(255, 255, 255)};
  kx_writeColorMap(name, map, &opt);
  EXPECT_EQ(readFileBytes(name + ".clm"), kTwoEntries);
  kx_writeASCIIColorMap(name, map, &opt);
  EXPECT_EQ(text(name + ".cla"), "2 8\n0 0 0 0\n1 255 255 255\n");

  for (int ascii = 0; ascii < 2; ++ascii) {
    Colormap back =
        ascii ? kx_readASCIIColorMap(name, &header, &opt) : kx_readColorMap(name, &header, &opt);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(header.colors, 2);
    EXPECT_EQ(header.bits, 8);
    EXPECT_EQ(back[1].red, 255);
    EXPECT_EQ(back[0].blue, 0);
  }
  EXPECT_EQ(std::string(header.magic, 4), std::string(4, '\0'));  // ASCII sets count and bits only
  kx_readColorMap(name, &header, &opt);
  EXPECT_EQ(std::string(header.magic, 4), "CMAP");
  EXPECT_EQ(std::string(header.version, 4), "0100");
}

TEST_F(ColormapFiles, FiveBitScalingBothWays) {
  opt.colors = 2;
  opt.bits = 5;
  opt.bitsGiven = 1;
  kx_writeColorMap(name, {rgb(255, 128, 0), rgb(1, 8, 9)}, &opt);
  const std::vector<uint8_t> b = readFileBytes(name + ".clm");
  ASSERT_EQ(b.size(), 28u);
  EXPECT_EQ(b[11], 5);
  EXPECT_EQ(b[17], 31);
  EXPECT_EQ(b[19], 15);
  EXPECT_EQ(b[21], 0);
  EXPECT_EQ(b[25], 0);  // 8 × 31 / 255 = 0.97
  EXPECT_EQ(b[27], 1);  // 9 × 31 / 255 = 1.09
  const Colormap back = kx_readColorMap(name, &header, &opt);
  EXPECT_EQ(back[0].red, 255);
  EXPECT_EQ(back[0].green, 123);  // 15 × 255 / 31 = 123.4
  EXPECT_EQ(back[1].blue, 8);

  kx_writeASCIIColorMap(name, {rgb(255, 128, 0), rgb(1, 8, 9)}, &opt);
  EXPECT_EQ(text(name + ".cla"), "2 5\n0 31 15 0\n1 0 0 1\n");
}

TEST_F(ColormapFiles, SixteenBitsUseTheWholeRange) {
  opt.colors = 1;
  opt.bits = 16;
  opt.bitsGiven = 1;
  kx_writeColorMap(name, {rgb(255, 1, 128)}, &opt);
  const std::vector<uint8_t> b = readFileBytes(name + ".clm");
  EXPECT_EQ(loadBE16(&b[16]), 65535);
  EXPECT_EQ(loadBE16(&b[18]), 257);
  const Colormap back = kx_readColorMap(name, &header, &opt);
  EXPECT_EQ(back[0].red, 255);
  EXPECT_EQ(back[0].green, 1);
  EXPECT_EQ(back[0].blue, 128);
}

TEST_F(ColormapFiles, TransformBinaryToAsciiCopiesStoredValues) {
  opt.colors = 3;
  opt.bits = 5;
  opt.bitsGiven = 1;
  kx_writeColorMap(name, {rgb(255, 0, 10), rgb(128, 64, 32), rgb(1, 2, 3)}, &opt);
  RunSettings reader;
  reader.transform = 1;
  kx_readColorMap(name, &header, &reader);
  EXPECT_EQ(text(name + ".cla"), "3 5\n0 31 0 1\n1 15 7 3\n2 0 0 0\n");
}

TEST_F(ColormapFiles, TransformAsciiToBinary) {
  writeText(name + ".cla", "2 8\n5 1 2 3\n3 250 251 252\n");
  opt.transform = 1;
  const Colormap map = kx_readASCIIColorMap(name, &header, &opt);
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map[1].green, 251);  // the index column is not read
  const std::vector<uint8_t> b = readFileBytes(name + ".clm");
  const std::vector<uint8_t> want = {'C', 'M', 'A', 'P', '0', '1', '0', '0', 0, 2,
                                     0,   8,   0,   0,   0,   0,   0,   1,   0, 2,
                                     0,   3,   0,   250, 0,   251, 0,   252};
  EXPECT_EQ(b, want);
}

TEST_F(ColormapFiles, ColourLimitTruncatesAndConvertsOnlyWhatIsRead) {
  opt.colors = 256;
  Colormap big(256);
  for (int i = 0; i < 256; ++i) big[i] = rgb(i, 255 - i, i / 2);
  kx_writeColorMap(name, big, &opt);
  RunSettings reader;
  reader.colors = 16;
  reader.colorsGiven = 1;
  reader.transform = 1;
  const Colormap map = kx_readColorMap(name, &header, &reader);
  EXPECT_EQ(map.size(), 16u);
  EXPECT_EQ(header.colors, 16);
  EXPECT_EQ(map[15].red, 15);
  const std::string cla = text(name + ".cla");
  EXPECT_EQ(cla.substr(0, 5), "16 8\n");
  EXPECT_EQ(std::count(cla.begin(), cla.end(), '\n'), 17);
  // -n above the file's count changes nothing.
  reader.colors = 200;
  reader.transform = 0;
  writeText(name + ".cla", "3 8\n0 1 1 1\n1 2 2 2\n2 3 3 3\n");
  EXPECT_EQ(kx_readASCIIColorMap(name, &header, &reader).size(), 3u);
}

TEST_F(ColormapFiles, AsciiNumbersMaySitOnAnyLines) {
  // Numbers are separated by any white space, line ends included: every
  // layout below is the one colormap.
  for (const char* text : {"2 8\n0 10 20 30\n1 40 50 60\n", "2  8\r\n\n 0\t10 20 30\r\n1 40 50 60",
                           "2 8 0 10 20 30 1 40 50 60", "2\n8\n0\n10\n20\n30\n1 40\n50 60\n"}) {
    writeText(name + ".cla", text);
    const Colormap map = kx_readASCIIColorMap(name, &header, &opt);
    ASSERT_EQ(map.size(), 2u) << text;
    EXPECT_EQ((std::array{map[0].red, map[0].blue, map[1].red, map[1].blue}),
              (std::array<uint8_t, 4>{10, 30, 40, 60}))
        << text;
  }
}

TEST_F(ColormapFiles, OpenFailuresUseTheirMessages) {
  std::string err;
  EXPECT_EQ(exitStatusOf([&] { kx_readColorMap(name, &header, &opt); }, &err), 255);
  EXPECT_EQ(err, "can't read colormap " + name + ".clm, exit...\n");
  EXPECT_EQ(exitStatusOf([&] { kx_readASCIIColorMap(name, &header, &opt); }, &err), 255);
  EXPECT_EQ(err, "can't read ASCII colormap " + name + ".cla, exit...\n");

  const std::string bad = dir.path("no/such");
  opt.colors = 1;
  EXPECT_EQ(exitStatusOf([&] { kx_writeColorMap(bad, {rgb(1, 2, 3)}, &opt); }, &err), 255);
  EXPECT_EQ(err, "can't create colormap " + bad + ".clm, exit...\n");
  EXPECT_EQ(exitStatusOf([&] { kx_writeASCIIColorMap(bad, {rgb(1, 2, 3)}, &opt); }, &err), 255);
  EXPECT_EQ(err, "can't create colormap " + bad + ".cla, exit...\n");

  // -T into a place that cannot be written.
  writeFileBytes(name + ".clm", kTwoEntries);
  std::filesystem::create_directory(name + ".cla");
  opt.transform = 1;
  EXPECT_EQ(exitStatusOf([&] { kx_readColorMap(name, &header, &opt); }, &err), 255);
  EXPECT_EQ(err, "can't create ASCII colormap " + name + ".cla, exit...\n");
  std::filesystem::remove(name + ".cla");
  std::filesystem::remove(name + ".clm");
  std::filesystem::create_directory(name + ".clm");
  writeText(name + ".cla", "1 8\n0 1 2 3\n");
  EXPECT_EQ(exitStatusOf([&] { kx_readASCIIColorMap(name, &header, &opt); }, &err), 255);
  EXPECT_EQ(err, "can't create colormap " + name + ".clm, exit...\n");
}

struct BadBinary {
  const char* why;
  std::vector<uint8_t> bytes;
  std::string message;  // after "Error: colormap <file>"
};

class BadBinaryColormap : public testing::TestWithParam<BadBinary> {};

TEST_P(BadBinaryColormap, IsRefusedWithItsName) {
  TempDir dir;
  const std::string name = dir.path("bad");
  writeFileBytes(name + ".clm", GetParam().bytes);
  RunSettings opt;
  opt.transform = 1;
  ColormapFileHeader header;
  std::string err;
  EXPECT_EQ(exitStatusOf([&] { kx_readColorMap(name, &header, &opt); }, &err), 255);
  EXPECT_EQ(err, "Error: colormap " + name + ".clm" + GetParam().message);
  EXPECT_FALSE(std::filesystem::exists(name + ".cla"));  // no conversion of a bad file
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

INSTANTIATE_TEST_SUITE_P(
    Files, BadBinaryColormap,
    testing::Values(
        BadBinary{"empty", {}, " is too short: 0 bytes, its header alone takes 16\n"},
        BadBinary{"header cut",
                  {'C', 'M', 'A', 'P', '0', '1', '0', '0', 0, 2, 0},
                  " is too short: 11 bytes, its header alone takes 16\n"},
        BadBinary{"entries cut", binary(2, 8, {1, 2, 3, 4, 5}),
                  " is too short: 2 colors need 28 bytes, it has 26\n"},
        BadBinary{"no colours", binary(0, 8, {}), " gives 0 colors (1 to 32767 can be read)\n"},
        BadBinary{"negative count", binary(0xFFFF, 8, {}),
                  " gives -1 colors (1 to 32767 can be read)\n"},
        BadBinary{"zero bits", binary(1, 0, {0, 0, 0}),
                  " gives 0 bits per channel (1 to 16 can be read)\n"},
        BadBinary{"17 bits", binary(1, 17, {0, 0, 0}),
                  " gives 17 bits per channel (1 to 16 can be read)\n"},
        BadBinary{"value too big", binary(2, 5, {0, 0, 0, 1, 32, 1}),
                  ", color 1: value 32 does not fit 5 bits\n"},
        BadBinary{"too many colours", binary(300, 8, std::vector<int>(900, 1)),
                  " has 300 colors, more than the 256 that one-byte indices can hold; use -n "
                  "256 to take its first 256\n"}),
    [](const testing::TestParamInfo<BadBinary>& info) {
      std::string s = info.param.why;
      for (char& c : s) {
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return s;
    });

TEST_F(ColormapFiles, TooManyColoursAreAcceptedWithTheLimit) {
  writeFileBytes(name + ".clm", binary(300, 8, std::vector<int>(900, 7)));
  opt.colors = 256;
  opt.colorsGiven = 1;
  EXPECT_EQ(kx_readColorMap(name, &header, &opt).size(), 256u);
  EXPECT_EQ(header.colors, 256);
}

struct BadAscii {
  const char* why;
  std::string content;
  std::string message;  // after "Error: "
};

class BadAsciiColormap : public testing::TestWithParam<BadAscii> {};

TEST_P(BadAsciiColormap, IsRefusedWithItsName) {
  TempDir dir;
  const std::string name = dir.path("bad");
  writeText(name + ".cla", GetParam().content);
  RunSettings opt;
  opt.transform = 1;
  ColormapFileHeader header;
  std::string err;
  EXPECT_EQ(exitStatusOf([&] { kx_readASCIIColorMap(name, &header, &opt); }, &err), 255);
  std::string want = GetParam().message;
  want.replace(want.find('@'), 1, name + ".cla");
  EXPECT_EQ(err, "Error: " + want);
  EXPECT_FALSE(std::filesystem::exists(name + ".clm"));
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadAsciiColormap,
    testing::Values(
        BadAscii{"empty", "", "ASCII colormap @ is empty\n"},
        BadAscii{"word header", "two 8\n",
                 "ASCII colormap @, line 1: expected \"<colors> <bits>\"\n"},
        BadAscii{"entry cut short", "2 8\n0 1 2 3\n1 4 5\n",
                 "ASCII colormap @ ends after 1 of its 2 colors\n"},
        BadAscii{"word in entry", "2 8\n0 1 2 3\n1 4 5\nsix\n",
                 "ASCII colormap @, line 4: expected \"<index> <red> <green> <blue>\"\n"},
        BadAscii{"endless blanks", "1 8\n" + std::string(size_t{1} << 20, ' ') + "0 1 2 3\n",
                 "ASCII colormap @ holds more than 1048576 bytes of text before its last "
                 "color; no colormap is that long\n"},
        BadAscii{"junk in entry", "1 8\n0 1 2x 3\n",
                 "ASCII colormap @, line 2: expected \"<index> <red> <green> <blue>\"\n"},
        BadAscii{"missing entries", "3 8\n0 1 2 3\n",
                 "ASCII colormap @ ends after 1 of its 3 colors\n"},
        BadAscii{"zero colours", "0 8\n", "colormap @ gives 0 colors (1 to 32767 can be read)\n"},
        BadAscii{"huge count", "70000 8\n",
                 "colormap @ gives 70000 colors (1 to 32767 can be read)\n"},
        BadAscii{"zero bits", "1 0\n0 0 0 0\n",
                 "colormap @ gives 0 bits per channel (1 to 16 can be read)\n"},
        BadAscii{"negative value", "1 8\n0 1 -2 3\n",
                 "colormap @, color 0: value -2 does not fit 8 bits\n"},
        BadAscii{"value above 16 bits", "1 16\n0 1 65536 3\n",
                 "colormap @, color 0: value 65536 does not fit 16 bits\n"},
        BadAscii{"too many colours", "257 8\n",
                 "colormap @ has 257 colors, more than the 256 that one-byte indices can hold; "
                 "use -n 256 to take its first 256\n"}),
    [](const testing::TestParamInfo<BadAscii>& info) {
      std::string s = info.param.why;
      for (char& c : s) {
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return s;
    });

TEST_F(ColormapFiles, BitsThatCannotBeStoredAreRefused) {
  opt.colors = 1;
  opt.bits = 17;
  opt.bitsGiven = 1;
  std::string err;
  EXPECT_EQ(exitStatusOf([&] { kx_writeColorMap(name, {rgb(1, 2, 3)}, &opt); }, &err), 255);
  EXPECT_EQ(err, "Error: cannot write colormap " + name +
                     ".clm with 17 bits per channel (1 to 16 can be stored)\n");
  EXPECT_FALSE(std::filesystem::exists(name + ".clm"));
}

TEST_F(ColormapFiles, WriteFailuresAreErrorsAndKeepTheOldFile) {
  opt.colors = 2;
  const Colormap map = {rgb(0, 0, 0), rgb(255, 255, 255)};
  const std::vector<uint8_t> old = {'o', 'l', 'd'};
  for (const char* ext : {".clm", ".cla"}) writeFileBytes(name + ext, old);
  std::string err;
  {
    FileSizeLimit full(10);
    EXPECT_EQ(exitStatusOf([&] { kx_writeColorMap(name, map, &opt); }, &err), 255);
    EXPECT_EQ(err, "Error: File too large , Can't write " + name + ".clm\n");
    EXPECT_EQ(exitStatusOf([&] { kx_writeASCIIColorMap(name, map, &opt); }, &err), 255);
    EXPECT_EQ(err, "Error: File too large , Can't write " + name + ".cla\n");
  }
  for (const char* ext : {".clm", ".cla"}) EXPECT_EQ(readFileBytes(name + ext), old);

  // The -T conversion too.
  const std::string other = dir.path("src");
  writeFileBytes(other + ".clm", kTwoEntries);
  opt.transform = 1;
  FileSizeLimit full(10);
  EXPECT_EQ(exitStatusOf([&] { kx_readColorMap(other, &header, &opt); }, &err), 255);
  EXPECT_EQ(err, "Error: File too large , Can't write " + other + ".cla\n");
  EXPECT_FALSE(std::filesystem::exists(other + ".cla"));
}

}  // namespace
}  // namespace kx
