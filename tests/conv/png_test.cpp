// PNG input and output of kxconv, run through the real binary: every kind of
// 8-bit PNG survives PNG -> .pic -> PNG unchanged, 16-bit PNGs are rounded
// to 8 bits as netpbm rounds them (pngtopam | pamdepth 255), and damaged PNGs
// are refused without leaving an output behind. (ImageMagick 6's "-depth 8"
// truncates v / 257 instead of rounding, so it is not the reference here.)
#include <gtest/gtest.h>

#include <zlib.h>

#include "conv_support.h"

namespace kx {
namespace {

// The 8-bit view of a raster as RGB or RGBA, grey spread to three colours.
Raster asRgb(const Raster& in, bool alpha) {
  Raster out{in.width, in.height, alpha ? 4 : 3, {}};
  const size_t n = static_cast<size_t>(in.width) * in.height;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* p = in.samples.data() + i * in.depth;
    const bool grey = in.depth <= 2;
    for (int c = 0; c < 3; ++c) out.samples.push_back(grey ? p[0] : p[c]);
    if (alpha) out.samples.push_back(in.depth % 2 == 0 ? p[in.depth - 1] : 255);
  }
  return out;
}

std::vector<png_color> testPalette(int n) {
  std::vector<png_color> palette;
  for (int i = 0; i < n; ++i) {
    palette.push_back({static_cast<png_byte>(i * 37), static_cast<png_byte>(255 - i),
                       static_cast<png_byte>(i * i)});
  }
  return palette;
}

struct PngCase {
  const char* name;
  int colorType;
  int bitDepth;
  bool interlaced;
  int paletteSize;  // palette images
  bool transparency;
  // netpbm 11's pngtopam leaves pixels of an RGB image's tRNS colour opaque;
  // such images are checked against PIL instead.
  bool pilReference() const { return transparency && colorType == PNG_COLOR_TYPE_RGB; }
  Raster reference(const std::string& png) const {
    return pilReference() ? pilPixels(png, hasAlpha() ? "RGBA" : "RGB")
                          : asRgb(netpbmPngAt8Bits(png), hasAlpha());
  }
  bool hasAlpha() const {
    return transparency || colorType == PNG_COLOR_TYPE_GRAY_ALPHA ||
           colorType == PNG_COLOR_TYPE_RGB_ALPHA;
  }
  PngSpec spec(int width, int height, uint32_t seed) const {
    PngSpec s;
    s.width = width;
    s.height = height;
    s.colorType = colorType;
    s.bitDepth = bitDepth;
    s.interlaced = interlaced;
    if (paletteSize) s.palette = testPalette(paletteSize);
    fillRandom(s, seed);
    if (transparency && paletteSize) {
      for (int i = 0; i < paletteSize / 2; ++i)
        s.paletteAlpha.push_back(static_cast<uint8_t>(i * 5));
    } else if (transparency) {
      // The colour of the first pixel is the transparent one, so it occurs.
      s.hasTransparentColour = true;
      const uint8_t* p = s.data.data();
      auto sample = [&](int c) -> png_uint_16 {
        return bitDepth == 16 ? static_cast<png_uint_16>(p[2 * c] << 8 | p[2 * c + 1]) : p[c];
      };
      if (colorType == PNG_COLOR_TYPE_GRAY) {
        s.transparentColour.gray =
            bitDepth == 8 || bitDepth == 16 ? sample(0) : (p[0] >> (8 - bitDepth));
      } else {
        s.transparentColour.red = sample(0);
        s.transparentColour.green = sample(1);
        s.transparentColour.blue = sample(2);
      }
    }
    return s;
  }
};

std::ostream& operator<<(std::ostream& os, const PngCase& c) {
  return os << c.name;
}

class EightBitRoundTrip : public ::testing::TestWithParam<PngCase> {};

TEST_P(EightBitRoundTrip, PngToPicToPngKeepsEveryPixel) {
  const PngCase& c = GetParam();
  TempDir dir;
  writeTestPng(dir.path("a.png"), c.spec(37, 23, 7));
  const Raster original = c.reference(dir.path("a.png"));
  ASSERT_EQ(original.width, 37);

  RunResult r = kxconv({"a.png", "a.pic"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  // The picture holds RGB, plus alpha exactly when the PNG has it.
  EXPECT_EQ(picPixels(dir.path("a.pic")), original);

  r = kxconv({"a.pic", "b.png"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(c.reference(dir.path("b.png")), original);
  // Colour type in IHDR: 2 RGB, 6 RGBA.
  EXPECT_EQ(readFileBytes(dir.path("b.png")).at(25), c.hasAlpha() ? 6 : 2);

  // PPM keeps the colours and drops the alpha, saying so.
  r = kxconv({"a.pic", "c.ppm"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, c.hasAlpha()
                       ? "kxconv: c.ppm: note: PPM has no alpha channel; alpha is dropped\n"
                       : "");
  const std::vector<uint8_t> ppm = readFileBytes(dir.path("c.ppm"));
  EXPECT_EQ(parseNetpbm(std::string(ppm.begin(), ppm.end())), asRgb(original, false));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, EightBitRoundTrip,
    ::testing::Values(PngCase{"grey8", PNG_COLOR_TYPE_GRAY, 8, false, 0, false},
                      PngCase{"grey8_interlaced", PNG_COLOR_TYPE_GRAY, 8, true, 0, false},
                      PngCase{"grey1", PNG_COLOR_TYPE_GRAY, 1, false, 0, false},
                      PngCase{"grey2", PNG_COLOR_TYPE_GRAY, 2, false, 0, false},
                      PngCase{"grey4_interlaced", PNG_COLOR_TYPE_GRAY, 4, true, 0, false},
                      PngCase{"grey8_trns", PNG_COLOR_TYPE_GRAY, 8, false, 0, true},
                      PngCase{"grey_alpha8", PNG_COLOR_TYPE_GRAY_ALPHA, 8, false, 0, false},
                      PngCase{"grey_alpha8_interlaced", PNG_COLOR_TYPE_GRAY_ALPHA, 8, true, 0,
                              false},
                      PngCase{"rgb8", PNG_COLOR_TYPE_RGB, 8, false, 0, false},
                      PngCase{"rgb8_interlaced", PNG_COLOR_TYPE_RGB, 8, true, 0, false},
                      PngCase{"rgb8_trns", PNG_COLOR_TYPE_RGB, 8, false, 0, true},
                      PngCase{"rgba8", PNG_COLOR_TYPE_RGB_ALPHA, 8, false, 0, false},
                      PngCase{"rgba8_interlaced", PNG_COLOR_TYPE_RGB_ALPHA, 8, true, 0, false},
                      PngCase{"palette8", PNG_COLOR_TYPE_PALETTE, 8, false, 200, false},
                      PngCase{"palette8_interlaced", PNG_COLOR_TYPE_PALETTE, 8, true, 256, false},
                      PngCase{"palette4", PNG_COLOR_TYPE_PALETTE, 4, false, 11, false},
                      PngCase{"palette1", PNG_COLOR_TYPE_PALETTE, 1, false, 2, false},
                      PngCase{"palette8_trns", PNG_COLOR_TYPE_PALETTE, 8, false, 60, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- 16-bit samples ------------------------------------------------------------

class SixteenBit : public ::testing::TestWithParam<PngCase> {};

TEST_P(SixteenBit, RoundedAsNetpbmRoundsThem) {
  const PngCase& c = GetParam();
  TempDir dir;
  PngSpec spec = c.spec(256, 64, 11);
  if (c.colorType == PNG_COLOR_TYPE_GRAY) {
    // Every 16-bit value once, in order: 65536 samples, 256 x 256.
    spec = c.spec(256, 256, 11);
    for (size_t v = 0; v < 65536; ++v) {
      spec.data[2 * v] = static_cast<uint8_t>(v >> 8);
      spec.data[2 * v + 1] = static_cast<uint8_t>(v);
    }
  }
  writeTestPng(dir.path("x.png"), spec);
  RunResult r = kxconv({"x.png", "x.pic"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const Raster expected = c.reference(dir.path("x.png"));
  ASSERT_EQ(expected.width, spec.width);
  EXPECT_EQ(picPixels(dir.path("x.pic")), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SixteenBit,
    ::testing::Values(PngCase{"grey16", PNG_COLOR_TYPE_GRAY, 16, false, 0, false},
                      PngCase{"grey16_trns", PNG_COLOR_TYPE_GRAY, 16, false, 0, true},
                      PngCase{"grey_alpha16", PNG_COLOR_TYPE_GRAY_ALPHA, 16, false, 0, false},
                      PngCase{"rgb16", PNG_COLOR_TYPE_RGB, 16, false, 0, false},
                      PngCase{"rgb16_interlaced", PNG_COLOR_TYPE_RGB, 16, true, 0, false},
                      PngCase{"rgba16", PNG_COLOR_TYPE_RGB_ALPHA, 16, false, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Damaged PNG files ---------------------------------------------------------

// Offset of the first byte of a chunk's type, e.g. "IDAT".
size_t chunkAt(const std::vector<uint8_t>& png, const char* type) {
  for (size_t i = 8; i + 8 <= png.size();) {
    const size_t length = size_t{png[i]} << 24 | png[i + 1] << 16 | png[i + 2] << 8 | png[i + 3];
    if (std::equal(type, type + 4, png.begin() + static_cast<long>(i) + 4)) return i + 4;
    i += 12 + length;
  }
  return 0;
}

struct Damage {
  const char* name;
  std::vector<uint8_t> (*apply)(std::vector<uint8_t>);
  const char* message;
};

std::ostream& operator<<(std::ostream& os, const Damage& d) {
  return os << d.name;
}

class DamagedPng : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedPng, RefusedWithItsReasonAndNoOutput) {
  TempDir dir;
  PngSpec spec = PngCase{"rgb8", PNG_COLOR_TYPE_RGB, 8, false, 0, false}.spec(40, 30, 3);
  writeTestPng(dir.path("good.png"), spec);
  writeFileBytes(dir.path("bad.png"), GetParam().apply(readFileBytes(dir.path("good.png"))));
  for (const char* out : {"bad.pic", "bad.ppm", "bad2.png"}) {
    RunResult r = kxconv({"bad.png", out}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, std::string("kxconv: bad.png: ") + GetParam().message + "\n");
    EXPECT_FALSE(fileExists(dir.path(out))) << out;
  }
  // An existing output is left as it was.
  writeFileBytes(dir.path("keep.pic"), {1, 2, 3});
  EXPECT_EQ(kxconv({"bad.png", "keep.pic"}, dir.path()).status, 255);
  EXPECT_EQ(readFileBytes(dir.path("keep.pic")), (std::vector<uint8_t>{1, 2, 3}));
}

INSTANTIATE_TEST_SUITE_P(
    Damages, DamagedPng,
    ::testing::Values(Damage{"truncated_in_idat",
                             [](std::vector<uint8_t> b) {
                               b.resize(chunkAt(b, "IDAT") + 100);
                               return b;
                             },
                             "corrupt PNG file (the file ends too early)"},
                      Damage{"truncated_before_iend",
                             [](std::vector<uint8_t> b) {
                               b.resize(b.size() - std::min<size_t>(b.size(), 12));
                               return b;
                             },
                             "corrupt PNG file (the file ends too early)"},
                      Damage{"idat_crc",
                             [](std::vector<uint8_t> b) {
                               b[chunkAt(b, "IEND") - 5] ^= 0x40;  // last byte of IDAT's CRC
                               return b;
                             },
                             "corrupt PNG file (IDAT: CRC error)"},
                      Damage{"idat_data",
                             [](std::vector<uint8_t> b) {
                               b[chunkAt(b, "IDAT") + 50] ^= 0x40;  // zlib's check fails first
                               return b;
                             },
                             "corrupt PNG file (IDAT: incorrect data check)"},
                      Damage{"ihdr_crc",
                             [](std::vector<uint8_t> b) {
                               b[chunkAt(b, "IHDR") + 6] ^= 0x01;
                               return b;
                             },
                             "corrupt PNG file (IHDR: CRC error)"},
                      Damage{"header_only",
                             [](std::vector<uint8_t> b) {
                               b.resize(8);
                               return b;
                             },
                             "corrupt PNG file (the file ends too early)"},
                      Damage{"not_png",
                             [](std::vector<uint8_t>) {
                               const std::string text = "GIF89a, not a PNG";
                               return std::vector<uint8_t>(text.begin(), text.end());
                             },
                             "not a PNG file (no PNG signature)"},
                      Damage{"empty", [](std::vector<uint8_t>) { return std::vector<uint8_t>(); },
                             "not a PNG file (no PNG signature)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PngGeometry, TooWideForAPictureIsRefusedBeforeDecoding) {
  TempDir dir;
  PngSpec spec;
  spec.width = 32768;
  spec.height = 2;
  spec.colorType = PNG_COLOR_TYPE_GRAY;
  spec.bitDepth = 1;
  spec.data.assign(spec.rowBytes() * spec.height, 0);
  writeTestPng(dir.path("wide.png"), spec);
  RunResult r = kxconv({"wide.png", "wide.pic"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err,
            "kxconv: wide.png: the picture is 32768 x 2 pixels; a .pic picture holds at most "
            "32767 x 32767\n");
  EXPECT_FALSE(fileExists(dir.path("wide.pic")));

  spec.width = 32767;  // the largest side still fits
  spec.data.assign(spec.rowBytes() * spec.height, 0xFF);

  writeTestPng(dir.path("fits.png"), spec);
  r = kxconv({"fits.png", "fits.pic"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const Raster pic = picPixels(dir.path("fits.pic"));
  EXPECT_EQ(pic.width, 32767);
  EXPECT_EQ(pic.samples.front(), 255);  // grey bit 1 is white
}

TEST(PngGeometry, HugePictureInATinyFileIsRefusedBeforeAllocating) {
  TempDir dir;
  PngSpec spec;
  spec.width = 2;
  spec.height = 2;
  spec.colorType = PNG_COLOR_TYPE_RGB_ALPHA;
  fillRandom(spec, 9);
  writeTestPng(dir.path("small.png"), spec);
  std::vector<uint8_t> png = readFileBytes(dir.path("small.png"));
  // IHDR data at 16: width, height; its CRC (over type and data) at 29.
  for (size_t at : {16, 20}) png[at + 2] = 0x75, png[at + 3] = 0x30;  // 30000
  const uLong crc = crc32(0, png.data() + 12, 17);
  for (int i = 0; i < 4; ++i) png[29 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
  writeFileBytes(dir.path("huge.png"), png);
  RunResult r = kxconv({"huge.png", "huge.pic"}, dir.path());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "kxconv: huge.png: corrupt PNG file (30000 x 30000 pixels cannot be held in " +
                       std::to_string(png.size()) + " bytes)\n");
  EXPECT_FALSE(fileExists(dir.path("huge.pic")));
}

}  // namespace
}  // namespace kx
