// libkxquant: the C API of kxquant.h over the reduction kxquant itself uses
// (indexed/), so that a picture gives the command's palette and indices.
//
// Nothing escapes a call but a status: every exception (std::bad_alloc, an
// Error) is caught at the boundary and its words kept in the handle the call
// was given. Each call that may use threads makes its own pool and ends it
// before returning, so no thread outlives a call and no state is shared
// between handles.
#include "kxquant.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>

#include "common/error.h"
#include "common/machine.h"
#include "common/threads.h"
#include "common/version.h"
#include "encode/encode.h"
#include "indexed/indexed.h"
#include "sequence/sequence.h"

namespace {

using kx::Colormap;
using kx::HistogramEntry;

struct Settings {
  int colors = 256;
  kx::IndexedOptions indexed;
  int threads = 0;      // 0: one per processor
  int qualityMin = -1;  // below it kxq_quantize says KXQ_QUALITY_TOO_LOW
  int qualityMax = -1;  // -1: no quality range
};

// A failure of a call, as its status and words.
struct Failure {
  kxq_status status;
  std::string message;
};

kxq_status statusOf(kx::ErrorCode code) {
  switch (code) {
    case kx::ErrorCode::badArgument:
      return KXQ_INVALID_ARGUMENT;
    case kx::ErrorCode::outOfMemory:
      return KXQ_OUT_OF_MEMORY;
    case kx::ErrorCode::tooLarge:
      return KXQ_TOO_LARGE;
    default:
      return KXQ_FAILED;
  }
}

// Runs body, which throws a Failure or an Error to fail; the words go to
// *message ("" on success).
template <class Body>
kxq_status guarded(std::string* message, Body&& body) {
  kxq_status status = KXQ_OK;
  std::string words;
  try {
    body();
  } catch (const Failure& f) {
    status = f.status;
    words = f.message;
  } catch (const kx::Error& e) {
    status = statusOf(e.code);
    words = e.message;
  } catch (const std::bad_alloc&) {
    status = KXQ_OUT_OF_MEMORY;
    words = "out of memory";
  } catch (const std::exception& e) {
    status = KXQ_FAILED;
    words = e.what();
  }
  if (message) {
    try {
      *message = std::move(words);
    } catch (const std::bad_alloc&) {
      message->clear();
    }
  }
  return status;
}

template <class T>
T checked(kx::Result<T> result) {
  if (!result) throw result.error();
  return std::move(*result);
}

void checked(const kx::Status& status) {
  if (!status) throw status.error();
}

// The threads of one call: a pool when more than one may be used.
struct CallThreads {
  explicit CallThreads(int threads) {
    const int n = threads > 0 ? threads : std::min(kx::kx_processorCount(), kx::kMaxThreads);
    if (n > 1) pool = std::make_unique<kx::ThreadPool>(n);
    context.pool = pool.get();
  }
  std::unique_ptr<kx::ThreadPool> pool;
  kx::Context context;
};

// The value of an enum a C caller passed: any int, which C++ may not read as
// the enum itself when it is none of its values.
template <class Enum>
int valueOf(const Enum& e) {
  std::underlying_type_t<Enum> value;
  std::memcpy(&value, &e, sizeof value);
  return static_cast<int>(value);
}

kx::PixelView viewOf(const void* pixels, int width, int height, size_t stride,
                     kxq_format formatGiven) {
  const int format = valueOf(formatGiven);
  if (!pixels) throw Failure{KXQ_INVALID_ARGUMENT, "no pixels (a null pointer)"};
  if (format != KXQ_RGB && format != KXQ_RGBA) {
    throw Failure{KXQ_INVALID_ARGUMENT, "a pixel format of " + std::to_string(format) +
                                            " bytes; KXQ_RGB (3) or KXQ_RGBA (4)"};
  }
  if (width < 1 || height < 1) {
    throw Failure{KXQ_INVALID_ARGUMENT, "a picture of " + std::to_string(width) + " x " +
                                            std::to_string(height) + " pixels has none"};
  }
  const int64_t count = int64_t{width} * height;
  if (count > KXQ_MAX_PIXELS) {
    throw Failure{KXQ_TOO_LARGE, "a picture of " + std::to_string(width) + " x " +
                                     std::to_string(height) + " pixels; at most " +
                                     std::to_string(KXQ_MAX_PIXELS) + " pixels are reduced"};
  }
  const size_t row = static_cast<size_t>(width) * format;
  if (stride < row) {
    throw Failure{KXQ_INVALID_ARGUMENT, "a row stride of " + std::to_string(stride) +
                                            " bytes for rows of " + std::to_string(row) + " bytes"};
  }
  // The last row must end inside the address space, or the reading would
  // wrap around it.
  const size_t before = static_cast<size_t>(height - 1);
  const size_t most = static_cast<size_t>(PTRDIFF_MAX);
  if ((before > 0 && stride > (most - row) / before) ||
      before * stride + row > UINTPTR_MAX - reinterpret_cast<uintptr_t>(pixels)) {
    throw Failure{KXQ_INVALID_ARGUMENT, "a row stride of " + std::to_string(stride) +
                                            " bytes for " + std::to_string(height) +
                                            " rows: the rows would end past the address space"};
  }
  return kx::PixelView{static_cast<const uint8_t*>(pixels), width, height, stride, format};
}

// Bytes made for the caller, in memory kxq_free frees.
void handOver(const std::vector<uint8_t>& made, unsigned char** bytes, size_t* size) {
  auto* out = static_cast<unsigned char*>(std::malloc(std::max<size_t>(made.size(), 1)));
  if (!out) throw std::bad_alloc();
  std::memcpy(out, made.data(), made.size());
  *bytes = out;
  *size = made.size();
}

void require(bool ok, const char* what) {
  if (!ok) throw Failure{KXQ_INVALID_ARGUMENT, what};
}

}  // namespace

