// kxquant end to end on real files: the palette and indices are kxreduce's
// (its own files byte for byte, PNG read back through libpng and PIL), a
// picture over kxreduce's limit gets what `kxreduce -z <target>` gives,
// transparency, GIF sequences, refusals and the command line.
#include <gtest/gtest.h>
#include <zlib.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <tuple>

#include "common/color.h"
#include "conv/conv_support.h"
#include "support/case_names.h"
#include "support/pictures.h"

namespace kx {
namespace {

namespace fs = std::filesystem;

// name.png from RGB samples, through a picture file and kxconv.
void writePng(const TempDir& dir, const std::string& name, int width, int height,
              const std::vector<uint8_t>& rgb) {
  writeRgbPicture(dir.path(name + ".tmp"), width, height, rgb);
  const RunResult r = runProgram("kxconv", {name + ".tmp.pic", name + ".png"}, dir.path());
  if (r.status != 0) throw std::runtime_error("kxconv: " + r.err);
  fs::remove(dir.path(name + ".tmp.pic"));
}

// kxquant in the folder, the arguments split at each space; its status is checked.
RunResult run(const TempDir& dir, const std::string& args, int status = 0) {
  RunResult r = runProgram("kxquant", words(args), dir.path());
  EXPECT_EQ(r.status, status) << args << ": " << r.err;
  return r;
}

std::vector<uint8_t> bytes(const TempDir& dir, const std::string& name) {
  return readFileBytes(dir.path(name));
}

// A soft picture as icons have them: a disc over a blurred drop shadow, a
// glow, an alpha ramp of one colour along the bottom, and transparent
// pixels of every colour around them.
const char kSoftPicture[] =
    "from PIL import ImageDraw, ImageFilter\n"
    "im = Image.new('RGBA', (96, 72), (0, 0, 0, 0))\n"
    "shadow = Image.new('RGBA', im.size, (0, 0, 0, 0))\n"
    "ImageDraw.Draw(shadow).ellipse((20, 18, 76, 62), fill=(0, 0, 0, 150))\n"
    "im.alpha_composite(shadow.filter(ImageFilter.GaussianBlur(5)))\n"
    "glow = Image.new('RGBA', im.size, (0, 0, 0, 0))\n"
    "ImageDraw.Draw(glow).ellipse((50, 4, 90, 40), fill=(80, 170, 255, 200))\n"
    "im.alpha_composite(glow.filter(ImageFilter.GaussianBlur(6)))\n"
    "ImageDraw.Draw(im).ellipse((14, 10, 60, 54), fill=(220, 120, 40, 255))\n"
    "px = im.load()\n"
    "for x in range(96):\n"
    "    for y in range(66, 72): px[x, y] = (30, 200, 90, x * 255 // 95)\n"
    "for y in range(72):\n"
    "    for x in range(96):\n"
    "        if px[x, y][3] == 0: px[x, y] = (x * 37 % 256, y * 91 % 256, x * y % 256, 0)\n"
    "im.save(sys.argv[1])\n";

class InputFormats : public InFolder<> {};
class Sequence : public InFolder<> {};
class Transparency : public InFolder<> {};
class Workflow : public InFolder<> {};

// ---- The same palette and indices as kxreduce ----------------------------------

struct ExactCase {
  const char* name;
  const char* picture;  // sample, jpeg, photo (samples/astronaut.png), noisy, large
  std::string options;  // each followed by a space
  bool refine = false;  // kxquant's default against kxreduce --refine, else --no-refine
  // kxquant's choice of dithering, before the options: its own dithering
  // changes the indices, not the palette; -a, the last one given, is
  // kxreduce's.
  std::string dither = "--no-dither ";
  bool best = false;  // kxquant's PNG with --best
};

std::string makeInput(const TempDir& dir, const std::string& kind) {
  if (kind == "jpeg") {
    makeJpeg(dir.path("in.jpg"), 90, 70, "RGB", "quality=85");
    return "in.jpg";
  }
  if (kind == "photo") {
    fs::copy_file(std::string(KX_SOURCE_DIR) + "/samples/astronaut.png", dir.path("in.png"));
  } else if (kind == "large") {
    // A photograph-like picture repeated (fewer colours than kxreduce's
    // limit) above flat blocks: PNG data of several parts, compressed in
    // different ways.
    writeSamplePicture(dir.path("tile"), 256, 220);
    const std::vector<uint8_t> tile = readRgbPicture(dir.path("tile"));
    std::vector<uint8_t> rgb(1024 * 2200 * 3);
    for (size_t i = 0; i < rgb.size(); ++i) {
      const size_t x = i / 3 % 1024, y = i / 3 / 1024;
      rgb[i] = y >= 1100 ? static_cast<uint8_t>(x / 200 * 50)
                         : tile[((y % 220) * 256 + x % 256) * 3 + i % 3];
    }
    writePng(dir, "in", 1024, 2200, rgb);
  } else if (kind == "noisy") {
    writePng(dir, "in", 400, 300, testPixels(400, 300, 1, true));
  } else {
    writeSamplePicture(dir.path("in.tmp"), 96, 64);
    runProgram("kxconv", {"in.tmp.pic", "in.png"}, dir.path());
  }
  return "in.png";
}

class MatchesKxreduce : public InFolder<::testing::TestWithParam<ExactCase>> {};

TEST_P(MatchesKxreduce, PaletteAndIndices) {
  const ExactCase& c = GetParam();
  const std::string input = makeInput(dir, c.picture);
  ASSERT_EQ(runProgram("kxconv", {input, "in.pic"}, dir.path()).status, 0);

  const std::string mode = c.refine ? "-f " : "--no-refine ", rest = c.options + input;
  RunResult r = run(dir, mode + "-o q.icn " + c.dither + rest);
  // Only a picture over the limit is compressed further, and says so.
  std::string reduce = c.options;
  const bool compressed = std::string(c.picture) == "noisy";
  int colours = 0, levels = 0, said = 0;
  std::sscanf(r.err.c_str(), "in.png: %d colours; compressed to %d levels per channel%n", &colours,
              &levels, &said);
  EXPECT_EQ(r.err.substr(said), compressed ? "\n" : "") << r.err;
  const int target = compressed ? levels - 1 : 255;
  if (compressed) {
    ASSERT_LT(target, 128);
    EXPECT_EQ(run(dir, mode + "-o q.png " + c.dither + rest).err, r.err);  // the PNG says so too
    reduce = "-z " + std::to_string(target) + " " + reduce;
    // kxreduce stops on this picture, and a finer level would not fit.
    EXPECT_EQ(runProgram("kxreduce", {"in", "stops"}, dir.path()).status, 1);
    const std::string finer = "-z " + std::to_string(target + 1) + " in finer";
    EXPECT_EQ(runProgram("kxreduce", words(finer), dir.path()).status, 1);
  }
  r = runProgram("kxreduce", words(reduce + (c.refine ? "--refine " : "") + "in r"), dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(bytes(dir, "q.icn"), bytes(dir, "r.icn"));
  EXPECT_EQ(bytes(dir, "q.clm"), bytes(dir, "r.clm"));
  // Dithered as kxquant dithers by default: the same palette.
  run(dir, mode + "-o d.icn " + rest);
  EXPECT_EQ(bytes(dir, "d.clm"), bytes(dir, "r.clm"));

  // The PNG: every pixel kxreduce's colour (through libpng and PIL), the
  // palette kxreduce's up to the last entry used, in the PNG's order.
  run(dir, (c.best ? "--best " : "") + mode + c.dither + rest);
  const Indexed expected = readIcon(dir.path("r.icn"), readClm(dir.path("r.clm")));
  const Indexed png = readIndexedPng(dir.path("in-kx.png"));
  const std::vector<uint8_t> seen = pixelColours(expected);
  EXPECT_TRUE(pixelColours(png) == seen);
  EXPECT_TRUE(pilPixels(dir.path("in-kx.png"), "RGB").samples == seen);
  const uint8_t used = *std::max_element(expected.indices.begin(), expected.indices.end());
  EXPECT_EQ(sortedColours(png.palette),
            sortedColours({expected.palette.begin(), expected.palette.begin() + used + 1}));
  EXPECT_TRUE(png.alpha.empty());
  // --best filters the rows of a photograph where that compresses better,
  // with Paeth's predictor among the others.
  if (c.best && std::string(c.picture) == "large") {
    // Its 64 colours take a byte each: 1024 after each row's filter type.
    std::vector<uint8_t> idat, rows(1025 * 2200);
    for (const PngChunk& chunk : pngChunks(bytes(dir, "in-kx.png")))
      if (chunk.type == "IDAT") idat.insert(idat.end(), chunk.data.begin(), chunk.data.end());
    uLongf length = rows.size();
    ASSERT_EQ(uncompress(rows.data(), &length, idat.data(), idat.size()), Z_OK);
    ASSERT_EQ(length, rows.size());
    int paeth = 0;
    for (size_t y = 0; y < 2200; ++y) paeth += rows[y * 1025] == 4;
    EXPECT_GT(paeth, 0);
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Pictures, MatchesKxreduce, ::testing::Values(
    ExactCase{"sample_16_adjusted", "sample", "-n 16 -a "},
    ExactCase{"jpeg", "jpeg", "-n 64 ", false, "--nofs "},
    ExactCase{"photo_adjusted", "photo", "-a 0.4 -n 100 "},
    ExactCase{"noisy_adjusted", "noisy", "-a -n 32 "},
    ExactCase{"jpeg_refined_16", "jpeg", "-n 16 ", true},
    ExactCase{"photo_refined_adjusted", "photo", "-a ", true},
    ExactCase{"sample_16_best", "sample", "-n 16 ", true, "--no-dither ", true},
    ExactCase{"large", "large", "", true},
    ExactCase{"large_best", "large", "-n 64 ", true, "--no-dither ", true}), CaseName());
// clang-format on

// ---- kxquant's own outputs, pinned ---------------------------------------------
// Its dithering, palettes and GIF frames on the samples: each output's CRC-32, size and
// stderr (-v: the engine's steps) as in tests/data/quant/<case>.txt (KX_REGENERATE=1
// rewrites them: only for a deliberate change of the output, said in the commit).
struct PinnedCase {
  const char* name;
  const char* args;  // the last word names the output
};
class Pinned : public InFolder<::testing::TestWithParam<PinnedCase>> {};

TEST_P(Pinned, OutputsAreTheCheckedInBytes) {
  for (const char* s : {"astronaut.png", "astronaut.jpg", "icon.png", "screen.png"})
    fs::copy_file(std::string(KX_SOURCE_DIR) + "/samples/" + s, dir.path(s));
  const std::string args = GetParam().args,
                    golden = KX_SOURCE_DIR "/tests/data/quant/" + std::string(GetParam().name);
  const std::string said = run(dir, args).err;
  const std::vector<uint8_t> out = bytes(dir, args.substr(args.rfind(' ') + 1));
  const std::string got = std::to_string(crc32(0, out.data(), out.size())) + " " +
                          std::to_string(out.size()) + "\n" + said;
  if (std::getenv("KX_REGENERATE")) writeFileBytes(golden + ".txt", {got.begin(), got.end()});
  EXPECT_EQ(got, readFileText(golden + ".txt"));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Samples, Pinned, ::testing::Values(
    PinnedCase{"photo", "astronaut.png -o out.png"},
    PinnedCase{"photo_dither_3_64", "--dither 3 -n 64 astronaut.png -o out.png"},
    PinnedCase{"photo_fit_worst_32", "--fit-worst -n 32 astronaut.png -o out.png"},
    PinnedCase{"photo_cut_by_error_48", "--cut-by-error -n 48 astronaut.jpg -o out.png"},
    PinnedCase{"photo_quality", "-v -Q 40-70 astronaut.png -o out.png"},
    PinnedCase{"screen_fit_worst_64", "--fit-worst -n 64 screen.png -o out.png"},
    PinnedCase{"screen_16_the_last_dithering_option_counts",
               "--dither 2 -a --no-dither -n 16 screen.png -o out.png"},
    PinnedCase{"screen_no_refine_16_best", "--no-refine --best -n 16 screen.png -o out.png"},
    PinnedCase{"icon", "icon.png -o out.png"},
    PinnedCase{"icon_adjusted_64", "-v -a 0.5 -n 64 icon.png -o out.png"},
    PinnedCase{"icon_gif", "icon.png -o out.gif"},
    PinnedCase{"icon_gif_alpha_cut", "--no-alpha-dither -n 32 icon.png -o out.gif"},
    PinnedCase{"frames", "astronaut.png astronaut.jpg screen.png -o out.gif"},
    PinnedCase{"frames_quality", "-v -Q 60 astronaut.png astronaut.jpg -o out.gif"},
    PinnedCase{"frames_of_three_sizes_quality", "-Q 70 astronaut.png screen.png icon.png -o out.gif"}),
    CaseName());
// clang-format on

// ---- Every input format: the same pixels give the same PNG ----------------------

// With or without the refinement: netpbm (PAM with alpha too, RGB_ALPHA and
// GRAYSCALE_ALPHA), kxreduce's picture files named with or without .pic,
// its own PICT output (a true-colour PICT file of 256 colours); an alpha
// channel opaque everywhere changes nothing.
TEST_F(InputFormats, SamePixelsSamePicture) {
  writeSamplePicture(dir.path("in"), 48, 32);
  python(std::string(kSoftPicture) +
             "im.convert('LA').save(sys.argv[2])\n"
             "im.putalpha(255)\n"
             "im.save(sys.argv[3])\n"
             "im.convert('RGB').save(sys.argv[4])\n",
         {dir.path("soft.png"), dir.path("softgrey.png"), dir.path("opaque.png"),
          dir.path("rgb.png")});
  const RunResult made = shell(
      "K=" + quoted(buildDir()) +
          "; $K/kxreduce -o pict in r && $K/kxconv r.pict pict.png && $K/kxconv in.pic in.png && "
          "pngtopam in.png > in.ppm && pngtopam in.png | pamtopam > in.pam && "
          "ppmtopgm in.ppm > in.pgm && $K/kxconv in.pgm grey.png && cp in.png picture && "
          "pngtopam -alphapam soft.png > soft.pam && "
          "pngtopam -alphapam softgrey.png > softgrey.pam",
      dir.path());
  ASSERT_EQ(made.status, 0) << made.err;
  const std::pair<const char*, const char*> cases[] = {
      {"in.ppm", "in.png"},     {"in.pam", "in.png"},      {"in.pic", "in.png"},
      {"picture", "in.png"},    {"in.pgm", "grey.png"},    {"r.pict", "pict.png"},
      {"soft.pam", "soft.png"}, {"opaque.png", "rgb.png"}, {"softgrey.pam", "softgrey.png"},
  };
  for (const std::string refine : {"--no-refine", "-q"}) {
    auto png = [&](const std::string& file) {
      run(dir, refine + " -f -o " + file + ".out.png " + file);
      return bytes(dir, file + ".out.png");
    };
    for (const auto& [input, same] : cases)
      EXPECT_EQ(png(input), png(same)) << input << " " << refine;
    for (const std::string soft : {"soft.png", "softgrey.png"})
      EXPECT_GT(readIndexedPng(dir.path(soft + ".out.png")).alpha.size(), 2u) << soft;
  }
}

// Through shell pipes both ways and FIFOs, the bytes are those of files. A
// FIFO gives its bytes once: its format is told from bytes the input keeps,
// and with one palette for all inputs its picture is kept for the second pass.
TEST_F(InputFormats, PipesBothWaysAndFifosGiveTheBytesOfFiles) {
  writePng(dir, "a", 40, 30, testPixels(40, 30, 2, true));
  const std::string k = buildDir() + "/kxquant";
  run(dir, "-o file.png a.png");
  run(dir, "-n 16 -o file16.png file.png");
  const RunResult r =
      shell("mkfifo f g h && (cat a.png > f &) && (cat a.png > g &) && (cat a.png > h &) && " + k +
                " - < a.png > in.png && " + k + " -o - a.png | cat > out.png && cat a.png | " + k +
                " - | " + k + " -n 16 -o - - | cat > both.png",
            dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  run(dir, "-o fifo.png f");
  for (const char* piped : {"in.png", "out.png", "fifo.png"})
    EXPECT_EQ(bytes(dir, piped), bytes(dir, "file.png")) << piped;
  EXPECT_EQ(bytes(dir, "both.png"), bytes(dir, "file16.png"));
  run(dir, "-o a.gif a.png a.png");
  run(dir, "-o g.gif g a.png");
  EXPECT_EQ(bytes(dir, "g.gif"), bytes(dir, "a.gif"));
  run(dir, "-u --ext .u.png a.png file.png");
  run(dir, "-u -f --ext .u.png h file.png");
  EXPECT_EQ(bytes(dir, "h.u.png"), bytes(dir, "a.u.png"));
}

// ---- One palette for a sequence; animated GIF ---------------------------------

TEST_F(Sequence, UniquePaletteIsKxreducesAndTheGifCentresSmallerFrames) {
  const int sizes[3][2] = {{60, 40}, {30, 50}, {60, 40}};
  for (int f = 0; f < 3; ++f) {
    const std::string name = "f." + std::to_string(f + 1);
    const auto rgb = testPixels(sizes[f][0], sizes[f][1], f + 2, false);
    writePng(dir, name, sizes[f][0], sizes[f][1], rgb);
    writeRgbPicture(dir.path(name), sizes[f][0], sizes[f][1], rgb);
  }
  const std::string inputs = " f.1.png f.2.png f.3.png";
  // kxquant's default is kxreduce's -u with --refine.
  const RunResult r = runProgram("kxreduce", words("-u -n 32 -s 1 3 1 --refine f r"), dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  // Undithered, for kxreduce's indices; no progress line: standard error is not a terminal.
  EXPECT_EQ(run(dir, "-u -n 32 --no-dither" + inputs).err, "");
  const std::vector<Rgb> palette = readClm(dir.path("r-1-3.clm"));
  ASSERT_EQ(palette.size(), 32u);
  std::vector<Rgb> pngPalette;
  for (int f = 1; f <= 3; ++f) {
    // Every frame keeps the whole palette, in one order, and every pixel gets kxreduce's colour.
    const Indexed png = readIndexedPng(dir.path("f." + std::to_string(f) + "-kx.png"));
    if (f == 1) pngPalette = png.palette;
    EXPECT_EQ(png.palette, pngPalette) << f;
    EXPECT_EQ(sortedColours(png.palette), sortedColours(palette)) << f;
    const Indexed reduced = readIcon(dir.path("r." + std::to_string(f) + ".icn"), palette);
    EXPECT_TRUE(pixelColours(png) == pixelColours(reduced)) << f;
  }

  // The GIF's palette is counted from every pixel of every frame; each
  // pixel gets its nearest entry.
  run(dir, "-n 32 --no-dither --delay 250 --loop 3 -o anim.gif" + inputs);
  const GifFile gif = readGif(dir.path("anim.gif"));
  // The transparent entry for unchanged pixels, then the palette, padded.
  ASSERT_EQ(gif.palette.size(), 64u);
  const std::vector<std::vector<int>> shown = composeGif(gif);
  ASSERT_EQ(shown.size(), 3u);
  const int places[3][2] = {{0, 5}, {15, 0}, {0, 5}};
  for (int f = 0; f < 3; ++f) {
    // Around a smaller frame the screen shows its background.
    std::vector<int> want(60 * 50, -1);
    const auto rgb = testPixels(sizes[f][0], sizes[f][1], f + 2, false);
    for (int i = 0; i < sizes[f][0] * sizes[f][1]; ++i) {
      const int x = places[f][0] + i % sizes[f][0], y = places[f][1] + i / sizes[f][0];
      want[y * 60 + x] = nearest(gif.palette, 1, 33, &rgb[3 * i]);
    }
    EXPECT_EQ(shown[f], want) << f;
  }
  // The loop count in the one form every viewer reads: a 3-byte block.
  const std::string loop("NETSCAPE2.0\x03\x01\x03\x00\x00", 16);
  EXPECT_NE(readFileText(dir.path("anim.gif")).find(loop), std::string::npos);
}

// A GIF's frames composed into RGB samples.
std::vector<std::vector<uint8_t>> shownFrames(const std::string& path) {
  const GifFile gif = readGif(path);
  std::vector<std::vector<uint8_t>> frames;
  for (const std::vector<int>& shown : composeGif(gif)) {
    std::vector<uint8_t>& rgb = frames.emplace_back();
    for (const int i : shown)
      rgb.insert(rgb.end(), {gif.palette.at(i).r, gif.palette.at(i).g, gif.palette.at(i).b});
  }
  return frames;
}

using Colour = std::array<int, 3>;

// Frames f0.png, f1.png... of one size, the colour of each pixel from
// colour(frame, x, y), row by row; returns " f0.png f1.png...".
std::string writeFrames(const TempDir& dir, int count, int width, int height,
                        const std::function<Colour(int, int, int)>& colour) {
  std::string names;
  for (int f = 0; f < count; ++f) {
    std::vector<uint8_t> rgb;
    for (int i = 0; i < width * height; ++i)
      for (const int v : colour(f, i % width, i / width)) rgb.push_back(static_cast<uint8_t>(v));
    writePng(dir, "f" + std::to_string(f), width, height, rgb);
    names += " f" + std::to_string(f) + ".png";
  }
  return names;
}

// Below quality 100 a GIF spends looks for bytes: over a still gradient
// under noise, with a bar moving across it, every pixel shows a colour
// within twice the tolerance of the lossless GIF's (kept as shown, then
// coded with a stand-in), the moving bar is drawn where it is, the file is
// much smaller, and the bytes are the same on one thread as on two. A
// single frame, with nothing on screen to keep, is smaller by the stand-ins
// alone.
TEST_F(Sequence, QualityKeepsEveryPixelWithinTheTolerance) {
  std::mt19937 random(5);
  std::normal_distribution<double> noise(0, 2.5);
  std::string names = writeFrames(dir, 6, 96, 64, [&](int f, int x, int y) {
    const bool bar = x >= 12 * f && x < 12 * f + 8;
    Colour c = {40 + 2 * x, 30 + 3 * y, 128};
    for (int& v : c) {
      const double shade = bar ? 255 - v : v + noise(random);
      v = static_cast<int>(std::clamp(std::lround(shade), 0L, 255L));
    }
    return c;
  });
  auto gif = [&](const std::string& out, const std::string& options, const char* threads) {
    const RunResult r = runProgram("kxquant", words(options + "--no-dither -o " + out + names),
                                   RunOptions{.cwd = dir.path(), .env = {threads}});
    EXPECT_EQ(r.status, 0) << r.err;
    return bytes(dir, out);
  };
  const auto lossless = gif("lossless.gif", "", "KX_THREADS=2");
  const auto one = gif("one.gif", "-Q 60 ", "KX_THREADS=1");
  EXPECT_EQ(gif("two.gif", "-Q 60 ", "KX_THREADS=2"), one);
  EXPECT_LT(one.size(), lossless.size() * 3 / 4);
  const auto exact = shownFrames(dir.path("lossless.gif"));
  const auto shown = shownFrames(dir.path("one.gif"));
  ASSERT_EQ(shown.size(), exact.size());
  int worst = 0;
  for (size_t f = 0; f < shown.size(); ++f) {
    for (size_t i = 0; i < shown[f].size(); i += 3) {
      const uint8_t *a = &shown[f][i], *b = &exact[f][i];
      worst = std::max(worst, weightedDistance2(a[0], a[1], a[2], b[0], b[1], b[2]));
    }
  }
  EXPECT_LE(worst, 4 * 9 * 12 * 12);  // twice 0.3 x (100 - 60), squared, as weightedDistance2
  EXPECT_GT(worst, 0);
  names = " f0.png";
  EXPECT_LT(gif("still.gif", "-Q 60 ", "KX_THREADS=2").size(),
            gif("still-lossless.gif", "", "KX_THREADS=2").size() * 9 / 10);
}

// A sequence's palette lists the transparent entry, then the colours of
// the pixels that change after the first frame, so that those frames hold
// small indices: over eight still stripes, a patch that flickers between
// red and blue.
TEST_F(Sequence, ColoursThatChangeComeFirst) {
  const std::string names = writeFrames(dir, 6, 64, 16, [](int f, int x, int y) {
    if (x >= 30 && x < 34 && y >= 6 && y < 10) return f % 2 ? Colour{0, 0, 255} : Colour{255, 0, 0};
    const int stripe = 20 + 30 * (x / 8);
    return Colour{stripe, stripe, stripe};
  });
  run(dir, "--no-dither -o a.gif" + names);
  const GifFile gif = readGif(dir.path("a.gif"));
  EXPECT_EQ(sortedColours({gif.palette[1], gif.palette[2]}),
            (std::vector<std::tuple<int, int, int>>{{0, 0, 255}, {255, 0, 0}}));
}

// A colour of few pixels in one frame, far from all others, gets an entry of
// its own in a sequence's palette: the boxes are cut where the error is
// (cut by population, two close greys would take both entries).
TEST_F(Sequence, ARareFarColourKeepsItsEntry) {
  const std::string names = writeFrames(dir, 3, 40, 20, [](int f, int x, int y) {
    if (f == 1 && x >= 30 && x < 35 && y >= 5 && y < 10) return Colour{255, 0, 0};
    const int grey = x < 20 ? 40 : 60;
    return Colour{grey, grey, grey};
  });
  run(dir, "-n 2 --no-dither -o a.gif" + names);
  const std::vector<std::vector<uint8_t>> shown = shownFrames(dir.path("a.gif"));
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[1][3 * (7 * 40 + 32)], 255);  // the patch
  EXPECT_EQ(shown[2][0], 50);                   // both greys
}

// A sequence's palette keeps every colour when there are at most 255, even
// colours one level apart (binned, they would share an entry), and serves
// frames of many colours, binned, closely and in little memory.
TEST_F(Sequence, FewColoursStayExactManyClose) {
  std::vector<uint8_t> few[2], many[2];
  for (int f = 0; f < 2; ++f) {
    for (int i = 0; i < 250; ++i) {
      const int c = (i + 125 * f) % 250;
      few[f].insert(few[f].end(), {static_cast<uint8_t>(c / 2), 200, static_cast<uint8_t>(c % 2)});
    }
    writePng(dir, "f" + std::to_string(f), 25, 10, few[f]);
    writePng(dir, "m" + std::to_string(f), 400, 300, many[f] = testPixels(400, 300, f, true));
  }
  run(dir, "-o a.gif f0.png f1.png");
  EXPECT_EQ(shownFrames(dir.path("a.gif")), (std::vector{few[0], few[1]}));
  // Binned coarser in a table of their own size.
  const RunResult r = run(dir, "-f -o a.gif m0.png m1.png");
#ifndef KX_SANITIZED
  EXPECT_LT(r.maxRssKb, 64 * 1024);
#endif
  const std::vector<std::vector<uint8_t>> shown = shownFrames(dir.path("a.gif"));
  ASSERT_EQ(shown.size(), 2u);
  for (int f = 0; f < 2; ++f) {
    int64_t error = 0;
    for (size_t k = 0; k < many[f].size(); ++k) error += std::abs(shown[f][k] - many[f][k]);
    EXPECT_LT(error, 10 * static_cast<int64_t>(many[f].size())) << "frame " << f;
  }
}

// Frame i starts at round(100 i / rate) hundredths of a second; an
// animation's own frame durations set the clock unless an option does (the
// WebP's frames start at 0, 84, 205, 700205 and 700220 ms, rounded to hundredths).
struct TimingCase {
  const char* name;
  std::string options;  // split at each space
  std::vector<int> delays;
  std::string err;
  bool loops = true;
  bool webp = false;  // the input: an animated WebP of 4 frames, else 7 pictures
};

class GifTiming : public InFolder<::testing::TestWithParam<TimingCase>> {};

TEST_P(GifTiming, DelaysFollowTheClock) {
  std::vector<std::string> args = words("-o a.gif " + GetParam().options);
  if (GetParam().webp) {
    python(
        "fr = [Image.new('RGB', (20, 10), (60 * i, 100, 200 - 40 * i)) for i in range(4)]\n"
        "fr[0].save(sys.argv[1], save_all=True, append_images=fr[1:], "
        "duration=[84, 121, 700000, 15], lossless=True)\n",
        {dir.path("a.webp")});
    args.push_back("a.webp");
  }
  for (int f = 0; f < 7 && !GetParam().webp; ++f) {
    const std::string name = "f" + std::to_string(f);
    writeRgbPicture(dir.path(name), 20, 10, testPixels(20, 10, f, false));
    args.push_back(name + ".pic");
  }
  const RunResult r = runProgram("kxquant", args, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, GetParam().err);
  std::vector<int> delays;
  for (const GifFrame& f : readGif(dir.path("a.gif")).frames) delays.push_back(f.delay);
  EXPECT_EQ(delays, GetParam().delays);
  EXPECT_EQ(pilDescribe(dir.path("a.gif"), "im.info.get('loop')"),
            GetParam().loops ? "0\n" : "None\n");
}

const std::string kShortFrames =
    "gives frames of 1/100 s; browsers show frames shorter than 2/100 s for 10/100 s\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Clocks, GifTiming, ::testing::Values(
    TimingCase{"NtscRatio", "--fps 30000/1001", {3, 4, 3, 3, 4, 3, 3}, ""},
    TimingCase{"Decimal", "--fps=12.5", {8, 8, 8, 8, 8, 8, 8}, ""},
    // For ever is the default, and may be given.
    TimingCase{"LoopZero", "--loop 0", {10, 10, 10, 10, 10, 10, 10}, ""},
    TimingCase{"LongestDelay", "--delay 655350", std::vector<int>(7, 65535), ""},
    TimingCase{"ShortDelayPlayedOnce", "--delay 15 --no-loop", {2, 1, 2, 1, 2, 1, 2},
               "kxquant: warning: --delay 15 " + kShortFrames, false},
    // 700 s: longer than a GIF frame can last, held as long as it can.
    TimingCase{"AnimationsOwnClock", "", {8, 13, 65535, 1},
               "kxquant: warning: a.webp: the animation's clock " + kShortFrames +
               "kxquant: warning: a.webp: frame 3 lasts 70000/100 s; a GIF frame lasts at most "
               "65535/100 s, and is held so long\n", true, true},
    TimingCase{"DelayOverAnimationsClock", "--delay 70", {7, 7, 7, 7}, "", true, true}),
    CaseName());
// clang-format on

// ---- Transparency and alpha ---------------------------------------------------------

// The worse, over white and over black, of the composited PSNR.
double compositedPsnr(const Raster& a, const Raster& b) {
  double worst = 1e9;
  for (int background : {0, 255}) {
    double sum = 0;
    for (size_t i = 0; i < a.samples.size(); ++i) {
      const size_t alpha = i | 3;  // the pixel's alpha sample
      auto seen = [&](const Raster& r) {
        return (r.samples[i] * r.samples[alpha] + background * (255 - r.samples[alpha])) / 255.0;
      };
      if (i != alpha) sum += (seen(a) - seen(b)) * (seen(a) - seen(b));
    }
    worst = std::min(worst, 10 * std::log10(255.0 * 255.0 * 3 * a.samples.size() / 4 / sum));
  }
  return worst;
}

// A PNG keeps alpha per entry, seen alike by libpng and PIL, for each choice
// of options with its least composited PSNR. A GIF dithers soft alpha, 0 and
// 255 as they are; --no-alpha-dither cuts it at 128. White at alpha 77 shows
// 30 % of its pixels; black at 77 shows 39 %, a third of the way to the 55 %
// whose light over white is that of its composite (sRGB 178).
TEST_F(Transparency, SoftAlphaKeptPerEntryInAPngDitheredOrCutAtHalfInAGif) {
  python(kSoftPicture, {dir.path("a.png")});
  const Raster original = pilPixels(dir.path("a.png"));
  for (const auto& [options, psnr] :
       {std::pair{"", 45}, {"-n 16 -a ", 28}, {"--no-refine --best ", 38}}) {
    SCOPED_TRACE(options);
    run(dir, std::string(options) + "-f a.png");
    const Raster seen = pilPixels(dir.path("a-kx.png"));
    const Indexed png = readIndexedPng(dir.path("a-kx.png"));
    // The translucent entries first, so that tRNS stops at the last of them.
    const size_t translucent = png.alpha.size();
    ASSERT_GT(translucent, 2u);
    EXPECT_LT(translucent, png.palette.size());
    for (size_t i = 0; i < translucent; ++i) EXPECT_LT(png.alpha[i], 255) << "entry " << i;
    EXPECT_TRUE(pixelColours(png, true) == seen.samples);
    // Transparent pixels of every colour: one entry, transparent.
    std::set<uint8_t> transparent;
    for (size_t i = 0; i < png.indices.size(); ++i)
      if (original.samples[4 * i + 3] == 0) transparent.insert(png.indices[i]);
    ASSERT_EQ(transparent.size(), 1u);
    EXPECT_EQ(png.alpha.at(*transparent.begin()), 0);
    EXPECT_GE(compositedPsnr(original, seen), psnr);
  }
  for (const bool dithered : {true, false}) {
    run(dir, std::string(dithered ? "" : "--no-alpha-dither ") + "-f -o a.gif a.png");
    const GifFile gif = readGif(dir.path("a.gif"));
    ASSERT_EQ(gif.frames.size(), 1u);
    const std::vector<int> shown = composeGif(gif)[0];
    for (size_t i = 0; i < shown.size(); ++i) {
      const int alpha = original.samples[4 * i + 3];
      if (!dithered || alpha == 0 || alpha == 255) {
        ASSERT_EQ(shown[i] < 0, alpha < 128) << "pixel " << i << " " << dithered;
      }
    }
  }
  python(
      "im = Image.new('RGBA', (64, 32), (255, 255, 255, 77))\n"
      "im.paste((0, 0, 0, 77), (32, 0, 64, 32))\n"
      "im.save(sys.argv[1])\n",
      {dir.path("b.png")});
  run(dir, "-f -o b.gif b.png");
  const std::vector<int> shown = composeGif(readGif(dir.path("b.gif")))[0];
  int white = 0, black = 0;
  for (size_t i = 0; i < shown.size(); ++i) (i % 64 < 32 ? white : black) += shown[i] >= 0;
  EXPECT_NEAR(white / 1024.0, 0.30, 1 / 64.0);
  EXPECT_NEAR(black / 1024.0, 0.39, 1 / 64.0);
}

// Pixels only transparent or opaque: the opaque ones' 96 colours are kept
// exactly, whatever the transparent ones hold.
TEST_F(Transparency, OpaqueColoursBesideTransparentPixelsStayExact) {
  python(
      "im = Image.new('RGBA', (16, 8))\nim.putdata([(x * 16, y * 32, 77, 0 if x < 4 else 255) "
      "for y in range(8) for x in range(16)])\nim.save(sys.argv[1])\n",
      {dir.path("a.png")});
  run(dir, "-o b.png a.png");
  const Raster in = pilPixels(dir.path("a.png")), out = pilPixels(dir.path("b.png"));
  for (size_t i = 0; i < 16 * 8; ++i)
    for (size_t c = in.samples[4 * i + 3] == 0 ? 3 : 0; c < 4; ++c)
      ASSERT_EQ(out.samples[4 * i + c], in.samples[4 * i + c]) << "pixel " << i;
}

// ---- Quality targets, many inputs at once -----------------------------------

TEST_F(Workflow, AHigherQualityTargetNeverGivesFewerColours) {
  fs::copy_file(std::string(KX_SOURCE_DIR) + "/samples/astronaut.png", dir.path("in.png"));
  int before = 0;
  for (int target : {0, 65, 80, 100}) {
    // The verbose summary's palette size and quality.
    const std::string said = run(dir, "-v -f -Q " + std::to_string(target) + " in.png").err;
    int entries = 0, quality = -1;
    std::sscanf(said.c_str() + said.rfind(": "), ": %*d x %*d, %d palette entries, quality %d",
                &entries, &quality);
    EXPECT_GE(entries, before) << target;
    EXPECT_TRUE(quality >= target || entries == 256) << target << ": " << quality;
    EXPECT_EQ(readIndexedPng(dir.path("in-kx.png")).palette.size(), static_cast<size_t>(entries));
    before = entries;
  }
  EXPECT_GT(before, 16);                                  // the targets spanned the range
  EXPECT_EQ(run(dir, "-v -q -f -Q 100 in.png").err, "");  // the last
}

// Side by side or one at a time: the same files, messages and status.
TEST_F(Workflow, ManyInputsSideBySideAsOneAtATime) {
  std::vector<std::string> args = {"-v", "-Q", "50-90", "--skip-if-larger"};
  for (int i = 0; i < 7; ++i) {
    const std::string name = "p" + std::to_string(i);
    writePng(dir, name, 50 + 10 * i, 40, testPixels(50 + 10 * i, 40, i, i % 2 == 1));
    args.push_back(name + ".png");
  }
  makeJpeg(dir.path("small.jpg"), 20, 10, "RGB", "quality=90");
  writeFileBytes(dir.path("bad.png"), {0x89, 'P', 'N', 'G'});
  args.insert(args.begin() + 6, {"small.jpg", "bad.png"});
  // Status, standard error and output, and the files.
  std::vector<std::tuple<int, std::string, std::string, FolderSnapshot>> runs;
  for (const char* threads : {"KX_THREADS=1", "KX_THREADS=4"}) {
    TempDir out;
    fs::copy(dir.path(), out.path());
    const RunResult r =
        runProgram("kxquant", args, RunOptions{.cwd = out.path(), .env = {threads}});
    runs.emplace_back(r.status, r.err, r.out, snapshotFolder(out.path()));
  }
  EXPECT_EQ(runs[1], runs[0]);
  const auto& [status, err, out, files] = runs[0];
  EXPECT_EQ(status, 1) << err;
  // Every input written but bad.png and the three noisy ones below quality 50.
  EXPECT_EQ(files.size(), 9u + 5u);
  EXPECT_NE(err.find("p5.png: quality "), std::string::npos);
}

// Noise of many greens around a smooth patch of colours among them: a
// palette that follows the pixel counts leaves the patch between its
// entries, one chosen again for its worst places serves it.
TEST_F(Workflow, FitWorstServesASmoothPlaceAmongNoise) {
  constexpr int kSide = 128;
  std::mt19937 random(1);
  std::vector<uint8_t> rgb(kSide * kSide * 3);
  for (size_t i = 0; i < rgb.size(); i += 3) {
    rgb[i] = static_cast<uint8_t>(20 + random() % 100);
    rgb[i + 1] = static_cast<uint8_t>(80 + random() % 140);
    rgb[i + 2] = static_cast<uint8_t>(random() % 60);
  }
  auto patch = [&](auto each) {
    for (int y = 48; y < 80; ++y)
      for (int x = 48; x < 80; ++x) each(static_cast<size_t>(y * kSide + x) * 3, x - 48, y - 48);
  };
  patch([&](size_t at, int x, int y) {
    rgb[at] = static_cast<uint8_t>(60 + x / 4);
    rgb[at + 1] = static_cast<uint8_t>(140 + y / 4);
    rgb[at + 2] = 30;
  });
  writePng(dir, "in", kSide, kSide, rgb);
  run(dir, "-n 8 -o plain.png in.png");
  run(dir, "-n 8 --fit-worst -o fit.png in.png");
  auto patchError = [&](const std::string& name) {
    const std::vector<uint8_t> seen = pilPixels(dir.path(name), "RGB").samples;
    double sum = 0;
    patch([&](size_t at, int, int) {
      for (size_t c = 0; c < 3; ++c) sum += std::abs(seen[at + c] - rgb[at + c]);
    });
    return sum / (32 * 32 * 3);
  };
  EXPECT_LT(patchError("fit.png"), 0.7 * patchError("plain.png"));
}

// An ICC profile (PNG iCCP, JPEG APP2) and the pixel density are carried
// byte for byte, also from a grey picture; --strip drops them.
TEST_F(Workflow, ColourProfileCarriedUnlessStripped) {
  python(
      "from PIL import ImageCms\n"
      "icc = ImageCms.ImageCmsProfile(ImageCms.createProfile('sRGB')).tobytes()\n"
      "open(sys.argv[1] + '/in.icc', 'wb').write(icc)\n"
      "im = Image.new('RGB', (30, 20))\n"
      "im.putdata([(x * 8, y * 12, 90) for y in range(20) for x in range(30)])\n"
      "im.save(sys.argv[1] + '/p.png', icc_profile=icc, dpi=(300, 300))\n"
      "im.save(sys.argv[1] + '/j.jpg', icc_profile=icc, dpi=(300, 300))\n"
      "im.convert('L').save(sys.argv[1] + '/g.jpg', icc_profile=icc, dpi=(300, 300))\n",
      {dir.path()});
  for (const char* input : {"p.png", "j.jpg", "g.jpg"}) {
    run(dir, std::string("-o kept.png -f ") + input);
    EXPECT_EQ(pilDescribe(dir.path("kept.png"),
                          "im.info['icc_profile'] == open(sys.argv[1][:-8] + 'in.icc', "
                          "'rb').read(), im.info.get('dpi')"),
              "True (299.9994, 299.9994)\n")
        << input;
    run(dir, std::string("--strip -o stripped.png -f ") + input);
    EXPECT_EQ(pilDescribe(dir.path("stripped.png"), "'icc_profile' in im.info, im.info.get('dpi')"),
              "False None\n")
        << input;
  }
}

// ---- Refusals: one line each, the other inputs done, nothing partial ------------
// An input is replaced only when named and forced, and whole.

struct RefusalCase {
  const char* name;
  std::string args;  // the arguments, split at each space
  int status;
  std::string err;
  const char* created = "";  // the new file in the folder, if any
  bool replaced = false;     // a.png is now kxquant's output of the old a.png
  long sizeLimit = 0;        // bytes a file may grow to (a full disk)
};

class Refusals : public InFolder<::testing::TestWithParam<RefusalCase>> {};

TEST_P(Refusals, SayWhatIsWrongAndKeepEveryFile) {
  const RefusalCase& c = GetParam();
  writePng(dir, "good", 20, 10, testPixels(20, 10, 3, false));
  writePng(dir, "2004photo", 20, 10, testPixels(20, 10, 4, false));
  fs::copy_file(dir.path("good.png"), dir.path("good-kx.png"));  // an old output
  fs::copy_file(dir.path("good.png"), dir.path("same.png"));
  fs::copy_file(dir.path("good.png"), dir.path("png.gif"));  // misnamed
  writeFileBytes(dir.path("bad.png"), {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0});
  makeJpeg(dir.path("same.jpg"), 20, 10, "RGB", "quality=90");
  writeFileBytes(dir.path("notes.txt"), {'h', 'i', '\n'});
  fs::create_directory(dir.path("in-the-way.clm"));
  fs::create_symlink("gone.png", dir.path("dangling.png"));
  for (const std::string pict : {"cut.pict", "big.pict"})  // rows cut short; over the limit
    fs::copy_file(std::string(KX_SOURCE_DIR) + "/tests/data/safety/" + pict, dir.path(pict));
  writePng(dir, "a", 60, 40, testPixels(60, 40, 3, true));
  for (const char* jpeg : {"a.jpg", "b.jpg"}) fs::copy_file(dir.path("same.jpg"), dir.path(jpeg));
  if (c.replaced) run(dir, "-o expected.png a.png");
  FolderSnapshot before = snapshotFolder(dir.path());
  const RunResult r = runProgram("kxquant", words(c.args),
                                 RunOptions{.cwd = dir.path(), .fileSizeLimit = c.sizeLimit});
  EXPECT_EQ(r.status, c.status) << r.err;
  const std::string usage =
      c.status == 2 ? "Usage: kxquant [options] INPUT... (kxquant --help)\n" : "";
  EXPECT_EQ(r.err, (c.err.empty() ? "" : "kxquant: " + c.err) + usage);
  EXPECT_EQ(r.out, "");
  FolderSnapshot after = snapshotFolder(dir.path());
  if (c.replaced) {
    EXPECT_EQ(bytes(dir, "a.png"), bytes(dir, "expected.png"));
    for (FolderSnapshot* files : {&before, &after})
      std::erase_if(*files, [](const auto& e) { return e.first == "a.png"; });
  }
  const std::string made = c.created;
  if (!made.empty()) {  // new, or replacing an old output
    std::erase_if(before, [&](const auto& e) { return e.first == made; });
    EXPECT_EQ(std::erase_if(after, [&](const auto& e) { return e.first == made; }), 1u);
    if (made.ends_with(".gif")) {
      // Two equal frames: one, shown for the time of both.
      const GifFile gif = readGif(dir.path(made));
      ASSERT_EQ(gif.frames.size(), 1u);
      EXPECT_EQ(gif.frames[0].delay, 20);
    } else {
      EXPECT_NO_THROW(readIndexedPng(dir.path(made)));
    }
  }
  EXPECT_EQ(after, before);
}

// clang-format off
const RefusalCase kRefusals[] = {
    {"missing_input_others_done", "nope.png same.png", 1,
     "nope.png: cannot open: No such file or directory\n", "same-kx.png"},
    {"standard_input_twice", "-o a.gif - -", 2,
     "- (the standard input) is given more than once; it can be read only once\n"},
    {"gif_of_the_inputs_that_could_be_read", "-o anim.gif same.png bad.png good.png", 1,
     "bad.png: corrupt PNG file (the file ends too early)\n", "anim.gif"},
    {"not_a_picture", "notes.txt", 1, "notes.txt: not a picture kxquant reads (PNG, JPEG, WebP, "
     "GIF, TIFF, PPM/PGM/PBM/PAM, YUV4MPEG2, .pic or .pict)\n"},
    {"existing_output", "good.png", 1, "good-kx.png: already exists (-f replaces it)\n"},
    {"force_replaces_an_old_output_joined_flags", "-fq good.png", 0, "", "good-kx.png"},
    {"gif_over_its_input", "-f -o png.gif png.gif", 1,
     "png.gif: is an input picture; kxquant never overwrites its inputs\n"},
    {"output_is_its_input_without_force", "-o same.png same.png", 1,
     "same.png: is the input picture (--force replaces it)\n"},
    {"quality_not_reached", "-Q 90-100 -n 32 2004photo.png", 99,
     "2004photo.png: quality 9 with 32 colours, below the minimum 90; nothing written\n"},
    {"skipped_as_larger", "--skip-if-larger same.jpg", 98, "same.jpg: the result (890 bytes) is "
     "not smaller than the input (737 bytes); nothing written\n"},
    {"ext_not_png", "--ext .gif same.png", 2,
     "--ext takes a suffix ending in .png, such as -kx.png or .png, not \".gif\"\n"},
    {"ext_and_output", "--ext .png -o x.png same.png", 2,
     "--ext and -o both name the output; give one\n"},
    {"quality_backwards", "--quality=80-60 same.png", 2,
     "--quality takes MIN-MAX, qualities from 0 to 100 with MIN at most MAX, not \"80-60\"\n"},
    {"quality_with_one_palette_for_all", "-Q 80 -u same.png good.png", 2,
     "--quality applies to a PNG output of each input, without -u, or to a .gif\n"},
    {"two_inputs_one_output", "same.png same.jpg", 1, "same-kx.png: is also the output of "
     "same.png; name the outputs with -o, one input at a time\n", "same-kx.png"},
    // Outputs that cannot be made are refused before any input is read.
    {"no_such_folder", "-o nodir/x.png same.png", 1,
     "nodir/x.png: the folder nodir does not exist\n"},
    {"colormap_name_is_a_folder", "-f -o in-the-way.icn same.png", 1,
     "in-the-way.clm: is a folder\n"},
    {"output_is_a_link_to_nothing", "-o dangling.png same.png", 1,
     "dangling.png: already exists (-f replaces it)\n"},
    {"empty_output_name", "-o  same.png", 2, "-o names no file (the name is empty)\n"},
    {"delay_without_a_gif", "--delay 500 same.png", 2,
     "--delay applies to a .gif output only (-o NAME.gif)\n"},
    {"digits_are_a_file_not_a_factor", "-a 2004photo.png", 0, "", "2004photo-kx.png"},
    {"no_input", "-n 16", 2, "no input picture\n"},
    {"too_few_colours_joined_value", "-n1 same.png", 2,
     "-n takes a number of colours from 2 to 256, not \"1\"\n"},
    {"factor_out_of_range", "--adjust=1.5 same.png", 2,
     "--adjust takes a factor above 0 and at most 1, not \"1.5\"\n"},
    {"dither_level_out_of_range", "--dither 4 same.png", 2,
     "--dither takes a level from 1 to 3, not \"4\"\n"},
    {"unknown_option", "-x same.png", 2, "unknown option -x\n"},
    {"one_output_two_inputs", "-o x.png same.png good.png", 2,
     "-o names one output; give one input, or a .gif for all of them\n"},
    {"unknown_output_kind", "-o x.bmp same.png", 2,
     "x.bmp: unknown output extension (kxquant writes .png, .gif and .icn)\n"},
    {"missing_value", "same.png --delay", 2, "--delay needs a value\n"},
    {"no_frame_rate", "--fps 0 same.png", 2, "--fps takes a frame rate above 0, not \"0\"\n"},
    {"negative_frame_rate", "--fps=-25 same.png", 2,
     "--fps takes a frame rate written as 25, 29.97 or 30000/1001, not \"-25\"\n"},
    {"half_a_ratio", "--fps 30000/ same.png", 2,
     "--fps takes a frame rate written as 25, 29.97 or 30000/1001, not \"30000/\"\n"},
    {"frames_too_long_for_gif", "--fps 1/700 -o a.gif same.png", 2,
     "--fps 1/700: a GIF frame lasts at most 655.35 seconds\n"},
    {"frame_rate_too_slow_for_gif", "--fps 0.000000001 -o a.gif same.png", 2,
     "--fps 0.000000001: a GIF frame lasts at most 655.35 seconds\n"},
    {"best_for_a_gif", "--best -o a.gif same.png", 2,
     "--best applies to a PNG output only (its compression)\n"},
    // Each told in its own words; no file server's record made beside them.
    {"two_broken_picts", "cut.pict big.pict", 1,
     "cut.pict: cannot read the PICT picture (Can't read file cut.pict)\nkxquant: big.pict: "
     "cannot read the PICT picture (big.pict: the picture is 32767 x 32767 pixels, over the "
     "limit of 134217728 pixels (set KX_MAX_PIXELS to change it))\n"},
    {"two_clocks", "--fps 25 --delay 40 -o a.gif same.png", 2,
     "--fps and --delay both set the frame time; give one\n"},
    {"ext_and_force_replace_the_input", "--ext .png --force a.png b.jpg", 0, "", "b.png", true},
    {"output_and_force_replace_the_input", "-f -o a.png a.png", 0, "", "", true},
    // a.png is replaced by its own output, never by a.jpg's.
    {"input_kept_as_another_inputs_output", "-f --ext .png a.jpg a.png", 1,
     "a.png: is an input picture; kxquant never overwrites its inputs\n", "", true},
    {"disk_full_keeps_the_original", "--ext .png -f a.png", 1,
     "a.png: cannot write: File too large\n", "", false, 1000},
    // Nor is a GIF left half-written, and the failure is said.
    {"gif_on_a_full_disk", "-o a.gif a.png b.jpg", 1, "a.gif: cannot write: File too large\n", "",
     false, 1000}};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, Refusals, ::testing::ValuesIn(kRefusals), CaseName());

// (--help and --version are checked with every tool's by the install test.)
// On a terminal several inputs show one progress line that rewrites itself;
// -q silences it. script(1) gives the run a terminal.
TEST_F(Workflow, ProgressOnATerminalOnly) {
  for (const char* name : {"a", "b", "c"})
    writePng(dir, name, 20, 10, testPixels(20, 10, 3, false));
  auto onTerminal = [&](const std::string& args) {
    const RunResult r =
        runProgram("/usr/bin/script", {"-qec", buildDir() + "/kxquant " + args, "/dev/null"},
                   RunOptions{.cwd = dir.path()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return r.out;
  };
  const std::string several = onTerminal("-f a.png b.png c.png");
  EXPECT_NE(several.find("\rkxquant: frames 3/3, "), std::string::npos) << several;
  EXPECT_NE(several.find("s left"), std::string::npos) << several;
  EXPECT_EQ(onTerminal("-f a.png b.png c.png -q"), "");
  // A GIF's frames (a stream's too, one input): read, then written.
  const std::string gif = onTerminal("-f -o a.gif - < a.png");
  EXPECT_NE(gif.find("\rkxquant: frames read: 1, "), std::string::npos) << gif;
  EXPECT_NE(gif.find("\rkxquant: frames written: 1/1, "), std::string::npos) << gif;
}

}  // namespace
}  // namespace kx
