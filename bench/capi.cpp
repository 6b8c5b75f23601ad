// libkxquant's kxq_quantize against the kxquant command's reduction of the
// same picture without its file reading and writing: the steps its driver
// runs for one picture and a PNG (palette, then indices), on the picture as
// its reader leaves it, with a pool of the same threads.
//
//   build/bench_capi [Google Benchmark options]
//   build/bench_capi --benchmark_repetitions=10 --benchmark_enable_random_interleaving=true
//                                          the two alternating, on a busy machine
//
// The picture is the file KX_BENCH_PICTURE names (PNG, JPEG, PPM...), or
// 2004default.jpg of Debian's ukui-wallpapers (3840 x 2400, 9.2 MP) when
// that is installed, or a synthetic photograph of the same size.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "common/threads.h"
#include "imageio/imageio_pvt.h"
#include "indexed/indexed.h"
#include "kxquant.h"

namespace {

using namespace kx;

SourcePicture loadPicture() {
  const char* named = std::getenv("KX_BENCH_PICTURE");
  const std::string path = named ? named : "/usr/share/backgrounds/2004default.jpg";
  if (named || std::filesystem::exists(path)) {
    InputFile file(path);
    std::unique_ptr<FrameSource> frames = openFrames(file);
    Image image;
    if (!frames || !frames->next(image)) throw std::runtime_error(path + ": not read");
    if (image.indexed() || image.channels != 3) image = expandToRgb(image, false);
    SourcePicture source;
    source.width = image.width;
    source.height = image.height;
    source.rgb = std::move(image.samples);
    return source;
  }
  SourcePicture source;
  source.width = 3840;
  source.height = 2400;
  for (int y = 0; y < source.height; ++y) {
    for (int x = 0; x < source.width; ++x) {
      const uint32_t n = (x * 2654435761u ^ y * 40503u) >> 28;
      source.rgb.insert(source.rgb.end(), {static_cast<uint8_t>(x * 255 / 3840 + n),
                                           static_cast<uint8_t>(y * 255 / 2400),
                                           static_cast<uint8_t>((x + y) / 30 + n)});
    }
  }
  return source;
}

const SourcePicture& picture() {
  static const SourcePicture source = loadPicture();
  return source;
}

void BM_CommandReduction(benchmark::State& state) {
  const SourcePicture& source = picture();
  ThreadPool pool(static_cast<int>(state.range(0)));
  Context context;
  context.pool = state.range(0) > 1 ? &pool : nullptr;
  const IndexedOptions options;
  for (auto _ : state) {
    Result<ChosenPalette> chosen =
        choosePictureColormap(source, coloursFor(source, 256), options, context);
    Result<IndexedPicture> indexed =
        remapPicture(source, chosen->colormap, chosen->remapSamples, options, true, false, context);
    benchmark::DoNotOptimize(indexed->indices.data());
  }
  state.counters["MP"] = source.pixelCount() / 1e6;
}

void BM_LibraryQuantize(benchmark::State& state) {
  const SourcePicture& source = picture();
  kxq_options* options = kxq_options_create();
  kxq_set_threads(options, static_cast<int>(state.range(0)));
  for (auto _ : state) {
    kxq_result* result = nullptr;
    if (kxq_quantize(options, source.rgb.data(), source.width, source.height,
                     3 * static_cast<size_t>(source.width), KXQ_RGB, &result) != KXQ_OK) {
      state.SkipWithError(kxq_options_message(options));
      break;
    }
    benchmark::DoNotOptimize(kxq_result_indices(result));
    kxq_result_destroy(result);
  }
  kxq_options_destroy(options);
  state.counters["MP"] = source.pixelCount() / 1e6;
}

BENCHMARK(BM_CommandReduction)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibraryQuantize)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
