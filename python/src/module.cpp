// kxquant._kxquant: libkxquant's C interface for Python. The pixels of a
// NumPy array are handed to the library where they are (any row stride; a
// copy only when the samples of a row are not side by side), which reads
// RGB in place and copies RGBA into colours and alpha once; a PIL image's
// rows are packed here, once, without the GIL. The library works with the
// GIL released, and its palette and indices come back as arrays over the
// library's own result, which they keep alive: no copy.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <libdeflate.h>

#include "common/bytes.h"
#include "kxquant.h"

namespace py = pybind11;
using kx::loadBE32;

namespace {

using Options = std::unique_ptr<kxq_options, void (*)(kxq_options*)>;

// The library's words as the exception of its status.
[[noreturn]] void raise(kxq_status status, const std::string& message) {
  switch (status) {
    case KXQ_OUT_OF_MEMORY:
      throw std::bad_alloc();
    case KXQ_INVALID_ARGUMENT:
    case KXQ_TOO_LARGE:
      throw py::value_error(message);
    default:
      throw std::runtime_error(message);
  }
}

void check(kxq_options* options, kxq_status status) {
  if (status != KXQ_OK) raise(status, kxq_options_message(options));
}

Options makeOptions(int colors, int dither, float factor, bool refine, int threads) {
  Options options(kxq_options_create(), kxq_options_destroy);
  if (!options) throw std::bad_alloc();
  check(options.get(), kxq_set_colors(options.get(), colors));
  check(options.get(), kxq_set_dither(options.get(), static_cast<kxq_dither>(dither), factor));
  check(options.get(), kxq_set_refine(options.get(), refine));
  check(options.get(), kxq_set_threads(options.get(), threads));
  return options;
}

// Pixels the library can read: the array, or a copy of it when its rows are
// not runs of whole pixels (or a PIL image's rows packed into one). The
// array is kept while the library reads it.
struct Pixels {
  py::array array;
  const void* data = nullptr;  // read without the GIL
  int width = 0, height = 0;
  size_t stride = 0;
  kxq_format format = KXQ_RGB;
};

// Refused before any copy: a view of few bytes may stand for a huge picture.
void checkSize(int width, int height) {
  if (int64_t{width} * height > KXQ_MAX_PIXELS) {
    throw py::value_error("a picture of " + std::to_string(width) + " x " + std::to_string(height) +
                          " pixels; at most " + std::to_string(KXQ_MAX_PIXELS) +
                          " pixels are reduced");
  }
}

// Pillow's rows (4 bytes a pixel) one after the other in out, 4 bytes a
// pixel for RGBA or 3 for RGB, whose fourth byte is padding of any value.
void packRows(const uint8_t* const* rows, int width, int height, int channels, uint8_t* out) {
  const size_t row = static_cast<size_t>(width) * channels;
  for (int y = 0; y < height; ++y, out += row) {
    const uint8_t* in = rows[y];
    if (channels == 4) {
      std::memcpy(out, in, row);
      continue;
    }
    // Each pixel's 4 bytes stored whole, its padding where the next pixel's
    // red goes next: one load and one store a pixel. The last pixel of the
    // row takes its 3 bytes alone, not to write past the array's end.
    for (int x = 0; x + 1 < width; ++x) std::memcpy(out + 3 * x, in + 4 * x, 4);
    std::memcpy(out + 3 * (width - 1), in + 4 * (width - 1), 3);
  }
}

// A PIL image in mode RGB or RGBA, as Pillow's own object of it (image.im,
// loaded), whose unsafe_ptrs Pillow 9 gives: "image32" is the address of
// its rows, 4 bytes a pixel (R, G, B and padding for RGB; RGBA). Pillow
// keeps rows in blocks of about 16 MB, not side by side, so they are packed
// into one array here rather than through numpy.asarray, which has Pillow's
// encoder pack them into a bytes object first, with the GIL held.
Pixels pixelsOfPillow(const py::handle& core) {
  const std::string mode = py::str(core.attr("mode"));
  if (mode != "RGB" && mode != "RGBA") {
    throw py::type_error("a picture in mode " + mode + "; RGB or RGBA is needed here");
  }
  const auto size = core.attr("size").cast<std::pair<int, int>>();
  Pixels p;
  p.width = size.first;
  p.height = size.second;
  checkSize(p.width, p.height);
  uintptr_t address = 0;
  for (const py::handle pair : core.attr("unsafe_ptrs")) {
    const auto named = pair.cast<std::pair<std::string, uintptr_t>>();
    if (named.first == "image32") address = named.second;
  }
  const int channels = mode == "RGBA" ? 4 : 3;
  p.format = channels == 4 ? KXQ_RGBA : KXQ_RGB;
  p.stride = static_cast<size_t>(p.width) * channels;
  // NumPy's array, whose failure is a MemoryError, as its own copy's is.
  p.array =
      py::array_t<uint8_t>({py::ssize_t{p.height}, py::ssize_t{p.width}, py::ssize_t{channels}});
  p.data = p.array.data();
  if (p.width == 0 || p.height == 0) return p;  // refused by the library, with its words
  if (address == 0) throw std::runtime_error("Pillow gave no rows of the picture");
  {
    py::gil_scoped_release free;  // the image object, which the caller holds, keeps its rows
    packRows(reinterpret_cast<const uint8_t* const*>(address), p.width, p.height, channels,
             static_cast<uint8_t*>(p.array.mutable_data()));
  }
  return p;
}

// ---- A PNG file's rows, read without Pillow -------------------------------------
//
// For a PIL image opened from a PNG and not yet loaded, the package hands
// the file's bytes here: the rows of the common case (8-bit RGB or RGBA, not
// interlaced) come from libdeflate and the filters undone here, several
// times faster than Pillow's zlib. Taken only when Pillow's own decoding
// gives the same pixels: the header matches the image, every chunk's CRC is
// right, the IDAT chunks are one run holding exactly the rows' zlib stream,
// no critical chunk is unknown, and after the rows come only text and time
// chunks (which Pillow would read into its info) and IEND. Anything else
// returns None, and Pillow decodes the file as before.

// The zlib stream of the rows (IDAT data joined); false when the file is
// not of the common case above.
bool pngStream(const uint8_t* file, size_t size, int width, int height, int channels,
               std::vector<uint8_t>& stream) {
  static constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (size < 8 || std::memcmp(file, kSignature, 8) != 0) return false;
  enum { kHeader, kBefore, kRows, kAfter } at = kHeader;
  for (size_t pos = 8;;) {
    if (size - pos < 12) return false;
    const uint32_t length = loadBE32(file + pos);
    if (length > size - pos - 12) return false;
    const uint8_t* type = file + pos + 4;
    const uint8_t* data = type + 4;
    if (libdeflate_crc32(0, type, length + 4) != loadBE32(data + length)) return false;
    pos += 12 + size_t{length};
    const std::string name(reinterpret_cast<const char*>(type), 4);
    if (at == kHeader) {
      if (name != "IHDR" || length != 13 || loadBE32(data) != uint32_t(width) ||
          loadBE32(data + 4) != uint32_t(height) || data[8] != 8 ||
          data[9] != (channels == 4 ? 6 : 2) || data[10] != 0 || data[11] != 0 || data[12] != 0) {
        return false;
      }
      at = kBefore;
    } else if (name == "IDAT") {
      if (at == kAfter) return false;
      at = kRows;
      stream.insert(stream.end(), data, data + length);
    } else if (name == "IEND") {
      return at != kBefore;
    } else if (at == kBefore) {
      if (name != "PLTE" && !(type[0] & 0x20)) return false;  // an unknown critical chunk
    } else {
      at = kAfter;
      if (name != "tEXt" && name != "zTXt" && name != "iTXt" && name != "tIME") return false;
    }
  }
}

// Paeth's predictor of one pixel, its samples at once: a the pixel on the
// left, b above, c above left, 16 bits a sample.
#if defined(__SSE2__)
inline __m128i paethPixel(__m128i a, __m128i b, __m128i c) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i toA = _mm_sub_epi16(b, c), toB = _mm_sub_epi16(a, c);
  const __m128i toC = _mm_add_epi16(toA, toB);
  auto abs16 = [&](__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(zero, v)); };
  const __m128i pa = abs16(toA), pb = abs16(toB), pc = abs16(toC);
  const __m128i least = _mm_min_epi16(_mm_min_epi16(pa, pb), pc);
  const __m128i takeA = _mm_cmpeq_epi16(pa, least);
  const __m128i takeB = _mm_andnot_si128(takeA, _mm_cmpeq_epi16(pb, least));
  const __m128i takeC = _mm_andnot_si128(_mm_or_si128(takeA, takeB), _mm_set1_epi16(-1));
  return _mm_or_si128(_mm_or_si128(_mm_and_si128(takeA, a), _mm_and_si128(takeB, b)),
                      _mm_and_si128(takeC, c));
}

