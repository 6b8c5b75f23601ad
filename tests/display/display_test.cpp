// kxreduce -d end to end: the real binary shows the reduced frames in a real
// window of a private X server (xvfb-run), read back with xwd and ImageMagick
// and driven with xdotool; without a display the run ends keeping its outputs.
// The pixel buffer of the preview: rescale, refusals, fitting and shrinking
// (the window tests see the packing order).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "display/display.h"
#include "support/case_names.h"
#include "support/pictures.h"
#include "support/tempdir.h"

namespace kx {
namespace {

PixelPlanes planesFrom(int width, int height, const std::vector<uint8_t>& rgb) {
  PixelPlanes planes = kx_allocArray(width, height, 3);
  std::copy(rgb.begin(), rgb.end(), planes.data());
  return planes;
}

// Under the X server: runs kxreduce ("$0" "$@"), waits for the window titled
// $TITLE until it shows expected.ppm, checks that kxreduce still waits, and
// ends it with Escape (pressed and released apart: a program that ends at the
// press takes its window along). Its status, or 11 no window, 12 another
// picture, 13 no wait.
const char* kScript = R"(
"$0" "$@" 2>err & pid=$!
for i in $(seq 400); do id=$(xdotool search --onlyvisible --name "^$TITLE\$") && break; sleep 0.05; done
[ -n "$id" ] || exit 11
shown=no
for i in $(seq 400); do
  xwd -silent -id $id | /usr/bin/convert xwd:- -strip -depth 8 ppm:- | cmp -s - expected.ppm && shown=yes && break
  sleep 0.05
done
[ $shown = yes ] || exit 12
sleep 0.3
kill -0 $pid || exit 13
xdotool keydown --window $id Escape && xdotool keyup --window $id Escape 2>/dev/null
wait $pid
)";

struct Case {
  const char* name;
  int frames;  // in.1 ... in.<frames>, or in alone when 0
  int width, height, shownWidth, shownHeight;
  std::string args, title, last;  // the frame the window ends up showing
};

class Preview : public testing::TestWithParam<Case> {};

// Frames before the last go by without waiting: the window ends up showing
// the last one (a frame larger than the 1024 x 768 screen shrunk to fit),
// until Escape.
TEST_P(Preview, ShowsTheLastReducedFrameUntilEscape) {
  const Case& c = GetParam();
  if (access("/usr/bin/xvfb-run", X_OK) != 0 || access("/usr/bin/xauth", X_OK) != 0)
    GTEST_SKIP() << "no xvfb-run (with xauth) for the preview test";
  TempDir dir;
  for (int f = 1; f <= c.frames; ++f)
    writeSamplePicture(dir.path("in." + std::to_string(f)), c.width, c.height, f);
  if (c.frames == 0) writeSamplePicture(dir.path("in"), c.width, c.height);
  std::vector<std::string> args = words(c.args);
  // The frame to be shown, from the same run without -d.
  ASSERT_EQ(runProgram("kxreduce", args, dir.path()).status, 0);
  std::vector<uint8_t> rgb = readRgbPicture(dir.path(c.last));
  if (c.shownWidth != c.width) {  // as kx_shrinkImage shrinks it (checked on its own)
    PixelPlanes planes = planesFrom(c.width, c.height, rgb);
    const auto shrunk = kx_shrinkImage((*kx_packImage(planes, c.width, c.height, 255)).get(),
                                       c.width, c.height, c.shownWidth, c.shownHeight);
    rgb.clear();
    for (int y = c.shownHeight - 1; y >= 0; --y) {  // the words run bottom-up
      for (int x = 0; x < c.shownWidth; ++x)
        for (int k = 0; k < 3; ++k) rgb.push_back(shrunk[y * c.shownWidth + x] >> (8 * k));
    }
  }
  const std::string header =
      "P6\n" + std::to_string(c.shownWidth) + " " + std::to_string(c.shownHeight) + "\n255\n";
  rgb.insert(rgb.begin(), header.begin(), header.end());
  writeFileBytes(dir.path("expected.ppm"), rgb);

  args.insert(args.begin(), {"-a", "-s", "-screen 0 1024x768x24 -nolisten tcp", "/bin/sh", "-c",
                             kScript, buildDir() + "/kxreduce", "-d"});
  const RunResult r =
      runProgram("/usr/bin/xvfb-run", args,
                 RunOptions{.cwd = dir.path(),
                            .env = {"TITLE=" + c.title, "LSAN_OPTIONS=suppressions=" KX_SOURCE_DIR
                                                        "/tests/display/lsan.supp"}});
  EXPECT_EQ(r.status, 0) << r.err << readFileText(dir.path("err"));
}

INSTANTIATE_TEST_SUITE_P(Cases, Preview,
                         testing::Values(Case{"sequence", 3, 24, 16, 24, 16,
                                              "-n 8 -o pic -s 1 3 1 in out", "8 colors image",
                                              "out.3"},
                                         Case{"larger_than_the_screen", 0, 1100, 200, 1024, 186,
                                              "-n 16 -o pic in out", "16 colors image", "out"}),
                         CaseName());

// Without a display the run ends after the frame it could not show, keeping
// its files; without the preview module (or SDL2) it ends before any work,
// in one line.
TEST(PreviewWithoutDisplay, EndsTheRunAndKeepsTheOutput) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 16, 16);
  RunResult r =
      runProgram("kxreduce", {"-d", "-n", "16", "in", "out"},
                 RunOptions{.cwd = dir.path(),
                            .env = {"DISPLAY=", "WAYLAND_DISPLAY=", "SDL_VIDEODRIVER=x11"}});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err,
            "allocate color table\nError: Couldn't open a window to display 16 colors image!\n");
  EXPECT_TRUE(std::filesystem::exists(dir.path("out.icn")));
  EXPECT_TRUE(std::filesystem::exists(dir.path("out.clm")));
  r = runProgram("kxreduce", {"-d", "-n", "16", "in", "again"},
                 RunOptions{.cwd = dir.path(), .env = {"KX_PREVIEW_MODULE=/nowhere/kxpreview.so"}});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err,
            "Error: the preview (-d) cannot be shown: /nowhere/kxpreview.so: cannot open shared "
            "object file: No such file or directory\n");
  EXPECT_FALSE(std::filesystem::exists(dir.path("again.icn")));
}