struct kxq_options {
  Settings settings;
  std::string message;
};

struct kxq_result {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;     // the palette as the caller sees it
  std::vector<uint8_t> indices;  // empty for a palette without pixels
  // The palette as the engine maps to it: the colours, and whether a
  // transparent entry comes after them (as kxquant adds one).
  Colormap colormap;
  bool transparentEntry = false;
  int quality = -1;  // -1 when no quality was asked
};

struct kxq_shared {
  Settings settings;
  std::vector<Colormap> palettes;
  bool transparent = false;  // some picture has transparent pixels
  bool alpha = false;        // some picture has partly transparent pixels
  std::string message;
};

struct kxq_gif {
  Settings settings;
  std::unique_ptr<kx::GifSequence> sequence;
  std::vector<int64_t> endsMs;  // when each frame added ends
  int loop = 0;
  std::string message;
};

namespace {

// The result of an indexed picture whose palette the engine maps to as
// `colormap`, with a transparent entry after it when `transparentEntry`.
std::unique_ptr<kxq_result> resultOf(kx::IndexedPicture picture, Colormap colormap,
                                     bool transparentEntry) {
  auto result = std::make_unique<kxq_result>();
  result->colormap = std::move(colormap);
  result->transparentEntry = transparentEntry;
  kx::translucentFirst(picture);
  for (size_t i = 0; i < picture.palette.size(); ++i) {
    const HistogramEntry& e = picture.palette[i];
    result->rgba.insert(result->rgba.end(), {e.red, e.green, e.blue, picture.alpha[i]});
  }
  result->width = picture.width;
  result->height = picture.height;
  result->indices = std::move(picture.indices);
  return result;
}

// A result of the palette alone.
std::unique_ptr<kxq_result> paletteResult(const Colormap& colormap, bool transparentEntry) {
  kx::IndexedPicture picture;
  picture.palette = colormap;
  if (transparentEntry) {
    picture.transparentIndex = static_cast<int>(picture.palette.size());
    picture.palette.push_back(HistogramEntry{});
  }
  for (const HistogramEntry& e : picture.palette) picture.alpha.push_back(e.alpha);
  if (transparentEntry) picture.alpha.back() = 0;
  return resultOf(std::move(picture), colormap, transparentEntry);
}

}  // namespace

