// Reading and writing a 4096×4096 RGB picture file of photographic content,
// mixed run-length coded as the system writes it. The photograph is
// astronaut.png of the scikit-image data (python3-skimage), or the file named
// by KX_BENCH_PHOTO, upscaled bilinearly; without it the synthetic sample
// picture stands in. "MB/s" counts pixel data, width × height × 3 bytes, per
// second of the process's CPU time: the machine is shared, and wall time
// would measure the other processes too.
#include <benchmark/benchmark.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "picture/picture.h"
#include "picture/sample.h"

namespace {

constexpr int kSize = 4096;

struct Rgb {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;  // interleaved
};

bool loadPng(const std::string& path, Rgb& out) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_RGB;
  out.width = static_cast<int>(image.width);
  out.height = static_cast<int>(image.height);
  out.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) {
    png_image_free(&image);
    return false;
  }
  return true;
}

// Bilinear resampling, pixel centres aligned.
kx::PicturePtr upscale(const Rgb& src, int width, int height) {
  auto pic = std::make_unique<kx::Picture>();
  pic->width = static_cast<int16_t>(width);
  pic->height = static_cast<int16_t>(height);
  const size_t plane = static_cast<size_t>(width) * height;
  for (int c = 0; c < 3; ++c) pic->channel[c] = std::make_unique<uint8_t[]>(plane);
  auto at = [&](int x, int y, int c) {
    return static_cast<float>(src.pixels[(static_cast<size_t>(y) * src.width + x) * 3 + c]);
  };
  for (int y = 0; y < height; ++y) {
    const float fy = std::clamp((y + 0.5f) * src.height / height - 0.5f, 0.0f, src.height - 1.0f);
    const int y0 = static_cast<int>(fy), y1 = std::min(y0 + 1, src.height - 1);
    const float wy = fy - y0;
    for (int x = 0; x < width; ++x) {
      const float fx = std::clamp((x + 0.5f) * src.width / width - 0.5f, 0.0f, src.width - 1.0f);
      const int x0 = static_cast<int>(fx), x1 = std::min(x0 + 1, src.width - 1);
      const float wx = fx - x0;
      for (int c = 0; c < 3; ++c) {
        const float top = at(x0, y0, c) * (1 - wx) + at(x1, y0, c) * wx;
        const float bottom = at(x0, y1, c) * (1 - wx) + at(x1, y1, c) * wx;
        pic->channel[c][static_cast<size_t>(y) * width + x] =
            static_cast<uint8_t>(top * (1 - wy) + bottom * wy + 0.5f);
      }
    }
  }
  return pic;
}

kx::Picture& photo() {
  static kx::PicturePtr pic = [] {
    const char* env = std::getenv("KX_BENCH_PHOTO");
    const std::string path =
        env ? env : "/usr/lib/python3/dist-packages/skimage/data/astronaut.png";
    Rgb src;
    if (loadPng(path, src)) {
      std::fprintf(stderr, "photograph: %s (%dx%d) upscaled to %dx%d\n", path.c_str(), src.width,
                   src.height, kSize, kSize);
      return upscale(src, kSize, kSize);
    }
    std::fprintf(stderr, "photograph %s not found: using the synthetic sample picture\n",
                 path.c_str());
    return kx::makeSamplePicture(kSize, kSize);
  }();
  return *pic;
}

std::string benchFile() {
  static const std::string path =
      (std::filesystem::temp_directory_path() / ("kx-bench-" + std::to_string(getpid()) + ".pic"))
          .string();
  return path;
}

void setCounters(benchmark::State& state, size_t fileBytes) {
  const double pixelMB = static_cast<double>(kSize) * kSize * 3 / 1e6;
  state.counters["MB/s"] =
      benchmark::Counter(pixelMB, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["file_MB"] = static_cast<double>(fileBytes) / 1e6;
}

void BM_WritePictureFile(benchmark::State& state) {
  kx::Picture& pic = photo();
  for (auto _ : state) {
    if (!kx::QZ_pictureWriteFile(benchFile(), pic, nullptr, 0)) state.SkipWithError("write failed");
  }
  setCounters(state, std::filesystem::file_size(benchFile()));
  std::filesystem::remove(benchFile());
}

void BM_ReadPictureFile(benchmark::State& state) {
  kx::Picture& pic = photo();
  if (!kx::QZ_pictureWriteFile(benchFile(), pic, nullptr, 0)) state.SkipWithError("write failed");
  for (auto _ : state) {
    kx::PicturePtr back = kx::QZ_pictureReadFile(benchFile());
    if (!back) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(back.get());
  }
  setCounters(state, std::filesystem::file_size(benchFile()));
  std::filesystem::remove(benchFile());
}

BENCHMARK(BM_WritePictureFile)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_ReadPictureFile)->Unit(benchmark::kMillisecond)->MinTime(2);

}  // namespace

BENCHMARK_MAIN();
