// Benchmarks of the colour-reduction stages on one large frame.
//
//   build/bench_reduce                      Google Benchmark stages
//   build/bench_reduce frame [-a] [-n N]    one whole frame as the frame driver
//                                           runs it; prints stage times and peak memory
//
// The picture is the binary PPM (P6, maxval 255) named by KX_BENCH_PPM, or a
// 4096 × 4096 synthetic photograph when that is not set.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <string>

#include "output/output.h"
#include "picture/picture.h"
#include "picture/sample.h"
#include "reduce/reduce.h"

namespace {

using namespace kx;

// Reads a P6 PPM straight into the channel buffers of a picture record.
PicturePtr loadPpm(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw std::runtime_error("cannot open " + path);
  int w = 0, h = 0, maxval = 0;
  char magic[3] = {0, 0, 0};
  // Comments are not expected in the files the comparison script writes.
  if (std::fscanf(f, "%2s %d %d %d", magic, &w, &h, &maxval) != 4 || std::strcmp(magic, "P6") ||
      maxval != 255 || w <= 0 || h <= 0 || w > 32767 || h > 32767) {
    std::fclose(f);
    throw std::runtime_error(path + " is not an 8-bit P6 PPM of at most 32767 x 32767");
  }
  std::fgetc(f);
  auto pic = std::make_unique<Picture>();
  pic->width = static_cast<int16_t>(w);
  pic->height = static_cast<int16_t>(h);
  const size_t n = static_cast<size_t>(w) * h;
  for (int c = 0; c < 3; ++c) pic->channel[c] = std::make_unique_for_overwrite<uint8_t[]>(n);
  std::vector<uint8_t> row(3 * static_cast<size_t>(w));
  for (int y = 0; y < h; ++y) {
    if (std::fread(row.data(), 1, row.size(), f) != row.size()) {
      std::fclose(f);
      throw std::runtime_error(path + " is truncated");
    }
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < 3; ++c) pic->channel[c][static_cast<size_t>(y) * w + x] = row[3 * x + c];
    }
  }
  std::fclose(f);
  return pic;
}

PicturePtr loadPicture() {
  const char* path = std::getenv("KX_BENCH_PPM");
  if (path && *path) return loadPpm(path);
  return makeSamplePicture(4096, 4096, 1);
}

const Picture& picture() {
  static PicturePtr pic = loadPicture();
  return *pic;
}

using Clock = std::chrono::steady_clock;

std::string scratchName() {
  static const std::string name = "/tmp/kxbench-" + std::to_string(getpid());
  return name;
}

// The picture record's channels as pixel planes.
PixelPlanes planesOf(const Picture& pic) {
  PixelPlanes planes = kx_allocArray(pic.width, pic.height, 3);
  const size_t n = static_cast<size_t>(pic.width) * pic.height;
  for (size_t i = 0; i < 3 * n; ++i) planes.data()[i] = pic.channel[i % 3][i / 3];
  return planes;
}

// The engine as kxreduce runs it, on the process's threads, its messages
// dropped.
Context context() {
  return Context{kx_pool(), {}};
}

template <class T>
T valueOf(Result<T> result) {
  if (!result) throw std::runtime_error(result.error().message);
  return std::move(*result);
}

// Counting as the palette choice does it: with the colour limit, compressing
// once when the limit is passed.
ColorCount count(const PixelPlanes& planes) {
  return valueOf(countColors(viewOf(planes), {}, context()));
}

void BM_Counting(benchmark::State& state) {
  const PixelPlanes planes = planesOf(picture());
  size_t colors = 0;
  for (auto _ : state) {
    const ColorCount counted = count(planes);
    colors = counted.histogram.size();
    benchmark::DoNotOptimize(counted.histogram.data());
  }
  state.counters["colours"] = static_cast<double>(colors);
  state.SetItemsProcessed(state.iterations() * planes.width * planes.height);
}

void BM_MedianCut(benchmark::State& state) {
  const ColorCount counted = count(planesOf(picture()));
  const PaletteOptions options{static_cast<int>(state.range(0))};
  for (auto _ : state) {
    Colormap map = valueOf(choosePalette(counted, options, context()));
    benchmark::DoNotOptimize(map.data());
  }
  state.counters["colours"] = static_cast<double>(counted.histogram.size());
}

// The palette refinement (--refine) of the median-cut palette, on the
// picture's full histogram.
void BM_Refine(benchmark::State& state) {
  const ColorCount counted = count(planesOf(picture()));
  const Colormap start =
      valueOf(choosePalette(counted, PaletteOptions{static_cast<int>(state.range(0))}, context()));
  const SampleCentres centres = centresOf(identityMap());
  int iterations = 0;
  for (auto _ : state) {
    Colormap map = start;
    iterations = refineColormap(counted.histogram, map, centres, kx_pool()).iterations;
    benchmark::DoNotOptimize(map.data());
  }
  state.counters["colours"] = static_cast<double>(counted.histogram.size());
  state.counters["iterations"] = iterations;
}

