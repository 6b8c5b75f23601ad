// Reading streams of frames: YUV4MPEG2 of 640 × 360 and 1280 × 720 in each
// conversion path (4:2:0 as most video is, 4:4:4, 4:2:0 of odd height with
// its interpolated chroma) and the same frames as a PPM stream, read and
// converted to RGB through openFrames from a file in the page cache.
// "items_per_second" is frames per second of wall time (the conversion runs
// on the process's threads: set KX_THREADS=1 or 2 to compare); "peak_MB" is
// the process's peak resident memory so far.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "imageio/imageio_pvt.h"

namespace {

constexpr int kFrames = 30;

enum class Kind { Yuv420, Yuv444, Yuv420OddHeight, Ppm };

// A moving pattern with smooth and sharp chroma, written as the kind says.
std::string makeStream(const std::string& dir, Kind kind, int width, int height) {
  const std::string path = dir + "/" + std::to_string(static_cast<int>(kind)) + "-" +
                           std::to_string(width) + "x" + std::to_string(height);
  if (std::filesystem::exists(path)) return path;
  if (kind == Kind::Yuv420OddHeight) --height;
  std::ofstream out(path, std::ios::binary);
  const bool half = kind != Kind::Yuv444;
  const int cw = half ? (width + 1) / 2 : width, ch = half ? (height + 1) / 2 : height;
  if (kind != Kind::Ppm) {
    out << "YUV4MPEG2 W" << width << " H" << height << " F30000:1001 Ip A1:1 C"
        << (half ? "420jpeg" : "444") << "\n";
  }
  std::string plane;
  for (int f = 0; f < kFrames; ++f) {
    if (kind == Kind::Ppm) {
      out << "P6\n" << width << " " << height << "\n255\n";
      plane.resize(static_cast<size_t>(width) * height * 3);
      for (size_t i = 0; i < plane.size(); ++i) plane[i] = static_cast<char>((i * 7 + f * 3) >> 3);
      out << plane;
      continue;
    }
    out << "FRAME\n";
    plane.resize(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        plane[static_cast<size_t>(y) * width + x] = static_cast<char>(16 + (x + y + f) % 220);
    out << plane;
    plane.resize(static_cast<size_t>(cw) * ch);
    for (int c = 0; c < 2; ++c) {
      for (int y = 0; y < ch; ++y)
        for (int x = 0; x < cw; ++x)
          plane[static_cast<size_t>(y) * cw + x] = static_cast<char>(
              c ? 128 + ((x / 8 + y / 8) % 2 ? 60 : -60) : 16 + (x * 3 + f) % 224);
      out << plane;
    }
  }
  return path;
}

// The streams' folder, removed when the process ends.
const std::string& benchDir() {
  static const struct Dir {
    std::string path;
    Dir() {
      char tmpl[] = "/tmp/kxbench-frames-XXXXXX";
      path = mkdtemp(tmpl);
    }
    ~Dir() { std::filesystem::remove_all(path); }
  } dir;
  return dir.path;
}

void BM_ReadFrames(benchmark::State& state) {
  const Kind kind = static_cast<Kind>(state.range(0));
  const std::string path = makeStream(benchDir(), kind, static_cast<int>(state.range(1)),
                                      static_cast<int>(state.range(2)));
  int64_t frames = 0;
  for (auto _ : state) {
    kx::InputFile file(path);
    std::unique_ptr<kx::FrameSource> source = kx::openFrames(file);
    kx::Image frame;
    while (source->next(frame)) ++frames;
    benchmark::DoNotOptimize(frame.samples.data());
  }
  state.SetItemsProcessed(frames);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_MB"] = static_cast<double>(usage.ru_maxrss) / 1024;
}

void sizes(benchmark::internal::Benchmark* b) {
  for (Kind kind : {Kind::Yuv420, Kind::Yuv444, Kind::Yuv420OddHeight, Kind::Ppm})
    for (auto [w, h] : {std::pair{640, 360}, std::pair{1280, 720}})
      b->Args({static_cast<int64_t>(kind), w, h});
  b->ArgNames({"kind", "w", "h"});
}

BENCHMARK(BM_ReadFrames)->Apply(sizes)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
