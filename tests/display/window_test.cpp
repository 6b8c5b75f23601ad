// The preview in a real window on a private X server, and without any.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <SDL.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "display/display.h"
#include "display/xserver.h"
#include "support/tempdir.h"

namespace kx {
namespace {

using namespace std::chrono_literals;

// A picture whose every row and column differ, so that a picture drawn
// upside down, mirrored or with a wrong row length cannot match.
std::vector<uint8_t> testPicture(int width, int height, int seed) {
  std::vector<uint8_t> rgb;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      rgb.push_back(static_cast<uint8_t>(x * 7 + seed));
      rgb.push_back(static_cast<uint8_t>(y * 11 + seed * 3));
      rgb.push_back(static_cast<uint8_t>((x * 5 + y * 13) ^ seed));
    }
  }
  return rgb;
}

PixelPlanes planesFrom(int width, int height, const std::vector<uint8_t>& rgb) {
  PixelPlanes planes = kx_allocArray(width, height, 3);
  std::copy(rgb.begin(), rgb.end(), planes.data());
  return planes;
}

std::string fileText(const std::string& path) {
  const auto bytes = readFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// Runs frames through kx_displayImage in the child; the status of the first
// fatal error, else 0.
int showFrames(const std::function<void(int* handle)>& frames) {
  int handle = 0;
  try {
    frames(&handle);
  } catch (const ExitRequest& e) {
    return e.status;
  }
  return 0;
}

// A one-byte signal between the test and its child.
class Pipe {
 public:
  Pipe() {
    if (pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
  }
  ~Pipe() {
    close(fds_[0]);
    close(fds_[1]);
  }
  void send() const { (void)!write(fds_[1], "x", 1); }
  bool receive(std::chrono::milliseconds timeout) const {
    pollfd p{fds_[0], POLLIN, 0};
    char c;
    return poll(&p, 1, static_cast<int>(timeout.count())) == 1 && read(fds_[0], &c, 1) == 1;
  }

 private:
  int fds_[2];
};

class PreviewWindow : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!x_.start(&why)) GTEST_SKIP() << "no X server for the window tests: " << why;
  }
  const std::string& display() const { return x_.display(); }

  // Waits for the window and checks it shows exactly this picture.
  std::string expectWindowShows(const std::string& title, int width, int height,
                                const std::vector<uint8_t>& rgb) {
    const auto id = xtest::findWindow(display(), title, 20s);
    if (!id) {
      ADD_FAILURE() << "no window titled \"" << title
                    << "\"; the child wrote: " << fileText(dir_.path("err"));
      return "";
    }
    const auto shot = xtest::waitForImage(display(), *id, width, height, rgb, 10s);
    if (!shot) {
      ADD_FAILURE() << "no screenshot of the window";
    } else {
      EXPECT_EQ(shot->width, width);
      EXPECT_EQ(shot->height, height);
      EXPECT_TRUE(shot->rgb == rgb) << "the window does not show the picture";
    }
    return *id;
  }

  TempDir dir_;
  xtest::Xvfb x_;
};

struct FrameCase {
  int width, height, maxval;
};

class PreviewLastFrame : public PreviewWindow, public testing::WithParamInterface<FrameCase> {};

TEST_P(PreviewLastFrame, ShowsThePictureUntilEscape) {
  const FrameCase& t = GetParam();
  std::vector<uint8_t> rgb = testPicture(t.width, t.height, 1);
  std::vector<uint8_t> shown = rgb;
  for (uint8_t& s : shown) s = static_cast<uint8_t>(static_cast<int>(s * (255.0 / t.maxval)));
  Pipe returned;
  auto child = xtest::Child::fork(
      [&] {
        PixelPlanes planes = planesFrom(t.width, t.height, rgb);
        const int status = showFrames([&](int* handle) {
          kx_displayImage(handle, planes, t.width, t.height, t.maxval, 16, 1);
        });
        returned.send();
        return status;
      },
      display(), dir_.path("err"));

  const std::string id = expectWindowShows("16 colors image", t.width, t.height, shown);
  ASSERT_FALSE(id.empty());
  // Opened at the lower-left corner of the screen.
  const auto g = xtest::windowGeometry(display(), id);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->x, 0);
  EXPECT_EQ(g->y, x_.screenHeight() - t.height);
  EXPECT_EQ(g->width, t.width);
  EXPECT_EQ(g->height, t.height);

  EXPECT_FALSE(returned.receive(300ms)) << "the last frame did not wait for Escape";
  EXPECT_TRUE(xtest::sendKey(display(), id, "Escape"));
  EXPECT_EQ(child.wait(20s), 0);
  EXPECT_EQ(fileText(dir_.path("err")), "");
}