extern "C" {

const char* kxq_version(void) {
  static const std::string version = std::to_string(KXQ_VERSION_MAJOR) + "." +
                                     std::to_string(KXQ_VERSION_MINOR) + " (kxreduce " +
                                     std::string(kx::toolVersion()) + ")";
  return version.c_str();
}

kxq_options* kxq_options_create(void) {
  return new (std::nothrow) kxq_options();
}

void kxq_options_destroy(kxq_options* options) {
  delete options;
}

kxq_status kxq_set_colors(kxq_options* options, int colors) {
  if (!options) return KXQ_INVALID_ARGUMENT;
  return guarded(&options->message, [&] {
    require(colors >= 2 && colors <= 256, "a palette of 2 to 256 colours");
    options->settings.colors = colors;
  });
}

kxq_status kxq_set_dither(kxq_options* options, kxq_dither dither, float factor) {
  if (!options) return KXQ_INVALID_ARGUMENT;
  return guarded(&options->message, [&] {
    switch (valueOf(dither)) {
      case KXQ_DITHER_NONE:
        options->settings.indexed.dither = kx::Dither::none;
        return;
      case KXQ_DITHER_DIFFUSION:
        // Written so that a NaN fails too.
        require(factor > 0 && factor <= 1, "a diffusion factor above 0 and at most 1");
        options->settings.indexed.dither = kx::Dither::adjust;
        options->settings.indexed.factor = factor;
        return;
      case KXQ_DITHER_ADAPTIVE:
        options->settings.indexed.dither = kx::Dither::adaptive;
        return;
    }
    throw Failure{KXQ_INVALID_ARGUMENT, "no dithering numbered " + std::to_string(valueOf(dither))};
  });
}

kxq_status kxq_set_refine(kxq_options* options, int refine) {
  if (!options) return KXQ_INVALID_ARGUMENT;
  options->settings.indexed.refine = refine != 0;
  options->message.clear();
  return KXQ_OK;
}

kxq_status kxq_set_fit_worst(kxq_options* options, int fit_worst) {
  if (!options) return KXQ_INVALID_ARGUMENT;
  options->settings.indexed.fitWorst = fit_worst != 0;
  options->message.clear();
  return KXQ_OK;
}

kxq_status kxq_set_threads(kxq_options* options, int threads) {
  if (!options) return KXQ_INVALID_ARGUMENT;
  return guarded(&options->message, [&] {
    require(threads >= 0 && threads <= kx::kMaxThreads, "0 (one per processor) to 1024 threads");
    options->settings.threads = threads;
  });
}

kxq_status kxq_set_quality(kxq_options* options, int min, int max) {
  if (!options) return KXQ_INVALID_ARGUMENT;
  return guarded(&options->message, [&] {
    require(min >= 0 && max <= 100 && min <= max,
            "a quality range of 0 to 100 with its minimum at most its maximum");
    options->settings.qualityMin = min;
    options->settings.qualityMax = max;
  });
}

const char* kxq_options_message(const kxq_options* options) {
  return options ? options->message.c_str() : "no options (a null pointer)";
}

kxq_status kxq_quantize(kxq_options* options, const void* pixels, int width, int height,
                        size_t stride, kxq_format format, kxq_result** result) {
  if (!options) return KXQ_INVALID_ARGUMENT;
  return guarded(&options->message, [&] {
    require(result, "nowhere to put the result (a null pointer)");
    const kx::PixelView view = viewOf(pixels, width, height, stride, format);
    const Settings& s = options->settings;
    const kx::SourcePicture source = kx::sourcePictureOf(view);
    CallThreads threads(s.threads);
    // As kxquant for one picture and a PNG: a separate transparent entry
    // takes one of the colours, the palette ends at its last entry used,
    // and with a quality range the fewest colours that reach its maximum.
    kx::Reduction reduced = checked(
        kx::reducePicture(source, s.colors, s.qualityMax, s.indexed, false, threads.context));
    kx::IndexedPicture& picture = reduced.picture;
    Colormap colormap = picture.palette;
    const bool transparentEntry = picture.transparentIndex >= 0;
    if (transparentEntry) colormap.pop_back();  // it is the last
    auto made = resultOf(std::move(picture), std::move(colormap), transparentEntry);
    made->quality = reduced.quality;
    *result = made.release();
    if (reduced.quality < s.qualityMin) {
      throw Failure{KXQ_QUALITY_TOO_LOW, "quality " + std::to_string(reduced.quality) + " with " +
                                             std::to_string(reduced.colours) +
                                             " colours, below the minimum " +
                                             std::to_string(s.qualityMin)};
    }
  });
}

kxq_status kxq_remap(kxq_options* options, const kxq_result* palette, const void* pixels, int width,
                     int height, size_t stride, kxq_format format, kxq_result** result) {
  if (!options) return KXQ_INVALID_ARGUMENT;
  return guarded(&options->message, [&] {
    require(result, "nowhere to put the result (a null pointer)");
    require(palette, "no palette (a null pointer)");
    const kx::PixelView view = viewOf(pixels, width, height, stride, format);
    kx::SourcePicture source = kx::sourcePictureOf(view);
    Colormap colormap = palette->colormap;
    bool transparentEntry = palette->transparentEntry;
    if (!source.alpha.empty() && transparentEntry) {
      // A picture with alpha is mapped with it: the transparent entry
      // becomes one of the palette's.
      colormap.push_back(HistogramEntry(0, 0, 0, 0, 0));
      transparentEntry = false;
    } else if (source.transparentCount > 0 && !transparentEntry && !kx::hasAlpha(colormap)) {
      // No entry to add for the transparent pixels: they are mapped as they
      // are seen, to the entry nearest to nothing.
      source.alpha.resize(source.pixelCount());
      for (size_t i = 0; i < source.alpha.size(); ++i) {
        source.alpha[i] = source.transparent[i] ? 0 : 255;
      }
    }
    CallThreads threads(options->settings.threads);
    // As kxquant's second pass of one palette for all: the pixels as they
    // are, the whole palette kept.
    kx::IndexedPicture picture =
        checked(kx::remapPicture(source, colormap, kx::identityMap(), options->settings.indexed,
                                 false, transparentEntry, threads.context));
    *result = resultOf(std::move(picture), palette->colormap, palette->transparentEntry).release();
  });
}

kxq_status kxq_palette_create(kxq_options* options, const unsigned char* rgba, int colors,
                              kxq_result** result) {
  if (!options) return KXQ_INVALID_ARGUMENT;
  return guarded(&options->message, [&] {
    require(result, "nowhere to put the result (a null pointer)");
    require(rgba, "no palette entries (a null pointer)");
    require(colors >= 1 && colors <= 256, "a palette of 1 to 256 entries");
    Colormap colormap;
    int translucent = 0, clear = -1;
    for (int i = 0; i < colors; ++i) {
      const unsigned char* e = rgba + 4 * i;
      colormap.push_back(HistogramEntry(e[0], e[1], e[2], 0, e[3]));
      if (e[3] < 255) ++translucent;
      if (e[3] == 0) clear = i;
    }
    const bool transparentEntry = translucent == 1 && clear >= 0;
    if (transparentEntry) colormap.erase(colormap.begin() + clear);
    *result = paletteResult(colormap, transparentEntry).release();
  });
}

kxq_status kxq_shared_create(const kxq_options* options, kxq_shared** shared) {
  if (!options || !shared) return KXQ_INVALID_ARGUMENT;
  *shared = new (std::nothrow) kxq_shared();
  if (!*shared) return KXQ_OUT_OF_MEMORY;
  (*shared)->settings = options->settings;
  return KXQ_OK;
}

void kxq_shared_destroy(kxq_shared* shared) {
  delete shared;
}

kxq_status kxq_shared_add(kxq_shared* shared, const void* pixels, int width, int height,
                          size_t stride, kxq_format format) {
  if (!shared) return KXQ_INVALID_ARGUMENT;
  return guarded(&shared->message, [&] {
    require(shared->palettes.size() < INT32_MAX, "too many pictures");
    const kx::PixelView view = viewOf(pixels, width, height, stride, format);
    const kx::SourcePicture source = kx::sourcePictureOf(view);
    CallThreads threads(shared->settings.threads);
    // kxquant -u's first pass: each picture's palette of all the colours.
    kx::ChosenPalette chosen = checked(kx::choosePictureColormap(
        source, shared->settings.colors, shared->settings.indexed, threads.context));
    shared->palettes.push_back(std::move(chosen.colormap));
    shared->transparent = shared->transparent || source.transparentCount > 0;
    shared->alpha = shared->alpha || !source.alpha.empty();
  });
}

kxq_status kxq_shared_palette(kxq_shared* shared, kxq_result** palette) {
  if (!shared) return KXQ_INVALID_ARGUMENT;
  return guarded(&shared->message, [&] {
    require(palette, "nowhere to put the palette (a null pointer)");
    require(!shared->palettes.empty(), "no picture was added");
    const Settings& s = shared->settings;
    const bool transparentEntry = shared->transparent && !shared->alpha;
    CallThreads threads(s.threads);
    const kx::ChosenPalette chosen =
        checked(kx::chooseSharedColormap(shared->palettes, s.colors - (transparentEntry ? 1 : 0),
                                         s.indexed, threads.context, shared->transparent));
    *palette = paletteResult(chosen.colormap, transparentEntry).release();
  });
}

const char* kxq_shared_message(const kxq_shared* shared) {
  return shared ? shared->message.c_str() : "no shared palette (a null pointer)";
}

kxq_status kxq_gif_create(const kxq_options* options, kxq_gif** gif) {
  if (!options || !gif) return KXQ_INVALID_ARGUMENT;
  *gif = nullptr;
  return guarded(nullptr, [&] {
    auto made = std::make_unique<kxq_gif>();
    made->settings = options->settings;
    kx::GifOptions gifOptions;
    gifOptions.colors = made->settings.colors;
    gifOptions.indexed = made->settings.indexed;
    if (made->settings.qualityMax >= 0) gifOptions.quality = made->settings.qualityMax;
    // Every frame in memory: the library makes no file.
    made->sequence = std::make_unique<kx::GifSequence>(gifOptions, "the GIF", "", 0);
    *gif = made.release();
  });
}

void kxq_gif_destroy(kxq_gif* gif) {
  delete gif;
}

kxq_status kxq_gif_set_loop(kxq_gif* gif, int loop) {
  if (!gif) return KXQ_INVALID_ARGUMENT;
  return guarded(&gif->message, [&] {
    require(loop >= -1 && loop <= 65535, "a loop count of 0 (for ever) to 65535, or -1 (once)");
    gif->loop = loop;
  });
}

kxq_status kxq_gif_add_frame(kxq_gif* gif, const void* pixels, int width, int height, size_t stride,
                             kxq_format format, int delay_ms) {
  if (!gif) return KXQ_INVALID_ARGUMENT;
  return guarded(&gif->message, [&] {
    const kx::PixelView view = viewOf(pixels, width, height, stride, format);
    if (width > 65535 || height > 65535) {
      throw Failure{KXQ_TOO_LARGE, "a frame of " + std::to_string(width) + " x " +
                                       std::to_string(height) +
                                       " pixels; a GIF is at most 65535 x 65535"};
    }
    require(delay_ms >= 0 && delay_ms <= 655350, "a frame delay of 0 to 655350 milliseconds");
    CallThreads threads(gif->settings.threads);
    checked(gif->sequence->add(kx::sourcePictureOf(view), threads.context));
    gif->endsMs.push_back((gif->endsMs.empty() ? 0 : gif->endsMs.back()) + delay_ms);
  });
}

kxq_status kxq_gif_write(kxq_gif* gif, unsigned char** bytes, size_t* size) {
  if (!gif) return KXQ_INVALID_ARGUMENT;
  return guarded(&gif->message, [&] {
    require(bytes && size, "nowhere to put the GIF (a null pointer)");
    require(!gif->endsMs.empty(), "no frame was added");
    kx::GifPlayback playback;
    playback.loop = gif->loop;
    // Frame k starts at the sum of the delays before it, in hundredths.
    int64_t start = 0;
    for (const int64_t end : gif->endsMs) {
      playback.delays.push_back((end + 5) / 10 - (start + 5) / 10);
      start = end;
    }
    CallThreads threads(gif->settings.threads);
    std::vector<uint8_t> made;
    checked(gif->sequence->write(made, playback, {}, threads.context));
    handOver(made, bytes, size);
  });
}

const char* kxq_gif_message(const kxq_gif* gif) {
  return gif ? gif->message.c_str() : "no GIF (a null pointer)";
}

void kxq_free(void* bytes) {
  std::free(bytes);
}

kxq_status kxq_write_png(kxq_options* options, const kxq_result* result, const unsigned char* icc,
                         size_t icc_size, const char* icc_name, double dpi_x, double dpi_y,
                         unsigned char** bytes, size_t* size) {
  if (!options) return KXQ_INVALID_ARGUMENT;
  return guarded(&options->message, [&] {
    require(bytes && size, "nowhere to put the PNG (a null pointer)");
    require(result, "no result (a null pointer)");
    require(!result->indices.empty(), "a palette without pixels has no PNG");
    require(icc || icc_size == 0, "no ICC profile (a null pointer) of some bytes");
    require(icc_size <= 0x7FFFFFFF / 2, "an ICC profile longer than a PNG holds");
    // As the pHYs chunk keeps it: whole pixels per metre, both or none.
    auto perMetre = [](double dpi) { return std::lround(dpi / 0.0254); };
    const bool none = dpi_x == 0 && dpi_y == 0;
    require(none || (dpi_x > 0 && dpi_y > 0 && perMetre(dpi_x) >= 1 && perMetre(dpi_y) >= 1 &&
                     dpi_x < 5e7 && dpi_y < 5e7),
            "a physical size of 0 (none) or between 0.0254 and 50000000 pixels per inch");
    // The image kxquant's PNG output is made of (encodeIndexedPng): the
    // palette already has the order the writer gives it.
    kx::Image image;
    image.width = result->width;
    image.height = result->height;
    image.channels = 1;
    image.samples = result->indices;
    bool translucent = false;
    for (size_t i = 0; i < result->rgba.size(); i += 4) {
      image.palette.push_back({result->rgba[i], result->rgba[i + 1], result->rgba[i + 2]});
      image.paletteAlpha.push_back(result->rgba[i + 3]);
      translucent = translucent || result->rgba[i + 3] < 255;
    }
    if (!translucent) image.paletteAlpha.clear();
    if (icc_size > 0) {
      image.metadata.iccProfile.assign(icc, icc + icc_size);
      if (icc_name) image.metadata.iccName = icc_name;
    }
    if (!none) {
      image.metadata.pixelsPerUnitX = static_cast<uint32_t>(perMetre(dpi_x));
      image.metadata.pixelsPerUnitY = static_cast<uint32_t>(perMetre(dpi_y));
      image.metadata.perMetre = true;
    }
    const std::vector<uint8_t> made = checked(kx::encodePalettePng("the PNG", image));
    handOver(made, bytes, size);
  });
}

int kxq_result_quality(const kxq_result* result) {
  return result ? result->quality : -1;
}

int kxq_result_colors(const kxq_result* result) {
  return result ? static_cast<int>(result->rgba.size() / 4) : 0;
}

const unsigned char* kxq_result_palette(const kxq_result* result) {
  return result ? result->rgba.data() : nullptr;
}

const unsigned char* kxq_result_indices(const kxq_result* result) {
  return result && !result->indices.empty() ? result->indices.data() : nullptr;
}

int kxq_result_width(const kxq_result* result) {
  return result ? result->width : 0;
}

int kxq_result_height(const kxq_result* result) {
  return result ? result->height : 0;
}

void kxq_result_destroy(kxq_result* result) {
  delete result;
}

}  // extern "C"
