// kxquant end to end on real files: the palette and indices are kxreduce's
// (its own files byte for byte, PNG read back through libpng and PIL), a
// picture over kxreduce's limit gets what `kxreduce -z <target>` gives,
// transparency, GIF sequences, refusals and the command line.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <tuple>

#include "quant_support.h"
#include "support/pictures.h"

namespace kx {
namespace {

// Ramps with noise: `noisy` makes far more colours than kxreduce's limit
// leaves after its compression.
std::vector<uint8_t> rampPicture(int width, int height, int seed, bool noisy) {
  std::vector<uint8_t> rgb;
  uint32_t s = static_cast<uint32_t>(seed) * 2654435761u + 1;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      s = s * 1664525 + 1013904223;
      const int n = noisy ? static_cast<int>(s >> 24) : static_cast<int>(s >> 30);
      rgb.push_back(static_cast<uint8_t>(x * 255 / width ^ (n & 63)));
      rgb.push_back(static_cast<uint8_t>(y * 255 / height ^ (n >> 2)));
      rgb.push_back(static_cast<uint8_t>((x + 2 * y + seed * 40) ^ n));
    }
  }
  return rgb;
}

// name.png from RGB samples, through a picture file and kxconv.
void writePng(const TempDir& dir, const std::string& name, int width, int height,
              const std::vector<uint8_t>& rgb) {
  writeRgbPicture(dir.path(name + ".tmp"), width, height, rgb);
  const RunResult r = runProgram("kxconv", {name + ".tmp.pic", name + ".png"}, dir.path());
  if (r.status != 0) throw std::runtime_error("kxconv: " + r.err);
  std::filesystem::remove(dir.path(name + ".tmp.pic"));
}

// ---- The same palette and indices as kxreduce ----------------------------------

struct ExactCase {
  const char* name;
  const char* picture;  // sample, jpeg, photo (samples/astronaut.png), noisy
  std::vector<std::string> options;
  bool refine = false;  // kxquant's default against kxreduce --refine, else --no-refine
  // kxquant's choice of dithering, before the options: its own dithering
  // changes the indices, not the palette; -a, the last one given, is
  // kxreduce's.
  const char* dither = "--no-dither";
};

std::ostream& operator<<(std::ostream& os, const ExactCase& c) {
  return os << c.name;
}

// Writes the input picture; returns its file name.
std::string makeInput(const TempDir& dir, const std::string& kind) {
  if (kind == "jpeg") {
    makeJpeg(dir.path("in.jpg"), 90, 70, "RGB", "quality=85");
    return "in.jpg";
  }
  if (kind == "photo") {
    std::filesystem::copy_file(std::string(KX_SOURCE_DIR) + "/samples/astronaut.png",
                               dir.path("in.png"));
  } else if (kind == "noisy") {
    writePng(dir, "in", 400, 300, rampPicture(400, 300, 1, true));
  } else {
    writeSamplePicture(dir.path("in.tmp"), 96, 64);
    runProgram("kxconv", {"in.tmp.pic", "in.png"}, dir.path());
  }
  return "in.png";
}

class MatchesKxreduce : public ::testing::TestWithParam<ExactCase> {};

