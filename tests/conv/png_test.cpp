// PNG input and output through the real binary: 8-bit PNGs survive
// PNG -> .pic -> PNG unchanged, 16-bit PNGs are rounded as netpbm rounds them
// (pngtopam | pamdepth 255; ImageMagick 6 truncates, so it is no reference),
// and damaged PNGs are refused without leaving an output behind.
#include <gtest/gtest.h>
#include <png.h>

#include "conv_support.h"
#include "support/case_names.h"

namespace kx {
namespace {

struct PngCase {
  const char* name;
  int colorType, bitDepth;
  bool transparency;
  bool hasAlpha() const { return transparency || (colorType & PNG_COLOR_MASK_ALPHA); }
  // netpbm 11 leaves pixels of an RGB image's tRNS colour opaque: PIL instead.
  Raster reference(const std::string& png) const {
    if (transparency && colorType == PNG_COLOR_TYPE_RGB) return pilPixels(png, "RGBA");
    return asRgb(netpbm("pngtopam -alphapam " + quoted(png)), hasAlpha());
  }
};

// PNG -> .pic -> PNG and PPM. 8-bit PNGs keep every pixel; 16-bit samples
// are rounded as netpbm rounds them (grey16 holds every value once).
class PngRoundTrip : public ::testing::TestWithParam<PngCase> {};

TEST_P(PngRoundTrip, PicturesHoldWhatTheReferenceSees) {
  const PngCase& c = GetParam();
  TempDir dir;
  std::filesystem::copy_file(pngOf(c.name), dir.path("a.png"));
  const Raster original = c.reference(dir.path("a.png"));
  ASSERT_EQ(original.width, c.bitDepth == 16 && c.colorType == PNG_COLOR_TYPE_GRAY ? 256 : 64);
  ASSERT_TRUE(converts({"a.png", "a.pic"}, dir.path()));
  EXPECT_EQ(picPixels(dir.path("a.pic")), original);
  ASSERT_TRUE(converts({"a.pic", "b.png"}, dir.path()));
  EXPECT_EQ(c.reference(dir.path("b.png")), original);
  EXPECT_EQ(readFileBytes(dir.path("b.png")).at(25), c.hasAlpha() ? 6 : 2);  // IHDR colour type
  const RunResult r = kxconv({"a.pic", "c.ppm"}, dir.path());  // PPM drops the alpha, saying so
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, c.hasAlpha()
                       ? "kxconv: c.ppm: note: PPM has no alpha channel; alpha is dropped\n"
                       : "");
  EXPECT_EQ(netpbm("cat " + quoted(dir.path("c.ppm"))), asRgb(original, false));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PngRoundTrip,
    ::testing::Values(PngCase{"grey8", PNG_COLOR_TYPE_GRAY, 8, false},
                      PngCase{"grey1", PNG_COLOR_TYPE_GRAY, 1, false},
                      PngCase{"grey4_interlaced", PNG_COLOR_TYPE_GRAY, 4, false},
                      PngCase{"grey8_trns", PNG_COLOR_TYPE_GRAY, 8, true},
                      PngCase{"grey_alpha8", PNG_COLOR_TYPE_GRAY_ALPHA, 8, false},
                      PngCase{"rgb8_interlaced", PNG_COLOR_TYPE_RGB, 8, false},
                      PngCase{"rgb8_trns", PNG_COLOR_TYPE_RGB, 8, true},
                      PngCase{"rgba8_interlaced", PNG_COLOR_TYPE_RGB_ALPHA, 8, false},
                      PngCase{"palette4", PNG_COLOR_TYPE_PALETTE, 4, false},
                      PngCase{"palette1", PNG_COLOR_TYPE_PALETTE, 1, false},
                      PngCase{"palette8_trns", PNG_COLOR_TYPE_PALETTE, 8, true},
                      PngCase{"grey16", PNG_COLOR_TYPE_GRAY, 16, false},
                      PngCase{"grey_alpha16", PNG_COLOR_TYPE_GRAY_ALPHA, 16, false},
                      PngCase{"rgb16_interlaced", PNG_COLOR_TYPE_RGB, 16, false},
                      PngCase{"rgba16", PNG_COLOR_TYPE_RGB_ALPHA, 16, false}),
    CaseName());

// Transparency chunks that bend the rules are read as libpng defines them
// (netpbm's pngtopam sees the same): a palette tRNS longer than the palette
// is dropped, and a colour key of a 16-bit picture matches the 16-bit
// samples exactly, before they are brought to 8 bits.
TEST(PngTransparency, ChunksAsLibpngReadsThem) {
  const std::pair<std::string, std::vector<uint8_t>> cases[] = {
      {"trns_longer_than_palette", {255, 0, 0, 255, 0, 0, 255, 255, 255, 0, 0, 255}},
      {"grey16_key", {18, 18, 18, 0, 19, 19, 19, 255, 0, 0, 0, 255}},
      {"rgb16_key", {18, 86, 154, 0, 18, 86, 154, 255}},
  };
  TempDir dir;
  python(
      "import struct, zlib\n"
      "def chunk(t, d): return struct.pack('>I', len(d)) + t + d + "
      "struct.pack('>I', zlib.crc32(t + d))\n"
      "def png(name, w, depth, kind, extra, raw):\n"
      "    ihdr = struct.pack('>IIBBBBB', w, 1, depth, kind, 0, 0, 0)\n"
      "    open(sys.argv[1] + '/' + name + '.png', 'wb').write(b'\\x89PNG\\r\\n\\x1a\\n' + "
      "chunk(b'IHDR', ihdr) + extra + chunk(b'IDAT', zlib.compress(b'\\0' + raw)) + "
      "chunk(b'IEND', b''))\n"
      "png('trns_longer_than_palette', 3, 8, 3, chunk(b'PLTE', bytes([255, 0, 0, 0, 0, 255])) + "
      "chunk(b'tRNS', bytes([10, 20, 30, 40])), bytes([0, 1, 0]))\n"
      "png('grey16_key', 3, 16, 0, chunk(b'tRNS', struct.pack('>H', 0x1234)), "
      "struct.pack('>3H', 0x1234, 0x12ff, 0))\n"
      "png('rgb16_key', 2, 16, 2, chunk(b'tRNS', struct.pack('>3H', 0x1234, 0x5678, 0x9abc)), "
      "struct.pack('>6H', 0x1234, 0x5678, 0x9abc, 0x1234, 0x5678, 0x9aff))\n",
      {dir.path()});
  for (const auto& [name, rgba] : cases) {
    const RunResult r = kxconv({name + ".png", name + ".out.png"}, dir.path());
    ASSERT_EQ(r.status, 0) << name << ": " << r.err;
    EXPECT_EQ(pilPixels(dir.path(name + ".out.png")).samples, rgba) << name;
  }
}

TEST(DamagedPng, RefusedWithItsReasonAndNoOutput) {
  TempDir dir;
  const std::vector<uint8_t> good = readFileBytes(pngOf("rgb8_trns"));
  std::vector<uint8_t> idatCrc = good;
  idatCrc.at(good.size() - 13) ^= 0x40;  // the last byte of IDAT's CRC, before IEND
  const std::pair<std::vector<uint8_t>, std::string> cases[] = {
      {{good.begin(), good.begin() + good.size() / 2},
       "corrupt PNG file (the file ends too early)"},
      {idatCrc, "corrupt PNG file (IDAT: CRC error)"},
      {{'G', 'I', 'F', '8'}, "not a PNG file (no PNG signature)"},
      {readFileBytes(pngOf("wide")),
       "the PNG picture is 32768 x 2 pixels; PNG pictures are read up to 32767 pixels on a side"},
      {readFileBytes(pngOf("huge")), "corrupt PNG file (10000 x 10000 pixels cannot be held in " +
                                         std::to_string(good.size()) + " bytes)"},
  };
  for (const auto& [bytes, message] : cases) {
    writeFileBytes(dir.path("bad.png"), bytes);
    for (const char* out : {"bad.pic", "bad2.png"})
      expectRefused(dir.path(), {"bad.png", out}, "kxconv: bad.png: " + message + "\n");
  }
}

}  // namespace
}  // namespace kx
