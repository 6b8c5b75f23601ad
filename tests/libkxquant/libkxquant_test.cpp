// libkxquant against the kxquant command: for the same pixels and options the
// library's palette and indices are those of the command's PNG, read back
// through libpng (one picture, one palette for several from C99, and the
// README's example built against an installed prefix); its refusals; and
// calls on several threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <numeric>
#include <ranges>
#include <thread>

#include "conv/conv_support.h"
#include "kxquant.h"
#include "support/case_names.h"
#include "support/pictures.h"
#include "support/tempdir.h"

// c99.c: count pictures reduced to one palette from C99, as kxquant -u does;
// the palette's RGBA entries and every picture's indices one after the
// other; the entries, or -1 with the library's message.
extern "C" int kxqTestShared(kxq_options* options, const unsigned char* const* pictures, int count,
                             int width, int height, int channels, unsigned char* palette,
                             unsigned char* indices, char* message, size_t size);

namespace kx {
namespace {

// A PAM file of the pixels in the folder, which kxquant reads; its name.
std::string writePam(const TempDir& dir, const std::string& stem, int width, int height,
                     int channels, const std::vector<uint8_t>& pixels) {
  std::ofstream out(dir.path(stem + ".pam"), std::ios::binary);
  out << "P7\nWIDTH " << width << "\nHEIGHT " << height << "\nDEPTH " << channels
      << "\nMAXVAL 255\nTUPLTYPE " << (channels == 4 ? "RGB_ALPHA" : "RGB") << "\nENDHDR\n";
  out.write(reinterpret_cast<const char*>(pixels.data()), static_cast<long>(pixels.size()));
  return stem + ".pam";
}

struct Reduced {
  std::vector<uint8_t> rgba;
  std::vector<uint8_t> indices;
  bool operator==(const Reduced&) const = default;
};

// The palette of a PNG as RGBA (tRNS entries, 255 after them) and its indices.
Reduced readBack(const std::string& png) {
  Indexed read = readIndexedPng(png);
  Reduced out{{}, read.indices};
  read.indices.resize(read.palette.size());  // each entry once, in order
  std::iota(read.indices.begin(), read.indices.end(), 0);
  out.rgba = pixelColours(read, true);
  return out;
}

Reduced reducedOf(const kxq_result* r) {
  const uint8_t *palette = kxq_result_palette(r), *indices = kxq_result_indices(r);
  const size_t pixels = indices ? size_t{1} * kxq_result_width(r) * kxq_result_height(r) : 0;
  return {{palette, palette + 4 * kxq_result_colors(r)}, {indices, indices + pixels}};
}

using OptionsPtr = std::unique_ptr<kxq_options, void (*)(kxq_options*)>;
OptionsPtr freshOptions() {
  return OptionsPtr(kxq_options_create(), kxq_options_destroy);
}

struct Options {
  int colors = 256;
  float diffusion = 0;  // 0: kxquant's own (adaptive); < 0: none
  bool refine = true;
  int threads = 1;
  int qualityMin = 0, qualityMax = -1;  // -1: no -Q

