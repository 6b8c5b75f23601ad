// kxconv through the real binary: its command line and refusals, and its
// readers against netpbm and PIL.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>

#include "conv_support.h"
#include "support/case_names.h"
#include "support/pictures.h"

namespace kx {
namespace {

// Wrong arguments print the usage --help prints.
TEST(KxconvCommandLine, WrongArgumentsPrintTheUsageAndRefusalsNameTheFile) {
  TempDir dir;
  const std::string usage = kxconv({"--help"}, dir.path()).out;
  ASSERT_TRUE(usage.starts_with("Usage: kxconv [-c <colormap> | -C <colormap>] <input> <output>\n"))
      << usage;
  writeSamplePicture(dir.path("s"), 8, 4);
  ASSERT_EQ(kxconv({"s.pic", "a.png"}, dir.path()).status, 0);
  writeFileBytes(dir.path("bad.pic"), std::vector<uint8_t>(200, 0x53));
  PicturePtr red = pictureFromRgb(2, 2, std::vector<uint8_t>(12));  // written as a red channel only
  const ChannelPacketList redOnly = {ChannelPacket{8, 2, 0x80}};
  ASSERT_TRUE(QZ_pictureWriteFile(dir.path("red.pic"), *red, &redOnly, 0));
  const std::string reads =
      " (kxconv reads .png, .jpg, .jpeg, .webp, .tif, .tiff, .ppm, .pgm, .pbm, .pnm, .pam, .pic, "
      ".icn and .pict)\n";
  const std::string writes = " (kxconv writes .png, .ppm and .pic)\n";
  const std::pair<std::string, std::string> cases[] = {
      {"", usage},
      {"a.png b.pic c.pic", "kxconv: give one input and one output file\n" + usage},
      {"- b.pic c.pic", "kxconv: give one input and one output file\n" + usage},  // - is a name
      {"-x a.png b.pic", "kxconv: unknown option -x\n" + usage},
      {"a.icn b.png -c", "kxconv: -c needs a colormap file name\n" + usage},
      {"-c p -C q a.icn b.png", "kxconv: only one -c or -C option may be given\n" + usage},
      {"photo.heic x.pic", "kxconv: photo.heic: unknown extension \".heic\"" + reads},
      {"photo x.pic", "kxconv: photo: no extension" + reads},
      {"s.pic x.icn", "kxconv: x.icn: unknown extension \".icn\"" + writes},
      {"-c pal a.png x.pic", "kxconv: a.png: -c and -C apply only to .icn input\n"},
      {"a.png ./a.png", "kxconv: ./a.png: the output would overwrite the input\n"},
      {"bad.pic x.png",
       "kxconv: bad.pic: not a valid .pic picture file (bad header or channel packets)\n"},
      {"red.pic x.png", "kxconv: red.pic: the picture has no green channel\n"},
      {"nope.png x.pic", "kxconv: nope.png: cannot open: No such file or directory\n"},
      {"a.png nodir/x.png", "kxconv: nodir/x.png: the folder nodir does not exist\n"},
  };
  for (const auto& [args, message] : cases) expectRefused(dir.path(), words(args), message);
  // A write that fails leaves the file that was there.
  writeFileBytes(dir.path("full.pic"), {'o', 'l', 'd'});
  const RunResult r = runProgram("kxconv", {"a.png", "full.pic"},
                                 RunOptions{.cwd = dir.path(), .fileSizeLimit = 100});
  EXPECT_EQ(r.err, "kxconv: full.pic: cannot write: File too large\n");
  EXPECT_EQ(readFileBytes(dir.path("full.pic")), (std::vector<uint8_t>{'o', 'l', 'd'}));
}

// PNG -> .pic -> PNG and PPM, for each kind of PNG (its colour type and
// tRNS read from the file). 8-bit PNGs keep every pixel; 16-bit samples are
// rounded as netpbm rounds them (pngtopam | pamdepth 255; ImageMagick 6
// truncates, so it is no reference).
class PngRoundTrip : public InFolder<::testing::TestWithParam<const char*>> {};

TEST_P(PngRoundTrip, PicturesHoldWhatTheReferenceSees) {
  const std::string name = GetParam();
  std::filesystem::copy_file(pngOf(name), dir.path("a.png"));
  const std::vector<PngChunk> chunks = pngChunks(readFileBytes(dir.path("a.png")));
  const int colorType = chunks.at(0).data.at(9);  // IHDR
  const bool key = std::ranges::count(chunks, std::string("tRNS"), &PngChunk::type) > 0;
  const bool alpha = key || (colorType & PNG_COLOR_MASK_ALPHA);
  // netpbm 11 leaves pixels of an RGB image's tRNS colour opaque: PIL instead.
  auto reference = [&](const std::string& png) {
    if (key && colorType == PNG_COLOR_TYPE_RGB) return pilPixels(png, "RGBA");
    return asRgb(netpbm("pngtopam -alphapam " + quoted(png)), alpha);
  };
  const Raster original = reference(dir.path("a.png"));
  ASSERT_EQ(original.width, name == "grey16" ? 256 : 64);  // grey16 holds every value once
  ASSERT_TRUE(converts({"a.png", "a.pic"}, dir.path()));
  EXPECT_EQ(picPixels(dir.path("a.pic")), original);
  ASSERT_TRUE(converts({"a.pic", "b.png"}, dir.path()));
  EXPECT_EQ(reference(dir.path("b.png")), original);
  EXPECT_EQ(readFileBytes(dir.path("b.png")).at(25), alpha ? 6 : 2);  // IHDR colour type
  const RunResult r = kxconv({"a.pic", "c.ppm"}, dir.path());  // PPM drops the alpha, saying so
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err,
            alpha ? "kxconv: c.ppm: note: PPM has no alpha channel; alpha is dropped\n" : "");
  EXPECT_EQ(netpbm("cat " + quoted(dir.path("c.ppm"))), asRgb(original, false));
}

INSTANTIATE_TEST_SUITE_P(Kinds, PngRoundTrip,
                         ::testing::Values("grey8", "grey1", "grey4_interlaced", "grey8_trns",
                                           "grey_alpha8", "rgb8_interlaced", "rgb8_trns",
                                           "rgba8_interlaced", "palette4", "palette1",
                                           "palette8_trns", "grey16", "grey_alpha16",
                                           "rgb16_interlaced", "rgba16"),
                         [](const auto& kind) { return std::string(kind.param); });

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
    ASSERT_TRUE(converts({name + ".png", name + ".out.png"}, dir.path())) << name;
    EXPECT_EQ(pilPixels(dir.path(name + ".out.png")).samples, rgba) << name;
  }
}

