// kxreduce -d end to end: the real binary shows the reduced frames in a real
// window on a private X server.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "display/xserver.h"
#include "support/pictures.h"
#include "support/tempdir.h"

namespace kx {
namespace {

using namespace std::chrono_literals;

TEST(KxreducePreview, ShowsTheLastReducedFrameUntilEscape) {
  xtest::Xvfb x;
  std::string why;
  if (!x.start(&why)) GTEST_SKIP() << "no X server for the preview test: " << why;
  TempDir dir;
  for (int f = 1; f <= 3; ++f) writeSamplePicture(dir.path("in." + std::to_string(f)), 24, 16, f);
  auto child = xtest::Child::exec(
      {buildDir() + "/kxreduce", "-d", "-n", "8", "-o", "pic", "-s", "1", "3", "1", "in", "out"},
      x.display(), dir.path(), dir.path("err"));
  auto id = xtest::findWindow(x.display(), "8 colors image", 20s);
  ASSERT_TRUE(id);
  // Frames 1 and 2 go by without waiting: the window ends up showing frame 3.
  std::vector<uint8_t> last;
  for (int i = 0; i < 400 && last.empty(); ++i) {
    std::this_thread::sleep_for(50ms);
    if (std::filesystem::exists(dir.path("out.3.icn"))) last = readRgbPicture(dir.path("out.3"));
  }
  ASSERT_FALSE(last.empty()) << "frame 3 was not written";
  EXPECT_TRUE(xtest::waitForImage(x.display(), *id, 24, 16, last, 20s));
  EXPECT_FALSE(child.wait(300ms).has_value());
  EXPECT_TRUE(xtest::sendKey(x.display(), *id, "Escape"));
  EXPECT_EQ(child.wait(20s), std::optional<int>(0));
}

TEST(KxreducePreview, NoDisplayEndsTheRunAndKeepsTheOutput) {
  TempDir dir;
  writeSamplePicture(dir.path("in"), 16, 16);
  auto child = xtest::Child::exec({buildDir() + "/kxreduce", "-d", "-n", "16", "in", "out"}, "",
                                  dir.path(), dir.path("err"));
  EXPECT_EQ(child.wait(20s), std::optional<int>(255));
  std::vector<uint8_t> err = readFileBytes(dir.path("err"));
  EXPECT_EQ(std::string(err.begin(), err.end()),
            "allocate color table\nError: Couldn't open a window to display 16 colors image!\n");
  EXPECT_TRUE(std::filesystem::exists(dir.path("out.icn")));
  EXPECT_TRUE(std::filesystem::exists(dir.path("out.clm")));
}

}  // namespace
}  // namespace kx
