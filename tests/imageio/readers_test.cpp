// The WebP, GIF and TIFF readers against independent decoders (PIL, which
// decodes WebP with libwebp and TIFF with libtiff, each its own way;
// ImageMagick; netpbm), their refusals, and the formats through the tools;
// what the readers take from a file beside its samples.
#include "imageio_support.h"
#include "support/case_names.h"

namespace kx {
namespace {

// The colours a viewer sees: what a transparent pixel hides is not compared.
Raster seenColours(Raster r) {
  r = asRgb(r, true);
  for (size_t i = 0; i < r.samples.size(); i += 4)
    if (r.samples[i + 3] == 0) std::fill_n(&r.samples[i], 3, 0);
  return r;
}

// Every frame of the file, told by its first bytes, and its duration as the
// reference gives them: samples within the tolerance count as equal; `seen`
// compares seenColours().
void expectFrames(const std::string& path, std::vector<PilFrame> reference, int tolerance = 0,
                  bool seen = false) {
  InputFile file(path);
  std::unique_ptr<FrameSource> source = openFrames(file);
  ASSERT_TRUE(source);
  EXPECT_EQ(source->frameCountHint(), static_cast<int>(reference.size()));
  for (size_t i = 0; i < reference.size(); ++i) {
    Image frame;
    ASSERT_TRUE(source->next(frame)) << "frame " << i;
    Raster got = seen ? seenColours(rgbaOf(frame)) : rgbaOf(frame);
    const Raster want = seen ? seenColours(reference[i].rgba) : reference[i].rgba;
    for (size_t k = 0; k < std::min(got.samples.size(), want.samples.size()); ++k)
      if (std::abs(got.samples[k] - want.samples[k]) <= tolerance) got.samples[k] = want.samples[k];
    EXPECT_EQ(got, want) << "frame " << i;
    EXPECT_EQ(source->durationMs(), reference[i].duration) << "frame " << i;
  }
  EXPECT_TRUE(allFrames(*source).empty()) << "a frame too many";
}

// A picture made as `how` says: for WebP PIL's saving of `im` as the file p,
// for GIF sh writing $2 from the PNG $1 (37 x 23 RGBA).
struct Made {
  const char* name;
  const char* how;
};

class WebpInput : public InFolder<::testing::TestWithParam<Made>> {};

TEST_P(WebpInput, EveryFrameAsPilDecodesIt) {
  const std::string path = dir.path("a.webp");
  makePicture(path, GetParam().how);
  expectFrames(path, pilFrames(path));
}

// The animations change part of the canvas from frame to frame, so libwebp
// stores sub-rectangles that are blended onto the frame before.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Kinds, WebpInput, ::testing::Values(
    Made{"lossless_alpha", "im.save(p, lossless=True)"},
    Made{"lossy_alpha", "im.save(p, quality=70)"},
    Made{"lossy_rgb", "im.convert('RGB').save(p, quality=70)"},
    Made{"animated_lossless", "fr = [im.rotate(a) for a in (0, 20, 40)]\n"
         "fr[0].save(p, save_all=True, append_images=fr[1:], duration=[80, 120, 200], "
         "loop=2, lossless=True)"},
    Made{"animated_lossy_partial", "fr = [im.copy() for _ in range(3)]\n"
         "fr[1].paste((255, 0, 0, 128), (5, 5, 15, 12))\n"
         "fr[2].paste((0, 0, 255, 255), (20, 10, 30, 20))\n"
         "fr[0].save(p, save_all=True, append_images=fr[1:], duration=50, quality=80)"}),
    CaseName());
// clang-format on

// GIFs made by ImageMagick and PIL, every frame as ImageMagick's -coalesce
// composes it (what a transparent pixel hides is not compared) and every
// delay as it reads it.
class GifInput : public InFolder<::testing::TestWithParam<Made>> {};