struct JpegCase {
  const char* name;
  const char* mode;     // PIL's mode of the picture saved
  const char* options;  // PIL's JPEG options
  int tolerance;        // largest difference from PIL's RGB (CMYK: another formula's rounding)
};

// PIL decodes with libjpeg-turbo's defaults, as kxconv does.
class JpegInput : public InFolder<::testing::TestWithParam<JpegCase>> {};

TEST_P(JpegInput, DecodesAsPilDoes) {
  const JpegCase& c = GetParam();
  makeJpeg(dir.path("a.jpg"), 67, 45, c.mode, c.options);
  const Raster reference = pilPixels(dir.path("a.jpg"), "RGB");
  ASSERT_TRUE(converts({"a.jpg", "a.pic"}, dir.path()));
  const Raster read = picPixels(dir.path("a.pic"));
  ASSERT_EQ(std::pair(read.width, read.height), std::pair(67, 45));
  ASSERT_EQ(read.samples.size(), reference.samples.size());
  int worst = 0;
  for (size_t i = 0; i < read.samples.size(); ++i)
    worst = std::max(worst, std::abs(read.samples[i] - reference.samples[i]));
  EXPECT_LE(worst, c.tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, JpegInput,
    ::testing::Values(JpegCase{"rgb444", "RGB", "quality=95, subsampling=0", 0},
                      JpegCase{"progressive", "RGB", "quality=80, progressive=True", 0},
                      JpegCase{"grey", "L", "quality=90", 0},
                      JpegCase{"rgb420_comment_skipped", "RGB", "quality=90, comment=b'a note'", 0},
                      JpegCase{"cmyk", "CMYK", "quality=95", 2}),
    CaseName());

// Every kind of netpbm file (tests/data/pnm, its README says how they were
// made), and g.pbm, a bitmap of many reads' bytes, rows of 251 bytes, read to
// its last row.
TEST(NetpbmInput, SamplesAsPamdepthScalesThem) {
  TempDir dir;
  std::string pbm = "P4\n2001 1200\n";
  for (int i = 0; i < 251 * 1200; ++i) pbm += static_cast<char>(i * 7 % 251);
  writeFileBytes(dir.path("g.pbm"), {pbm.begin(), pbm.end()});
  for (const std::string name : {"a.ppm", "b.PPM", "c.pnm", "d.pbm", "e.pam", "f.pam", "g.pbm"}) {
    if (name != "g.pbm")
      std::filesystem::copy_file(KX_SOURCE_DIR "/tests/data/pnm/" + name, dir.path(name));
    const Raster in = netpbm("cat " + quoted(dir.path(name)));
    ASSERT_EQ(in.width, name == "g.pbm" ? 2001 : 29) << name << ": netpbm refuses the test file";
    ASSERT_TRUE(converts({name, name + ".pic"}, dir.path()));
    EXPECT_EQ(picPixels(dir.path(name) + ".pic"), asRgb(in, in.depth % 2 == 0)) << name;
  }
}

// A plain file, and a raw one larger than the first block that holds the header.
TEST(PpmOutput, RawPpmBytes) {
  std::string big = "P6\n700 700\n255\n";
  for (int i = 0; i < 700 * 700 * 3; ++i) big += static_cast<char>(i * 7 % 251);
  const std::pair<std::string, std::string> cases[] = {
      {"P3\n2 1\n255\n1 2 3 250 251 252\n", "P6\n2 1\n255\n\x01\x02\x03\xfa\xfb\xfc"}, {big, big}};
  for (const auto& [text, expected] : cases) {
    TempDir dir;
    writeFileBytes(dir.path("in.ppm"), {text.begin(), text.end()});
    ASSERT_TRUE(converts({"in.ppm", "in.pic"}, dir.path()));
    ASSERT_TRUE(converts({"in.pic", "out.ppm"}, dir.path()));
    EXPECT_TRUE(readFileText(dir.path("out.ppm")) == expected)
        << "from " << text.size() << " bytes";
  }
}

// A Python test that PIL's palette is the colours of a .clm file at 8 bits.
std::string paletteIs(const std::string& clm) {
  return "bytes(im.getpalette()) == open('" + clm + "', 'rb').read()[17::2]";
}

// A colour-mapped image as a palette PNG, its colormap the binary one beside
// it, else the ASCII one, or one named with -c or -C.
TEST(IconInput, PalettePngOfTheColormapBesideOrNamed) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 48, 32);
  ASSERT_EQ(runProgram("kxreduce", {"-A", "-n", "16", "in", "asc"}, dir.path()).status, 0);
  ASSERT_EQ(runProgram("kxreduce", {"-n", "16", "in", "bin"}, dir.path()).status, 0);
  ASSERT_TRUE(converts({"bin.icn", "bin.png"}, dir.path()));
  const std::string png = dir.path("bin.png");
  // PIL: a palette PNG whose palette is the colormap and pixels the index bytes.
  EXPECT_EQ(pilDescribe(png, "im.mode, im.size, " + paletteIs(dir.path("bin.clm")) +
                                 ", bytes(im.getdata()) == open('" + dir.path("bin.icn") +
                                 "', 'rb').read()[68:-8]"),
            "P (48, 32) True True\n");
  ASSERT_EQ(kxconv({"bin.icn", "bin.pic"}, dir.path()).status, 0);
  EXPECT_EQ(picPixels(dir.path("bin.pic")), pilPixels(png, "RGB"));
  // The ASCII colormap beside the image is found when there is no binary one.
  ASSERT_TRUE(converts({"asc.icn", "asc.png"}, dir.path()));
  const std::string pixels = "list(im.convert('RGB').getdata())";
  const std::string ascPixels = pilDescribe(dir.path("asc.png"), pixels);
  std::rename(dir.path("asc.cla").c_str(), dir.path("pal.cla").c_str());
  std::rename(dir.path("bin.clm").c_str(), dir.path("pal.clm").c_str());
  expectRefused(dir.path(), {"asc.icn", "x.png"},
                "kxconv: asc.icn: no colormap beside it (neither asc.clm nor asc.cla); name one "
                "with -c or -C\n");
  for (const char* name : {"pal", "pal.cla"}) {
    ASSERT_TRUE(converts({"-C", name, "asc.icn", "x.png"}, dir.path()));
    EXPECT_EQ(pilDescribe(dir.path("x.png"), pixels), ascPixels);
  }
  for (const char* name : {"pal", "pal.clm"}) {
    ASSERT_TRUE(converts({"bin.icn", "y.png", "-c", name}, dir.path()));
    EXPECT_EQ(pilDescribe(dir.path("y.png"), paletteIs(dir.path("pal.clm"))), "True\n");
  }
  expectRefused(dir.path(), {"-c", "nope", "bin.icn", "z.png"},
                "kxconv: nope.clm: cannot open: No such file or directory\n");
}

