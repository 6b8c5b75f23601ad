// Writing and reading 2048 × 2048 PICT files: a true-colour DirectBitsRect
// of component planes and an 8-bit indexed PackBitsRect with a 256-entry
// palette, both PackBits-compressed. "MB/s" counts pixel data (3 bytes a
// pixel for true colour, 1 for indices) per second of CPU time.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "pict/pict.h"
#include "picture/sample.h"

namespace {

constexpr int kSize = 2048;

struct Fixture {
  std::string dir;
  kx::PicturePtr picture = kx::makeSamplePicture(kSize, kSize, 3);
  std::unique_ptr<uint8_t[]> indices = std::make_unique<uint8_t[]>(size_t{kSize} * kSize);
  kx::Colormap palette = kx::Colormap(256);
  Fixture() {
    char tmpl[] = "/tmp/kxbench-pict-XXXXXX";
    dir = mkdtemp(tmpl);
    for (size_t i = 0; i < size_t{kSize} * kSize; ++i) {
      // A palette index per pixel, from the sample's red and green.
      indices[i] =
          static_cast<uint8_t>((picture->channel[0][i] & 0xF0) | (picture->channel[1][i] >> 4));
    }
    for (int i = 0; i < 256; ++i) {
      palette[i].red = static_cast<uint8_t>(i & 0xF0);
      palette[i].green = static_cast<uint8_t>((i & 0x0F) << 4);
      palette[i].blue = static_cast<uint8_t>(i);
    }
  }
  ~Fixture() { std::filesystem::remove_all(dir); }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void WriteTrueColour(benchmark::State& state) {
  Fixture& f = fixture();
  const std::array<const uint8_t*, 4> planes = {f.picture->channel[0].get(),
                                                f.picture->channel[1].get(),
                                                f.picture->channel[2].get(), nullptr};
  for (auto _ : state) {
    if (kx::writePictImage(f.dir + "/rgb.pict", kSize, kSize, 0, nullptr, planes) != 0) {
      state.SkipWithError("write failed");
    }
  }
  state.counters["MB/s"] =
      benchmark::Counter(3.0 * kSize * kSize / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void ReadTrueColour(benchmark::State& state) {
  Fixture& f = fixture();
  const std::array<const uint8_t*, 4> planes = {f.picture->channel[0].get(),
                                                f.picture->channel[1].get(),
                                                f.picture->channel[2].get(), nullptr};
  kx::writePictImage(f.dir + "/rgbr.pict", kSize, kSize, 0, nullptr, planes);
  for (auto _ : state) {
    int16_t w = 0, h = 0;
    int colors = -1;
    kx::Colormap table;
    kx::PictPlanes out;
    if (kx::readPictImage(f.dir + "/rgbr.pict", &w, &h, &colors, &table, out) != 0) {
      state.SkipWithError("read failed");
    }
    benchmark::DoNotOptimize(out[0].get());
  }
  state.counters["MB/s"] =
      benchmark::Counter(3.0 * kSize * kSize / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void WriteIndexed(benchmark::State& state) {
  Fixture& f = fixture();
  const std::array<const uint8_t*, 4> planes = {f.indices.get(), nullptr, nullptr, nullptr};
  for (auto _ : state) {
    if (kx::writePictImage(f.dir + "/idx.pict", kSize, kSize, 256, &f.palette, planes) != 0) {
      state.SkipWithError("write failed");
    }
  }
  state.counters["MB/s"] =
      benchmark::Counter(1.0 * kSize * kSize / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void ReadIndexed(benchmark::State& state) {
  Fixture& f = fixture();
  const std::array<const uint8_t*, 4> planes = {f.indices.get(), nullptr, nullptr, nullptr};
  kx::writePictImage(f.dir + "/idxr.pict", kSize, kSize, 256, &f.palette, planes);
  for (auto _ : state) {
    int16_t w = 0, h = 0;
    int colors = 0;
    kx::Colormap table;
    kx::PictPlanes out;
    if (kx::readPictImage(f.dir + "/idxr.pict", &w, &h, &colors, &table, out) != 0) {
      state.SkipWithError("read failed");
    }
    benchmark::DoNotOptimize(out[0].get());
  }
  state.counters["MB/s"] =
      benchmark::Counter(1.0 * kSize * kSize / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(WriteTrueColour)->Unit(benchmark::kMillisecond);
BENCHMARK(ReadTrueColour)->Unit(benchmark::kMillisecond);
BENCHMARK(WriteIndexed)->Unit(benchmark::kMillisecond);
BENCHMARK(ReadIndexed)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