TEST_P(MatchesKxreduce, PaletteAndIndices) {
  const ExactCase& c = GetParam();
  TempDir dir;
  const std::string input = makeInput(dir, c.picture);
  ASSERT_EQ(runProgram("kxconv", {input, "in.pic"}, dir.path()).status, 0);

  std::vector<std::string> args = {c.refine ? "-f" : "--no-refine", "-o", "q.icn", c.dither};
  args.insert(args.end(), c.options.begin(), c.options.end());
  args.push_back(input);
  RunResult r = kxquant(args, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  // Only a picture over the limit is compressed further, and says so.
  std::vector<std::string> reduce = c.options;
  const std::string said = input + ": ";
  int colours = 0, levels = 0;
  const bool compressed =
      r.err.rfind(said, 0) == 0 && r.err.find('\n') + 1 == r.err.size() &&
      std::sscanf(r.err.c_str() + said.size(), "%d colours; compressed to %d levels per channel",
                  &colours, &levels) == 2;
  EXPECT_EQ(compressed, std::string(c.picture) == "noisy") << r.err;
  if (!compressed) {
    EXPECT_EQ(r.err, "");
  }
  const int target = compressed ? levels - 1 : 255;
  if (compressed) {
    ASSERT_LT(target, 128);
    reduce.insert(reduce.begin(), {"-z", std::to_string(target)});
    // kxreduce stops on this picture, and a finer level would not fit.
    EXPECT_EQ(runProgram("kxreduce", {"in", "stops"}, dir.path()).status, 1);
    EXPECT_EQ(runProgram("kxreduce", {"-z", std::to_string(target + 1), "in", "finer"}, dir.path())
                  .status,
              1);
  }
  if (c.refine) reduce.push_back("--refine");
  reduce.insert(reduce.end(), {"in", "r"});
  r = runProgram("kxreduce", reduce, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFileBytes(dir.path("q.icn")), readFileBytes(dir.path("r.icn")));
  EXPECT_EQ(readFileBytes(dir.path("q.clm")), readFileBytes(dir.path("r.clm")));
  // Dithered as kxquant dithers by default: the same palette.
  std::vector<std::string> dithered = args;
  std::erase(dithered, std::string(c.dither));
  dithered[2] = "d.icn";
  ASSERT_EQ(kxquant(dithered, dir.path()).status, 0);
  EXPECT_EQ(readFileBytes(dir.path("d.clm")), readFileBytes(dir.path("r.clm")));

  // The PNG: the same indices, kxreduce's palette up to the last entry used.
  args.erase(args.begin() + 1, args.begin() + 3);  // no -o
  ASSERT_EQ(kxquant(args, dir.path()).status, 0);
  const Indexed expected = readIcon(dir.path("r"));
  const Indexed png = readIndexedPng(dir.path("in-kx.png"));
  EXPECT_EQ(png.indices, expected.indices);
  const uint8_t used = *std::max_element(expected.indices.begin(), expected.indices.end());
  EXPECT_EQ(png.palette,
            std::vector<Rgb>(expected.palette.begin(), expected.palette.begin() + used + 1));
  EXPECT_TRUE(png.alpha.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, MatchesKxreduce,
    ::testing::Values(ExactCase{"sample_16_adjusted", "sample", {"-n", "16", "-a"}},
                      ExactCase{"jpeg", "jpeg", {"-n", "64"}, false, "--nofs"},
                      ExactCase{"photo_adjusted", "photo", {"-a", "0.4", "-n", "100"}},
                      ExactCase{"noisy_adjusted", "noisy", {"-a", "-n", "32"}},
                      ExactCase{"jpeg_refined_16", "jpeg", {"-n", "16"}, true},
                      ExactCase{"photo_refined_adjusted", "photo", {"-a"}, true}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- Every input format: the same pixels give the same PNG ----------------------

TEST(InputFormats, SamePixelsSamePicture) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 48, 32);
  // kxreduce's own PICT output: a true-colour PICT file of 256 colours.
  ASSERT_EQ(runProgram("kxreduce", {"-o", "pict", "in", "r"}, dir.path()).status, 0);
  ASSERT_EQ(runProgram("kxconv", {"r.pict", "pict.png"}, dir.path()).status, 0);
  ASSERT_EQ(runProgram("kxconv", {"in.pic", "in.png"}, dir.path()).status, 0);
  ASSERT_EQ(shell("cd " + quoted(dir.path()) +
                  " && pngtopam in.png > in.ppm && pngtopam in.png | pamtopam > in.pam && "
                  "ppmtopgm in.ppm > in.pgm && cp in.png picture && cp in.pic picture.pic")
                .status,
            0);
  ASSERT_EQ(runProgram("kxconv", {"in.pgm", "grey.png"}, dir.path()).status, 0);
  const std::pair<const char*, const char*> cases[] = {
      {"in.ppm", "in.png"},   {"in.pam", "in.png"},      {"in.pic", "in.png"},
      {"picture", "in.png"},  {"picture.pic", "in.png"}, {"in.pgm", "grey.png"},
      {"r.pict", "pict.png"},
  };
  for (const auto& [input, same] : cases) {
    for (const char* file : {input, same}) {
      const RunResult r = kxquant({"-f", "-o", std::string(file) + ".out.png", file}, dir.path());
      ASSERT_EQ(r.status, 0) << file << ": " << r.err;
    }
    EXPECT_EQ(readFileBytes(dir.path(std::string(input) + ".out.png")),
              readFileBytes(dir.path(std::string(same) + ".out.png")))
        << input;
  }
}

// A FIFO gives its bytes once: its format is told from bytes the input keeps,
// and with one palette for all inputs its picture is kept for the second pass.
TEST(InputFormats, AFifoIsReadOnce) {
  TempDir dir;
  writePng(dir, "a", 30, 20, rampPicture(30, 20, 5, true));
  ASSERT_EQ(
      shell("cd " + quoted(dir.path()) + " && mkfifo f g && (cat a.png > f &) && (cat a.png > g &)")
          .status,
      0);
  ASSERT_EQ(kxquant({"-o", "a.out.png", "a.png"}, dir.path()).status, 0);
  ASSERT_EQ(kxquant({"-o", "f.out.png", "f"}, dir.path()).status, 0);
  EXPECT_EQ(readFileBytes(dir.path("f.out.png")), readFileBytes(dir.path("a.out.png")));
  ASSERT_EQ(kxquant({"-o", "a.gif", "a.png", "a.png"}, dir.path()).status, 0);
  ASSERT_EQ(kxquant({"-o", "g.gif", "g", "a.png"}, dir.path()).status, 0);
  EXPECT_EQ(readFileBytes(dir.path("g.gif")), readFileBytes(dir.path("a.gif")));
}

// ---- One palette for a sequence; animated GIF ---------------------------------

TEST(Sequence, UniquePaletteIsKxreducesAndTheGifCentresSmallerFrames) {
  TempDir dir;
  const int sizes[3][2] = {{60, 40}, {30, 50}, {60, 40}};
  std::vector<std::string> inputs;
  for (int f = 0; f < 3; ++f) {
    const std::string name = "f." + std::to_string(f + 1);
    const auto rgb = rampPicture(sizes[f][0], sizes[f][1], f + 2, false);
    writePng(dir, name, sizes[f][0], sizes[f][1], rgb);
    writeRgbPicture(dir.path(name), sizes[f][0], sizes[f][1], rgb);
    inputs.push_back(name + ".png");
  }
  // kxquant's default is kxreduce's -u with --refine.
  RunResult r = runProgram(
      "kxreduce", {"-u", "-n", "32", "-s", "1", "3", "1", "--refine", "f", "r"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  // Undithered, for kxreduce's indices.
  std::vector<std::string> args = {"-u", "-n", "32", "--no-dither"};
  args.insert(args.end(), inputs.begin(), inputs.end());
  r = kxquant(args, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");  // no progress line: standard error is not a terminal
  const std::vector<uint8_t> clm = readFileBytes(dir.path("r-1-3.clm"));
  std::vector<Rgb> palette;
  for (int i = 0; i < 32; ++i)
    palette.push_back({clm[17 + 6 * i], clm[19 + 6 * i], clm[21 + 6 * i]});
  std::vector<std::vector<uint8_t>> frames;
  for (int f = 1; f <= 3; ++f) {
    const Indexed png = readIndexedPng(dir.path("f." + std::to_string(f) + "-kx.png"));
    EXPECT_EQ(png.palette, palette) << f;
    const std::vector<uint8_t> icn = readFileBytes(dir.path("r." + std::to_string(f) + ".icn"));
    EXPECT_EQ(png.indices, std::vector<uint8_t>(icn.begin() + 68, icn.end() - 8)) << f;
    frames.push_back(png.indices);
  }

  args = {"-n", "32", "--no-dither", "--delay", "250", "--loop", "3", "-o", "anim.gif"};
  args.insert(args.end(), inputs.begin(), inputs.end());
  r = kxquant(args, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const GifFile gif = readGif(dir.path("anim.gif"));
  EXPECT_EQ(gif.width, 60);
  EXPECT_EQ(gif.height, 50);
  // The palette, then the transparent entry for unchanged pixels, padded.
  ASSERT_EQ(gif.palette.size(), 64u);
  EXPECT_EQ(std::vector<Rgb>(gif.palette.begin(), gif.palette.begin() + 32), palette);
  const std::vector<std::vector<int>> shown = composeGif(gif);
  ASSERT_EQ(shown.size(), 3u);
  const int places[3][2] = {{0, 5}, {15, 0}, {0, 5}};
  for (int f = 0; f < 3; ++f) {
    // Around a smaller frame the screen shows its background.
    std::vector<int> want(60 * 50, -1);
    for (int y = 0; y < sizes[f][1]; ++y) {
      for (int x = 0; x < sizes[f][0]; ++x)
        want[(places[f][1] + y) * 60 + places[f][0] + x] = frames[f][y * sizes[f][0] + x];
    }
    EXPECT_EQ(shown[f], want) << f;
    EXPECT_EQ(gif.frames[f].delay, 25) << f;
  }
  EXPECT_EQ(pilDescribe(dir.path("anim.gif"),
                        "im.n_frames, im.size, im.info['duration'], im.info['loop']"),
            "3 (60, 50) 250 3\n");
  // The loop count in the one form every viewer reads: a 3-byte block.
  const std::string loop("NETSCAPE2.0\x03\x01\x03\x00\x00", 16);
  const auto bytes = readFileBytes(dir.path("anim.gif"));
  EXPECT_NE(std::string(bytes.begin(), bytes.end()).find(loop), std::string::npos);
}

// Frame i starts at round(100 i / rate) hundredths of a second.
struct TimingCase {
  const char* name;
  std::vector<std::string> options;
  std::vector<int> delays;
  std::string err;
  bool loops = true;
};

void PrintTo(const TimingCase& c, std::ostream* os) {
  *os << c.name;
}

class GifTiming : public ::testing::TestWithParam<TimingCase> {};

TEST_P(GifTiming, DelaysFollowTheClock) {
  TempDir dir;
  std::vector<std::string> args = GetParam().options;
  args.insert(args.end(), {"-o", "a.gif"});
  for (int f = 0; f < 7; ++f) {
    const std::string name = "f" + std::to_string(f);
    writeRgbPicture(dir.path(name), 20, 10, rampPicture(20, 10, f, false));
    args.push_back(name + ".pic");
  }
  const RunResult r = kxquant(args, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, GetParam().err);
  std::vector<int> delays;
  for (const GifFrame& f : readGif(dir.path("a.gif")).frames) delays.push_back(f.delay);
  EXPECT_EQ(delays, GetParam().delays);
  const auto bytes = readFileBytes(dir.path("a.gif"));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()).find("NETSCAPE2.0") != std::string::npos,
            GetParam().loops);
  EXPECT_EQ(pilDescribe(dir.path("a.gif"), "im.info.get('loop')"),
            GetParam().loops ? "0\n" : "None\n");
}

INSTANTIATE_TEST_SUITE_P(
    Clocks, GifTiming,
    ::testing::Values(
        TimingCase{"NtscRatio", {"--fps", "30000/1001"}, {3, 4, 3, 3, 4, 3, 3}, ""},
        TimingCase{"Decimal", {"--fps=12.5"}, {8, 8, 8, 8, 8, 8, 8}, ""},
        TimingCase{"ShortDelayPlayedOnce",
                   {"--delay", "15", "--no-loop"},
                   {2, 1, 2, 1, 2, 1, 2},
                   "kxquant: warning: --delay 15 gives frames of 1/100 s; browsers show frames "
                   "shorter than 2/100 s for 10/100 s\n",
                   false}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- Transparency ------------------------------------------------------------------

TEST(Transparency, AlphaBelowHalfBecomesOneTransparentEntry) {
  TempDir dir;
  // Alpha rises from left to right; an opaque RGBA copy, and the RGB one.
  python(
      "im = Image.new('RGBA', (64, 40))\n"
      "im.putdata([(x * 4, y * 6, (x * y) % 256, x * 255 // 63) for y in range(40) for x in "
      "range(64)])\n"
      "im.save(sys.argv[1])\n"
      "im.putalpha(255)\n"
      "im.save(sys.argv[2])\n"
      "im.convert('RGB').save(sys.argv[3])\n",
      {dir.path("a.png"), dir.path("opaque.png"), dir.path("rgb.png")});
  for (const std::string colors : {"256", "2"}) {
    RunResult r = kxquant({"-f", "-n", colors, "a.png"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const Indexed png = readIndexedPng(dir.path("a-kx.png"));
    ASSERT_FALSE(png.alpha.empty());
    const size_t clear = png.alpha.size() - 1;
    EXPECT_LE(png.palette.size(), static_cast<size_t>(std::stoi(colors)));
    EXPECT_EQ(clear, png.palette.size() - 1);  // the last entry
    EXPECT_EQ(std::count(png.alpha.begin(), png.alpha.end(), 255), static_cast<long>(clear));
    for (int i = 0; i < 64 * 40; ++i) {
      ASSERT_EQ(png.indices[i] == clear, (i % 64) * 255 / 63 < 128) << "pixel " << i;
    }
  }
  ASSERT_EQ(kxquant({"-o", "a.gif", "a.png"}, dir.path()).status, 0);
  const GifFile gif = readGif(dir.path("a.gif"));
  ASSERT_EQ(gif.frames.size(), 1u);
  ASSERT_GE(gif.frames[0].transparent, 0);
  const std::vector<int> shown = composeGif(gif)[0];
  for (int i = 0; i < 64 * 40; ++i) {
    ASSERT_EQ(shown[i] < 0, (i % 64) * 255 / 63 < 128) << "pixel " << i;
  }
  // An alpha channel that is opaque everywhere changes nothing.
  ASSERT_EQ(kxquant({"opaque.png", "rgb.png"}, dir.path()).status, 0);
  EXPECT_EQ(readFileBytes(dir.path("opaque-kx.png")), readFileBytes(dir.path("rgb-kx.png")));
}

// ---- Refusals: one line each, the other inputs done, nothing partial ------------

struct RefusalCase {
  const char* name;
  std::vector<std::string> args;
  int status;
  std::string err;
  const char* created = "";  // the new file in the folder, if any
};

std::ostream& operator<<(std::ostream& os, const RefusalCase& c) {
  return os << c.name;
}

class Refusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusals, SayWhatIsWrongAndKeepEveryFile) {
  const RefusalCase& c = GetParam();
  TempDir dir;
  writePng(dir, "good", 20, 10, rampPicture(20, 10, 3, false));
  writePng(dir, "2004photo", 20, 10, rampPicture(20, 10, 4, false));
  std::filesystem::copy_file(dir.path("good.png"), dir.path("good-kx.png"));  // an old output
  std::filesystem::copy_file(dir.path("good.png"), dir.path("same.png"));
  writeFileBytes(dir.path("bad.png"), {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0});
  makeJpeg(dir.path("same.jpg"), 20, 10, "RGB", "quality=90");
  writeFileBytes(dir.path("notes.txt"), {'h', 'i', '\n'});
  std::filesystem::create_directory(dir.path("in-the-way.clm"));
  std::filesystem::create_symlink("gone.png", dir.path("dangling.png"));
  const FolderSnapshot before = snapshotFolder(dir.path());
  const RunResult r = kxquant(c.args, dir.path());
  EXPECT_EQ(r.status, c.status);
  const std::string usage =
      c.status == 2 ? "Usage: kxquant [options] INPUT... (kxquant --help)\n" : "";
  EXPECT_EQ(r.err, (c.err.empty() ? "" : "kxquant: " + c.err) + usage);
  EXPECT_EQ(r.out, "");
  FolderSnapshot after = snapshotFolder(dir.path());
  const std::string made = c.created;
  if (!made.empty()) {
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

INSTANTIATE_TEST_SUITE_P(
    Cases, Refusals,
    ::testing::Values(
        RefusalCase{"missing_input_others_done",
                    {"nope.png", "same.png"},
                    1,
                    "nope.png: cannot open: No such file or directory\n",
                    "same-kx.png"},
        RefusalCase{"gif_of_the_inputs_that_could_be_read",
                    {"-o", "anim.gif", "same.png", "bad.png", "good.png"},
                    1,
                    "bad.png: corrupt PNG file (the file ends too early)\n",
                    "anim.gif"},
        RefusalCase{"not_a_picture",
                    {"notes.txt"},
                    1,
                    "notes.txt: not a picture kxquant reads (PNG, JPEG, WebP, TIFF, "
                    "PPM/PGM/PBM/PAM, .pic or .pict)\n"},
        RefusalCase{
            "existing_output", {"good.png"}, 1, "good-kx.png: already exists (-f replaces it)\n"},
        RefusalCase{"output_is_an_input",
                    {"-f", "-o", "same.png", "same.png"},
                    1,
                    "same.png: is an input picture; kxquant never overwrites its inputs\n"},
        RefusalCase{"two_inputs_one_output",
                    {"same.png", "same.jpg"},
                    1,
                    "same-kx.png: is also the output of same.png; name the outputs with "
                    "-o, one input at a time\n",
                    "same-kx.png"},
        // Outputs that cannot be made are refused before any input is read.
        RefusalCase{"no_such_folder",
                    {"-o", "nodir/x.png", "same.png"},
                    1,
                    "nodir/x.png: the folder nodir does not exist\n"},
        RefusalCase{"colormap_name_is_a_folder",
                    {"-f", "-o", "in-the-way.icn", "same.png"},
                    1,
                    "in-the-way.clm: is a folder\n"},
        RefusalCase{"output_is_a_link_to_nothing",
                    {"-o", "dangling.png", "same.png"},
                    1,
                    "dangling.png: already exists (-f replaces it)\n"},
        RefusalCase{"empty_output_name",
                    {"-o", "", "same.png"},
                    2,
                    "-o names no file (the name is empty)\n"},
        RefusalCase{"delay_without_a_gif",
                    {"--delay", "500", "same.png"},
                    2,
                    "--delay applies to a .gif output only (-o NAME.gif)\n"},
        RefusalCase{
            "digits_are_a_file_not_a_factor", {"-a", "2004photo.png"}, 0, "", "2004photo-kx.png"},
        RefusalCase{"no_input", {"-n", "16"}, 2, "no input picture\n"},
        RefusalCase{"too_few_colours",
                    {"-n", "1", "same.png"},
                    2,
                    "-n takes a number of colours from 2 to 256, not \"1\"\n"},
        RefusalCase{"factor_out_of_range",
                    {"--adjust=1.5", "same.png"},
                    2,
                    "--adjust takes a factor above 0 and at most 1, not \"1.5\"\n"},
        RefusalCase{"unknown_option", {"-x", "same.png"}, 2, "unknown option -x\n"},
        RefusalCase{"one_output_two_inputs",
                    {"-o", "x.png", "same.png", "good.png"},
                    2,
                    "-o names one output; give one input, or a .gif for all of them\n"},
        RefusalCase{"unknown_output_kind",
                    {"-o", "x.bmp", "same.png"},
                    2,
                    "x.bmp: unknown output extension (kxquant writes .png, .gif and "
                    ".icn)\n"},
        RefusalCase{"missing_value", {"same.png", "--delay"}, 2, "--delay needs a value\n"},
        RefusalCase{"no_frame_rate",
                    {"--fps", "0", "same.png"},
                    2,
                    "--fps takes a frame rate above 0 such as 25, 29.97 or 30000/1001, not "
                    "\"0\"\n"},
        RefusalCase{"negative_frame_rate",
                    {"--fps=-25", "same.png"},
                    2,
                    "--fps takes a frame rate above 0 such as 25, 29.97 or 30000/1001, not "
                    "\"-25\"\n"},
        RefusalCase{"half_a_ratio",
                    {"--fps", "30000/", "same.png"},
                    2,
                    "--fps takes a frame rate above 0 such as 25, 29.97 or 30000/1001, not "
                    "\"30000/\"\n"},
        RefusalCase{"frames_too_long_for_gif",
                    {"--fps", "1/700", "-o", "a.gif", "same.png"},
                    2,
                    "--fps 1/700: a GIF frame lasts at most 655.35 seconds\n"},
        RefusalCase{"two_clocks",
                    {"--fps", "25", "--delay", "40", "-o", "a.gif", "same.png"},
                    2,
                    "--fps and --delay both set the frame time; give one\n"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(CommandLine, ForceReplacesAnOldOutputAndHelpAndVersionSucceed) {
  TempDir dir;
  writePng(dir, "a", 20, 10, rampPicture(20, 10, 3, false));
  writeFileBytes(dir.path("a-kx.png"), {1, 2, 3});
  RunResult r = kxquant({"-fq", "-n8", "a.png"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_LE(readIndexedPng(dir.path("a-kx.png")).palette.size(), 8u);
  // --loop 0 (for ever) is the default, and may be given.
  EXPECT_EQ(kxquant({"-q", "--loop", "0", "-o", "a.gif", "a.png"}, dir.path()).status, 0);

  r = kxquant({"--help"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: kxquant [options] INPUT...\n", 0), 0u);
  EXPECT_EQ(r.err, "");
  r = kxquant({"--version"}, dir.path());
  EXPECT_EQ(r.out.rfind("kxquant ", 0), 0u);
}

// On a terminal several inputs show one progress line that rewrites itself;
// -q silences it. script(1) gives the run a terminal.
TEST(CommandLine, ProgressOnATerminalOnly) {
  TempDir dir;
  for (const char* name : {"a", "b", "c"})
    writePng(dir, name, 20, 10, rampPicture(20, 10, 3, false));
  const std::string run = buildDir() + "/kxquant -f a.png b.png c.png";
  RunOptions options;
  options.cwd = dir.path();
  RunResult r = runProgram("/usr/bin/script", {"-qec", run, "/dev/null"}, options);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("\rkxquant: frames 3/3, "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("s left"), std::string::npos) << r.out;
  r = runProgram("/usr/bin/script", {"-qec", run + " -q", "/dev/null"}, options);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace kx