// Damaged files of each format: the reason, whichever output is asked for.
TEST(DamagedInput, RefusedWithItsReasonAndNoOutput) {
  TempDir dir;
  makeJpeg(dir.path("good.jpg"), 64, 64, "RGB", "quality=90");
  const std::string png = readFileText(pngOf("rgb8_trns")),
                    jpeg = readFileText(dir.path("good.jpg"));
  std::string idatCrc = png;
  idatCrc.at(png.size() - 13) ^= 0x40;  // the last byte of IDAT's CRC, before IEND
  // 3 x 2 indices and a colormap of 2 colours (tests/data/icn, see its README).
  const std::string icn = readFileText(KX_SOURCE_DIR "/tests/data/icn/x.icn"),
                    clm = readFileText(KX_SOURCE_DIR "/tests/data/icn/x.clm");
  writeFileBytes(dir.path("x.clm"), {clm.begin(), clm.end()});
  const struct {
    std::string file, bytes, message;
  } cases[] = {
      {"bad.png", png.substr(0, png.size() / 2), "corrupt PNG file (the file ends too early)"},
      {"bad.png", idatCrc, "corrupt PNG file (IDAT: CRC error)"},
      {"bad.png", "GIF8", "not a PNG file (no PNG signature)"},
      {"bad.png", readFileText(pngOf("wide")),
       "the PNG picture is 32768 x 2 pixels; PNG pictures are read up to 32767 pixels on a side"},
      {"bad.png", readFileText(pngOf("huge")),
       "corrupt PNG file (10000 x 10000 pixels cannot be held in " + std::to_string(png.size()) +
           " bytes)"},
      {"bad.JPG", jpeg.substr(0, jpeg.size() - jpeg.size() / 3),
       "corrupt JPEG file (the file ends too early)"},
      {"bad.JPG", jpeg.substr(0, 40), "corrupt JPEG file (the file ends too early)"},
      {"bad.JPG", "GIF8", "not a JPEG file (no JPEG start marker)"},
      {"x.icn", icn.substr(0, 72) + '\5' + icn.substr(73),
       "the pixel at column 1, row 1 has index 5, but the colormap x.clm has only 2 colours"},
      {"x.icn", icn.substr(0, 3) + 'X' + icn.substr(4),
       "not a colour-mapped image file (no ICON/CICN magic)"},
      {"x.icn", icn.substr(0, 81), "the file has 81 bytes; 3 x 2 pixels need 82"},
      {"junk.pict", std::string(600, 'j'),
       "cannot read the PICT picture (junk.pict is not a known PICT format!)"},
      {"bad.pnm", "GIF89a", "not a netpbm file (no P1 to P7 magic)"},
      {"bad.pnm", "P", "not a netpbm file (no P1 to P7 magic)"},
      {"bad.pnm", "P7\nWIDTH 0\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nENDHDR\n",
       "the picture is empty (0 x 1 pixels)"},
      {"bad.pnm", "P6\n2 2\n255\n" + std::string(11, 'a'), "the file ends inside the raster"},
      {"bad.pnm", "P5\n1 1\n1000\n\x03\xe9", "a sample (1001) exceeds the maxval 1000"},
      {"bad.pnm", "P5\n1 32768\n255\n",
       "the PGM picture is 1 x 32768 pixels; PGM pictures are read up to 32767 pixels on a side"},
      {"bad.pnm", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE CMYK\nENDHDR\n....",
       "unsupported PAM tuple type \"CMYK\""},
      {"bad.pnm", "P7 WIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nENDHDR\n...",
       "not a PAM file (no line feed after P7)"},
      // Header lines may start with white space.
      {"bad.pnm", "P7\n  WIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\n\tTUPLTYPE RGB_ALPHA\nENDHDR\n...",
       "the PAM tuple type RGB_ALPHA needs depth 4, not 3"},
  };
  for (const auto& c : cases) {
    writeFileBytes(dir.path(c.file), {c.bytes.begin(), c.bytes.end()});
    for (const char* out : {"bad.pic", "bad2.png"})
      expectRefused(dir.path(), {c.file, out}, "kxconv: " + c.file + ": " + c.message + "\n");
  }
  writeFileBytes(dir.path("x.icn"), {icn.begin(), icn.end()});
  writeFileBytes(dir.path("x.clm"), {clm.begin(), clm.begin() + 27});
  expectRefused(dir.path(), {"x.icn", "x.png"},
                "Error: colormap x.clm is too short: 2 colors need 28 bytes, it has 27\n");
}

}  // namespace
}  // namespace kx
