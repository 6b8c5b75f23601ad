// Palette PNGs as the writer makes them, read back by libpng and PIL: every
// palette size's bit depth, rows that end inside a byte, alpha per entry or
// one transparent index, at every effort; the tRNS chunk as short as the
// translucent entries allow; the zlib stream of parts compressed side by
// side; the colour chunks where PNG wants them.
#include <gtest/gtest.h>
#include <zlib.h>

#include <tuple>

#include "conv_support.h"
#include "encode/encode_pvt.h"
#include "imageio/imageio_pvt.h"
#include "support/case_names.h"

namespace kx {
namespace {

enum class Alpha { None, TransparentIndex, PerEntry };

// RGBA of every pixel as a decoder sees the file through libpng.
std::vector<uint8_t> decodedRgba(const Indexed& png) {
  std::vector<uint8_t> rgba;
  for (uint8_t i : png.indices) {
    const Rgb& c = png.palette.at(i);
    rgba.insert(rgba.end(), {c.r, c.g, c.b, i < png.alpha.size() ? png.alpha[i] : uint8_t{255}});
  }
  return rgba;
}

class PalettePng : public testing::TestWithParam<std::tuple<int, Alpha, PngEffort>> {};

TEST_P(PalettePng, SamePixelsAndTheShortestTransparencyChunk) {
  const auto [colors, alphaKind, effort] = GetParam();
  TempDir dir;
  for (int width : {1, 7, 9, 33}) {
    Image image;
    image.width = width;
    image.height = 5;
    image.channels = 1;
    std::vector<uint8_t> alpha(colors, 255);
    for (int i = 0; i < colors; ++i) {
      image.palette.push_back({uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)});
      // Translucent and opaque entries mixed, fully transparent ones too.
      if (alphaKind == Alpha::PerEntry && i % 3 != 2) alpha[i] = uint8_t(i * 41 % 255);
    }
    if (alphaKind == Alpha::PerEntry) image.paletteAlpha = alpha;
    if (alphaKind == Alpha::TransparentIndex) {
      image.transparentIndex = colors - 1;
      alpha.back() = 0;
    }
    std::vector<uint8_t> expected;
    for (int i = 0; i < width * 5; ++i) {
      const int index = (i * 13 + i / width) % colors;
      image.samples.push_back(static_cast<uint8_t>(index));
      const auto& c = image.palette[index];
      expected.insert(expected.end(), {c[0], c[1], c[2], alpha[index]});
    }
    const std::string path = dir.path("p" + std::to_string(width) + ".png");
    ASSERT_TRUE(writePalettePng(path, image, effort).ok());
    const Indexed back = readIndexedPng(path);
    SCOPED_TRACE(std::to_string(width) + " wide");
    EXPECT_EQ(std::pair(back.width, back.height), std::pair(width, 5));
    EXPECT_EQ(back.palette.size(), static_cast<size_t>(colors));
    EXPECT_EQ(decodedRgba(back), expected);
    EXPECT_EQ(back.alpha.size(),
              static_cast<size_t>(
                  std::count_if(alpha.begin(), alpha.end(), [](uint8_t a) { return a < 255; })));
    const int depth = readFileBytes(path).at(24);
    const int least = colors <= 2 ? 1 : colors <= 4 ? 2 : colors <= 16 ? 4 : 8;
    EXPECT_TRUE(depth == least || (effort == PngEffort::Best && depth == 8)) << depth;
    if (width == 33) {
      EXPECT_EQ(pilPixels(path).samples, expected);
    }
    // Best orders an opaque palette as a chain of nearest colours from the darkest.
    if (effort == PngEffort::Best && alphaKind == Alpha::None) {
      auto luma = [](const Rgb& c) { return 299 * c.r + 587 * c.g + 114 * c.b; };
      for (const Rgb& c : back.palette) EXPECT_LE(luma(back.palette[0]), luma(c));
    }
  }
}

std::string caseName(const testing::TestParamInfo<std::tuple<int, Alpha, PngEffort>>& info) {
  static const char* const kAlpha[] = {"Opaque", "TransparentIndex", "AlphaPerEntry"};
  const auto [colors, alpha, effort] = info.param;
  return std::to_string(colors) + "Colours" + kAlpha[static_cast<int>(alpha)] +
         (effort == PngEffort::Best ? "Best" : "");
}

INSTANTIATE_TEST_SUITE_P(Sizes, PalettePng,
                         testing::Combine(testing::Values(1, 2, 3, 4, 5, 16, 17, 256),
                                          testing::Values(Alpha::None, Alpha::TransparentIndex,
                                                          Alpha::PerEntry),
                                          testing::Values(PngEffort::Normal, PngEffort::Best)),
                         caseName);

// ---- The zlib stream of parts compressed side by side ----------------------------

// Rows of flat and of detailed parts in turn, so that parts of one
// compressor follow parts of the other, in two forms as PNG rows have them
// (filter 0, and filter 1, "sub", in form 1): zlib inflates the stream, its
// checksum included, to each row in one of its forms.
class PngParts : public testing::TestWithParam<std::tuple<PngEffort, int>> {};

TEST_P(PngParts, InflateToTheRows) {
  const auto [effort, partCount] = GetParam();
  const size_t stride = 4097, perPart = (size_t{1} << 20) / stride;
  auto raw = [&](size_t y, size_t x) {
    if (y / perPart % 2) return static_cast<uint8_t>(x / 700 + y / 90);
    uint32_t h = static_cast<uint32_t>(x * 2654435761u ^ y * 40503u);
    h = (h ^ h >> 13) * 0x5bd1e995u;
    return static_cast<uint8_t>((h ^ h >> 15) % 13);
  };
  PngRows rows;
  rows.count = partCount * perPart - perPart / 3;
  rows.stride = stride;
  rows.forms = effort == PngEffort::Best ? 2 : 1;
  rows.make = [&](int form, size_t begin, size_t end, uint8_t* out) {
    for (size_t y = begin; y < end; ++y, out += stride) {
      out[0] = static_cast<uint8_t>(form);
      for (size_t x = 1; x < stride; ++x)
        out[x] = static_cast<uint8_t>(raw(y, x) - (form == 1 && x > 1 ? raw(y, x - 1) : 0));
    }
  };
  const std::vector<uint8_t> stream = compressPngRows(rows, effort);
  std::vector<uint8_t> back(rows.count * stride + 1);
  uLongf length = back.size();
  ASSERT_EQ(uncompress(back.data(), &length, stream.data(), stream.size()), Z_OK);
  ASSERT_EQ(length, rows.count * stride);
  size_t wrong = 0;
  for (size_t y = 0; y < rows.count; ++y) {
    const uint8_t* row = back.data() + y * stride;
    uint8_t left = 0;
    for (size_t x = 1; x < stride; ++x) {
      left = static_cast<uint8_t>(row[x] + (row[0] == 1 ? left : 0));
      wrong += row[0] > 1 || left != raw(y, x);
    }
  }
  EXPECT_EQ(wrong, 0u);
}

std::string partsName(const testing::TestParamInfo<std::tuple<PngEffort, int>>& info) {
  return std::string(std::get<0>(info.param) == PngEffort::Best ? "Best" : "Normal") +
         std::to_string(std::get<1>(info.param)) + "Parts";
}

INSTANTIATE_TEST_SUITE_P(Efforts, PngParts,
                         testing::Values(std::tuple(PngEffort::Normal, 3),
                                         std::tuple(PngEffort::Normal, 8),  // large
                                         std::tuple(PngEffort::Best, 3)),
                         partsName);

// ---- Colour metadata -----------------------------------------------------------

// What libpng reads of the colour chunks, as text.
std::string libpngMetadata(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  std::string out;
  if (!setjmp(png_jmpbuf(png))) {
    png_init_io(png, file);
    png_read_info(png, info);
    png_charp name = nullptr;
    png_bytep profile = nullptr;
    png_uint_32 length = 0, x = 0, y = 0;
    int compression = 0, intent = 0, unit = 0;
    png_fixed_point gamma = 0, xy[8] = {};
    if (png_get_iCCP(png, info, &name, &compression, &profile, &length))
      out += "iCCP '" + std::string(name) + "' " + std::to_string(length) + " bytes; ";
    if (png_get_sRGB(png, info, &intent)) out += "sRGB " + std::to_string(intent) + "; ";
    if (png_get_gAMA_fixed(png, info, &gamma)) out += "gAMA " + std::to_string(gamma) + "; ";
    if (png_get_cHRM_fixed(png, info, &xy[0], &xy[1], &xy[2], &xy[3], &xy[4], &xy[5], &xy[6],
                           &xy[7])) {
      out += "cHRM";
      for (png_fixed_point v : xy) out += " " + std::to_string(v);
      out += "; ";
    }
    if (png_get_pHYs(png, info, &x, &y, &unit))
      out += "pHYs " + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(unit);
  } else {
    out = "libpng refused the file";
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(file);
  return out;
}

struct MetadataCase {
  const char* name;
  bool profile = false;
  int srgbIntent = -1;
  uint32_t gamma = 0;
  bool chromaticities = false;
  uint32_t perMetre = 0;
  std::string chunks, libpng;
};

class ColourChunks : public testing::TestWithParam<MetadataCase> {};

TEST_P(ColourChunks, InPlaceAndReadBack) {
  const MetadataCase& c = GetParam();
  TempDir dir;
  Image image;
  image.width = 3;
  image.height = 2;
  image.channels = 1;
  image.palette = {{0, 0, 0}, {200, 10, 10}};
  image.paletteAlpha = {255, 128};
  image.samples = {0, 1, 0, 1, 1, 0};
  ImageMetadata& m = image.metadata;
  if (c.profile) {
    // A real profile (lcms's sRGB, made by PIL), which libpng checks.
    const RunResult r = python(
        "from PIL import ImageCms\n"
        "open(sys.argv[1], 'wb').write(ImageCms.ImageCmsProfile(ImageCms.createProfile('sRGB'))"
        ".tobytes())\n",
        {dir.path("srgb.icc")});
    m.iccProfile = readFileBytes(dir.path("srgb.icc"));
    m.iccName = "  lcms  sRGB\x01 ";  // written as "lcms sRGB"
  }
  m.srgbIntent = c.srgbIntent;
  m.gamma = c.gamma;
  if (c.chromaticities) {
    m.chromaticities = {31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000};
    m.hasChromaticities = true;
  }
  m.pixelsPerUnitX = m.pixelsPerUnitY = c.perMetre;
  m.perMetre = true;
  const std::string path = dir.path("m.png");
  ASSERT_TRUE(writePalettePng(path, image).ok());
  std::string types;  // the chunks in order
  for (const PngChunk& chunk : pngChunks(readFileBytes(path))) types += chunk.type + " ";
  EXPECT_EQ(types, c.chunks);
  EXPECT_EQ(libpngMetadata(path), c.libpng);
  std::string pil = "'icc_profile' in im.info";
  if (c.profile) pil = "im.info['icc_profile'] == open(sys.argv[1][:-5] + 'srgb.icc', 'rb').read()";
  EXPECT_EQ(pilDescribe(path, pil + ", im.info.get('dpi'), im.info.get('gamma')"),
            std::string(c.profile ? "True" : "False") +
                (c.perMetre ? " (72.009, 72.009)" : " None") +
                (c.gamma ? " " + std::to_string(c.gamma / 100000.0).substr(0, 7) : " None") + "\n");
  EXPECT_EQ(pilPixels(path).samples,
            std::vector<uint8_t>({0,   0,  0,  255, 200, 10, 10, 128, 0, 0, 0, 255,
                                  200, 10, 10, 128, 200, 10, 10, 128, 0, 0, 0, 255}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ColourChunks,
    testing::Values(
        MetadataCase{"None", false, -1, 0, false, 0, "IHDR PLTE tRNS IDAT IEND ", ""},
        MetadataCase{"ProfileWinsOverSrgb", true, 0, 0, false, 0, "IHDR iCCP PLTE tRNS IDAT IEND ",
                     "iCCP 'lcms sRGB' 588 bytes; "},
        MetadataCase{"Srgb", false, 1, 45455, true, 0, "IHDR sRGB gAMA cHRM PLTE tRNS IDAT IEND ",
                     "sRGB 1; gAMA 45455; cHRM 31270 32900 64000 33000 30000 60000 15000 6000; "},
        MetadataCase{"Everything", true, 3, 45455, true, 2835,
                     "IHDR iCCP gAMA cHRM PLTE tRNS pHYs IDAT IEND ",
                     "iCCP 'lcms sRGB' 588 bytes; gAMA 45455; cHRM 31270 32900 64000 33000 30000 "
                     "60000 15000 6000; pHYs 2835 2835 1"}),
    CaseName());

}  // namespace
}  // namespace kx
