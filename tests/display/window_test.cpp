// The preview in a real window on a private X server, and without any.
#include <unistd.h>

#include <gtest/gtest.h>

#include <vector>

#include "display/display.h"
#include "display/xserver.h"
#include "support/tempdir.h"

namespace kx {
namespace {

using namespace std::chrono_literals;
using Frames = std::vector<std::vector<uint8_t>>;

// Rows and columns all differ: no flipped or mis-strided picture can match.
std::vector<uint8_t> testPicture(int width, int height, int seed) {
  std::vector<uint8_t> rgb;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int v : {x * 7 + seed, y * 11 + seed * 3, (x * 5 + y * 13) ^ seed}) {
        rgb.push_back(static_cast<uint8_t>(v));
      }
    }
  }
  return rgb;
}

// In a child: shows the frames in turn, the last one waiting for Escape, and
// reads a byte from goFd after each earlier one. The status of a fatal error, else 0.
int showFrames(const Frames& frames, int width, int height, int goFd = -1) {
  int handle = 0;
  try {
    for (size_t i = 0; i < frames.size(); ++i) {
      PixelPlanes planes = kx_allocArray(width, height, 3);
      std::copy(frames[i].begin(), frames[i].end(), planes.data());
      const bool last = i + 1 == frames.size();
      kx_displayImage(&handle, planes, width, height, 255, 16, last ? 1 : 0);
      char c;
      if (!last && read(goFd, &c, 1) != 1) return 1;
    }
  } catch (const ExitRequest& e) {
    return e.status;
  }
  return 0;
}

std::string fileText(const std::string& path) {
  const auto bytes = readFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// Shows the frames in a child under Xvfb and checks each is drawn in turn (an
// earlier frame that waited would never let the next one be), that the last
// one waits for Escape, and a clean exit.
void expectShownInTurn(const Frames& frames, int width, int height) {
  xtest::Xvfb x;
  std::string why;
  if (!x.start(&why)) GTEST_SKIP() << "no X server for the window tests: " << why;
  TempDir dir;
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  auto child = xtest::Child::fork([&] { return showFrames(frames, width, height, go[0]); },
                                  x.display(), dir.path("err"));
  const auto id = xtest::findWindow(x.display(), "16 colors image", 20s);
  ASSERT_TRUE(id) << "no window; the child wrote: " << fileText(dir.path("err"));
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_TRUE(xtest::waitForImage(x.display(), *id, width, height, frames[i], 10s))
        << "the window does not show frame " << i;
    if (i + 1 < frames.size()) (void)!write(go[1], "x", 1);  // the next frame
  }
  close(go[0]);
  close(go[1]);
  EXPECT_FALSE(child.wait(300ms).has_value()) << "the last frame did not wait for Escape";
  EXPECT_TRUE(xtest::sendKey(x.display(), *id, "Escape"));
  EXPECT_EQ(child.wait(20s), 0);
  EXPECT_EQ(fileText(dir.path("err")), "");
}

TEST(PreviewWindow, ShowsThePictureUntilEscape) {
  expectShownInTurn({testPicture(37, 23, 1)}, 37, 23);
}

TEST(PreviewWindow, OnlyTheLastOfThreeFramesWaits) {
  expectShownInTurn({testPicture(30, 20, 1), testPicture(30, 20, 2), testPicture(30, 20, 3)}, 30,
                    20);
}

// The test server's screen is 1024 x 768: a 1600 x 600 frame is shown whole
// at 1024 x 384.
TEST(PreviewWindow, ScalesAFrameLargerThanTheScreenDownToFit) {
  xtest::Xvfb x;
  std::string why;
  if (!x.start(&why)) GTEST_SKIP() << "no X server for the window tests: " << why;
  TempDir dir;
  const std::vector<uint8_t> big = testPicture(1600, 600, 4);
  auto child = xtest::Child::fork([&] { return showFrames({big}, 1600, 600); }, x.display(),
                                  dir.path("err"));
  const auto id = xtest::findWindow(x.display(), "16 colors image", 20s);
  ASSERT_TRUE(id) << "no window; the child wrote: " << fileText(dir.path("err"));
  PixelPlanes planes = kx_allocArray(1600, 600, 3);
  std::copy(big.begin(), big.end(), planes.data());
  const auto shrunk =
      kx_shrinkImage(kx_packImage(planes, 1600, 600, 255).get(), 1600, 600, 1024, 384);
  std::vector<uint8_t> expected;
  for (int y = 383; y >= 0; --y) {  // the words run bottom-up
    for (int x = 0; x < 1024; ++x) {
      for (int k = 0; k < 3; ++k)
        expected.push_back(static_cast<uint8_t>(shrunk[y * 1024 + x] >> (8 * k)));
    }
  }
  EXPECT_TRUE(xtest::waitForImage(x.display(), *id, 1024, 384, expected, 20s));
  EXPECT_TRUE(xtest::sendKey(x.display(), *id, "Escape"));
  EXPECT_EQ(child.wait(20s), 0);
  EXPECT_EQ(fileText(dir.path("err")), "");
}

TEST(PreviewWithoutDisplay, EndsTheRunWithTheWindowTitle) {
  TempDir dir;
  auto child = xtest::Child::fork([] { return showFrames({testPicture(2, 2, 1)}, 2, 2); }, "",
                                  dir.path("err"));
  EXPECT_EQ(child.wait(20s), 255);
  EXPECT_EQ(fileText(dir.path("err")),
            "Error: Couldn't open a window to display 16 colors image!\n");
}

}  // namespace
}  // namespace kx