TEST_P(GifInput, EveryFrameAsImageMagickComposesIt) {
  makePicture(dir.path("a.png"), "im.save(p)");
  const std::string path = dir.path("a.gif");
  ASSERT_EQ(runProgram("/bin/sh", {"-c", GetParam().how, "sh", dir.path("a.png"), path}).status, 0);
  const RunResult delays = shell("identify -format '%T\\n' a.gif", dir.path());
  ASSERT_EQ(shell("convert a.gif -coalesce frame-%d.pam", dir.path()).status, 0);
  std::vector<PilFrame> reference;
  std::istringstream hundredths(delays.out);
  for (int delay; hundredths >> delay;) {
    const std::string pam = "frame-" + std::to_string(reference.size()) + ".pam";
    reference.push_back({delay * 10, parsePam(readFileText(dir.path(pam)))});
  }
  expectFrames(path, reference, 0, true);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Kinds, GifInput, ::testing::Values(
    Made{"opaque_interlaced", "convert \"$1\" -alpha off -interlace GIF \"$2\""},
    Made{"offset_frames_background_disposal",
         "convert -dispose Background -delay 7 \"$1\" -alpha off -delay 12 "
         "\\( \"$1\" -crop 10x8+0+0 -repage +5+3 \\) -delay 3 \\( \"$1\" -alpha off -flip \\) \"$2\""},
    Made{"previous_disposal_then_none",
         "convert -dispose Previous -delay 5 \"$1\" -delay 9 \\( \"$1\" -crop 12x6+3+3 "
         "-repage +2+2 \\) -dispose None \\( \"$1\" -crop 6x6+0+0 -repage +20+10 \\) \"$2\""},
    Made{"pil_optimised_frames",
         "/usr/bin/python3 -c 'import sys; from PIL import Image; im = Image.open(sys.argv[1]).convert(\"RGB\"); "
         "fr = [im, im.rotate(10), im.rotate(10)]; fr[2].paste((255, 0, 0), (3, 4, 9, 8)); "
         "fr[0].save(sys.argv[2], save_all=True, append_images=fr[1:], duration=[40, 90, 20])' "
         "\"$1\" \"$2\""}),
    CaseName());
// clang-format on

// What a first frame leaves of the screen is transparent, as browsers show
// it (ImageMagick's -coalesce paints it in the background colour instead),
// and so is what it leaves when disposed of "to the previous" screen.
TEST(GifScreen, WhatTheFirstFrameLeavesUncoveredIsTransparent) {
  TempDir dir;
  const RunResult made = shell(
      "convert -size 4x3 xc:red -repage 4x3+0+1 a.gif && convert -dispose Previous -size 4x3 "
      "xc:red -dispose None -size 2x2 xc:blue b.gif",
      dir.path());
  ASSERT_EQ(made.status, 0) << made.err;
  // The 4 x 3 screen: the colour where `on`, clear elsewhere.
  const auto screen = [](uint8_t red, uint8_t blue, auto on) {
    Raster shown{4, 3, 4, {}};
    for (int i = 0; i < 12; ++i) {
      const uint8_t a = on(i % 4, i / 4) ? 255 : 0;
      shown.samples.insert(shown.samples.end(), {uint8_t(red & a), 0, uint8_t(blue & a), a});
    }
    return shown;
  };
  expectFrames(dir.path("a.gif"), {{0, screen(255, 0, [](int, int y) { return y > 0; })}}, 0, true);
  expectFrames(dir.path("b.gif"),
               {{0, screen(255, 0, [](int, int) { return true; })},
                {0, screen(0, 255, [](int x, int y) { return x < 2 && y < 2; })}},
               0, true);
}

struct TiffCase {
  const char* name;
  const char* source;  // a PNG of tests/data/png
  const char* make;    // sh: writes the TIFF $2 from the PNG $1
  // Associated alpha: we round where PIL truncates, 255 × c / a.
  int tolerance = 0;
  bool sixteen = false;  // 16-bit samples: compared with netpbm's rounding of the PNG
};

class TiffInput : public InFolder<::testing::TestWithParam<TiffCase>> {};

TEST_P(TiffInput, EveryPageAsAnIndependentDecoderSeesIt) {
  const TiffCase& c = GetParam();
  const std::string path = dir.path("a.tif");
  const RunResult made = runProgram("/bin/sh", {"-c", c.make, "sh", pngOf(c.source), path});
  ASSERT_EQ(made.status, 0) << made.err;
  std::vector<PilFrame> reference;
  if (c.sixteen)
    reference.push_back({0, asRgb(netpbm("pngtopam -alphapam " + quoted(pngOf(c.source))), true)});
  else
    reference = pilFrames(path);
  expectFrames(path, reference, c.tolerance);
}

constexpr const char* kJpegTiles =
    "convert \"$1\" -compress None \"$2.plain.tif\" && "
    "tiffcp -c jpeg:90 -t -w 16 -l 16 \"$2.plain.tif\" \"$2\"";
constexpr const char* kMinIsWhite =
    "/usr/bin/python3 -c 'import sys; from PIL import Image; "
    "Image.open(sys.argv[1]).convert(\"1\").save(sys.argv[2])' \"$1\" \"$2\" && "
    "tiffset -s 262 0 \"$2\"";