  // kxquant's arguments for them, then those given.
  std::vector<std::string> args(std::initializer_list<std::string> more = {}) const {
    std::vector<std::string> a = {"-q", "-f", "-n", std::to_string(colors)};
    if (diffusion > 0) a.insert(a.end(), {"-a", std::to_string(diffusion)});
    if (diffusion < 0) a.push_back("--no-dither");
    if (!refine) a.push_back("--no-refine");
    if (qualityMax >= 0)
      a.insert(a.end(), {"-Q", std::to_string(qualityMin) + "-" + std::to_string(qualityMax)});
    a.insert(a.end(), more);
    return a;
  }
  OptionsPtr handle() const {
    OptionsPtr o = freshOptions();
    EXPECT_EQ(kxq_set_colors(o.get(), colors), KXQ_OK);
    if (diffusion != 0) {
      EXPECT_EQ(kxq_set_dither(o.get(), diffusion > 0 ? KXQ_DITHER_DIFFUSION : KXQ_DITHER_NONE,
                               diffusion),
                KXQ_OK);
    }
    EXPECT_EQ(kxq_set_refine(o.get(), refine), KXQ_OK);
    EXPECT_EQ(kxq_set_threads(o.get(), threads), KXQ_OK);
    if (qualityMax >= 0) {
      EXPECT_EQ(kxq_set_quality(o.get(), qualityMin, qualityMax), KXQ_OK);
    }
    return o;
  }
};

struct Case {
  const char* name;
  int width, height;
  bool noisy;
  PixelAlpha alpha;
  Options options;
  bool belowMinimum = false;  // the command writes nothing and says the quality, status 99
  bool profile = false;       // the input a PNG by PIL with an ICC profile and 300 dpi
};

class SameAsCommand : public InFolder<::testing::TestWithParam<Case>> {};

// Rows are padded with bytes that must not be read as pixels. Below the
// quality range's minimum the library gives the result with the quality. A
// profile and a physical size the command keeps are kept given to the PNG.
TEST_P(SameAsCommand, PaletteAndIndicesOfOnePictureTheirPngAndTheirRemap) {
  const Case& c = GetParam();
  const int channels = c.alpha == PixelAlpha::none ? 3 : 4;
  const std::vector<uint8_t> pixels = testPixels(c.width, c.height, 3, c.noisy, c.alpha);
  std::string in = writePam(dir, "in", c.width, c.height, channels, pixels);
  if (c.profile) {
    in = "in.png";
    writeFileBytes(dir.path("in.rgb"), pixels);
    python(
        "from PIL import ImageCms\n"
        "icc = ImageCms.ImageCmsProfile(ImageCms.createProfile('sRGB')).tobytes()\n"
        "open(sys.argv[2] + '.icc', 'wb').write(icc)\n"
        "Image.frombytes('RGB', (int(sys.argv[3]), int(sys.argv[4])), open(sys.argv[1], 'rb')"
        ".read()).save(sys.argv[2], icc_profile=icc, dpi=(300, 300))\n",
        {dir.path("in.rgb"), dir.path(in), std::to_string(c.width), std::to_string(c.height)});
  }
  const RunResult run = runProgram("kxquant", c.options.args({"-o", "out.png", in}), dir.path());
  ASSERT_EQ(run.status, c.belowMinimum ? 99 : 0) << run.err;

  const size_t row = size_t{1} * c.width * channels, stride = row + 7;
  std::vector<uint8_t> padded(stride * c.height, 0x5A);
  for (int y = 0; y < c.height; ++y)
    std::copy_n(pixels.begin() + static_cast<long>(y * row), row, padded.begin() + y * stride);
  auto options = c.options.handle();
  kxq_result* result = nullptr;
  ASSERT_EQ(kxq_quantize(options.get(), padded.data(), c.width, c.height, stride,
                         channels == 4 ? KXQ_RGBA : KXQ_RGB, &result),
            c.belowMinimum ? KXQ_QUALITY_TOO_LOW : KXQ_OK)
      << kxq_options_message(options.get());
  if (c.belowMinimum) {
    const std::string said = "quality " + std::to_string(kxq_result_quality(result)) + " with ";
    EXPECT_NE(run.err.find(said), std::string::npos) << run.err;
    kxq_result_destroy(result);
    return;
  }
  EXPECT_STREQ(kxq_options_message(options.get()), "");
  EXPECT_EQ(reducedOf(result), readBack(dir.path("out.png")));
  const auto icc = c.profile ? readFileBytes(dir.path("in.png.icc")) : std::vector<uint8_t>{};
  const char* name = c.profile ? "ICC Profile" : nullptr;  // PIL names the profile so
  const double dpi = c.profile ? 300 : 0;
  unsigned char* png = nullptr;
  size_t size = 0;
  EXPECT_EQ(
      kxq_write_png(options.get(), result, icc.data(), icc.size(), name, dpi, dpi, &png, &size),
      KXQ_OK)
      << kxq_options_message(options.get());
  EXPECT_TRUE(std::vector<uint8_t>(png, png + size) == readFileBytes(dir.path("out.png")));
  kxq_free(png);
  EXPECT_EQ(kxq_result_quality(result) >= 0, c.options.qualityMax >= 0);

  // The palette given back maps the picture as it was mapped, when the
  // palette stands for the colours as they are (refined, no compression).
  if (c.options.refine && !c.noisy) {
    kxq_result* again = nullptr;
    ASSERT_EQ(kxq_remap(options.get(), result, padded.data(), c.width, c.height, stride,
                        channels == 4 ? KXQ_RGBA : KXQ_RGB, &again),
              KXQ_OK)
        << kxq_options_message(options.get());
    EXPECT_EQ(reducedOf(again), reducedOf(result));
    kxq_result_destroy(again);
  }
  kxq_result_destroy(result);
}

// One palette for three pictures, through the C99 caller, as kxquant -u: the
// cases on one thread (one of each picture kind is enough).
class SharedPalette : public InFolder<::testing::TestWithParam<Case>> {};

TEST_P(SharedPalette, ThreePicturesFromC99GetTheCommandsPaletteAndIndices) {
  const Case& c = GetParam();
  const int channels = c.alpha == PixelAlpha::none ? 3 : 4;
  std::vector<std::vector<uint8_t>> pictures;
  std::vector<const unsigned char*> pointers;
  std::vector<std::string> args = c.options.args({"-u"});
  for (int i = 0; i < 3; ++i) {
    pictures.push_back(testPixels(c.width, c.height, 5 + i, c.noisy, c.alpha));
    pointers.push_back(pictures.back().data());  // kept when the vector of pictures grows
    args.push_back(
        writePam(dir, "p" + std::to_string(i), c.width, c.height, channels, pictures[i]));
  }
  const RunResult run = runProgram("kxquant", args, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;

  const size_t pixels = size_t{1} * c.width * c.height;
  std::vector<uint8_t> palette(256 * 4), indices(3 * pixels);
  char message[200];
  const int entries =
      kxqTestShared(c.options.handle().get(), pointers.data(), 3, c.width, c.height, channels,
                    palette.data(), indices.data(), message, sizeof message);
  ASSERT_GT(entries, 0) << message;
  palette.resize(4 * entries);
  for (size_t i = 0; i < 3; ++i) {
    const Reduced mine{palette, {indices.begin() + i * pixels, indices.begin() + (i + 1) * pixels}};
    EXPECT_EQ(mine, readBack(dir.path("p" + std::to_string(i) + "-kx.png"))) << i;
  }
}

const Case kCases[] = {
    Case{"Opaque", 90, 60, false, PixelAlpha::none, {}},
    Case{"Colors16Diffusion", 90, 60, false, PixelAlpha::none, {16, 0.7f, true, 3}},
    Case{"ManyColoursNoRefine", 320, 240, true, PixelAlpha::none, {64, -1, false, 2}},
    Case{"ManyColoursAdaptive", 320, 240, true, PixelAlpha::none, {64, 0, true, 2}},
    Case{"ManyColoursDiffusion", 320, 240, true, PixelAlpha::none, {256, 0.4f}},
    Case{"Transparent", 90, 60, false, PixelAlpha::binary, {32, 0.7f}},
    Case{"TransparentNoRefine", 90, 60, false, PixelAlpha::binary, {2, -1, false}},
    Case{"NoDither", 90, 60, false, PixelAlpha::none, {200, -1, true, 2}},
    Case{"Alpha", 90, 60, false, PixelAlpha::soft, {48, 0, true, 4}},
    Case{"AlphaDiffusion", 90, 60, true, PixelAlpha::soft, {256, 1.0f}},
    Case{"QualityFewestColours", 160, 120, false, PixelAlpha::none, {256, 0, true, 2, 40, 85}},
    Case{"QualityTransparent", 90, 60, true, PixelAlpha::binary, {64, -1, true, 3, 0, 70}},
    Case{"QualityTooLow", 120, 80, true, PixelAlpha::none, {16, 0, true, 2, 99, 100}, true},
    Case{"ProfileAndSize", 100, 70, false, PixelAlpha::none, {40, 0, true, 2}, false, true},
};

auto oneThread = kCases | std::views::filter([](const Case& c) { return c.options.threads == 1; });

INSTANTIATE_TEST_SUITE_P(Pictures, SameAsCommand, testing::ValuesIn(kCases), CaseName());
INSTANTIATE_TEST_SUITE_P(Pictures, SharedPalette,
                         testing::ValuesIn(oneThread.begin(), oneThread.end()), CaseName());

struct GifCase {
  const char* name;
  std::vector<std::pair<int, int>> sizes;  // of the frames, in order
  bool noisy;
  PixelAlpha alpha;
  Options options;
  int delayMs;
  int loop;  // -1: --no-loop
};

class GifSameAsCommand : public InFolder<::testing::TestWithParam<GifCase>> {};

TEST_P(GifSameAsCommand, SameBytesWrittenOnceAfterTheFirstFrame) {
  const GifCase& c = GetParam();
  const int channels = c.alpha == PixelAlpha::none ? 3 : 4;
  std::vector<std::string> args =
      c.options.args({"--delay", std::to_string(c.delayMs), "-o", "out.gif"});
  if (c.loop < 0) args.push_back("--no-loop");
  if (c.loop > 0) args.insert(args.end(), {"--loop", std::to_string(c.loop)});
  auto options = c.options.handle();
  kxq_gif* gif = nullptr;
  ASSERT_EQ(kxq_gif_create(options.get(), &gif), KXQ_OK);
  EXPECT_EQ(kxq_gif_set_loop(gif, c.loop), KXQ_OK);
  unsigned char* bytes = nullptr;
  size_t size = 0;
  EXPECT_EQ(kxq_gif_write(gif, &bytes, &size), KXQ_INVALID_ARGUMENT);  // no frame yet
  for (size_t i = 0; i < c.sizes.size(); ++i) {
    const auto [w, h] = c.sizes[i];
    const std::vector<uint8_t> pixels = testPixels(w, h, 1 + i % 2, c.noisy, c.alpha);
    args.push_back(
        writePam(dir, std::string("f") + static_cast<char>('0' + i), w, h, channels, pixels));
    EXPECT_EQ(kxq_gif_add_frame(gif, pixels.data(), w, h, size_t{1} * w * channels,
                                channels == 4 ? KXQ_RGBA : KXQ_RGB, c.delayMs),
              KXQ_OK)
        << kxq_gif_message(gif);
  }
  const RunResult run = runProgram("kxquant", args, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(kxq_gif_write(gif, &bytes, &size), KXQ_OK) << kxq_gif_message(gif);
  EXPECT_TRUE(std::vector<uint8_t>(bytes, bytes + size) == readFileBytes(dir.path("out.gif")));
  kxq_free(bytes);
  EXPECT_EQ(kxq_gif_write(gif, &bytes, &size), KXQ_INVALID_ARGUMENT);  // once only
  kxq_gif_destroy(gif);
}

// clang-format off
const GifCase kGifCases[] = {
    {"Opaque", {{64, 48}, {64, 48}, {64, 48}, {64, 48}}, false, PixelAlpha::none, {}, 100, 0},
    {"SizesDifferTransparentNoLoop", {{60, 40}, {30, 20}, {60, 40}, {61, 47}}, false,
     PixelAlpha::binary, {32, 0.7f, true, 3}, 33, -1},
    {"ManyColoursSoftAlpha", {{120, 90}, {120, 90}, {120, 90}}, true, PixelAlpha::soft,
     {64, -1, false, 2}, 45, 7},
    {"QualityNoisy", {{64, 48}, {64, 48}, {64, 48}}, true, PixelAlpha::none,
     {256, -1, true, 2, 0, 40}, 40, 0},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Frames, GifSameAsCommand, testing::ValuesIn(kGifCases), CaseName());

struct Refusal {
  const char* name;
  const char* words;  // part of the message
  std::function<kxq_status(kxq_options*, kxq_result**)> call;
  kxq_status status = KXQ_INVALID_ARGUMENT;
};

const uint8_t kPixels[4 * 4 * 4] = {};

class Refusals : public testing::TestWithParam<Refusal> {};

TEST_P(Refusals, ReturnTheirStatusAndSayWhy) {
  const Refusal& r = GetParam();
  const OptionsPtr options = freshOptions();
  kxq_result* result = nullptr;
  EXPECT_EQ(r.call(options.get(), &result), r.status);
  EXPECT_EQ(result, nullptr);
  EXPECT_NE(std::string(kxq_options_message(options.get())).find(r.words), std::string::npos)
      << kxq_options_message(options.get());
  // The words stay until the handle's next call, which clears them.
  EXPECT_EQ(kxq_quantize(options.get(), kPixels, 4, 4, 12, KXQ_RGB, &result), KXQ_OK);
  EXPECT_STREQ(kxq_options_message(options.get()), "");
  kxq_result_destroy(result);
}

Refusal pixelsRefused(const char* name, const char* words, const void* pixels, int w, int h,
                      size_t stride, int format, kxq_status status = KXQ_INVALID_ARGUMENT) {
  return {name, words,
          [=](auto o, auto r) {
            return kxq_quantize(o, pixels, w, h, stride, static_cast<kxq_format>(format), r);
          },
          status};
}

// clang-format off
const Refusal kRefusals[] = {
    pixelsRefused("NoPixels", "null", nullptr, 4, 4, 12, 3),
    pixelsRefused("ZeroWidth", "0 x 4 pixels", kPixels, 0, 4, 12, 3),
    pixelsRefused("NegativeHeight", "4 x -1", kPixels, 4, -1, 12, 3),
    pixelsRefused("Format", "KXQ_RGB", kPixels, 4, 4, 16, 2),
    pixelsRefused("ShortStride", "stride of 15", kPixels, 4, 4, 15, 4),
    pixelsRefused("StridePastTheAddressSpace", "past the address space", kPixels, 2, 2,
                  SIZE_MAX, 3),
    pixelsRefused("StridesWrappingTheAddressSpace", "past the address space", kPixels, 2, 3,
                  SIZE_MAX / 2 + 1, 3),
    pixelsRefused("TooLarge", "65536 x 32768", kPixels, 65536, 32768, 0, 3, KXQ_TOO_LARGE),
    {"NowhereForTheResult", "nowhere",
     [](auto o, auto) { return kxq_quantize(o, kPixels, 4, 4, 12, KXQ_RGB, nullptr); }},
    {"OneColour", "2 to 256", [](auto o, auto) { return kxq_set_colors(o, 1); }},
    {"Colours257", "2 to 256", [](auto o, auto) { return kxq_set_colors(o, 257); }},
    {"FactorNaN", "factor",
     [](auto o, auto) { return kxq_set_dither(o, KXQ_DITHER_DIFFUSION, std::nanf("")); }},
    {"FactorZero", "factor",
     [](auto o, auto) { return kxq_set_dither(o, KXQ_DITHER_DIFFUSION, 0); }},
    {"Dither9", "numbered 9",
     [](auto o, auto) { return kxq_set_dither(o, static_cast<kxq_dither>(9), 1); }},
    {"Threads", "1024 threads", [](auto o, auto) { return kxq_set_threads(o, 1025); }},
    {"NoPalette", "no palette",
     [](auto o, auto r) { return kxq_remap(o, nullptr, kPixels, 4, 4, 12, KXQ_RGB, r); }},
    {"EmptyPalette", "1 to 256 entries",
     [](auto o, auto r) { return kxq_palette_create(o, kPixels, 0, r); }},
    {"QualityMinAboveMax", "minimum at most its maximum",
     [](auto o, auto) { return kxq_set_quality(o, 80, 60); }},
    {"Quality101", "0 to 100", [](auto o, auto) { return kxq_set_quality(o, 0, 101); }},
    {"PngOfHalfAPhysicalSize", "physical size", [](auto o, auto) {
       kxq_result* made = nullptr;
       EXPECT_EQ(kxq_quantize(o, kPixels, 4, 4, 12, KXQ_RGB, &made), KXQ_OK);
       unsigned char* bytes;
       size_t size;
       const kxq_status s = kxq_write_png(o, made, nullptr, 0, nullptr, 0, 72, &bytes, &size);
       kxq_result_destroy(made);
       return s;
     }},
    {"PngOfNoResult", "no result", [](auto o, auto) {
       unsigned char* bytes;
       size_t size;
       return kxq_write_png(o, nullptr, nullptr, 0, nullptr, 0, 0, &bytes, &size);
     }}};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Calls, Refusals, testing::ValuesIn(kRefusals), CaseName());

// The widest and the tallest frame a GIF holds are taken, one pixel more refused.
TEST(Library, GifFramesUpTo65535PixelsWideOrTall) {
  const OptionsPtr options = freshOptions();
  const std::vector<uint8_t> line(65536 * 3, 128);
  for (const bool wide : {true, false}) {
    kxq_gif* gif = nullptr;
    ASSERT_EQ(kxq_gif_create(options.get(), &gif), KXQ_OK);
    auto add = [&](int n) {
      return wide ? kxq_gif_add_frame(gif, line.data(), n, 1, line.size(), KXQ_RGB, 10)
                  : kxq_gif_add_frame(gif, line.data(), 1, n, 3, KXQ_RGB, 10);
    };
    EXPECT_EQ(add(65535), KXQ_OK) << kxq_gif_message(gif);
    EXPECT_EQ(add(65536), KXQ_TOO_LARGE);
    kxq_gif_destroy(gif);
  }
}

TEST(Library, NullHandlesAreRefused) {
  kxq_result* result = nullptr;
  kxq_shared* shared = nullptr;
  EXPECT_EQ(kxq_quantize(nullptr, kPixels, 4, 4, 12, KXQ_RGB, &result), KXQ_INVALID_ARGUMENT);
  EXPECT_EQ(kxq_shared_create(nullptr, &shared), KXQ_INVALID_ARGUMENT);
  EXPECT_EQ(kxq_result_colors(nullptr), 0);
  EXPECT_EQ(kxq_result_palette(nullptr), nullptr);
  EXPECT_EQ(kxq_result_indices(nullptr), nullptr);
  ASSERT_EQ(kxq_shared_create(freshOptions().get(), &shared), KXQ_OK);
  EXPECT_EQ(kxq_shared_palette(shared, &result), KXQ_INVALID_ARGUMENT);
  EXPECT_STREQ(kxq_shared_message(shared), "no picture was added");
  kxq_shared_destroy(shared);
}

// A palette of one's own with a transparent entry, as kxquant's GIF palettes
// have: transparent pixels take it, the rest their nearest colour.
TEST(Library, RemapsToAPaletteGiven) {
  const uint8_t palette[] = {0, 0, 0, 255, 255, 255, 255, 255, 9, 9, 9, 0, 250, 0, 0, 255};
  const uint8_t pixels[] = {10, 10, 10, 255, 240, 250, 245, 255, 200, 30, 0, 255, 9, 200, 9, 0};
  const OptionsPtr options = freshOptions();
  kxq_result *mine = nullptr, *mapped = nullptr;
  ASSERT_EQ(kxq_palette_create(options.get(), palette, 4, &mine), KXQ_OK);
  ASSERT_EQ(kxq_remap(options.get(), mine, pixels, 4, 1, 16, KXQ_RGBA, &mapped), KXQ_OK);
  // The transparent entry first, as a PNG keeps it.
  const Reduced expected{{0, 0, 0, 0, 0, 0, 0, 255, 255, 255, 255, 255, 250, 0, 0, 255},
                         {1, 2, 3, 0}};
  EXPECT_EQ(reducedOf(mapped), expected);
  kxq_result_destroy(mine);
  kxq_result_destroy(mapped);
}

// Handles of their own on several threads at once, each call with threads
// of its own too, give what one call alone gives.
TEST(Library, CallsOnSeveralThreadsAtOnce) {
  const int width = 200, height = 150;
  const std::vector<uint8_t> pixels = testPixels(width, height, 9, true, PixelAlpha::soft);
  const Options options{64, 0.7f, true, 2};
  auto reduce = [&] {
    auto o = options.handle();
    kxq_result* r = nullptr;
    EXPECT_EQ(kxq_quantize(o.get(), pixels.data(), width, height, 4 * width, KXQ_RGBA, &r), KXQ_OK);
    const Reduced out = reducedOf(r);
    kxq_result_destroy(r);
    return out;
  };
  std::vector<Reduced> results(4);
  {
    std::vector<std::jthread> threads;
    for (Reduced& r : results) threads.emplace_back([&] { r = reduce(); });
  }
  EXPECT_EQ(results, std::vector<Reduced>(4, reduce()));
}

TEST(Readme, TheExampleBuildsAgainstAnInstalledPrefixAndGivesTheCommandsBytes) {
  TempDir dir;
  RunResult r =
      runProgram("/usr/bin/cmake", {"--install", buildDir(), "--prefix", dir.path("prefix")});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string readme = readFileText(std::string(KX_SOURCE_DIR) + "/README.md");
  const size_t begin = readme.find("\n```c\n"), end = readme.find("\n```\n", begin + 1);
  ASSERT_TRUE(begin != std::string::npos && end != std::string::npos)
      << "no ```c block in the README";
  writeFileBytes(dir.path("example.c"),
                 std::vector<uint8_t>(readme.begin() + begin + 6, readme.begin() + end + 1));
  r = shell(
      "export PKG_CONFIG_PATH=\"$(dirname $(find prefix -name kxquant.pc))\"; "
      "cc -std=c99 -Wall -Wextra -Werror " KX_SANITIZER_FLAGS
      " -o example example.c $(pkg-config --cflags --libs kxquant)",
      dir.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  const std::vector<uint8_t> pixels = testPixels(120, 80, 4, false, PixelAlpha::binary);
  writeFileBytes(dir.path("photo.rgba"), pixels);
  r = runProgram("kxquant", {"-q", "-n", "64", writePam(dir, "photo", 120, 80, 4, pixels)},
                 dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  r = shell(
      "LD_LIBRARY_PATH=$(dirname $(find prefix -name libkxquant.so)) "
      "./example photo.rgba 120 80 64 > photo.kxq",
      dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  // The palette, then the indices.
  Reduced expected = readBack(dir.path("photo-kx.png"));
  expected.rgba.insert(expected.rgba.end(), expected.indices.begin(), expected.indices.end());
  EXPECT_EQ(readFileBytes(dir.path("photo.kxq")), expected.rgba);
}

}  // namespace
}  // namespace kx