inline __m128i loadPixel(const uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return _mm_unpacklo_epi8(_mm_cvtsi32_si128(v), _mm_setzero_si128());
}

// A row of Paeth's filter, pixel by pixel. Reads 4 bytes a pixel, one past
// a 3-byte pixel (the caller's buffers have that byte); writes 3 or 4.
template <int kBpp>
void paethRow(const uint8_t* in, const uint8_t* up, uint8_t* out, int width) {
  __m128i a = _mm_setzero_si128(), c = _mm_setzero_si128();
  for (int x = 0; x < width; ++x, in += kBpp, up += kBpp, out += kBpp) {
    const __m128i b = loadPixel(up);
    a = _mm_and_si128(_mm_add_epi16(loadPixel(in), paethPixel(a, b, c)), _mm_set1_epi16(0xFF));
    c = b;
    const int32_t v = _mm_cvtsi128_si32(_mm_packus_epi16(a, a));
    std::memcpy(out, &v, kBpp);
  }
}
#endif

// The rows' filters undone in place: row y's bytes (after its filter byte)
// at (width x channels + 1) y + 1 become the picture's row y at
// (width x channels) y. Every byte is read before the rows below overwrite
// it. Needs one byte past the last row.
bool unfilterRows(uint8_t* data, int width, int height, int channels) {
  const size_t row = static_cast<size_t>(width) * channels;
  const size_t bpp = static_cast<size_t>(channels);
  const std::vector<uint8_t> zeros(row + 1, 0);
  for (int y = 0; y < height; ++y) {
    const size_t at = static_cast<size_t>(y) * row;
    const uint8_t* in = data + at + y + 1;
    const uint8_t filter = in[-1];
    uint8_t* out = data + at;
    const uint8_t* up = y == 0 ? zeros.data() : out - row;
    switch (filter) {
      case 0:
        std::memmove(out, in, row);
        break;
      case 1:
        for (size_t x = 0; x < row; ++x) out[x] = uint8_t(in[x] + (x < bpp ? 0 : out[x - bpp]));
        break;
      case 2:
        for (size_t x = 0; x < row; ++x) out[x] = uint8_t(in[x] + up[x]);
        break;
      case 3:
        for (size_t x = 0; x < row; ++x)
          out[x] = uint8_t(in[x] + (((x < bpp ? 0 : out[x - bpp]) + up[x]) >> 1));
        break;
      case 4:
#if defined(__SSE2__)
        // A 3-byte pixel's fourth byte read above is the next pixel's (or the
        // row's own first, for the last): read, never used.
        if (bpp == 3) {
          paethRow<3>(in, up, out, width);
          break;
        }
        if (bpp == 4) {
          paethRow<4>(in, up, out, width);
          break;
        }
#endif
        for (size_t x = 0; x < row; ++x) {
          const int a = x < bpp ? 0 : out[x - bpp], b = up[x], c = x < bpp ? 0 : up[x - bpp];
          const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
          out[x] = uint8_t(in[x] + (pa <= pb && pa <= pc ? a : pb <= pc ? b : c));
        }
        break;
      default:
        return false;
    }
  }
  return true;
}

