// What the readers take from a file beside its samples: the EXIF orientation
// applied (compared with ImageMagick's -auto-orient, or PIL's exif_transpose
// for PNG and WebP, which ImageMagick 6 does not turn), ICC profiles carried
// byte for byte, densities and PNG's colour chunks, and the Exif parser on
// damaged blocks.
#include "imageio/imageio_pvt.h"
#include "imageio_support.h"
#include "support/case_names.h"

namespace kx {
namespace {

Image readAnyFile(const std::string& path) {
  if (path.ends_with(".jpg")) return readJpegFile(path);
  if (path.ends_with(".png")) return readPngFile(path);
  if (path.ends_with(".webp")) return readWebpFile(path);
  return readTiffFile(path);
}

// Python: the Exif bytes of an orientation.
std::string exifFor(int orientation) {
  return "(lambda e: (e.__setitem__(0x0112, " + std::to_string(orientation) +
         "), e.tobytes())[1])(Image.Exif())";
}

struct OrientationCase {
  std::string name, ext;
  std::string exif;  // Python: the Exif bytes saved with the picture
  bool magick;       // the reference: ImageMagick, else PIL
};

class Orientation : public ::testing::TestWithParam<OrientationCase> {};

TEST_P(Orientation, ReadUpright) {
  const OrientationCase& c = GetParam();
  TempDir dir;
  const std::string path = dir.path("a" + c.ext);
  makePicture(path,
              "im.convert('RGB').save(p, exif=" + c.exif +
                  ", **({'lossless': True} if p.endswith('webp') else {}))",
              23, 14);
  const Raster reference =
      c.magick
          ? asRgb(parsePam(shell("convert " + quoted(path) + " -auto-orient pam:-").out), true)
          : parsePam(python("from PIL import ImageOps\n"
                            "f = ImageOps.exif_transpose(Image.open(sys.argv[1])).convert('RGBA')\n"
                            "sys.stdout.buffer.write(b'P7 WIDTH %d HEIGHT %d DEPTH 4 "
                            "MAXVAL 255 ENDHDR\\n' % f.size + f.tobytes())\n",
                            {path})
                         .out);
  const Image image = readAnyFile(path);
  EXPECT_EQ(rgbaOf(image), reference);
  EXPECT_EQ(image.metadata.orientation, 1);
}

std::vector<OrientationCase> orientationCases() {
  std::vector<OrientationCase> cases;
  for (int o = 1; o <= 8; ++o)
    cases.push_back({"jpeg_" + std::to_string(o), ".jpg", exifFor(o), true});
  cases.push_back({"png_6", ".png", exifFor(6), false});
  cases.push_back({"webp_8", ".webp", exifFor(8), false});
  cases.push_back({"tiff_5", ".tif", exifFor(5), true});
  // Damaged Exif is no orientation: IFD0 past the end; an IFD whose next
  // offset is itself.
  cases.push_back({"jpeg_exif_past_end", ".jpg", "b'MM\\x00*\\xff\\xff\\xff\\xf0'", true});
  cases.push_back({"png_exif_loop", ".png",
                   "b'II*\\x00\\x08\\x00\\x00\\x00\\x01\\x00\\x00\\x01\\x03\\x00\\x01\\x00\\x00"
                   "\\x00\\x05\\x00\\x00\\x00\\x08\\x00\\x00\\x00'",
                   false});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Files, Orientation, ::testing::ValuesIn(orientationCases()), CaseName());

struct IccCase {
  const char* name;
  const char* ext;
  int size;              // of the profile: sRGB's, padded
  bool repeatedSegment;  // the second APP2 segment numbered 1 again: no profile
};

class IccProfile : public ::testing::TestWithParam<IccCase> {};

TEST_P(IccProfile, CarriedByteForByte) {
  const IccCase& c = GetParam();
  TempDir dir;
  const std::string path = dir.path(std::string("a") + c.ext);
  // sRGB's profile, padded to c.size bytes, its size field too.
  std::string save = "n = " + std::to_string(c.size) +
                     "\nfrom PIL import ImageCms\n"
                     "b = ImageCms.ImageCmsProfile(ImageCms.createProfile('sRGB')).tobytes()\n"
                     "b = n.to_bytes(4, 'big') + b[4:] + bytes(n - len(b)) if n > len(b) else b\n"
                     "open(p + '.icc', 'wb').write(b)\n"
                     "im.convert('RGB').save(p, icc_profile=b)\n";
  if (c.repeatedSegment) {
    save +=
        "d = bytearray(open(p, 'rb').read())\n"
        "d[d.find(b'ICC_PROFILE\\0', d.find(b'ICC_PROFILE\\0') + 1) + 12] = 1\n"
        "open(p, 'wb').write(d)\n";
  }
  makePicture(path, save);
  const std::vector<uint8_t> profile = readFileBytes(path + ".icc");
  ASSERT_EQ(profile.size(), static_cast<size_t>(std::max(c.size, 588)));
  EXPECT_EQ(readAnyFile(path).metadata.iccProfile,
            c.repeatedSegment ? std::vector<uint8_t>{} : profile);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Files, IccProfile, ::testing::Values(
    IccCase{"png", ".png", 0, false}, IccCase{"png_large", ".png", 100000, false},
    IccCase{"jpeg", ".jpg", 0, false}, IccCase{"jpeg_three_segments", ".jpg", 150000, false},
    IccCase{"jpeg_repeated_segment", ".jpg", 150000, true}, IccCase{"webp", ".webp", 0, false},
    IccCase{"tiff", ".tif", 0, false}), CaseName());
// clang-format on

std::string describe(const ImageMetadata& m) {
  std::ostringstream s;
  if (m.srgbIntent >= 0) s << "sRGB " << m.srgbIntent << ' ';
  if (m.gamma) s << "gAMA " << m.gamma << ' ';
  if (m.hasChromaticities) {
    s << "cHRM";
    for (uint32_t v : m.chromaticities) s << ' ' << v;
    s << ' ';
  }
  if (m.pixelsPerUnitX)
    s << "pHYs " << m.pixelsPerUnitX << ' ' << m.pixelsPerUnitY << (m.perMetre ? " m" : "");
  return s.str();
}

struct DensityCase {
  const char* name;
  const char* ext;
  const char* save;
  const char* expected;  // describe()
};

class Density : public ::testing::TestWithParam<DensityCase> {};

TEST_P(Density, AndColourChunksRead) {
  const DensityCase& c = GetParam();
  TempDir dir;
  const std::string path = dir.path(std::string("a") + c.ext);
  makePicture(path, std::string("from PIL import PngImagePlugin\nimport struct\n") + c.save);
  EXPECT_EQ(describe(readAnyFile(path).metadata), c.expected);
}

// 300 × 150 dpi is 11811 × 5906 pixels per metre, rounded.
constexpr const char* kDpi = "pHYs 11811 5906 m";
constexpr const char* kColourChunks =
    "i = PngImagePlugin.PngInfo()\n"
    "i.add(b'gAMA', struct.pack('>I', 50000))\n"
    "i.add(b'cHRM', struct.pack('>8I', 31270, 32900, 64000, 33000, 21000, 71000, 15000, 6000))\n"
    "im.save(p, pnginfo=i)";

INSTANTIATE_TEST_SUITE_P(
    Files, Density,
    ::testing::Values(
        DensityCase{"png_dpi", ".png", "im.save(p, dpi=(300, 150))", kDpi},
        DensityCase{"jpeg_dpi", ".jpg", "im.convert('RGB').save(p, dpi=(300, 150))", kDpi},
        DensityCase{"tiff_dpi", ".tif", "im.save(p, dpi=(300, 150))", kDpi},
        DensityCase{"png_gama_chrm", ".png", kColourChunks,
                    "gAMA 50000 cHRM 31270 32900 64000 33000 21000 71000 15000 6000 "},
        // libpng gives sRGB's gamma and chromaticities with the sRGB chunk.
        DensityCase{"png_srgb", ".png",
                    "i = PngImagePlugin.PngInfo()\ni.add(b'sRGB', b'\\x01')\nim.save(p, pnginfo=i)",
                    "sRGB 1 gAMA 45455 cHRM 31270 32900 64000 33000 30000 60000 15000 6000 "}),
    CaseName());

// A big-endian IFD0 at 8 with one entry: tag, type, count, value.
std::vector<uint8_t> bigEndianIfd(uint16_t tag, uint8_t type, uint8_t count, uint8_t value) {
  const auto high = static_cast<uint8_t>(tag >> 8), low = static_cast<uint8_t>(tag);
  return {'M',  'M', 0, 42, 0,     0, 0,     8, 0, 1, high, low, 0,
          type, 0,   0, 0,  count, 0, value, 0, 0, 0, 0,    0,   0};
}

// The orientation is one SHORT of 1 to 8; anything else, or a damaged block,
// is 1. (png_6 above gives the big-endian block of orientation 6.)
TEST(ExifBlock, OrientationOrOne) {
  std::vector<uint8_t> pastEnd = bigEndianIfd(0x0112, 3, 1, 6);
  pastEnd[4] = 0xFF;  // IFD0 at 0xFF000008
  std::vector<uint8_t> manyEntries = bigEndianIfd(0x0100, 3, 1, 6);
  manyEntries[8] = manyEntries[9] = 0xFF;  // 65535 entries declared, one there
  std::vector<uint8_t> cut = bigEndianIfd(0x0112, 3, 1, 6);
  cut.resize(19);  // the entry ends early
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    int orientation;
  } cases[] = {
      {"little_endian_after_exif_prefix",
       {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42,   0,    8, 0, 0, 0, 2, 0, 0x00, 0x01, 3, 0,
        1,   0,   0,   0,   9, 0, 0,   0,   0x12, 0x01, 3, 0, 1, 0, 0, 0, 3,    0,    0, 0},
       3},
      {"long_value", bigEndianIfd(0x0112, 4, 1, 6), 1},
      {"two_values", bigEndianIfd(0x0112, 3, 2, 6), 1},
      {"value_9", bigEndianIfd(0x0112, 3, 1, 9), 1},
      {"ifd_past_end", pastEnd, 1},
      {"count_past_end", manyEntries, 1},
      {"entry_cut", cut, 1},
      {"no_byte_order", {'M', 'I', 0, 42, 0, 0, 0, 8, 0, 0}, 1},
  };
  for (const auto& c : cases) EXPECT_EQ(exifOrientation(c.bytes), c.orientation) << c.name;
}

}  // namespace
}  // namespace kx
