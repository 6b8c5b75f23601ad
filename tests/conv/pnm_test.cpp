// netpbm input of kxconv: every kind of PBM, PGM, PPM and PAM file becomes a
// picture with the samples that `pamdepth 255` gives, and damaged or
// unsupported files are refused with their reason.
#include <gtest/gtest.h>

#include "conv_support.h"

namespace kx {
namespace {

struct PnmCase {
  const char* name;
  const char* magic;      // P1 .. P7
  const char* tupleType;  // P7 only
  int depth;
  uint32_t maxval;
  const char* extension;
};

std::ostream& operator<<(std::ostream& os, const PnmCase& c) {
  return os << c.name;
}

// A netpbm file of random samples (the extremes 0 and maxval included).
std::vector<uint8_t> makeFile(const PnmCase& c, int width, int height) {
  std::string header = std::string(c.magic) + "\n";
  const bool pam = std::string(c.magic) == "P7";
  const bool bitmap = c.magic[1] == '1' || c.magic[1] == '4';
  if (pam) {
    header += "WIDTH " + std::to_string(width) + "\nHEIGHT " + std::to_string(height) + "\nDEPTH " +
              std::to_string(c.depth) + "\nMAXVAL " + std::to_string(c.maxval) +
              "\n# a comment line\nTUPLTYPE " + c.tupleType + "\nENDHDR\n";
  } else {
    header += "# made by the kxconv tests\n" + std::to_string(width) + " " +
              std::to_string(height) + "\n";
    if (!bitmap) header += std::to_string(c.maxval) + "\n";
  }
  std::vector<uint8_t> bytes(header.begin(), header.end());
  const bool plain = c.magic[1] >= '1' && c.magic[1] <= '3';
  uint32_t s = 12345;
  auto next = [&]() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  };
  const size_t count = static_cast<size_t>(width) * height * c.depth;
  if (c.magic[1] == '4') {
    for (int y = 0; y < height; ++y) {
      for (int b = 0; b < (width + 7) / 8; ++b) bytes.push_back(static_cast<uint8_t>(next()));
    }
    return bytes;
  }
  for (size_t i = 0; i < count; ++i) {
    uint32_t v = next() % (c.maxval + 1);
    if (i == 0) v = c.maxval;
    if (i == 1) v = 0;
    if (plain) {
      const std::string text = std::to_string(v) + (i % 7 == 6 ? "\n" : " ");
      bytes.insert(bytes.end(), text.begin(), text.end());
    } else if (c.maxval > 255) {
      bytes.push_back(static_cast<uint8_t>(v >> 8));
      bytes.push_back(static_cast<uint8_t>(v));
    } else {
      bytes.push_back(static_cast<uint8_t>(v));
    }
  }
  return bytes;
}

// The 8-bit view as RGB or RGBA, grey spread to three colours.
Raster asRgb(const Raster& in) {
  const bool alpha = in.depth % 2 == 0;
  Raster out{in.width, in.height, alpha ? 4 : 3, {}};
  for (size_t i = 0; i < in.samples.size(); i += in.depth) {
    const uint8_t* p = in.samples.data() + i;
    for (int c = 0; c < 3; ++c) out.samples.push_back(in.depth <= 2 ? p[0] : p[c]);
    if (alpha) out.samples.push_back(p[in.depth - 1]);
  }
  return out;
}

class NetpbmInput : public ::testing::TestWithParam<PnmCase> {};

TEST_P(NetpbmInput, SamplesAsPamdepthScalesThem) {
  const PnmCase& c = GetParam();
  TempDir dir;
  const std::string name = std::string("in") + c.extension;
  writeFileBytes(dir.path(name), makeFile(c, 29, 7));
  RunResult ref = shell("pamdepth 255 " + quoted(dir.path(name)) + " 2>/dev/null");
  ASSERT_EQ(ref.status, 0) << "netpbm refuses the test file";
  const Raster expected = asRgb(parseNetpbm(ref.out));
  ASSERT_EQ(expected.width, 29);

  RunResult r = kxconv({name, "out.pic"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(picPixels(dir.path("out.pic")), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, NetpbmInput,
    ::testing::Values(PnmCase{"ppm_raw_255", "P6", "", 3, 255, ".ppm"},
                      PnmCase{"ppm_raw_65535", "P6", "", 3, 65535, ".ppm"},
                      PnmCase{"ppm_raw_1000", "P6", "", 3, 1000, ".ppm"},
                      PnmCase{"ppm_raw_100", "P6", "", 3, 100, ".ppm"},
                      PnmCase{"ppm_raw_256", "P6", "", 3, 256, ".PPM"},
                      PnmCase{"ppm_plain_1000", "P3", "", 3, 1000, ".ppm"},
                      PnmCase{"ppm_plain_65535", "P3", "", 3, 65535, ".pnm"},
                      PnmCase{"pgm_raw_65535", "P5", "", 1, 65535, ".pgm"},
                      PnmCase{"pgm_raw_7", "P5", "", 1, 7, ".pgm"},
                      PnmCase{"pgm_plain_255", "P2", "", 1, 255, ".pgm"},
                      PnmCase{"pbm_raw", "P4", "", 1, 1, ".pbm"},
                      PnmCase{"pbm_plain", "P1", "", 1, 1, ".pbm"},
                      PnmCase{"pam_rgb_alpha_65535", "P7", "RGB_ALPHA", 4, 65535, ".pam"},
                      PnmCase{"pam_rgb_1000", "P7", "RGB", 3, 1000, ".pam"},
                      PnmCase{"pam_grey_alpha_300", "P7", "GRAYSCALE_ALPHA", 2, 300, ".pam"},
                      PnmCase{"pam_grey_255", "P7", "GRAYSCALE", 1, 255, ".pam"},
                      PnmCase{"pam_black_and_white", "P7", "BLACKANDWHITE", 1, 1, ".pam"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Refusals ------------------------------------------------------------------

struct BadFile {
  const char* name;
  std::string bytes;
  const char* message;
};

std::ostream& operator<<(std::ostream& os, const BadFile& b) {
  return os << b.name;
}

class BadNetpbm : public ::testing::TestWithParam<BadFile> {};

TEST_P(BadNetpbm, RefusedWithItsReasonAndNoOutput) {
  TempDir dir;
  const BadFile& b = GetParam();
  writeFileBytes(dir.path("bad.pnm"), std::vector<uint8_t>(b.bytes.begin(), b.bytes.end()));
  RunResult r = kxconv({"bad.pnm", "bad.pic"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, std::string("kxconv: bad.pnm: ") + b.message + "\n");
  EXPECT_FALSE(fileExists(dir.path("bad.pic")));
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Files, BadNetpbm,
    ::testing::Values(
        BadFile{"not_netpbm", "GIF89a", "not a netpbm file (no P1 to P7 magic)"},
        BadFile{"empty", "", "not a netpbm file (no P1 to P7 magic)"},
        BadFile{"p8", "P8\n1 1\n255\n.", "not a netpbm file (no P1 to P7 magic)"},
        BadFile{"no_height", "P6\n2", "the file ends before the height"},
        BadFile{"letters", "P6\n2 x\n255\n", "the height is not a number"},
        BadFile{"raw_short", "P6\n2 2\n255\n" + std::string(11, 'a'),
                "the file ends inside the raster"},
        BadFile{"raw16_short", "P5\n2 1\n1000\n\x01\x02\x03", "the file ends inside the raster"},
        BadFile{"no_raster", "P5\n2 1\n255", "the file ends inside its header"},
        BadFile{"plain_short", "P2\n3 1\n9\n1 2", "the file ends inside the raster"},
        BadFile{"pbm_short", "P4\n9 2\n\xff\xff\xff", "the file ends inside the raster"},
        BadFile{"raw_above_maxval", "P5\n2 1\n100\n\x05\xc8",
                "a sample (200) exceeds the maxval 100"},
        BadFile{"raw16_above_maxval", "P5\n1 1\n1000\n\x03\xe9",
                "a sample (1001) exceeds the maxval 1000"},
        BadFile{"plain_above_maxval", "P2\n2 1\n10\n5 11\n", "a sample (11) exceeds the maxval 10"},
        BadFile{"plain_pbm_digit", "P1\n2 1\n0 2\n", "a PBM pixel is neither 0 nor 1"},
        BadFile{"maxval_0", "P5\n1 1\n0\n\x00"s, "the maxval 0 is not 1 to 65535"},
        BadFile{"maxval_65536", "P5\n1 1\n65536\n\x00\x00"s, "the maxval 65536 is not 1 to 65535"},
        BadFile{"zero_width", "P6\n0 5\n255\n", "the picture is empty (0 x 5 pixels)"},
        BadFile{"too_high", "P5\n1 32768\n255\n",
                "the picture is 1 x 32768 pixels; a .pic picture holds at most 32767 x 32767"},
        BadFile{"pam_tuple_type",
                "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE CMYK\nENDHDR\n....",
                "unsupported PAM tuple type \"CMYK\""},
        BadFile{"pam_depth",
                "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n....",
                "the PAM tuple type RGB needs depth 3, not 4"},
        BadFile{"pam_missing_maxval", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 3\nENDHDR\n...",
                "the PAM header lacks WIDTH, HEIGHT, DEPTH or MAXVAL"},
        BadFile{"pam_unknown_key", "P7\nWIDTH 1\nCOLOUR 3\nENDHDR\n",
                "unknown PAM header line \"COLOUR 3\""},
        BadFile{"pam_bad_number", "P7\nWIDTH -1\nENDHDR\n", "bad PAM header line \"WIDTH -1\""},
        BadFile{"pam_no_endhdr", "P7\nWIDTH 1\nHEIGHT 1\n", "the file ends inside the PAM header"},
        BadFile{"pam_depth_5", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 5\nMAXVAL 255\nENDHDR\n.....",
                "PAM depth 5 without a TUPLTYPE"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NetpbmInput, PamWithoutTupleTypeTakesItFromTheDepth) {
  TempDir dir;
  const std::string text = "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\nENDHDR\n\x10\x80\x20\xff";
  writeFileBytes(dir.path("ga.pam"), std::vector<uint8_t>(text.begin(), text.end()));
  ASSERT_EQ(kxconv({"ga.pam", "ga.pic"}, dir.path()).status, 0);
  const Raster pic = picPixels(dir.path("ga.pic"));
  EXPECT_EQ(pic.samples, (std::vector<uint8_t>{0x10, 0x10, 0x10, 0x80, 0x20, 0x20, 0x20, 0xFF}));
}

TEST(PpmOutput, RawPpmBytes) {
  TempDir dir;
  const std::string text = "P3\n2 1\n255\n1 2 3 250 251 252\n";
  writeFileBytes(dir.path("in.ppm"), std::vector<uint8_t>(text.begin(), text.end()));
  ASSERT_EQ(kxconv({"in.ppm", "in.pic"}, dir.path()).status, 0);
  ASSERT_EQ(kxconv({"in.pic", "out.ppm"}, dir.path()).status, 0);
  const std::string expected = "P6\n2 1\n255\n\x01\x02\x03\xfa\xfb\xfc";
  EXPECT_EQ(readFileBytes(dir.path("out.ppm")),
            std::vector<uint8_t>(expected.begin(), expected.end()));
}

}  // namespace
}  // namespace kx