INSTANTIATE_TEST_SUITE_P(Frames, PreviewLastFrame,
                         testing::Values(FrameCase{37, 23, 255}, FrameCase{64, 1, 255},
                                         FrameCase{1, 40, 255}, FrameCase{19, 12, 100}));

TEST_F(PreviewWindow, EarlierFramesAreDrawnWithoutWaiting) {
  const std::vector<uint8_t> pictures[3] = {testPicture(30, 20, 1), testPicture(30, 20, 2),
                                            testPicture(30, 20, 3)};
  Pipe shown, go;
  auto child = xtest::Child::fork(
      [&] {
        return showFrames([&](int* handle) {
          for (int frame = 0; frame < 3; ++frame) {
            PixelPlanes planes = planesFrom(30, 20, pictures[frame]);
            kx_displayImage(handle, planes, 30, 20, 255, 16, frame == 2 ? 1 : 0);
            shown.send();
            if (frame < 2 && !go.receive(30s)) return;
          }
        });
      },
      display(), dir_.path("err"));

  for (int frame = 0; frame < 2; ++frame) {
    ASSERT_TRUE(shown.receive(20s)) << "frame " << frame << " waited";
    // Drawn and left on screen, with no event read.
    expectWindowShows("16 colors image", 30, 20, pictures[frame]);
    go.send();
  }
  const std::string id = expectWindowShows("16 colors image", 30, 20, pictures[2]);
  EXPECT_FALSE(shown.receive(300ms)) << "the last frame did not wait for Escape";
  EXPECT_TRUE(xtest::sendKey(display(), id, "Escape"));
  EXPECT_TRUE(shown.receive(20s));
  EXPECT_EQ(child.wait(20s), 0);
  EXPECT_EQ(fileText(dir_.path("err")), "");
}

TEST_F(PreviewWindow, EscapeDuringEarlierFramesEndsTheLastWait) {
  const std::vector<uint8_t> first = testPicture(12, 8, 1), last = testPicture(12, 8, 2);
  Pipe shown, go;
  auto child = xtest::Child::fork(
      [&] {
        return showFrames([&](int* handle) {
          PixelPlanes planes = planesFrom(12, 8, first);
          kx_displayImage(handle, planes, 12, 8, 255, 256, 0);
          shown.send();
          if (!go.receive(30s)) return;
          planes = planesFrom(12, 8, last);
          kx_displayImage(handle, planes, 12, 8, 255, 256, 1);
        });
      },
      display(), dir_.path("err"));
  ASSERT_TRUE(shown.receive(20s));
  const std::string id = expectWindowShows("256 colors image", 12, 8, first);
  EXPECT_TRUE(xtest::sendKey(display(), id, "Escape"));
  go.send();
  EXPECT_EQ(child.wait(20s), 0) << "the queued Escape did not end the wait";
}

TEST_F(PreviewWindow, LaterFramesKeepTheFirstWindow) {
  // A larger second frame is drawn from the lower-left corner of the window
  // the first frame opened: the window shows its bottom-left 20 × 10 pixels.
  const std::vector<uint8_t> small = testPicture(20, 10, 1), large = testPicture(30, 15, 2);
  std::vector<uint8_t> corner;
  for (int y = 5; y < 15; ++y) {
    corner.insert(corner.end(), large.begin() + (y * 30) * 3, large.begin() + (y * 30 + 20) * 3);
  }
  auto child = xtest::Child::fork(
      [&] {
        return showFrames([&](int* handle) {
          PixelPlanes planes = planesFrom(20, 10, small);
          kx_displayImage(handle, planes, 20, 10, 255, 8, 0);
          planes = planesFrom(30, 15, large);
          kx_displayImage(handle, planes, 30, 15, 255, 8, 1);
        });
      },
      display(), dir_.path("err"));
  const std::string id = expectWindowShows("8 colors image", 20, 10, corner);
  ASSERT_FALSE(id.empty());
  EXPECT_TRUE(xtest::sendKey(display(), id, "Escape"));
  EXPECT_EQ(child.wait(20s), 0);
}

