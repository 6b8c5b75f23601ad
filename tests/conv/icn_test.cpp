// Colour-mapped images (.icn + colormap) through kxconv: the indexed PNG
// carries the colormap as its palette and the index bytes as its pixels (as
// PIL and ImageMagick read them back), colormaps are found beside the image
// or named with -c/-C, and damaged images or out-of-palette indices are
// refused.
#include <gtest/gtest.h>

#include "conv_support.h"
#include "support/pictures.h"

namespace kx {
namespace {

using Colour = std::array<uint8_t, 3>;

// A .icn file of the given indices.
std::vector<uint8_t> makeIcon(int width, int height, const std::vector<uint8_t>& indices) {
  std::vector<uint8_t> b;
  auto u16 = [&](uint32_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
  };
  auto u32 = [&](uint32_t v) {
    u16(v >> 16);
    u16(v & 0xFFFF);
  };
  auto text = [&](const char* t) { b.insert(b.end(), t, t + 4); };
  const uint32_t n = static_cast<uint32_t>(width * height);
  text("ICON");
  text("0100");
  u16(1);
  b.resize(32, 0);
  text("CICN");
  text("0100");
  u32(n + 28);
  u16(0);
  u16(1);
  u16(width);
  u16(height);
  u16((width + 7) / 8);
  u16(0);
  u32(0);
  u32(0);
  u32(n);
  b.insert(b.end(), indices.begin(), indices.end());
  u32(0);
  text("_EOF");
  return b;
}

// A binary colormap file at 8 bits.
std::vector<uint8_t> makeClm(const std::vector<Colour>& colours) {
  std::vector<uint8_t> b = {'C', 'M', 'A', 'P', '0', '1', '0', '0'};
  b.push_back(static_cast<uint8_t>(colours.size() >> 8));
  b.push_back(static_cast<uint8_t>(colours.size()));
  b.insert(b.end(), {0, 8, 0, 0, 0, 0});
  for (const Colour& c : colours) {
    for (uint8_t v : c) b.insert(b.end(), {0, v});
  }
  return b;
}

std::vector<Colour> testColours(int n) {
  std::vector<Colour> colours;
  for (int i = 0; i < n; ++i) {
    colours.push_back({static_cast<uint8_t>(i * 7), static_cast<uint8_t>(255 - i),
                       static_cast<uint8_t>(i * 13 + 1)});
  }
  return colours;
}

// The colours of a .clm file written at 8 bits.
std::vector<Colour> readClm(const std::string& path) {
  const std::vector<uint8_t> b = readFileBytes(path);
  std::vector<Colour> colours;
  for (size_t i = 16; i + 6 <= b.size(); i += 6) colours.push_back({b[i + 1], b[i + 3], b[i + 5]});
  return colours;
}

std::string hex(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

std::string hexColours(const std::vector<Colour>& colours) {
  std::string s;
  for (const Colour& c : colours) s += hex(c.data(), 3);
  return s;
}

// RGB bytes of the indices through the palette.
std::vector<uint8_t> expand(const std::vector<uint8_t>& indices, const std::vector<Colour>& cm) {
  std::vector<uint8_t> rgb;
  for (uint8_t i : indices) rgb.insert(rgb.end(), cm.at(i).begin(), cm.at(i).end());
  return rgb;
}

TEST(IndexedPng, ReducedPictureReadBackByPilAndImageMagick) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 48, 32);
  RunResult r = runProgram("kxreduce", {"-n", "16", "in", "out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<uint8_t> icn = readFileBytes(dir.path("out.icn"));
  const std::vector<uint8_t> indices(icn.begin() + 68, icn.end() - 8);
  const std::vector<Colour> colormap = readClm(dir.path("out.clm"));
  ASSERT_EQ(colormap.size(), 16u);

  r = kxconv({"out.icn", "out.png"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  // PIL: a palette image whose palette is the colormap and whose pixels are
  // the index bytes.
  EXPECT_EQ(
      pilDescribe(dir.path("out.png"),
                  "im.mode, im.size, bytes(im.getpalette()).hex(), bytes(im.getdata()).hex()"),
      "P (48, 32) " + hexColours(colormap) + " " + hex(indices.data(), indices.size()) + "\n");
  // 16 colours fit 4-bit indices (IHDR: bit depth 4, colour type 3).
  const std::vector<uint8_t> png = readFileBytes(dir.path("out.png"));
  EXPECT_EQ(png.at(24), 4);
  EXPECT_EQ(png.at(25), 3);
  // ImageMagick sees a palette image of the reduced colours.
  RunResult im = shell("identify -format '%[type] %k' " + quoted(dir.path("out.png")));
  EXPECT_EQ(im.out, "Palette " + std::to_string(std::set(indices.begin(), indices.end()).size()));
  im = shell("convert " + quoted(dir.path("out.png")) + " -depth 8 rgb:-");
  const std::vector<uint8_t> rgb = expand(indices, colormap);
  EXPECT_EQ(std::vector<uint8_t>(im.out.begin(), im.out.end()), rgb);

  // The same colours as PPM and as a picture.
  ASSERT_EQ(kxconv({"out.icn", "out.ppm"}, dir.path()).status, 0);
  const std::vector<uint8_t> ppm = readFileBytes(dir.path("out.ppm"));
  EXPECT_EQ(std::vector<uint8_t>(ppm.begin() + 13, ppm.end()), rgb);  // after "P6\n48 32\n255\n"
  ASSERT_EQ(kxconv({"out.icn", "out.pic"}, dir.path()).status, 0);
  EXPECT_EQ(picPixels(dir.path("out.pic")).samples, rgb);
}

TEST(IndexedPng, SmallestBitDepthForThePalette) {
  for (int colours : {1, 2, 3, 4, 5, 16, 17, 256}) {
    SCOPED_TRACE(colours);
    TempDir dir;
    std::vector<uint8_t> indices;
    for (int i = 0; i < 300; ++i) indices.push_back(static_cast<uint8_t>((i * 31) % colours));
    writeFileBytes(dir.path("x.icn"), makeIcon(20, 15, indices));
    writeFileBytes(dir.path("x.clm"), makeClm(testColours(colours)));
    RunResult r = kxconv({"x.icn", "x.png"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const int depth = colours <= 2 ? 1 : colours <= 4 ? 2 : colours <= 16 ? 4 : 8;
    EXPECT_EQ(readFileBytes(dir.path("x.png")).at(24), depth);
    EXPECT_EQ(
        pilDescribe(dir.path("x.png"), "bytes(im.getpalette()).hex(), bytes(im.getdata()).hex()"),
        hexColours(testColours(colours)) + " " + hex(indices.data(), indices.size()) + "\n");
  }
}

// ---- Finding the colormap ------------------------------------------------------

TEST(IconColormap, BesideNamedOrSequence) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 16, 8);
  ASSERT_EQ(runProgram("kxreduce", {"-A", "-n", "8", "in", "asc"}, dir.path()).status, 0);
  ASSERT_EQ(runProgram("kxreduce", {"-n", "8", "in", "bin"}, dir.path()).status, 0);
  // The ASCII colormap beside the image is found when there is no binary one.
  RunResult r = kxconv({"asc.icn", "asc.png"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string ascPixels =
      pilDescribe(dir.path("asc.png"), "list(im.convert('RGB').getdata())");

  // Named with -C / -c, with or without extension; the image's own colours
  // with another name.
  std::rename(dir.path("asc.cla").c_str(), dir.path("pal.cla").c_str());
  std::rename(dir.path("bin.clm").c_str(), dir.path("pal.clm").c_str());
  r = kxconv({"asc.icn", "x.png"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err,
            "kxconv: asc.icn: no colormap beside it (neither asc.clm nor asc.cla); name one with "
            "-c or -C\n");
  EXPECT_FALSE(fileExists(dir.path("x.png")));
  for (const char* name : {"pal", "pal.cla"}) {
    r = kxconv({"-C", name, "asc.icn", "x.png"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(pilDescribe(dir.path("x.png"), "list(im.convert('RGB').getdata())"), ascPixels);
  }
  for (const char* name : {"pal", "pal.clm"}) {
    r = kxconv({"bin.icn", "y.png", "-c", name}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
  }
  r = kxconv({"-c", "nope", "bin.icn", "z.png"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "kxconv: nope.clm: cannot open: No such file or directory\n");
  EXPECT_FALSE(fileExists(dir.path("z.png")));
}

TEST(IconColormap, SequenceColormapOfAUniqueRun) {
  TempDir dir;
  for (int i = 1; i <= 3; ++i) writeSamplePicture(dir.path("in." + std::to_string(i)), 16, 8, i);
  RunResult r =
      runProgram("kxreduce", {"-u", "-s", "1", "3", "1", "-n", "12", "in", "out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(fileExists(dir.path("out-1-3.clm")));
  r = kxconv({"out.2.icn", "f2.png", "-c", "out-1-3"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(pilDescribe(dir.path("f2.png"), "bytes(im.getpalette()).hex()"),
            hexColours(readClm(dir.path("out-1-3.clm"))) + "\n");
}

TEST(IconColormap, IndexBeyondThePaletteIsRefused) {
  TempDir dir;
  writeFileBytes(dir.path("x.icn"), makeIcon(3, 2, {0, 1, 0, 1, 5, 0}));
  writeFileBytes(dir.path("x.clm"), makeClm(testColours(2)));
  RunResult r = kxconv({"x.icn", "x.png"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err,
            "kxconv: x.icn: the pixel at column 1, row 1 has index 5, but the colormap x.clm has "
            "only 2 colours\n");
  EXPECT_FALSE(fileExists(dir.path("x.png")));
}

TEST(IconColormap, DamagedColormapEndsTheRunWithoutOutput) {
  TempDir dir;
  writeFileBytes(dir.path("x.icn"), makeIcon(3, 2, {0, 1, 0, 1, 0, 0}));
  std::vector<uint8_t> clm = makeClm(testColours(4));
  clm.resize(clm.size() - 3);  // the last entry is cut short
  writeFileBytes(dir.path("x.clm"), clm);
  RunResult r = kxconv({"x.icn", "x.png"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.err.find("x.clm"), std::string::npos) << r.err;
  EXPECT_FALSE(fileExists(dir.path("x.png")));
}

// ---- Damaged .icn files --------------------------------------------------------

struct IconDamage {
  const char* name;
  void (*apply)(std::vector<uint8_t>&);
  const char* message;
};

std::ostream& operator<<(std::ostream& os, const IconDamage& d) {
  return os << d.name;
}

class DamagedIcon : public ::testing::TestWithParam<IconDamage> {};

TEST_P(DamagedIcon, RefusedWithItsReason) {
  TempDir dir;
  std::vector<uint8_t> icn = makeIcon(3, 2, {0, 1, 1, 0, 1, 1});
  GetParam().apply(icn);
  writeFileBytes(dir.path("x.icn"), icn);
  writeFileBytes(dir.path("x.clm"), makeClm(testColours(2)));
  RunResult r = kxconv({"x.icn", "x.png"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, std::string("kxconv: x.icn: ") + GetParam().message + "\n");
  EXPECT_FALSE(fileExists(dir.path("x.png")));
}

INSTANTIATE_TEST_SUITE_P(
    Damages, DamagedIcon,
    ::testing::
        Values(
            IconDamage{"short", [](std::vector<uint8_t>& b) { b.resize(10); },
                       "not a colour-mapped image file (only 10 bytes)"},
            IconDamage{"magic", [](std::vector<uint8_t>& b) { b[3] = 'X'; },
                       "not a colour-mapped image file (no ICON/CICN magic)"},
            IconDamage{"chunk_type", [](std::vector<uint8_t>& b) { b[32] = 'X'; },
                       "not a colour-mapped image file (no ICON/CICN magic)"},
            IconDamage{"chunk_size", [](std::vector<uint8_t>& b) { b[43] += 1; },
                       "damaged header (its sizes do not match 3 x 2 pixels)"},
            IconDamage{"mask_row_bytes", [](std::vector<uint8_t>& b) { b[53] = 2; },
                       "damaged header (its sizes do not match 3 x 2 pixels)"},
            IconDamage{"index_count", [](std::vector<uint8_t>& b) { b[67] = 7; },
                       "damaged header (its sizes do not match 3 x 2 pixels)"},
            IconDamage{"width_changed", [](std::vector<uint8_t>& b) { b[49] = 2; },
                       "damaged header (its sizes do not match 2 x 2 pixels)"},
            IconDamage{"truncated", [](std::vector<uint8_t>& b) { b.pop_back(); },
                       "the file has 81 bytes; 3 x 2 pixels need 82"},
            IconDamage{"extra_byte", [](std::vector<uint8_t>& b) { b.push_back(0); },
                       "the file has 83 bytes; 3 x 2 pixels need 82"},
            IconDamage{"end_marker", [](std::vector<uint8_t>& b) { b.back() = 'E'; },
                       "the file does not end with its end marker (0, \"_EOF\")"},
            IconDamage{"end_word", [](std::vector<uint8_t>& b) { b[b.size() - 5] = 1; },
                       "the file does not end with its end marker (0, \"_EOF\")"},
            IconDamage{"zero_width", [](std::vector<uint8_t>& b) { b[49] = 0; },
                       "the picture is empty (0 x 2 pixels)"},
            IconDamage{
                "too_wide",
                [](std::vector<uint8_t>& b) {
                  b[48] = 0x80;
                  b[49] = 0x00;
                },
                "the picture is 32768 x 2 pixels; a .pic picture holds at most 32767 x 32767"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kx