void remapBench(benchmark::State& state, bool adjust) {
  const PixelPlanes planes = planesOf(picture());
  const ColorCount counted = count(planes);
  const Colormap map = valueOf(choosePalette(counted, {}, context()));
  RemapOptions options;
  options.dither = adjust ? Dither::adjust : Dither::none;
  options.samples = counted.counted;
  const std::string name = scratchName();
  for (auto _ : state) {
    const std::vector<uint8_t> indices =
        valueOf(remapPixels(viewOf(planes), map, options, context()));
    if (!writeIconFile(name, planes.width, planes.height, indices)) throw std::runtime_error(name);
  }
  std::remove((name + ".icn").c_str());
  state.SetItemsProcessed(state.iterations() * planes.width * planes.height);
}

void BM_Remap(benchmark::State& state) {
  remapBench(state, false);
}
void BM_RemapAdjust(benchmark::State& state) {
  remapBench(state, true);
}

void BM_Filter(benchmark::State& state) {
  const Picture& pic = picture();
  const size_t n = static_cast<size_t>(pic.width) * pic.height;
  std::vector<std::vector<uint8_t>> work(3, std::vector<uint8_t>(n));
  const QuantTable table = valueOf(quantizationTable(static_cast<int>(state.range(0))));
  for (auto _ : state) {
    state.PauseTiming();
    for (int c = 0; c < 3; ++c) std::memcpy(work[c].data(), pic.channel[c].get(), n);
    state.ResumeTiming();
    uint8_t* channels[3] = {work[0].data(), work[1].data(), work[2].data()};
    if (!filterChannels(channels, static_cast<int64_t>(n), pic.width, table, true, context())) {
      throw std::runtime_error("filter");
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}

// CPU time as well as wall time: the machine may be shared.
double cpuMs() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

struct Stages {
  Clock::duration choose, remap;
  double chooseCpu = 0, remapCpu = 0;
};

// Counting, median cut, colormap file and remapping, as one frame of a run.
Stages reduceFrame(const PixelPlanes& planes, int colors, bool adjust, const std::string& name) {
  const double c0 = cpuMs();
  const auto t0 = Clock::now();
  const ColorCount counted = count(planes);
  const Colormap map = valueOf(choosePalette(counted, PaletteOptions{colors}, context()));
  if (!kx_writeColorMap(name, map, ColormapFormat{colors})) throw std::runtime_error(name);
  const auto t1 = Clock::now();
  const double c1 = cpuMs();
  RemapOptions options;
  options.dither = adjust ? Dither::adjust : Dither::none;
  options.samples = counted.counted;
  const std::vector<uint8_t> indices =
      valueOf(remapPixels(viewOf(planes), map, options, context()));
  if (!writeIconFile(name, planes.width, planes.height, indices)) throw std::runtime_error(name);
  return Stages{t1 - t0, Clock::now() - t1, c1 - c0, cpuMs() - c1};
}

void pipelineBench(benchmark::State& state, bool adjust) {
  const PixelPlanes planes = planesOf(picture());
  const std::string name = scratchName();
  for (auto _ : state) reduceFrame(planes, 256, adjust, name);
  std::remove((name + ".icn").c_str());
  std::remove((name + ".clm").c_str());
  state.SetItemsProcessed(state.iterations() * planes.width * planes.height);
}

void BM_Pipeline(benchmark::State& state) {
  pipelineBench(state, false);
}
void BM_PipelineAdjust(benchmark::State& state) {
  pipelineBench(state, true);
}

BENCHMARK(BM_Counting)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MedianCut)->Arg(256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Refine)->Arg(256)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Remap)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemapAdjust)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Filter)->Arg(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pipeline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PipelineAdjust)->Unit(benchmark::kMillisecond);

long peakKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// One frame as the frame driver runs it (picture record, pixel planes,
// index table, palette choice, colormap file, .icn), timed stage by stage.
int runFrame(int argc, char** argv) {
  bool adjust = false;
  int colors = 256;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "-a") == 0) adjust = true;
    if (std::strcmp(argv[i], "-n") == 0 && i + 1 < argc) colors = std::atoi(argv[++i]);
  }
  const PixelPlanes planes = planesOf(picture());
  const std::string name = scratchName();
  auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
  const Stages s = reduceFrame(planes, colors, adjust, name);
  std::printf("pixels %d x %d\n", planes.width, planes.height);
  std::printf("choose_ms %.1f\nremap_ms %.1f\ntotal_ms %.1f\n", ms(s.choose), ms(s.remap),
              ms(s.choose + s.remap));
  std::printf("choose_cpu_ms %.1f\nremap_cpu_ms %.1f\ntotal_cpu_ms %.1f\n", s.chooseCpu, s.remapCpu,
              s.chooseCpu + s.remapCpu);
  std::printf("peak_mib %.1f\n", peakKiB() / 1024.0);
  std::remove((name + ".icn").c_str());
  std::remove((name + ".clm").c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc > 1 && std::strcmp(argv[1], "frame") == 0) return runFrame(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_reduce: %s\n", e.what());
    return 1;
  }
  return 0;
}