// No tool needs the desktop stack: only the preview module loads SDL2.
TEST(PreviewModule, NoToolLinksSdlX11OrWayland) {
  for (const char* tool : {"kxreduce", "kxconv", "kxquant", "kxslurm"}) {
    const RunResult r = runProgram("/usr/bin/ldd", {buildDir() + "/" + tool});
    ASSERT_EQ(r.status, 0) << tool;
    for (const char* library : {"libSDL2", "libX11", "libwayland"})
      EXPECT_EQ(r.out.find(library), std::string::npos) << tool << " links " << library;
  }
  const RunResult module = runProgram("/usr/bin/ldd", {buildDir() + "/kxpreview.so"});
  EXPECT_NE(module.out.find("libSDL2"), std::string::npos) << module.out;
}

TEST(PackImage, RescalesToMaxval255AndRefusesMaxvalZeroOrFramesLargerThanTheirPlanes) {
  // {sample at maxval 100, shown}: 100 × 2.55 is just below 255.
  for (auto [sample, shown] : {std::pair<uint8_t, uint8_t>{100, 254}, {50, 127}}) {
    PixelPlanes planes = planesFrom(1, 1, {sample, 0, sample});
    EXPECT_EQ((*kx_packImage(planes, 1, 1, 100))[0], uint32_t{shown} | uint32_t{shown} << 16);
    EXPECT_EQ(std::vector(planes.data(), planes.data() + planes.byteSize()),
              (std::vector<uint8_t>{shown, 0, shown}));
  }
  // The error of a frame packed throws: a refusal missing fails too.
  PixelPlanes planes = kx_allocArray(4, 3, 3);
  EXPECT_EQ(kx_packImage(planes, 1, 1, 0).error().message, "display: max val = 0");
  EXPECT_EQ(kx_packImage(planes, 5, 3, 255).error().message,
            "display: a 5 x 3 frame does not fit its 4 x 3 pixel planes");
}

TEST(FitSize, LargerFramesShrinkToTheScreenKeepingTheirAspect) {
  const auto fit = [](int width, int height, int maxWidth, int maxHeight) {
    int w = 0, h = 0;
    kx_fitSize(width, height, maxWidth, maxHeight, &w, &h);
    return std::pair(w, h);
  };
  EXPECT_EQ(fit(1024, 768, 1024, 768), std::pair(1024, 768));    // exactly the screen
  EXPECT_EQ(fit(600, 1600, 1024, 768), std::pair(288, 768));     // too high
  EXPECT_EQ(fit(3640, 2400, 1280, 1024), std::pair(1280, 843));  // 843.9 rounds down
  EXPECT_EQ(fit(5000, 2, 1024, 768), std::pair(1024, 1));        // never below one pixel
  EXPECT_EQ(fit(2000, 1000, 0, 0), std::pair(2000, 1000));       // no screen known
}

// Each shrunk pixel against the mean of its block, in floating point.
TEST(ShrinkImage, EveryPixelIsTheMeanOfItsBlock) {
  const int width = 37, height = 23;
  std::vector<uint8_t> rgb;
  for (int i = 0; i < width * height * 3; ++i) rgb.push_back(static_cast<uint8_t>(i * 97 % 251));
  PixelPlanes planes = planesFrom(width, height, rgb);
  const auto words = std::move(*kx_packImage(planes, width, height, 255));
  for (auto [toWidth, toHeight] : {std::pair{10, 7}, std::pair{37, 23}, std::pair{1, 1}}) {
    const auto shrunk = kx_shrinkImage(words.get(), width, height, toWidth, toHeight);
    for (int y = 0; y < toHeight; ++y) {
      for (int x = 0; x < toWidth; ++x) {
        for (int k = 0; k < 3; ++k) {
          double sum = 0;
          int n = 0;
          for (int r = y * height / toHeight; r < (y + 1) * height / toHeight; ++r)
            for (int c = x * width / toWidth; c < (x + 1) * width / toWidth; ++c, ++n)
              sum += rgb[(r * width + c) * 3 + k];
          ASSERT_EQ(shrunk[(toHeight - 1 - y) * toWidth + x] >> (8 * k) & 0xFF,
                    static_cast<uint32_t>(sum / n + 0.5))
              << toWidth << " x " << toHeight << " at " << x << ", " << y;
        }
      }
    }
  }
}

}  // namespace
}  // namespace kx