constexpr const char* kThreePages =
    "convert \"$1\" \\( \"$1\" -type Grayscale \\) "
    "\\( \"$1\" -resize 50% -alpha set -channel A -evaluate set 50% +channel \\) "
    "-compress Zip \"$2\"";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Kinds, TiffInput, ::testing::Values(
    TiffCase{"rgb8_strips_uncompressed", "rgb8_interlaced",
             "convert \"$1\" -compress None -define tiff:rows-per-strip=5 \"$2\""},
    TiffCase{"rgba8_tiles_planes_lzw", "rgba8_interlaced", "convert \"$1\" -compress LZW "
             "-define tiff:tile-geometry=16x16 -interlace Plane \"$2\""},
    TiffCase{"rgba8_associated_alpha", "rgba8_interlaced",
             "convert \"$1\" -define tiff:alpha=associated \"$2\"", 1},
    TiffCase{"grey8_packbits_bigtiff", "grey8", "convert \"$1\" -compress RLE TIFF64:\"$2\""},
    TiffCase{"grey_alpha8_deflate_big_endian", "grey_alpha8",
             "convert \"$1\" -compress Zip -endian MSB \"$2\""},
    TiffCase{"palette4", "palette4", "convert \"$1\" \"$2\""},
    TiffCase{"bilevel_min_is_white", "grey1", kMinIsWhite},
    TiffCase{"jpeg_ycbcr_tiles", "rgb8_interlaced", kJpegTiles},
    TiffCase{"jpeg_grey_strips", "grey8", "convert \"$1\" -compress JPEG \"$2\""},
    TiffCase{"three_pages", "rgb8_interlaced", kThreePages},
    TiffCase{"grey16_uncompressed", "grey16", "convert \"$1\" -compress None \"$2\"", 0, true},
    TiffCase{"rgb16_tiles_deflate_big_endian", "rgb16_interlaced", "convert \"$1\" -compress Zip "
             "-endian MSB -define tiff:tile-geometry=32x16 \"$2\"", 0, true},
    TiffCase{"rgba16_planes_lzw", "rgba16",
             "convert \"$1\" -compress LZW -interlace Plane \"$2\"", 0, true}),
    CaseName());
// clang-format on

// Damaged and hostile files: each refused with its reason before anything
// the size of the picture is allocated, nothing crashes.
struct BadCase {
  const char* name;
  std::vector<std::pair<int, uint32_t>> tags;  // set in grey.tif first
  const char* make;  // sh in a folder with still.webp, anim.webp and grey.tif
  const char* file;
  std::string message;  // the start of the refusal
};

class BadInput : public InFolder<::testing::TestWithParam<BadCase>> {};

