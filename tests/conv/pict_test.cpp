// PICT input of kxconv: pictures written by netpbm's ppmtopict and by our own
// PICT writer (AppleDouble pair, AppleSingle, plain data file) come out as
// PNGs that show what the PICT shows, top row first; shallow rasters (16-bit
// direct, one-bit bitmaps) are brought to 8 bits; unreadable PICTs are
// refused with the reader's reason.
#include <gtest/gtest.h>

#include "conv_support.h"
#include "pict/pict.h"

namespace kx {
namespace {

std::vector<uint8_t> text(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

struct Bytes {
  std::vector<uint8_t> b;
  void u8(uint32_t v) { b.push_back(static_cast<uint8_t>(v)); }
  void u16(uint32_t v) {
    u8(v >> 8);
    u8(v);
  }
  void u32(uint32_t v) {
    u16(v >> 16);
    u16(v);
  }
  void rect(int top, int left, int bottom, int right) {
    for (int v : {top, left, bottom, right}) u16(static_cast<uint32_t>(v));
  }
};

// A version 2 PICT (512-byte preamble) of one unpacked raster; `body` is
// everything after the opcode word.
std::vector<uint8_t> pictOf(int width, int height, int opcode, const std::vector<uint8_t>& body) {
  Bytes p;
  p.b.resize(512, 0);
  p.u16(0);
  p.rect(0, 0, height, width);
  p.u16(0x0011);
  p.u16(0x02FF);
  p.u16(0x0C00);
  p.u32(0xFFFFFFFF);
  for (int v : {0, 0, width, height}) p.u32(static_cast<uint32_t>(v) << 16);
  p.u32(0);
  p.u16(static_cast<uint32_t>(opcode));
  p.b.insert(p.b.end(), body.begin(), body.end());
  if (p.b.size() % 2) p.u8(0);
  p.u16(0x00FF);
  return p.b;
}

// DirectBitsRect of 16-bit pixels (x RRRRR GGGGG BBBBB), rows unpacked.
std::vector<uint8_t> direct16(int width, int height, const std::vector<uint16_t>& pixels) {
  Bytes p;
  p.u32(0xFF);
  p.u16(static_cast<uint32_t>(2 * width) | 0x8000);
  p.rect(0, 0, height, width);
  p.u16(0);           // pmVersion
  p.u16(1);           // packType: unpacked
  p.u32(0);           // packSize
  p.u32(0x00480000);  // hRes
  p.u32(0x00480000);  // vRes
  p.u16(16);          // pixelType: direct
  p.u16(16);          // pixelSize
  p.u16(3);           // cmpCount
  p.u16(5);           // cmpSize
  p.u32(0);
  p.u32(0);
  p.u32(0);
  p.rect(0, 0, height, width);
  p.rect(0, 0, height, width);
  p.u16(0);
  for (uint16_t v : pixels) p.u16(v);
  return pictOf(width, height, 0x9A, p.b);
}

// BitsRect of a one-bit bitmap (rowBytes 2, at most 16 pixels wide).
std::vector<uint8_t> bitmap(int width, int height, const std::vector<uint16_t>& rows) {
  Bytes p;
  p.u16(2);
  p.rect(0, 0, height, width);
  p.rect(0, 0, height, width);
  p.rect(0, 0, height, width);
  p.u16(0);
  for (uint16_t row : rows) p.u16(row);
  return pictOf(width, height, 0x90, p.b);
}

TEST(PictInput, NetpbmPictureShowsTheSameRowsOnTop) {
  TempDir dir;
  // 11 x 5 pixels of a few colours (ppmtopict writes up to 256, at least 8
  // pixels wide).
  std::string ppm = "P6\n11 5\n255\n";
  for (int i = 0; i < 55; ++i) {
    ppm += static_cast<char>((i % 5) * 60);
    ppm += static_cast<char>((i / 11) * 40);
    ppm += static_cast<char>(i % 2 ? 255 : 10);
  }
  writeFileBytes(dir.path("x.ppm"), text(ppm));
  RunResult tool =
      shell("ppmtopict " + quoted(dir.path("x.ppm")) + " > " + quoted(dir.path("x.pict")));
  ASSERT_EQ(tool.status, 0) << tool.err;
  RunResult r = kxconv({"x.pict", "x.png"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(pilPixels(dir.path("x.png"), "RGB"), pilPixels(dir.path("x.ppm"), "RGB"));
}

TEST(PictInput, OurTrueColourPictInEveryContainer) {
  TempDir dir;
  const int w = 5, h = 3;
  // Planes are bottom-up: plane row h - 1 is the PICT's top row.
  std::vector<uint8_t> planes[4];
  for (int c = 0; c < 4; ++c) {
    for (int i = 0; i < w * h; ++i) planes[c].push_back(static_cast<uint8_t>(i * 17 + c * 50));
  }
  const std::array<const uint8_t*, 4> in = {planes[0].data(), planes[1].data(), planes[2].data(),
                                            planes[3].data()};
  ASSERT_EQ(writePictImage(dir.path("pair.pict"), w, h, 0, nullptr, in), 0) << pict_errstr;
  ASSERT_TRUE(fileExists(dir.path("%pair.pict")));
  Raster expected{w, h, 4, {}};
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < 4; ++c) expected.samples.push_back(planes[c][(h - 1 - y) * w + x]);
    }
  }

  // AppleSingle: the pair's Finder information and data in one file.
  const std::vector<uint8_t> data = readFileBytes(dir.path("pair.pict"));
  const std::vector<uint8_t> header = readFileBytes(dir.path("%pair.pict"));
  Bytes single;
  single.u32(0x00051600);
  single.u32(0x00010000);
  for (char c : std::string("Macintosh       ")) single.u8(static_cast<uint8_t>(c));
  single.u16(3);
  for (uint32_t v : {9u, 224u, 32u, 2u, 282u, 0u, 1u, 282u, static_cast<uint32_t>(data.size())}) {
    single.u32(v);
  }
  single.b.resize(224, 0);
  single.b.insert(single.b.end(), header.begin() + 224, header.begin() + 256);
  single.b.resize(282, 0);
  single.b.insert(single.b.end(), data.begin(), data.end());
  writeFileBytes(dir.path("single.pict"), single.b);
  // Plain: the data file alone.
  writeFileBytes(dir.path("plain.pict"), data);

  for (const char* name : {"pair", "single", "plain"}) {
    SCOPED_TRACE(name);
    RunResult r = kxconv({std::string(name) + ".pict", std::string(name) + ".png"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(pilPixels(dir.path(std::string(name) + ".png"), "RGBA"), expected);
  }
  // The picture file keeps the alpha too, rows in the same order.
  ASSERT_EQ(kxconv({"pair.pict", "pair.pic"}, dir.path()).status, 0);
  EXPECT_EQ(picPixels(dir.path("pair.pic")), expected);
}

TEST(PictInput, SixteenBitPixelsScaledToEightBits) {
  TempDir dir;
  // Top row: red 0..31 steps; bottom row: green and blue.
  std::vector<uint16_t> pixels;
  for (int x = 0; x < 4; ++x) pixels.push_back(static_cast<uint16_t>((x * 10 + 1) << 10));
  for (int x = 0; x < 4; ++x) pixels.push_back(static_cast<uint16_t>((x * 10) << 5 | 31));
  writeFileBytes(dir.path("d.pict"), direct16(4, 2, pixels));
  RunResult r = kxconv({"d.pict", "d.png"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "Warning: d.pict has 5 bits per channel. Not fully supported.\n");
  auto s = [](int v) { return static_cast<uint8_t>((v * 255 + 15) / 31); };
  Raster expected{4, 2, 3, std::vector<uint8_t>(24, 0)};
  for (int x = 0; x < 4; ++x) {
    expected.samples[3 * x] = s(x * 10 + 1);
    expected.samples[12 + 3 * x + 1] = s(x * 10);
    expected.samples[12 + 3 * x + 2] = 255;
  }
  EXPECT_EQ(pilPixels(dir.path("d.png"), "RGB"), expected);
}

TEST(PictInput, OneBitBitmapBecomesBlackAndWhite) {
  TempDir dir;
  writeFileBytes(dir.path("b.pict"), bitmap(10, 2, {0xA000, 0x0040}));  // bit set: black
  RunResult r = kxconv({"b.pict", "b.png"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "Warning: b.pict has 1 bits per channel. Not fully supported.\n");
  EXPECT_EQ(pilDescribe(dir.path("b.png"), "im.mode, list(im.getdata())"),
            "L [0, 255, 0, 255, 255, 255, 255, 255, 255, 255, "
            "255, 255, 255, 255, 255, 255, 255, 255, 255, 0]\n");
}

TEST(PictInput, UnreadablePictsAreRefused) {
  TempDir dir;
  writeFileBytes(dir.path("empty.pict"), pictOf(4, 4, 0x00A0, {0, 0}));  // a comment, no raster
  RunResult r = kxconv({"empty.pict", "empty.png"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err,
            "kxconv: empty.pict: cannot read the PICT picture (No raster information found)\n");
  EXPECT_FALSE(fileExists(dir.path("empty.png")));

  writeFileBytes(dir.path("junk.pict"), text("not a picture at all"));
  r = kxconv({"junk.pict", "junk.png"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err.rfind("kxconv: junk.pict: cannot read the PICT picture (", 0), 0u) << r.err;
  EXPECT_FALSE(fileExists(dir.path("junk.png")));

  r = kxconv({"nope.pict", "nope.png"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "kxconv: nope.pict: cannot open: No such file or directory\n");
}

}  // namespace
}  // namespace kx
