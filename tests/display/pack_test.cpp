// The pixel buffer of the preview: packing order, rescale, and refusals.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <vector>

#include "display/display.h"
#include "display/xserver.h"
#include "support/tempdir.h"

namespace kx {
namespace {

using namespace std::chrono_literals;

PixelPlanes planesFrom(int width, int height, const std::vector<uint8_t>& rgb) {
  PixelPlanes planes = kx_allocArray(width, height, 3);
  std::copy(rgb.begin(), rgb.end(), planes.data());
  return planes;
}

std::vector<uint8_t> bytesOf(const PixelPlanes& planes) {
  return std::vector<uint8_t>(planes.data(), planes.data() + planes.byteSize());
}

TEST(PackImage, BottomRowFirstRedInLowBits) {
  // 2 × 3 pixels, each sample naming its row, column and channel.
  std::vector<uint8_t> rgb;
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 2; ++x) {
      for (int c = 0; c < 3; ++c) rgb.push_back(static_cast<uint8_t>(y * 100 + x * 10 + c));
    }
  }
  PixelPlanes planes = planesFrom(2, 3, rgb);
  const auto words = kx_packImage(planes, 2, 3, 255);
  const uint32_t expected[6] = {0x00cac9c8, 0x00d4d3d2,   // row 2: 200..202, 210..212
                                0x00666564, 0x00706f6e,   // row 1
                                0x00020100, 0x000c0b0a};  // row 0
  for (int k = 0; k < 6; ++k) EXPECT_EQ(words[k], expected[k]) << "word " << k;
  EXPECT_EQ(bytesOf(planes), rgb) << "maxval 255 must leave the planes untouched";
}

TEST(PackImage, SinglePixelAndEmptyFrames) {
  PixelPlanes one = planesFrom(1, 1, {1, 2, 3});
  EXPECT_EQ(kx_packImage(one, 1, 1, 255)[0], 0x030201u);
  PixelPlanes none = kx_allocArray(0, 0, 3);
  EXPECT_NE(kx_packImage(none, 0, 0, 255), nullptr);
}

struct RescaleCase {
  int maxval;
  uint8_t sample;
  uint8_t shown;
};

class PackRescale : public testing::TestWithParam<RescaleCase> {};

TEST_P(PackRescale, RescalesAndWritesBack) {
  const RescaleCase& t = GetParam();
  PixelPlanes planes = planesFrom(1, 2, {t.sample, 0, t.sample, 7, t.sample, 0});
  const auto words = kx_packImage(planes, 1, 2, t.maxval);
  const uint8_t zero = 0;
  const uint8_t seven = static_cast<uint8_t>(static_cast<int>(7 * (255.0 / t.maxval)));
  // Bottom row (row 1) first.
  EXPECT_EQ(words[0], uint32_t{seven} | uint32_t{t.shown} << 8);
  EXPECT_EQ(words[1], uint32_t{t.shown} | uint32_t{zero} << 8 | uint32_t{t.shown} << 16);
  EXPECT_EQ(bytesOf(planes), (std::vector<uint8_t>{t.shown, 0, t.shown, seven, t.shown, 0}));
}

INSTANTIATE_TEST_SUITE_P(Maxvals, PackRescale,
                         testing::Values(RescaleCase{100, 100,
                                                     254},  // 100 × 2.55 is just below 255
                                         RescaleCase{100, 50, 127}, RescaleCase{100, 0, 0},
                                         RescaleCase{100, 255, 138},  // 650, low 8 bits kept
                                         RescaleCase{1, 1, 255}, RescaleCase{1, 2, 254},
                                         RescaleCase{254, 254, 255}, RescaleCase{510, 255, 127}));

TEST(PackImage, MaxvalZeroIsFatal) {
  PixelPlanes planes = planesFrom(1, 1, {1, 2, 3});
  testing::internal::CaptureStderr();
  try {
    kx_packImage(planes, 1, 1, 0);
    ADD_FAILURE() << "maxval 0 accepted";
  } catch (const ExitRequest& e) {
    EXPECT_EQ(e.status, 255);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: display: max val = 0\n");
  int handle = 0;
  testing::internal::CaptureStderr();
  EXPECT_THROW(kx_displayImage(&handle, planes, 1, 1, 0, 16, 1), ExitRequest);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: display: max val = 0\n");
  EXPECT_EQ(handle, 0) << "no window before the frame is packed";
}

TEST(PackImage, RefusesFramesLargerThanTheirPlanes) {
  PixelPlanes planes = kx_allocArray(4, 3, 3);
  for (auto [w, h] : {std::pair{5, 3}, {4, 4}, {-1, 3}, {4, -1}}) {
    testing::internal::CaptureStderr();
    EXPECT_THROW(kx_packImage(planes, w, h, 255), ExitRequest);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: display: a " + std::to_string(w) + " x " + std::to_string(h) +
                  " frame does not fit its 4 x 3 pixel planes\n");
  }
  EXPECT_NE(kx_packImage(planes, 2, 2, 255), nullptr) << "a smaller frame reads a corner";
}

#if !defined(__SANITIZE_ADDRESS__)
size_t addressSpaceBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0;
  statm >> pages;
  return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}
#endif

TEST(PackImage, BufferAllocationFailureIsFatal) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit lets through";
#else
  TempDir dir;
  const std::string errPath = dir.path("err");
  auto child = xtest::Child::fork(
      [] {
        PixelPlanes planes = kx_allocArray(1500, 1500, 3);
        std::fill(planes.data(), planes.data() + planes.byteSize(), 1);
        // Room for small allocations, not for the 9 MB buffer.
        const rlim_t limit = addressSpaceBytes() + (2 << 20);
        const rlimit r{limit, limit};
        if (setrlimit(RLIMIT_AS, &r) != 0) return 99;
        try {
          kx_packImage(planes, 1500, 1500, 255);
        } catch (const ExitRequest& e) {
          return e.status;
        }
        return 0;
      },
      "", errPath);
  EXPECT_EQ(child.wait(30s), 255);
  const auto err = readFileBytes(errPath);
  EXPECT_EQ(std::string(err.begin(), err.end()),
            "Error: display: out of memory for the pixel buffer of a 1500 x 1500 frame\n");
#endif
}

}  // namespace
}  // namespace kx
