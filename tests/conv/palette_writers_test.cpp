// The GIF and palette PNG writers, their files read back by other decoders:
// giflib, libpng, PIL and ffmpeg.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <tuple>

#include "conv_support.h"
#include "encode/encode_pvt.h"
#include "imageio/imageio_pvt.h"
#include "support/case_names.h"

namespace kx {
namespace {

// ---- GIF ------------------------------------------------------------------------

struct Frame {
  std::vector<uint8_t> screen;
  GifRect picture;  // empty: the whole screen
  int delay = 4;
};

struct Clip {
  int width = 0, height = 0, colours = 0, transparent = -1;
  std::vector<Frame> frames;
};

// A picture in blocks of random colours with a little noise, as screens and stills have them.
std::vector<uint8_t> blocks(int w, int h, int colours, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> tile(64);
  for (uint8_t& v : tile) v = static_cast<uint8_t>(random() % colours);
  std::vector<uint8_t> out(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const bool noise = random() % 16 == 0;
      out[y * w + x] =
          static_cast<uint8_t>(noise ? random() % colours : tile[(y / 4 % 8) * 8 + x / 4 % 8]);
    }
  }
  return out;
}

// The frame with the rectangle r of its screen, w wide, filled with index.
Frame filled(Frame f, int w, const GifRect& r, uint8_t index) {
  for (int y = r.top; y < r.top + r.height; ++y)
    std::fill_n(f.screen.begin() + y * w + r.left, r.width, index);
  return f;
}

Clip staticRepeated() {
  Clip c{40, 30, 16, -1, {}};
  for (int delay : {3, 3, 4, 3, 3}) c.frames.push_back({blocks(40, 30, 16, 1), {}, delay});
  return c;
}

Clip movingObject() {
  Clip c{64, 48, 32, -1, {}};
  for (int i = 0; i < 8; ++i)
    c.frames.push_back(
        filled({blocks(64, 48, 31, 2), {}, 4}, 64, {4 + 5 * i, 10 + 2 * i, 6, 6}, 31));
  return c;
}

// Pictures smaller than the screen: the rest of the screen is background.
Clip sizesDiffer(int colours) {
  Clip c{50, 40, colours, -1, {}};
  const GifRect places[] = {{}, {15, 15, 20, 10}, {}, {10, 0, 30, 40}, {0, 0, 8, 8}, {}};
  uint32_t seed = 3;
  for (const GifRect& place : places)
    c.frames.push_back({blocks(50, 40, colours, seed++), place, 3});
  return c;
}

// Transparent pixels appear where the screen shows colours, move, go.
Clip transparency() {
  Clip c{40, 30, 17, 16, {}};
  const GifRect holes[] = {{}, {5, 5, 10, 7}, {20, 10, 10, 10}, {}, {0, 0, 40, 30}, {}};
  for (const GifRect& hole : holes)
    c.frames.push_back(filled({blocks(40, 30, 16, 4), {}, 5}, 40, hole, 16));
  c.frames[3] = filled(c.frames[3], 40, {30, 20, 5, 5}, 3);
  return c;
}

// No room for a transparent index: plain rectangles.
Clip fullPalette() {
  Clip c = sizesDiffer(256);
  std::mt19937 random(5);
  for (Frame& f : c.frames)
    for (uint8_t& v : f.screen) v = static_cast<uint8_t>(random());
  c.frames.insert(c.frames.begin() + 1, filled(c.frames.front(), 50, {10, 10, 12, 6}, 7));
  return c;
}

Clip identical() {
  Clip c{30, 20, 8, -1, {}};
  const std::vector<uint8_t> a = blocks(30, 20, 8, 6), b = blocks(30, 20, 8, 7);
  for (auto [picture, delay] : {std::pair{&a, 3}, {&a, 4}, {&b, 3}, {&b, 3}, {&b, 4}, {&a, 3}})
    c.frames.push_back({*picture, {}, delay});
  return c;
}

// A still longer than a GIF delay holds: then a frame of one transparent pixel.
Clip longStill() {
  Clip c{8, 4, 4, 3, {}};
  for (int delay : {40000, 40000}) c.frames.push_back({blocks(8, 4, 3, 8), {}, delay});
  return c;
}

// A large palette of which the frames use few entries, then one far on:
// their codes start narrower (see FramesOfFewIndicesCodeNarrower).
Clip fewIndices() {
  Clip c{48, 32, 200, 0, {}};
  Frame f{blocks(48, 32, 4, 9), {}, 4};
  for (uint8_t& v : f.screen) ++v;  // 1 to 4
  c.frames.push_back(f);
  c.frames.push_back(filled(c.frames.back(), 48, {8, 8, 10, 6}, 2));
  c.frames.push_back(filled(c.frames.back(), 48, {20, 4, 6, 6}, 150));
  return c;
}

struct GifCase {
  const char* name;
  Clip (*make)();
  int stored;         // frames in the file
  int largestChange;  // the largest rectangle after the first frame (the screen's: any)
};

const GifCase kCases[] = {
    {"StaticPictureRepeated", staticRepeated, 1, 0},
    {"MovingObject", movingObject, 8, 11 * 8},
    {"FramesOfDifferentSizes", [] { return sizesDiffer(20); }, 6, 50 * 40},
    {"TransparencyAppearsAndGoes", transparency, 6, 40 * 30},
    {"FullPalette", fullPalette, 7, 50 * 40},
    {"IdenticalConsecutiveFrames", identical, 3, 30 * 20},
    {"StillLongerThanOneDelay", longStill, 2, 1},
    {"FewIndicesOfALargePalette", fewIndices, 3, 10 * 6},
};

std::array<uint8_t, 3> colourOf(int index) {
  return {static_cast<uint8_t>(index), static_cast<uint8_t>(index * 7),
          static_cast<uint8_t>(index * 13)};
}

// What the screen is to show for a frame: indices, `background` where the background shows.
std::vector<int> expected(const Clip& c, const Frame& f, int background) {
  const GifRect p = f.picture.empty() ? GifRect{0, 0, c.width, c.height} : f.picture;
  std::vector<int> out(static_cast<size_t>(c.width) * c.height, background);
  for (int y = p.top; y < p.top + p.height; ++y) {
    for (int x = p.left; x < p.left + p.width; ++x) {
      const int v = f.screen[y * c.width + x];
      if (v != c.transparent) out[y * c.width + x] = v;
    }
  }
  return out;
}

// Checks that the decoded frames, each shown for its delay, show exactly
// the clip's frames at every moment.
void checkTimeline(const Clip& c, const std::vector<int>& delays,
                   const std::vector<std::vector<int>>& shown, int background) {
  size_t stored = 0;
  int storedStart = 0, start = 0;
  for (size_t i = 0; i < c.frames.size(); start += c.frames[i++].delay) {
    while (stored + 1 < delays.size() && storedStart + delays[stored] <= start)
      storedStart += delays[stored++];
    EXPECT_TRUE(shown.at(stored) == expected(c, c.frames[i], background)) << "frame " << i;
  }
  EXPECT_EQ(std::accumulate(delays.begin(), delays.end(), 0), start);  // the clip's whole length
}

class GifFrames : public InFolder<::testing::TestWithParam<GifCase>> {};

void writeClip(const Clip& clip, const std::string& path) {
  GifWriter::Settings settings{clip.width, clip.height, {}, clip.transparent, 0};
  for (int i = 0; i < clip.colours; ++i) settings.palette.push_back(colourOf(i));
  Result<std::unique_ptr<GifWriter>> writer = GifWriter::create(path, settings);
  ASSERT_TRUE(writer.ok());
  for (const Frame& f : clip.frames)
    ASSERT_TRUE((*writer)->addFrame(f.screen, f.delay, f.picture).ok());
  ASSERT_TRUE((*writer)->commit().ok());
}

TEST_P(GifFrames, ComposeIntoTheFramesGiven) {
  const Clip clip = GetParam().make();
  const std::string path = dir.path("clip.gif");
  writeClip(clip, path);

  const GifFile gif = readGif(path);
  ASSERT_EQ(static_cast<int>(gif.frames.size()), GetParam().stored);
  std::vector<int> delays;
  int largest = 0;
  for (size_t i = 0; i < gif.frames.size(); ++i) {
    delays.push_back(gif.frames[i].delay);
    if (i > 0) largest = std::max(largest, gif.frames[i].width * gif.frames[i].height);
  }
  EXPECT_LE(largest, GetParam().largestChange);
  checkTimeline(clip, delays, composeGif(gif), -1);

  // PIL, on its own: background is transparent where the file has a
  // transparent index, else the background entry's colour. Its pixels as
  // indices: the palette's colours are told apart by their red; -2 is no
  // colour of the palette.
  const bool clear = gif.frames[0].transparent >= 0;
  const std::vector<PilFrame> pil = pilFrames(path);
  ASSERT_EQ(pil.size(), gif.frames.size());
  std::vector<std::vector<int>> shown(pil.size());
  delays.clear();
  for (size_t j = 0; j < pil.size(); ++j) {
    delays.push_back(pil[j].duration / 10);
    for (size_t p = 0; p < pil[j].rgba.samples.size(); p += 4) {
      const uint8_t* px = &pil[j].rgba.samples[p];
      const bool entry = px[3] == 255 && colourOf(px[0]) == std::array{px[0], px[1], px[2]};
      shown[j].push_back(clear && px[3] == 0 ? -1 : entry ? px[0] : -2);
    }
  }
  checkTimeline(clip, delays, shown, clear ? -1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Clips, GifFrames, testing::ValuesIn(kCases), CaseName());

// The LZW minimum code size of every stored frame, walking the file's blocks.
std::vector<int> codeSizes(const std::vector<uint8_t>& gif) {
  std::vector<int> sizes;
  size_t at = 13 + (gif.at(10) & 0x80 ? 3u << ((gif[10] & 7) + 1) : 0);
  while (gif.at(at) != 0x3B) {
    if (gif[at] == 0x21) {
      at += 2;
    } else {
      at += 10;
      sizes.push_back(gif.at(at++));
    }
    while (gif.at(at) != 0) at += gif[at] + 1u;  // the sub-blocks
    ++at;
  }
  return sizes;
}

// A frame of the palette's first entries starts its codes at the bits its
// largest index needs, and ffmpeg decodes every frame as giflib does. The
// screen gives no aspect ratio: its pixels are square.
TEST(GifWriter, FramesOfFewIndicesCodeNarrower) {
  const Clip clip = fewIndices();
  TempDir dir;
  writeClip(clip, dir.path("clip.gif"));
  const std::vector<uint8_t> gif = readFileBytes(dir.path("clip.gif"));
  EXPECT_EQ(codeSizes(gif), (std::vector{3, 2, 8}));
  EXPECT_EQ(gif.at(12), 0);
  const RunResult r = shell(
      "ffmpeg -v error -i clip.gif -fps_mode passthrough -f rawvideo -pix_fmt rgb24 -", dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  std::string want;
  for (const Frame& f : clip.frames)
    for (const uint8_t v : f.screen)
      for (const uint8_t sample : colourOf(v)) want.push_back(static_cast<char>(sample));
  EXPECT_TRUE(r.out == want);
}

// What a GIF cannot hold is refused before the file is made.
TEST(GifWriterRefuses, EmptyPalettesAndHugeScreens) {
  TempDir dir;
  const std::string path = dir.path("a.gif");
  const std::pair<GifWriter::Settings, std::string> cases[] = {
      {{4, 4, {}}, ": a GIF palette holds 1 to 256 colours, not 0"},
      {{70000, 4, {colourOf(0)}}, ": a GIF is at most 65535 x 65535 pixels, not 70000 x 4"},
      {{4, 0, {colourOf(0)}}, ": a GIF is at most 65535 x 65535 pixels, not 4 x 0"},
  };
  for (const auto& [settings, message] : cases) {
    const Result<std::unique_ptr<GifWriter>> writer = GifWriter::create(path, settings);
    EXPECT_EQ(writer.ok() ? "" : writer.error().message, path + message);
    EXPECT_TRUE(snapshotFolder(dir.path()).empty()) << message;
  }
}

// One frame written through giflib's container, coded by giflib or by us
// (indices taken by value: giflib takes its pixels as not const).
std::vector<uint8_t> oneFrameGif(int codeSize, int w, int h, std::vector<uint8_t> indices,
                                 bool ours, const LzwStandIns* standIns = nullptr) {
  TempDir dir;
  int error = 0;
  GifFileType* gif = EGifOpenFileName(dir.path("a.gif").c_str(), false, &error);
  ColorMapObject* map = GifMakeMapObject(1 << codeSize, nullptr);
  EXPECT_EQ(EGifPutScreenDesc(gif, w, h, 8, 0, map), GIF_OK);
  GifFreeMapObject(map);
  EXPECT_EQ(EGifPutImageDesc(gif, 0, 0, w, h, false, nullptr), GIF_OK);
  if (ours) {
    const std::vector<uint8_t> code = gifLzwEncode(indices, codeSize, standIns);
    EGifPutCode(gif, codeSize, code.data());
    for (size_t at = size_t{code[0]} + 1; at < code.size(); at += size_t{code[at]} + 1)
      EGifPutCodeNext(gif, code.data() + at);
    EGifPutCodeNext(gif, nullptr);
  } else {
    EXPECT_EQ(EGifPutLine(gif, indices.data(), w * h), GIF_OK);
  }
  EXPECT_EQ(EGifCloseFile(gif, &error), GIF_OK);
  return readFileBytes(dir.path("a.gif"));
}

class GifLzw : public testing::TestWithParam<int> {};

TEST_P(GifLzw, WritesGiflibsBytes) {
  const int codeSize = GetParam();
  // Runs and noise: strings long enough for 12-bit codes, and tables that fill up and are cleared.
  std::mt19937 random(static_cast<uint32_t>(codeSize));
  const int w = 173, h = 151;
  std::vector<uint8_t> indices;
  while (indices.size() < static_cast<size_t>(w) * h) {
    const auto value = static_cast<uint8_t>(random() % (1u << codeSize));
    indices.insert(indices.end(), random() % 3 == 0 ? random() % 60 + 1 : 1, value);
  }
  indices.resize(static_cast<size_t>(w) * h);
  // giflib's bytes for the same indices, which giflib decodes back to them.
  EXPECT_EQ(oneFrameGif(codeSize, w, h, indices, true),
            oneFrameGif(codeSize, w, h, indices, false));
}

INSTANTIATE_TEST_SUITE_P(CodeSizes, GifLzw, testing::Range(2, 9));

// Lossy coding: over a noisy ramp, every pixel decodes to its own index or
// one of its stand-ins (its neighbours on the ramp; index 0, a transparent
// one, has none and stands in for none), and the codes are far fewer.
TEST(GifLzw, StandInsDecodeWithinTheirListAndShorten) {
  const int w = 160, h = 120;
  std::mt19937 random(3);
  std::vector<uint8_t> indices;
  for (int i = 0; i < w * h; ++i) {
    const int x = i % w;
    indices.push_back(random() % 50 == 0 ? 0
                                         : static_cast<uint8_t>(1 + (x / 12 + random() % 3) % 15));
  }
  LzwStandIns standIns(16);
  for (int i = 1; i < 16; ++i) {
    if (i > 1) standIns[i].push_back(static_cast<uint8_t>(i - 1));
    if (i < 15) standIns[i].push_back(static_cast<uint8_t>(i + 1));
  }
  const std::vector<uint8_t> lossy = oneFrameGif(4, w, h, indices, true, &standIns);
  EXPECT_LT(lossy.size(), oneFrameGif(4, w, h, indices, true).size() * 3 / 4);
  TempDir dir;
  writeFileBytes(dir.path("lossy.gif"), lossy);
  const std::vector<uint8_t> decoded = readGif(dir.path("lossy.gif")).frames.at(0).indices;
  ASSERT_EQ(decoded.size(), indices.size());
  for (size_t i = 0; i < decoded.size(); ++i)
    EXPECT_TRUE(decoded[i] == indices[i] || std::ranges::count(standIns[indices[i]], decoded[i]))
        << i;
  EXPECT_TRUE(decoded != indices);  // some pixels took a stand-in
}

// ---- Palette PNGs ---------------------------------------------------------------

enum class Alpha { None, TransparentIndex, PerEntry };

// Every palette size's bit depth, rows that end inside a byte, at every effort.
class PalettePng : public InFolder<::testing::TestWithParam<std::tuple<int, Alpha, PngEffort>>> {};

TEST_P(PalettePng, SamePixelsAndTheShortestTransparencyChunk) {
  const auto [colors, alphaKind, effort] = GetParam();
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
    EXPECT_EQ(pixelColours(back, true), expected);
    EXPECT_EQ(std::ssize(back.alpha),
              std::ranges::count_if(alpha, [](uint8_t a) { return a < 255; }));
    const int depth = readFileBytes(path).at(24);
    const int least = colors <= 2 ? 1 : colors <= 4 ? 2 : colors <= 16 ? 4 : 8;
    EXPECT_TRUE(depth == least || (effort == PngEffort::Best && depth == 8)) << depth;
    if (width == 33) {
      EXPECT_EQ(pilPixels(path).samples, expected);
    }
    // Best orders an opaque palette as a chain of nearest colours from the darkest.
    if (effort == PngEffort::Best && alphaKind == Alpha::None) {
      const std::vector<Rgb>& p = back.palette;
      auto luma = [](const Rgb& c) { return 299 * c.r + 587 * c.g + 114 * c.b; };
      const int n = static_cast<int>(p.size());
      int outOfChain = 0;
      for (int k = 0; k < n; ++k) {
        const uint8_t colour[3] = {p[k].r, p[k].g, p[k].b};
        outOfChain +=
            luma(p[k]) < luma(p[0]) || (k + 1 < n && nearest(p, k + 1, n, colour) != k + 1);
      }
      EXPECT_EQ(outOfChain, 0);
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
TEST(PngParts, InflateToTheRows) {
  const size_t stride = 4097, perPart = (size_t{1} << 20) / stride;
  auto raw = [&](size_t y, size_t x) {
    if (y / perPart % 2) return static_cast<uint8_t>(x / 700 + y / 90);
    uint32_t h = static_cast<uint32_t>(x * 2654435761u ^ y * 40503u);
    h = (h ^ h >> 13) * 0x5bd1e995u;
    return static_cast<uint8_t>((h ^ h >> 15) % 13);
  };
  // 8 parts: a large stream.
  for (const auto& [effort, partCount] :
       {std::pair{PngEffort::Normal, 3}, {PngEffort::Normal, 8}, {PngEffort::Best, 3}}) {
    SCOPED_TRACE(std::to_string(partCount) + (effort == PngEffort::Best ? " best" : " normal"));
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
}

// ---- Colour metadata -----------------------------------------------------------

struct MetadataCase {
  const char* name;
  bool profile = false;
  int srgbIntent = -1;
  uint32_t gamma = 0;
  bool chromaticities = false;
  uint32_t perMetre = 0;
  std::string chunks, libpng;
};

class ColourChunks : public InFolder<::testing::TestWithParam<MetadataCase>> {};

TEST_P(ColourChunks, InPlaceAndReadBack) {
  const MetadataCase& c = GetParam();
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
    python(
        "from PIL import ImageCms\n"
        "open(sys.argv[1], 'wb').write(ImageCms.ImageCmsProfile(ImageCms.createProfile('sRGB'))"
        ".tobytes())\n",
        {dir.path("srgb.icc")});
    m.iccProfile = readFileBytes(dir.path("srgb.icc"));
    m.iccName = "  lcms  sRGB\x01 ";  // written as "lcms sRGB"
  }
  m.srgbIntent = c.srgbIntent;
  m.gamma = c.gamma;
  // Chromaticities left in the metadata are written only when it says it has them.
  m.chromaticities = {31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000};
  m.hasChromaticities = c.chromaticities;
  m.pixelsPerUnitX = m.pixelsPerUnitY = c.perMetre;
  m.perMetre = true;
  const std::string path = dir.path("m.png");
  ASSERT_TRUE(writePalettePng(path, image).ok());
  std::string types;  // the chunks in order
  for (const PngChunk& chunk : pngChunks(readFileBytes(path))) types += chunk.type + " ";
  EXPECT_EQ(types, c.chunks);
  std::string colourChunks;
  readIndexedPng(path, &colourChunks);
  EXPECT_EQ(colourChunks, c.libpng);
  EXPECT_EQ(pilPixels(path).samples,
            std::vector<uint8_t>({0,   0,  0,  255, 200, 10, 10, 128, 0, 0, 0, 255,
                                  200, 10, 10, 128, 200, 10, 10, 128, 0, 0, 0, 255}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ColourChunks,
    testing::Values(
        MetadataCase{"None", false, -1, 0, false, 0, "IHDR PLTE tRNS IDAT IEND ", ""},
        MetadataCase{"Srgb", false, 1, 45455, true, 0, "IHDR sRGB gAMA cHRM PLTE tRNS IDAT IEND ",
                     "sRGB 1; gAMA 45455; cHRM 31270 32900 64000 33000 30000 60000 15000 6000; "},
        MetadataCase{"ProfileOverSrgbAndEveryOtherChunk", true, 3, 45455, true, 2835,
                     "IHDR iCCP gAMA cHRM PLTE tRNS pHYs IDAT IEND ",
                     "iCCP 'lcms sRGB' 588 bytes; gAMA 45455; cHRM 31270 32900 64000 33000 30000 "
                     "60000 15000 6000; pHYs 2835 2835 1"}),
    CaseName());

}  // namespace
}  // namespace kx
