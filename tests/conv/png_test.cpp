// PNG input and output through the real binary: 8-bit PNGs survive
// PNG -> .pic -> PNG unchanged, 16-bit PNGs are rounded as netpbm rounds them
// (pngtopam | pamdepth 255; ImageMagick 6 truncates, so it is no reference),
// and damaged PNGs are refused without leaving an output behind.
#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstdio>

#include "conv_support.h"

namespace kx {
namespace {

struct PngCase {
  const char* name;
  int colorType, bitDepth;
  bool interlaced;
  int paletteSize;
  bool transparency;
  bool hasAlpha() const { return transparency || (colorType & PNG_COLOR_MASK_ALPHA); }
  // netpbm 11 leaves pixels of an RGB image's tRNS colour opaque: PIL instead.
  Raster reference(const std::string& png) const {
    if (transparency && colorType == PNG_COLOR_TYPE_RGB) return pilPixels(png, "RGBA");
    return asRgb(netpbm("pngtopam -alphapam " + quoted(png)), hasAlpha());
  }
};

std::ostream& operator<<(std::ostream& os, const PngCase& c) {
  return os << c.name;
}

// A PNG of c's kind with random samples (grey16: every value once in 256 x 256);
// the first pixel's colour is a grey or RGB image's transparent one.
void writePng(const std::string& path, const PngCase& c, int width, int height) {
  const int channels = "\1\0\3\1\2\0\4"[c.colorType];  // by colour type
  const size_t rowBytes = (static_cast<size_t>(width) * channels * c.bitDepth + 7) / 8;
  std::vector<uint8_t> data(rowBytes * height), alpha;
  std::vector<png_color> palette;
  for (int i = 0; i < c.paletteSize; ++i) {
    palette.push_back({static_cast<png_byte>(i * 37), static_cast<png_byte>(255 - i),
                       static_cast<png_byte>(i * i)});
    if (c.transparency && i < c.paletteSize / 2) alpha.push_back(static_cast<uint8_t>(i * 5));
  }
  uint32_t s = 7;
  for (size_t i = 0; i < data.size(); ++i) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    data[i] = static_cast<uint8_t>(s >> 7);
    if (c.bitDepth == 16 && c.colorType == PNG_COLOR_TYPE_GRAY) {
      data[i] = static_cast<uint8_t>(i % 2 ? i / 2 : i / 2 >> 8);
    }
    for (int k = 0; c.paletteSize && k < 8; k += c.bitDepth) {  // indices below the size
      const int v = (data[i] >> k) % (1 << c.bitDepth);
      data[i] = static_cast<uint8_t>(data[i] - (v << k) + (v % c.paletteSize << k));
    }
  }
  auto sample = [&](int k) {
    return static_cast<png_uint_16>(c.bitDepth == 16 ? data[2 * k] << 8 | data[2 * k + 1]
                                                     : data[k]);
  };
  png_color_16 colour = {0, sample(0), sample(1), sample(2), sample(0)};
  std::vector<png_bytep> rows;
  for (int y = 0; y < height; ++y) rows.push_back(data.data() + y * rowBytes);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  auto write = [&]() {
    if (setjmp(png_jmpbuf(png))) return false;
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, c.bitDepth, c.colorType,
                 c.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (c.paletteSize) png_set_PLTE(png, info, palette.data(), c.paletteSize);
    if (c.transparency) {
      png_set_tRNS(png, info, alpha.data(), static_cast<int>(alpha.size()),
                   c.paletteSize ? nullptr : &colour);
    }
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    return true;
  };
  const bool ok = write();
  png_destroy_write_struct(&png, &info);
  std::fclose(file);
  if (!ok) throw std::runtime_error("libpng refused to write " + path);
}

// PNG -> .pic -> PNG and PPM. 8-bit PNGs keep every pixel; 16-bit samples
// are rounded as netpbm rounds them (grey16 holds every value once).
class PngRoundTrip : public ::testing::TestWithParam<PngCase> {};

TEST_P(PngRoundTrip, PicturesHoldWhatTheReferenceSees) {
  const PngCase& c = GetParam();
  TempDir dir;
  writePng(dir.path("a.png"), c, 256, c.bitDepth == 16 ? 256 : 23);
  const Raster original = c.reference(dir.path("a.png"));
  ASSERT_EQ(original.width, 256);
  RunResult r = kxconv({"a.png", "a.pic"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(picPixels(dir.path("a.pic")), original);
  r = kxconv({"a.pic", "b.png"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(c.reference(dir.path("b.png")), original);
  EXPECT_EQ(readFileBytes(dir.path("b.png")).at(25), c.hasAlpha() ? 6 : 2);  // IHDR colour type
  r = kxconv({"a.pic", "c.ppm"}, dir.path());  // PPM drops the alpha, saying so
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, c.hasAlpha()
                       ? "kxconv: c.ppm: note: PPM has no alpha channel; alpha is dropped\n"
                       : "");
  EXPECT_EQ(netpbm("cat " + quoted(dir.path("c.ppm"))), asRgb(original, false));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PngRoundTrip,
    ::testing::Values(PngCase{"grey8", PNG_COLOR_TYPE_GRAY, 8, false, 0, false},
                      PngCase{"grey1", PNG_COLOR_TYPE_GRAY, 1, false, 0, false},
                      PngCase{"grey4_interlaced", PNG_COLOR_TYPE_GRAY, 4, true, 0, false},
                      PngCase{"grey8_trns", PNG_COLOR_TYPE_GRAY, 8, false, 0, true},
                      PngCase{"grey_alpha8", PNG_COLOR_TYPE_GRAY_ALPHA, 8, false, 0, false},
                      PngCase{"rgb8_interlaced", PNG_COLOR_TYPE_RGB, 8, true, 0, false},
                      PngCase{"rgb8_trns", PNG_COLOR_TYPE_RGB, 8, false, 0, true},
                      PngCase{"rgba8_interlaced", PNG_COLOR_TYPE_RGB_ALPHA, 8, true, 0, false},
                      PngCase{"palette4", PNG_COLOR_TYPE_PALETTE, 4, false, 11, false},
                      PngCase{"palette1", PNG_COLOR_TYPE_PALETTE, 1, false, 2, false},
                      PngCase{"palette8_trns", PNG_COLOR_TYPE_PALETTE, 8, false, 60, true},
                      PngCase{"grey16", PNG_COLOR_TYPE_GRAY, 16, false, 0, false},
                      PngCase{"grey_alpha16", PNG_COLOR_TYPE_GRAY_ALPHA, 16, false, 0, false},
                      PngCase{"rgb16_interlaced", PNG_COLOR_TYPE_RGB, 16, true, 0, false},
                      PngCase{"rgba16", PNG_COLOR_TYPE_RGB_ALPHA, 16, false, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DamagedPng, RefusedWithItsReasonAndNoOutput) {
  TempDir dir;
  writePng(dir.path("good.png"), {"rgb8", PNG_COLOR_TYPE_RGB, 8, false, 0, false}, 40, 30);
  const std::vector<uint8_t> good = readFileBytes(dir.path("good.png"));
  auto sized = [&](uint32_t width, uint32_t height) {  // IHDR width, height at 16; its CRC at 29
    std::vector<uint8_t> png = good;
    for (int i = 0; i < 4; ++i) {
      png[16 + i] = static_cast<uint8_t>(width >> (24 - 8 * i));
      png[20 + i] = static_cast<uint8_t>(height >> (24 - 8 * i));
    }
    const uLong crc = crc32(0, png.data() + 12, 17);
    for (int i = 0; i < 4; ++i) png[29 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    return png;
  };
  std::vector<uint8_t> idatCrc = good;
  idatCrc[good.size() - 13] ^= 0x40;  // the last byte of IDAT's CRC, before IEND
  const std::pair<std::vector<uint8_t>, std::string> cases[] = {
      {{good.begin(), good.begin() + good.size() / 2},
       "corrupt PNG file (the file ends too early)"},
      {idatCrc, "corrupt PNG file (IDAT: CRC error)"},
      {{'G', 'I', 'F', '8'}, "not a PNG file (no PNG signature)"},
      {sized(32768, 2),
       "the picture is 32768 x 2 pixels; a .pic picture holds at most 32767 x 32767"},
      {sized(10000, 10000), "corrupt PNG file (10000 x 10000 pixels cannot be held in " +
                                std::to_string(good.size()) + " bytes)"},
  };
  for (const auto& [bytes, message] : cases) {
    writeFileBytes(dir.path("bad.png"), bytes);
    for (const char* out : {"bad.pic", "bad2.png"}) {
      RunResult r = kxconv({"bad.png", out}, dir.path());
      EXPECT_EQ(r.status, 255);
      EXPECT_EQ(r.err, "kxconv: bad.png: " + message + "\n");
      EXPECT_FALSE(exists(dir.path(out))) << out;
    }
  }
}

}  // namespace
}  // namespace kx
