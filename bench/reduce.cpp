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

std::string scratchName() {
  static const std::string name = "/tmp/kxbench-" + std::to_string(getpid());
  return name;
}

void copyPlanes(const PixelPlanes& from, PixelPlanes& to) {
  std::memcpy(to.data(), from.data(), from.byteSize());
}

// Counting as the palette choice does it: with the colour limit, compressing
// once when the limit is passed.
Histogram countLikeBuildmap(PixelPlanes& planes, int* colors) {
  std::optional<Histogram> h =
      kx_makeHistogram(planes, planes.width, planes.height, kColorLimit, colors);
  if (!h) {
    kx_compressColors(planes, planes.width, planes.height, 128, 255);
    h = kx_makeHistogram(planes, planes.width, planes.height, kColorLimit, colors);
  }
  if (!h) throw std::runtime_error("too many colours even after compression");
  return std::move(*h);
}

void BM_Counting(benchmark::State& state) {
  const Picture& pic = picture();
  const PixelPlanes source = kx_pic2pixels(pic, pic.width, pic.height);
  PixelPlanes planes = kx_allocArray(pic.width, pic.height, 3);
  int colors = 0;
  for (auto _ : state) {
    state.PauseTiming();
    copyPlanes(source, planes);
    state.ResumeTiming();
    Histogram h = countLikeBuildmap(planes, &colors);
    benchmark::DoNotOptimize(h.data());
  }
  state.counters["colours"] = colors;
  state.SetItemsProcessed(state.iterations() * pic.width * pic.height);
}

void BM_MedianCut(benchmark::State& state) {
  const Picture& pic = picture();
  PixelPlanes planes = kx_pic2pixels(pic, pic.width, pic.height);
  int colors = 0;
  const Histogram counted = countLikeBuildmap(planes, &colors);
  RunSettings opt;
  opt.colors = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    Histogram h = counted;
    state.ResumeTiming();
    Colormap map = makeColormap(h, colors, int64_t{pic.width} * pic.height, 255, &opt);
    benchmark::DoNotOptimize(map.data());
  }
  state.counters["colours"] = colors;
}

// The palette refinement (--refine) of the median-cut palette, on the
// picture's full histogram.
void BM_Refine(benchmark::State& state) {
  const Picture& pic = picture();
  PixelPlanes planes = kx_pic2pixels(pic, pic.width, pic.height);
  int colors = 0;
  Histogram h = countLikeBuildmap(planes, &colors);
  RunSettings opt;
  opt.colors = static_cast<int>(state.range(0));
  const Colormap start = makeColormap(h, colors, int64_t{pic.width} * pic.height, 255, &opt);
  int iterations = 0;
  for (auto _ : state) {
    Colormap map = start;
    iterations = refineColormap(h, colors, map).iterations;
    benchmark::DoNotOptimize(map.data());
  }
  state.counters["colours"] = colors;
  state.counters["iterations"] = iterations;
}

void remapBench(benchmark::State& state, bool adjust) {
  const Picture& pic = picture();
  PixelPlanes source = kx_pic2pixels(pic, pic.width, pic.height);
  int colors = 0;
  Histogram h = countLikeBuildmap(source, &colors);
  RunSettings opt;
  opt.adjust = adjust;
  const Colormap map = makeColormap(h, colors, int64_t{pic.width} * pic.height, 255, &opt);
  PixelPlanes planes = kx_allocArray(pic.width, pic.height, 3);
  ReductionTables tables;
  const std::string name = scratchName();
  for (auto _ : state) {
    state.PauseTiming();
    copyPlanes(source, planes);
    state.ResumeTiming();
    opt.outFile = kx_writeIconeFileHeader(name, pic.width, pic.height);
    kx_reduceColors(name, planes, pic.width, pic.height, 255, &opt, map, tables);
  }
  std::remove((name + ".icn").c_str());
  state.SetItemsProcessed(state.iterations() * pic.width * pic.height);
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
  Picture work;
  work.width = pic.width;
  work.height = pic.height;
  for (int c = 0; c < 3; ++c) work.channel[c] = std::make_unique_for_overwrite<uint8_t[]>(n);
  for (auto _ : state) {
    state.PauseTiming();
    for (int c = 0; c < 3; ++c) std::memcpy(work.channel[c].get(), pic.channel[c].get(), n);
    state.ResumeTiming();
    quantFloyd(work, static_cast<int>(state.range(0)), 1);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}

// Silences the progress messages (the colour-limit notes would be printed
// at every iteration).
class QuietStderr {
 public:
  QuietStderr() : saved_(dup(2)) {
    std::fflush(stderr);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    close(null);
  }
  ~QuietStderr() {
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
  }

 private:
  int saved_;
};

// Counting, median cut, colormap file and remapping, as one frame of a run.
void pipelineBench(benchmark::State& state, bool adjust) {
  QuietStderr quiet;
  const Picture& pic = picture();
  const PixelPlanes source = kx_pic2pixels(pic, pic.width, pic.height);
  PixelPlanes planes = kx_allocArray(pic.width, pic.height, 3);
  ReductionTables tables;
  const std::string name = scratchName();
  for (auto _ : state) {
    state.PauseTiming();
    copyPlanes(source, planes);
    RunSettings opt;
    opt.adjust = adjust;
    state.ResumeTiming();
    Colormap map = kx_buildmap(name, planes, pic.width, pic.height, 255, &opt, tables);
    opt.outFile = kx_writeIconeFileHeader(name, pic.width, pic.height);
    kx_reduceColors(name, planes, pic.width, pic.height, 255, &opt, map, tables);
  }
  std::remove((name + ".icn").c_str());
  std::remove((name + ".clm").c_str());
  state.SetItemsProcessed(state.iterations() * pic.width * pic.height);
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
  RunSettings opt;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "-a") == 0) opt.adjust = 1;
    if (std::strcmp(argv[i], "-n") == 0 && i + 1 < argc) opt.colors = std::atoi(argv[++i]);
  }
  PicturePtr pic = loadPicture();
  const int w = pic->width, h = pic->height;
  PixelPlanes planes = kx_pic2pixels(*pic, w, h);
  ReductionTables tables;
  tables.colIndexTab = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(w) * h);
  tables.colIndexSize = static_cast<size_t>(w) * h;
  const std::string name = scratchName();
  using Clock = std::chrono::steady_clock;
  auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
  // CPU time as well as wall time: the machine may be shared.
  auto cpuMs = [] {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
  };
  const auto t0 = Clock::now();
  const double c0 = cpuMs();
  Colormap map = kx_buildmap(name, planes, w, h, 255, &opt, tables);
  const auto t1 = Clock::now();
  const double c1 = cpuMs();
  opt.outFile = kx_writeIconeFileHeader(name, w, h);
  kx_reduceColors(name, planes, w, h, 255, &opt, map, tables);
  const auto t2 = Clock::now();
  const double c2 = cpuMs();
  std::printf("pixels %d x %d\n", w, h);
  std::printf("choose_ms %.1f\nremap_ms %.1f\ntotal_ms %.1f\n", ms(t1 - t0), ms(t2 - t1),
              ms(t2 - t0));
  std::printf("choose_cpu_ms %.1f\nremap_cpu_ms %.1f\ntotal_cpu_ms %.1f\n", c1 - c0, c2 - c1,
              c2 - c0);
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
  } catch (const kx::ExitRequest& e) {
    return e.status;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_reduce: %s\n", e.what());
    return 1;
  }
  return 0;
}