py::object pngRows(const py::bytes& file, int width, int height, int channels) {
  if (width < 1 || height < 1 || (channels != 3 && channels != 4)) return py::none();
  checkSize(width, height);
  char* bytes = nullptr;
  py::ssize_t size = 0;
  if (PyBytes_AsStringAndSize(file.ptr(), &bytes, &size) != 0) throw py::error_already_set();
  const size_t row = static_cast<size_t>(width) * channels;
  const size_t filtered = (row + 1) * static_cast<size_t>(height);
  // The rows with their filter bytes, and a byte more, inflated into the
  // array that the picture's rows then take from its start.
  py::array_t<uint8_t> buffer(static_cast<py::ssize_t>(filtered + 1));
  uint8_t* data = buffer.mutable_data();
  bool done = false;
  {
    py::gil_scoped_release free;  // the caller holds the bytes
    std::vector<uint8_t> stream;
    std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> inflater(
        libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
    size_t in = 0, got = 0;
    data[filtered] = 0;
    done = inflater &&
           pngStream(reinterpret_cast<const uint8_t*>(bytes), static_cast<size_t>(size), width,
                     height, channels, stream) &&
           libdeflate_zlib_decompress_ex(inflater.get(), stream.data(), stream.size(), data,
                                         filtered, &in, &got) == LIBDEFLATE_SUCCESS &&
           in == stream.size() && got == filtered && unfilterRows(data, width, height, channels);
  }
  if (!done) return py::none();
  return buffer[py::slice(0, static_cast<py::ssize_t>(row) * height, 1)].attr("reshape")(
      height, width, channels);
}

// Whether the object is of Pillow's own image type, not of a class of that
// name: the addresses it gives are read as they are.
bool isPillowImage(const py::handle& object) {
  const py::type type = py::type::of(object);
  if (std::string(py::str(type.attr("__name__"))) != "ImagingCore") return false;
  const py::object empty =
      py::module_::import("PIL.Image").attr("core").attr("new")("L", py::make_tuple(0, 0));
  return type.is(py::type::of(empty));
}

Pixels pixelsOf(const py::handle& object) {
  if (isPillowImage(object) && py::hasattr(object, "unsafe_ptrs")) return pixelsOfPillow(object);
  if (!py::isinstance<py::array>(object)) {
    throw py::type_error("pixels as a NumPy array (height x width x 3 or 4, uint8), not " +
                         std::string(py::str(py::type::of(object).attr("__name__"))));
  }
  Pixels p;
  p.array = py::reinterpret_borrow<py::array>(object);
  const py::dtype type = p.array.dtype();
  if (type.kind() != 'u' || type.itemsize() != 1) {
    throw py::type_error("pixels of dtype " + std::string(py::str(py::handle(type))) +
                         "; uint8 is needed");
  }
  if (p.array.ndim() != 3 || (p.array.shape(2) != 3 && p.array.shape(2) != 4)) {
    throw py::value_error("pixels of shape " + std::string(py::str(p.array.attr("shape"))) +
                          "; (height, width, 3) for RGB or (height, width, 4) for RGBA");
  }
  if (p.array.shape(0) > INT_MAX || p.array.shape(1) > INT_MAX) {
    throw py::value_error("a picture of " + std::to_string(p.array.shape(1)) + " x " +
                          std::to_string(p.array.shape(0)) + " pixels is too large");
  }
  p.height = static_cast<int>(p.array.shape(0));
  p.width = static_cast<int>(p.array.shape(1));
  checkSize(p.width, p.height);
  const int channels = static_cast<int>(p.array.shape(2));
  p.format = channels == 4 ? KXQ_RGBA : KXQ_RGB;
  const py::ssize_t row = py::ssize_t{p.width} * channels;
  if (p.width > 0 && p.height > 0 &&
      (p.array.strides(2) != 1 || p.array.strides(1) != channels ||
       (p.height > 1 && p.array.strides(0) < row))) {
    // NumPy's own copy, whose failure is a MemoryError.
    p.array = py::module_::import("numpy").attr("ascontiguousarray")(p.array);
  }
  p.data = p.array.data();
  p.stride = p.height > 1 && p.width > 0 ? static_cast<size_t>(p.array.strides(0))
                                         : static_cast<size_t>(row);
  return p;
}

// The result's palette (entries x 4, RGBA) and indices (height x width) as
// arrays that own it together.
py::tuple arraysOf(kxq_result* result) {
  py::capsule owner(result, [](void* r) { kxq_result_destroy(static_cast<kxq_result*>(r)); });
  const py::ssize_t colors = kxq_result_colors(result);
  const py::ssize_t width = kxq_result_width(result), height = kxq_result_height(result);
  py::array_t<uint8_t> palette({colors, py::ssize_t{4}}, {py::ssize_t{4}, py::ssize_t{1}},
                               kxq_result_palette(result), owner);
  py::array_t<uint8_t> indices({height, width}, {width, py::ssize_t{1}}, kxq_result_indices(result),
                               owner);
  return py::make_tuple(palette, indices);
}

py::tuple remap(const py::handle& image, const py::handle& palette, int dither, float factor,
                int threads) {
  const Pixels p = pixelsOf(image);
  const auto entries = py::array_t<uint8_t, py::array::c_style>::ensure(palette);
  if (!entries || entries.ndim() != 2 || entries.shape(1) != 4 || entries.shape(0) < 1 ||
      entries.shape(0) > 256) {
    throw py::value_error("a palette of 1 to 256 RGBA entries, an array of shape (entries, 4)");
  }
  Options options = makeOptions(256, dither, factor, true, threads);
  kxq_result *given = nullptr, *result = nullptr;
  kxq_status status;
  {
    py::gil_scoped_release free;
    status = kxq_palette_create(options.get(), entries.data(), static_cast<int>(entries.shape(0)),
                                &given);
    if (status == KXQ_OK) {
      status =
          kxq_remap(options.get(), given, p.data, p.width, p.height, p.stride, p.format, &result);
    }
    kxq_result_destroy(given);
  }
  check(options.get(), status);
  return arraysOf(result);
}

// ---- One palette for several pictures, and animated GIFs --------------------------
// Handles kept between calls from Python: each call takes the handle's lock
// once the GIL is released, since calls on one handle must not overlap.

// A status and the words of the handle that gave it, read under its lock.
struct Outcome {
  kxq_status status = KXQ_OK;
  std::string message;
  void check() const {
    if (status != KXQ_OK) raise(status, message);
  }
};

// kxq_shared and the options its palette is remapped with.
class SharedPalette {
 public:
  SharedPalette(int colors, int dither, float factor, bool refine, int threads)
      : options_(makeOptions(colors, dither, factor, refine, threads)) {
    kxq_shared* shared = nullptr;
    check(options_.get(), kxq_shared_create(options_.get(), &shared));
    shared_.reset(shared);
  }

  void add(const py::handle& image) {
    const Pixels p = pixelsOf(image);
    Outcome outcome;
    {
      py::gil_scoped_release free;
      std::lock_guard<std::mutex> lock(mutex_);
      outcome.status = kxq_shared_add(shared_.get(), p.data, p.width, p.height, p.stride, p.format);
      if (outcome.status == KXQ_OK) {
        palette_.reset();  // chosen again with this picture
      } else {
        outcome.message = kxq_shared_message(shared_.get());
      }
    }
    outcome.check();
  }

  // The palette chosen from the pictures added so far, entries x 4 (RGBA).
  py::array_t<uint8_t> palette() {
    Outcome outcome;
    std::vector<uint8_t> rgba;
    {
      py::gil_scoped_release free;
      std::lock_guard<std::mutex> lock(mutex_);
      outcome = choose();
      if (outcome.status == KXQ_OK) {
        const uint8_t* entries = kxq_result_palette(palette_.get());
        rgba.assign(entries, entries + 4 * kxq_result_colors(palette_.get()));
      }
    }
    outcome.check();
    py::array_t<uint8_t> out({static_cast<py::ssize_t>(rgba.size() / 4), py::ssize_t{4}});
    std::copy(rgba.begin(), rgba.end(), out.mutable_data());
    return out;
  }

  // The picture mapped to that palette, as kxquant -u maps each input.
  py::tuple remap(const py::handle& image) {
    const Pixels p = pixelsOf(image);
    Outcome outcome;
    kxq_result* result = nullptr;
    {
      py::gil_scoped_release free;
      std::lock_guard<std::mutex> lock(mutex_);
      outcome = choose();
      if (outcome.status == KXQ_OK) {
        outcome.status = kxq_remap(options_.get(), palette_.get(), p.data, p.width, p.height,
                                   p.stride, p.format, &result);
        if (outcome.status != KXQ_OK) outcome.message = kxq_options_message(options_.get());
      }
    }
    outcome.check();
    return arraysOf(result);
  }

 private:
  // The palette, chosen once after the last picture added; under the lock.
  Outcome choose() {
    Outcome outcome;
    if (palette_) return outcome;
    kxq_result* chosen = nullptr;
    outcome.status = kxq_shared_palette(shared_.get(), &chosen);
    if (outcome.status == KXQ_OK) {
      palette_.reset(chosen);
    } else {
      outcome.message = kxq_shared_message(shared_.get());
    }
    return outcome;
  }

  Options options_;
  std::unique_ptr<kxq_shared, void (*)(kxq_shared*)> shared_{nullptr, kxq_shared_destroy};
  std::unique_ptr<kxq_result, void (*)(kxq_result*)> palette_{nullptr, kxq_result_destroy};
  std::mutex mutex_;
};

// kxq_gif: frames added one at a time (the library keeps them), then the
// GIF's bytes once.
class Gif {
 public:
  Gif(int colors, int dither, float factor, bool refine, int threads, int loop, int quality) {
    Options options = makeOptions(colors, dither, factor, refine, threads);
    check(options.get(), kxq_set_quality(options.get(), 0, quality));
    kxq_gif* gif = nullptr;
    check(options.get(), kxq_gif_create(options.get(), &gif));
    gif_.reset(gif);
    if (kxq_gif_set_loop(gif, loop) != KXQ_OK) throw py::value_error(kxq_gif_message(gif));
  }

  void add(const py::handle& image, int delayMs) {
    const Pixels p = pixelsOf(image);
    Outcome outcome;
    {
      py::gil_scoped_release free;
      std::lock_guard<std::mutex> lock(mutex_);
      outcome.status =
          kxq_gif_add_frame(gif_.get(), p.data, p.width, p.height, p.stride, p.format, delayMs);
      if (outcome.status != KXQ_OK) outcome.message = kxq_gif_message(gif_.get());
    }
    outcome.check();
  }

  py::bytes write() {
    Outcome outcome;
    unsigned char* bytes = nullptr;
    size_t size = 0;
    {
      py::gil_scoped_release free;
      std::lock_guard<std::mutex> lock(mutex_);
      outcome.status = kxq_gif_write(gif_.get(), &bytes, &size);
      if (outcome.status != KXQ_OK) outcome.message = kxq_gif_message(gif_.get());
    }
    outcome.check();
    const std::unique_ptr<unsigned char, void (*)(void*)> owned(bytes, kxq_free);
    return py::bytes(reinterpret_cast<const char*>(bytes), size);
  }

 private:
  std::unique_ptr<kxq_gif, void (*)(kxq_gif*)> gif_{nullptr, kxq_gif_destroy};
  std::mutex mutex_;
};

void bindSharedAndGif(py::module_& m) {
  py::class_<SharedPalette>(m, "SharedPalette")
      .def(py::init<int, int, float, bool, int>(), py::arg("colors"), py::arg("dither"),
           py::arg("factor"), py::arg("refine"), py::arg("threads"))
      .def("add", &SharedPalette::add, py::arg("image"))
      .def("palette", &SharedPalette::palette)
      .def("remap", &SharedPalette::remap, py::arg("image"));
  py::class_<Gif>(m, "Gif")
      .def(py::init<int, int, float, bool, int, int, int>(), py::arg("colors"), py::arg("dither"),
           py::arg("factor"), py::arg("refine"), py::arg("threads"), py::arg("loop"),
           py::arg("quality"))
      .def("add", &Gif::add, py::arg("image"), py::arg("delay_ms"))
      .def("write", &Gif::write);
}
// ---- End of one palette for several pictures, and animated GIFs ------------------
// (palette, indices, quality reached or -1, and the library's words when
// it is below the quality range's min, else None). min < 0: no range.
py::tuple quantize(const py::handle& image, int colors, int dither, float factor, bool refine,
                   int threads, int min, int max, bool fitWorst) {
  const Pixels p = pixelsOf(image);
  Options options = makeOptions(colors, dither, factor, refine, threads);
  check(options.get(), kxq_set_fit_worst(options.get(), fitWorst));
  if (min >= 0) check(options.get(), kxq_set_quality(options.get(), min, max));
  kxq_result* result = nullptr;
  kxq_status status;
  {
    py::gil_scoped_release free;
    status = kxq_quantize(options.get(), p.data, p.width, p.height, p.stride, p.format, &result);
  }
  if (status != KXQ_QUALITY_TOO_LOW) check(options.get(), status);
  const int quality = kxq_result_quality(result);
  py::tuple arrays = arraysOf(result);
  return py::make_tuple(arrays[0], arrays[1], quality,
                        status == KXQ_OK ? py::object(py::none())
                                         : py::object(py::str(kxq_options_message(options.get()))));
}

// The command's PNG of the picture: (bytes, quality reached or -1, the
// library's words when it is below the range's min, else None). min < 0:
// no quality range.
py::tuple png(const py::handle& image, int colors, int dither, float factor, bool refine,
              int threads, int min, int max, const py::bytes& icc, const py::object& iccName,
              double dpiX, double dpiY, bool fitWorst) {
  const Pixels p = pixelsOf(image);
  Options options = makeOptions(colors, dither, factor, refine, threads);
  check(options.get(), kxq_set_fit_worst(options.get(), fitWorst));
  if (min >= 0) check(options.get(), kxq_set_quality(options.get(), min, max));
  const std::string profile = icc;
  const std::string name = iccName.is_none() ? "" : iccName.cast<std::string>();
  std::unique_ptr<kxq_result, void (*)(kxq_result*)> result(nullptr, kxq_result_destroy);
  unsigned char* bytes = nullptr;
  size_t size = 0;
  kxq_status status, written = KXQ_OK;
  std::string words;  // the quantizing's, which the writing clears
  {
    py::gil_scoped_release free;
    kxq_result* made = nullptr;
    status = kxq_quantize(options.get(), p.data, p.width, p.height, p.stride, p.format, &made);
    result.reset(made);
    words = kxq_options_message(options.get());
    if (made) {
      written = kxq_write_png(
          options.get(), made, reinterpret_cast<const unsigned char*>(profile.data()),
          profile.size(), iccName.is_none() ? nullptr : name.c_str(), dpiX, dpiY, &bytes, &size);
    }
  }
  if (status != KXQ_QUALITY_TOO_LOW && status != KXQ_OK) raise(status, words);
  std::unique_ptr<unsigned char, void (*)(void*)> owned(bytes, kxq_free);
  check(options.get(), written);
  return py::make_tuple(py::bytes(reinterpret_cast<const char*>(bytes), size),
                        kxq_result_quality(result.get()),
                        status == KXQ_OK ? py::object(py::none()) : py::object(py::str(words)));
}

}  // namespace

PYBIND11_MODULE(_kxquant, m) {
  m.doc() = "libkxquant for Python; use the kxquant package, which wraps this.";
  bindSharedAndGif(m);
  m.def("quantize", &quantize, py::arg("image"), py::arg("colors"), py::arg("dither"),
        py::arg("factor"), py::arg("refine"), py::arg("threads"), py::arg("min"), py::arg("max"),
        py::arg("fit_worst"));
  m.def("remap", &remap, py::arg("image"), py::arg("palette"), py::arg("dither"), py::arg("factor"),
        py::arg("threads"));
  m.def("png", &png, py::arg("image"), py::arg("colors"), py::arg("dither"), py::arg("factor"),
        py::arg("refine"), py::arg("threads"), py::arg("min"), py::arg("max"), py::arg("icc"),
        py::arg("icc_name"), py::arg("dpi_x"), py::arg("dpi_y"), py::arg("fit_worst"));
  m.def("png_rows", &pngRows, py::arg("file"), py::arg("width"), py::arg("height"),
        py::arg("channels"));
  m.attr("library_version") = kxq_version();
  m.attr("version") = KX_VERSION;  // CMake's project version, which setup.py gives
}