TEST_F(PreviewWindow, SmallerLaterFrameSitsInTheLowerLeftCorner) {
  const std::vector<uint8_t> large = testPicture(16, 12, 1), small = testPicture(10, 5, 2);
  // Cleared to black, then drawn from the bottom-left corner.
  std::vector<uint8_t> expected(16 * 12 * 3, 0);
  for (int y = 0; y < 5; ++y) {
    std::copy(small.begin() + y * 30, small.begin() + y * 30 + 30,
              expected.begin() + ((7 + y) * 16) * 3);
  }
  auto child = xtest::Child::fork(
      [&] {
        return showFrames([&](int* handle) {
          PixelPlanes planes = planesFrom(16, 12, large);
          kx_displayImage(handle, planes, 16, 12, 255, 4, 0);
          planes = planesFrom(10, 5, small);
          kx_displayImage(handle, planes, 10, 5, 255, 4, 1);
        });
      },
      display(), dir_.path("err"));
  const std::string id = expectWindowShows("4 colors image", 16, 12, expected);
  ASSERT_FALSE(id.empty());
  EXPECT_TRUE(xtest::sendKey(display(), id, "Escape"));
  EXPECT_EQ(child.wait(20s), 0);
}

TEST_F(PreviewWindow, ClosingTheWindowEndsTheWait) {
  auto child = xtest::Child::fork(
      [&] {
        return showFrames([&](int* handle) {
          PixelPlanes planes = planesFrom(8, 8, testPicture(8, 8, 1));
          kx_displayImage(handle, planes, 8, 8, 255, 2, 0);
          // What SDL reports when a window manager asks the window to close.
          SDL_Event e{};
          e.type = SDL_WINDOWEVENT;
          e.window.event = SDL_WINDOWEVENT_CLOSE;
          e.window.windowID = static_cast<Uint32>(*handle);
          if (SDL_PushEvent(&e) != 1) std::exit(97);
          kx_displayImage(handle, planes, 8, 8, 255, 2, 1);
        });
      },
      display(), dir_.path("err"));
  EXPECT_EQ(child.wait(20s), 0);
  EXPECT_EQ(fileText(dir_.path("err")), "");
}

TEST_F(PreviewWindow, InterruptStillEndsTheWaitingProgram) {
  // SDL must not take Ctrl-C over: nobody reads its quit event before the
  // last frame.
  auto child = xtest::Child::fork(
      [&] {
        return showFrames([&](int* handle) {
          PixelPlanes planes = planesFrom(8, 8, testPicture(8, 8, 1));
          kx_displayImage(handle, planes, 8, 8, 255, 3, 1);
        });
      },
      display(), dir_.path("err"));
  ASSERT_TRUE(xtest::findWindow(display(), "3 colors image", 20s));
  kill(child.pid(), SIGINT);
  EXPECT_EQ(child.wait(20s), 128 + SIGINT);
}

// With no window system, SDL_VIDEODRIVER naming a driver that draws nowhere,
// the run must end instead of waiting for a key nobody can press.
class PreviewWithoutDisplay : public testing::TestWithParam<const char*> {};

TEST_P(PreviewWithoutDisplay, EndsTheRunWithTheWindowTitle) {
  TempDir dir;
  const std::string driver = GetParam();
  auto child = xtest::Child::fork(
      [&] {
        if (!driver.empty()) setenv("SDL_VIDEODRIVER", driver.c_str(), 1);
        PixelPlanes planes = planesFrom(2, 2, testPicture(2, 2, 1));
        return showFrames([&](int* handle) {
          kx_displayImage(handle, planes, 2, 2, 255, 16, 1);
          if (*handle == 0) std::exit(98);
        });
      },
      "", dir.path("err"));
  EXPECT_EQ(child.wait(20s), 255);
  EXPECT_EQ(fileText(dir.path("err")),
            "Error: Couldn't open a window to display 16 colors image!\n");
}

INSTANTIATE_TEST_SUITE_P(Drivers, PreviewWithoutDisplay, testing::Values("", "dummy", "offscreen"),
                         [](const auto& info) {
                           return std::string(*info.param ? info.param : "none");
                         });

}  // namespace
}  // namespace kx