TEST_P(BadInput, RefusedWithItsReason) {
  const BadCase& c = GetParam();
  makePicture(dir.path("still.webp"), "im.save(p, quality=70)");
  makePicture(dir.path("anim.webp"),
              "im.save(p, save_all=True, append_images=[im.rotate(90)], lossless=True)");
  ASSERT_EQ(
      shell("convert " + quoted(pngOf("grey8")) + " -compress RLE grey.tif", dir.path()).status, 0);
  for (const auto& [tag, value] : c.tags) setTiffTag(dir.path("grey.tif"), tag, value);
  ASSERT_EQ(shell(c.make, dir.path()).status, 0);
  const std::string path = dir.path(c.file);
  const bool webp = path.ends_with(".webp"), gif = path.ends_with(".gif");
  // A TIFF also from its bytes in memory, as the fuzz target gives them.
  for (const bool inMemory : {false, true}) {
    if ((webp || gif) && inMemory) continue;
    try {
      InputFile file(path);
      std::unique_ptr<FrameSource> source = webp       ? openWebp(file)
                                            : gif      ? openGif(file)
                                            : inMemory ? openTiff(path, readFileBytes(path))
                                                       : openTiff(file);
      allFrames(*source);
      FAIL() << "read";
    } catch (const ConvError& e) {
      EXPECT_EQ(std::string(e.what()).substr(0, path.size() + 2 + c.message.size()),
                path + ": " + c.message)
          << inMemory;
    }
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Files, BadInput, ::testing::Values(
    BadCase{"webp_truncated", {}, "head -c 300 still.webp > bad.webp", "bad.webp",
            "corrupt WebP file (the file ends too early)"},
    BadCase{"webp_not_riff", {}, "printf 'RIFX\\0\\0\\0\\0WEBPVP8 ' > bad.webp", "bad.webp",
            "not a WebP file (no RIFF WEBP header)"},
    // The canvas of the VP8X chunk (24-bit sizes less one at 24 and 27).
    BadCase{"webp_huge_canvas", {},
            "cp anim.webp bad.webp && printf '\\057\\165\\000\\057\\165\\000' | "
            "dd of=bad.webp bs=1 seek=24 conv=notrunc 2>/dev/null", "bad.webp",
            "the picture is 30000 x 30000 pixels, over the limit"},
    BadCase{"gif_truncated", {}, "convert still.webp a.gif && head -c 100 a.gif > bad.gif", "bad.gif",
            "corrupt GIF file (the file ends in "},
    BadCase{"gif_no_image", {}, "printf 'GIF89a\\001\\0\\001\\0\\0\\0\\0;' > bad.gif", "bad.gif",
            "the GIF file holds no image"},
    BadCase{"gif_huge_screen", {}, "convert still.webp a.gif && printf '\\060\\165\\060\\165' | "
            "dd of=a.gif bs=1 seek=6 conv=notrunc 2>/dev/null && mv a.gif bad.gif", "bad.gif",
            "the picture is 30000 x 30000 pixels, over the limit"},
    BadCase{"tiff_huge", {{256, 30000}, {257, 30000}}, "true", "grey.tif",
            "the picture is 30000 x 30000 pixels, over the limit"},
    BadCase{"tiff_strip_past_end", {{273, 100000}}, "true", "grey.tif",
            "corrupt TIFF file (strip 0 lies past the end of the file)"},
    BadCase{"tiff_too_few_bytes", {{279, 1}}, "true", "grey.tif",
            "corrupt TIFF file (64 x 23 pixels cannot be held in 1 bytes)"},
    BadCase{"tiff_truncated", {}, "head -c 300 grey.tif > bad.tif", "bad.tif",
            "corrupt TIFF file (libtiff cannot open it: "},
    BadCase{"tiff_zstd", {}, "tiffcp -c zstd grey.tif bad.tif", "bad.tif",
            "unsupported TIFF (compression 50000; none, LZW, Deflate, PackBits and JPEG are read)"},
    BadCase{"tiff_cmyk", {}, "convert grey.tif -colorspace CMYK bad.tif", "bad.tif",
            "unsupported TIFF (colour space 5; grey, RGB and palette are read)"},
    BadCase{"tiff_not_tiff", {}, "cp still.webp bad.tif", "bad.tif",
            "not a TIFF file (no TIFF header)"}),
    CaseName());
// clang-format on

// kxconv takes the formats by extension (the first frame or page), kxquant
// by their first bytes whatever the name.
TEST(FrontEnds, ReadWebpAndTiff) {
  TempDir dir;
  makePicture(dir.path("a.webp"),
              "im.save(p, save_all=True, append_images=[im.rotate(90)], quality=80)", 64, 23);
  const std::string pages = quoted(pngOf("rgba8_interlaced")) + " " + quoted(pngOf("grey8"));
  ASSERT_EQ(shell("convert " + pages + " -compress LZW b.TIFF", dir.path()).status, 0);
  for (const char* name : {"a.webp", "b.TIFF"}) {
    RunResult r = kxconv({name, "out.pic"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(asRgb(picPixels(dir.path("out.pic")), true), pilFrames(dir.path(name))[0].rgba);
    std::filesystem::copy_file(dir.path(name), dir.path("photo"),
                               std::filesystem::copy_options::overwrite_existing);
    r = runProgram("kxquant", {"-f", "-n", "16", "photo"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readIndexedPng(dir.path("photo-kx.png")).width, 64);
  }
}

// What the readers take from a file beside its samples: the EXIF orientation
// applied (compared with ImageMagick's -auto-orient, or PIL's exif_transpose
// for PNG and WebP, which ImageMagick 6 does not turn), ICC profiles carried
// byte for byte, densities and PNG's colour chunks, and the Exif parser on
// damaged blocks.

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

class Orientation : public InFolder<::testing::TestWithParam<OrientationCase>> {};

TEST_P(Orientation, ReadUpright) {
  const OrientationCase& c = GetParam();
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

class IccProfile : public InFolder<::testing::TestWithParam<IccCase>> {};

TEST_P(IccProfile, CarriedByteForByte) {
  const IccCase& c = GetParam();
  const std::string path = dir.path(std::string("a") + c.ext);
  // sRGB's profile, padded to c.size bytes, its size field too.
  std::string save = "n = " + std::to_string(c.size) +
                     "\nfrom PIL import ImageCms\n"
                     "b = ImageCms.ImageCmsProfile(ImageCms.createProfile('sRGB')).tobytes()\n"
                     "b = n.to_bytes(4, 'big') + b[4:] + bytes(n - len(b)) if n > len(b) else b\n"
                     "open(p + '.icc', 'wb').write(b)\n"
                     "im.convert('RGB').save(p, icc_profile=b)\n";
  if (c.repeatedSegment)
    save +=
        "d = bytearray(open(p, 'rb').read())\n"
        "d[d.find(b'ICC_PROFILE\\0', d.find(b'ICC_PROFILE\\0') + 1) + 12] = 1\n"
        "open(p, 'wb').write(d)\n";
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

class Density : public InFolder<::testing::TestWithParam<DensityCase>> {};

TEST_P(Density, AndColourChunksRead) {
  const DensityCase& c = GetParam();
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
