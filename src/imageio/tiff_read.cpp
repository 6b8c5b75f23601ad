// TIFF files through libtiff.
//
//   offset 0  "II" (little-endian numbers) or "MM" (big-endian)
//          2  42, then the offset of the first IFD (4 bytes); BigTIFF: 43,
//             8, 0, then the offset (8 bytes)
//   IFD       tags (size, samples, compression, strip or tile offsets and
//             byte counts, ...), then the offset of the next IFD
// Every IFD is a page, given as a frame. Read: grey of 1, 2, 4, 8 or 16
// bits (min-is-black or min-is-white), RGB of 8 or 16 bits, palette of 1 to
// 8 bits, each with an alpha sample; stripped or tiled; samples contiguous
// or in planes; uncompressed, LZW, Deflate, PackBits or JPEG (YCbCr brought
// to RGB by libtiff). An extra sample is alpha whatever its type says
// (unspecified extra samples are alpha in practice); associated alpha is
// un-premultiplied, at 8 bits. 16-bit samples are rounded with scaleSample;
// palette entries take their high byte, as libtiff's own RGBA reader does
// (8-bit values in a colormap with no entry above 255 stay as they are).
// Refused: other colour spaces (CMYK, Lab, YCbCr without JPEG), other
// compressions, floating-point and signed samples.
//
// Bounds, checked on the IFD before a page is allocated: the geometry
// (checkGeometry), tiles within the pixel limit, every strip or tile within
// the file, and the decoded bytes against the stored ones: at most 1 for
// uncompressed data, 64 for PackBits (two bytes code a run of 128), 1032
// for Deflate, 4096 for LZW (codes of 9 bits or more, strings of at most
// 4096 bytes), for the page and, summed over the pages so far, for the
// whole file (pages may point to the same strips). JPEG has no such bound (arithmetic coding can
// code a flat block in a fraction of a bit): there each page is within the pixel limit and
// the JPEG pages together within framePixelBudget, at 4096 a byte of the file. The file is held
// whole in memory (libtiff reads at random), up to maxContainerBytes(); libtiff's allocations are
// capped at that too, its messages are caught (never printed), and kMaxFrames bounds the pages.
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "imageio/imageio_pvt.h"

namespace kx {

namespace {

constexpr size_t kHeaderBytes = 8;

// libtiff's client data: the file's bytes, the read position, and the
// first error libtiff reported.
struct TiffInput {
  std::vector<uint8_t> bytes;
  uint64_t position = 0;
  std::string error;
};

tmsize_t readProc(thandle_t handle, void* out, tmsize_t size) {
  auto* in = static_cast<TiffInput*>(handle);
  if (size <= 0 || in->position >= in->bytes.size()) return 0;
  const uint64_t n =
      std::min<uint64_t>(static_cast<uint64_t>(size), in->bytes.size() - in->position);
  std::memcpy(out, in->bytes.data() + in->position, n);
  in->position += n;
  return static_cast<tmsize_t>(n);
}

tmsize_t writeProc(thandle_t, void*, tmsize_t) {
  return 0;
}

toff_t seekProc(thandle_t handle, toff_t offset, int whence) {
  auto* in = static_cast<TiffInput*>(handle);
  // Offsets relative to the position or the end come as unsigned
  // two's-complement values: the sum wraps to the right place.
  const uint64_t base = whence == SEEK_CUR   ? in->position
                        : whence == SEEK_END ? in->bytes.size()
                                             : 0;
  const uint64_t to = base + offset;
  if (to > static_cast<uint64_t>(INT64_MAX)) return static_cast<toff_t>(-1);
  in->position = to;
  return to;
}

int closeProc(thandle_t) {
  return 0;
}

toff_t sizeProc(thandle_t handle) {
  return static_cast<TiffInput*>(handle)->bytes.size();
}

// The bytes are in memory already: libtiff reads strips in place.
int mapProc(thandle_t handle, void** base, toff_t* size) {
  auto* in = static_cast<TiffInput*>(handle);
  *base = in->bytes.data();
  *size = in->bytes.size();
  return 1;
}

void unmapProc(thandle_t, void*, toff_t) {}

int onError(TIFF*, void* user, const char*, const char* format, va_list args) {
  auto* in = static_cast<TiffInput*>(user);
  if (in->error.empty()) {
    char message[512];
    std::vsnprintf(message, sizeof message, format, args);
    in->error = message;
  }
  return 1;  // handled: libtiff's process-wide handlers are not called
}

int onWarning(TIFF*, void*, const char*, const char*, va_list) {
  return 1;
}

// Messages libtiff gives before a file's own handlers are known go to the
// process-wide handlers, which print on stderr by default.
void silenceLibtiff() {
  static std::once_flag once;
  std::call_once(once, [] {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
  });
}

void checkSignature(const std::string& name, const std::vector<uint8_t>& bytes) {
  const bool ok =
      bytes.size() >= kHeaderBytes &&
      ((bytes[0] == 'I' && bytes[1] == 'I' && (bytes[2] == 42 || bytes[2] == 43) &&
        bytes[3] == 0) ||
       (bytes[0] == 'M' && bytes[1] == 'M' && bytes[2] == 0 && (bytes[3] == 42 || bytes[3] == 43)));
  if (!ok) throw ConvError(name + ": not a TIFF file (no TIFF header)");
}

// How many decoded bytes one stored byte can give; 0 for no bound, -1 for a
// compression we do not read.
int64_t expansion(uint16_t compression) {
  switch (compression) {
    case COMPRESSION_NONE:
      return 1;
    case COMPRESSION_PACKBITS:
      return 64;
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
      return 1032;
    case COMPRESSION_LZW:
      return 4096;
    case COMPRESSION_JPEG:
      return 0;
    default:
      return -1;
  }
}

// How the samples of a page become an Image.
struct Layout {
  int width = 0, height = 0;
  int bits = 0;
  int samples = 0;  // per pixel, in the file
  bool separate = false;
  bool minIsWhite = false;
  bool palette = false;
  int colour = 0;      // colour samples: 1 or 3
  bool alpha = false;  // the sample after the colours is alpha
  bool associated = false;
  int channels = 0;  // of the Image
};

class TiffSource final : public FrameSource {
 public:
  TiffSource(const std::string& name, std::vector<uint8_t> bytes) : name_(name) {
    checkSignature(name_, bytes);
    input_.bytes = std::move(bytes);
    silenceLibtiff();
    struct Options {
      TIFFOpenOptions* p = TIFFOpenOptionsAlloc();
      ~Options() { TIFFOpenOptionsFree(p); }
    } options;
    if (!options.p) throw std::bad_alloc();
    TIFFOpenOptionsSetMaxSingleMemAlloc(
        options.p, static_cast<tmsize_t>(std::min<uint64_t>(maxContainerBytes(), INT64_MAX)));
    TIFFOpenOptionsSetErrorHandlerExtR(options.p, onError, &input_);
    TIFFOpenOptionsSetWarningHandlerExtR(options.p, onWarning, &input_);
    tiff_.reset(TIFFClientOpenExt(name_.c_str(), "r", &input_, readProc, writeProc, seekProc,
                                  closeProc, sizeProc, mapProc, unmapProc, options.p));
    if (!tiff_) throw corrupt("libtiff cannot open it");
    pagesDeclared_ = static_cast<int>(std::min<tdir_t>(TIFFNumberOfDirectories(tiff_.get()),
                                                       static_cast<tdir_t>(kMaxFrames) + 1));
    input_.error.clear();  // a damaged chain of pages is refused when it is reached
  }

  bool next(Image& frame) override {
    // The count stops before an IFD that loops back or lies outside the
    // file: the pages before it are read, as other readers do.
    if (finished_ || (pages_ > 0 && pages_ >= pagesDeclared_)) return false;
    if (pages_ > 0 && !TIFFReadDirectory(tiff_.get())) {
      finished_ = true;
      if (!input_.error.empty()) throw corrupt("page " + std::to_string(pages_ + 1));
      return false;
    }
    if (pages_ == kMaxFrames) {
      throw ConvError(name_ + ": more than " + std::to_string(kMaxFrames) + " pages");
    }
    frame = Image{};
    readPage(frame);
    ++pages_;
    return true;
  }
  int frameCountHint() const override { return pagesDeclared_; }

 private:
  ConvError corrupt(const std::string& what) const {
    return ConvError(name_ + ": corrupt TIFF file (" + what +
                     (input_.error.empty() ? "" : ": " + input_.error) + ")");
  }
  ConvError unsupported(const std::string& what) const {
    return ConvError(name_ + ": unsupported TIFF (" + what + ")");
  }

  Layout layoutOf();
  void checkStoredBytes(const Layout& layout, uint16_t compression);
  void readPage(Image& frame);
  void readBlocks(const Layout& layout, Image& frame);
  void readMetadata(ImageMetadata& metadata);

  std::string name_;
  TiffInput input_;
  std::unique_ptr<TIFF, decltype(&TIFFClose)> tiff_{nullptr, TIFFClose};
  int pages_ = 0;
  int pagesDeclared_ = 0;
  bool finished_ = false;
  uint64_t leastStored_ = 0;  // the stored bytes the pages so far need at the least
  uint64_t jpegPixels_ = 0;   // the pixels of the JPEG pages so far
};

Layout TiffSource::layoutOf() {
  TIFF* tif = tiff_.get();
  uint32_t width = 0, height = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
  checkGeometry(name_, width, height, "TIFF");
  Layout l;
  l.width = static_cast<int>(width);
  l.height = static_cast<int>(height);
  uint16_t bits = 1, samples = 1, planar = PLANARCONFIG_CONTIG, format = SAMPLEFORMAT_UINT;
  uint16_t photometric = 0, compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) throw corrupt("no colour space");
  if (format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_VOID) {
    throw unsupported("floating-point or signed samples");
  }
  if (expansion(compression) < 0 || !TIFFIsCODECConfigured(compression)) {
    throw unsupported("compression " + std::to_string(compression) +
                      "; none, LZW, Deflate, PackBits and JPEG are read");
  }
  switch (photometric) {
    case PHOTOMETRIC_MINISWHITE:
      l.minIsWhite = true;
      [[fallthrough]];
    case PHOTOMETRIC_MINISBLACK:
      l.colour = 1;
      break;
    case PHOTOMETRIC_PALETTE:
      l.colour = 1;
      l.palette = true;
      break;
    case PHOTOMETRIC_RGB:
      l.colour = 3;
      break;
    case PHOTOMETRIC_YCBCR:
      if (compression != COMPRESSION_JPEG) throw unsupported("YCbCr samples without JPEG");
      // libjpeg brings them to RGB, whole rows, whatever the subsampling.
      TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
      l.colour = 3;
      break;
    default:
      throw unsupported("colour space " + std::to_string(photometric) +
                        "; grey, RGB and palette are read");
  }
  const bool bitsOk = bits == 8 || (!l.palette && bits == 16) ||
                      (l.colour == 1 && (bits == 1 || bits == 2 || bits == 4));
  if (!bitsOk) throw unsupported(std::to_string(bits) + "-bit samples");
  if (samples < l.colour) throw corrupt(std::to_string(samples) + " samples a pixel");
  l.bits = bits;
  l.samples = samples;
  l.separate = planar == PLANARCONFIG_SEPARATE && samples > 1;
  if (!l.palette && samples > l.colour) {
    uint16_t count = 0;
    uint16_t* types = nullptr;
    TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &count, &types);
    l.alpha = true;
    l.associated = count > 0 && types && types[0] == EXTRASAMPLE_ASSOCALPHA;
  }
  l.channels = l.palette ? 1 : l.colour + (l.alpha ? 1 : 0);
  checkStoredBytes(l, compression);
  return l;
}

void TiffSource::checkStoredBytes(const Layout& l, uint16_t compression) {
  TIFF* tif = tiff_.get();
  const uint64_t fileSize = input_.bytes.size();
  uint64_t decoded = 0;
  if (TIFFIsTiled(tif)) {
    uint32_t tileWidth = 0, tileHeight = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &tileHeight);
    if (tileWidth == 0 || tileHeight == 0 || kx_overPixelLimit(tileWidth, tileHeight)) {
      throw corrupt("tiles of " + std::to_string(tileWidth) + " x " + std::to_string(tileHeight) +
                    " pixels");
    }
    decoded = uint64_t{TIFFNumberOfTiles(tif)} * TIFFTileSize64(tif);
  } else {
    decoded = uint64_t{TIFFScanlineSize64(tif)} * static_cast<uint64_t>(l.height) *
              (l.separate ? l.samples : 1);
  }
  const char* kind = TIFFIsTiled(tif) ? "tile " : "strip ";
  const uint32_t blocks = TIFFIsTiled(tif) ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
  uint64_t stored = 0;
  for (uint32_t b = 0; b < blocks; ++b) {
    int error = 0;
    const uint64_t offset = TIFFGetStrileOffsetWithErr(tif, b, &error);
    const uint64_t count = TIFFGetStrileByteCountWithErr(tif, b, &error);
    if (error || offset > fileSize || count > fileSize - offset) {
      throw corrupt(kind + std::to_string(b) + " lies past the end of the file");
    }
    stored += count;
  }
  const int64_t ratio = expansion(compression);
  if (ratio == 0) {
    // JPEG: no bound by the page's bytes, but one over the file's pages,
    // 16 times what Huffman coding can reach (2 bits a block of 64 pixels).
    constexpr uint64_t kJpegPixelsPerByte = 4096;
    const uint64_t budget = framePixelBudget(fileSize, kJpegPixelsPerByte);
    jpegPixels_ += static_cast<uint64_t>(l.width) * static_cast<uint64_t>(l.height);
    if (jpegPixels_ > budget) {
      throw corrupt("JPEG pages 1 to " + std::to_string(pages_ + 1) + " are " +
                    std::to_string(jpegPixels_) + " pixels, more than the " +
                    std::to_string(budget) + " read of a file of " + std::to_string(fileSize) +
                    " bytes");
    }
    return;
  }
  const uint64_t least = decoded / static_cast<uint64_t>(ratio);
  if (least > stored) {
    throw corrupt(std::to_string(l.width) + " x " + std::to_string(l.height) +
                  " pixels cannot be held in " + std::to_string(stored) + " bytes");
  }
  // Pages may share their strips: the file as a whole must hold them all.
  leastStored_ += least;
  if (leastStored_ > fileSize) {
    throw corrupt("pages 1 to " + std::to_string(pages_ + 1) + " cannot be held in " +
                  std::to_string(fileSize) + " bytes");
  }
}

void TiffSource::readBlocks(const Layout& l, Image& frame) {
  TIFF* tif = tiff_.get();
  const bool tiled = TIFFIsTiled(tif);
  uint32_t blockWidth = static_cast<uint32_t>(l.width), blockHeight = 0;
  if (tiled) {
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &blockWidth);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &blockHeight);
  } else {
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &blockHeight);
    blockHeight = std::clamp<uint32_t>(blockHeight, 1, static_cast<uint32_t>(l.height));
  }
  const uint64_t stride = tiled ? TIFFTileRowSize64(tif) : TIFFScanlineSize64(tif);
  std::vector<uint8_t> block(stride * blockHeight);
  const int planes = l.separate ? l.samples : 1;
  const int inBlock = l.separate ? 1 : l.samples;  // samples a pixel in a block
  const uint32_t maxval = (uint32_t{1} << l.bits) - 1;
  const int C = l.channels;
  uint8_t* out = frame.samples.data();
  // 8-bit samples that are the Image's, one for one: rows are copied whole.
  const bool copyRows = l.bits == 8 && !l.separate && !l.minIsWhite && l.samples == C;

  for (int plane = 0; plane < planes; ++plane) {
    for (uint32_t y0 = 0; y0 < static_cast<uint32_t>(l.height); y0 += blockHeight) {
      for (uint32_t x0 = 0; x0 < static_cast<uint32_t>(l.width); x0 += blockWidth) {
        const uint32_t rows = std::min<uint32_t>(blockHeight, l.height - y0);
        const uint32_t columns = std::min<uint32_t>(blockWidth, l.width - x0);
        const uint16_t p = static_cast<uint16_t>(plane);
        const tmsize_t want = static_cast<tmsize_t>(stride * (tiled ? blockHeight : rows));
        const tmsize_t got =
            tiled ? TIFFReadEncodedTile(tif, TIFFComputeTile(tif, x0, y0, 0, p), block.data(), want)
                  : TIFFReadEncodedStrip(tif, TIFFComputeStrip(tif, y0, p), block.data(), want);
        if (got != want || !input_.error.empty()) {
          throw corrupt((tiled ? "tile at " + std::to_string(x0) + "," : "strip at row ") +
                        std::to_string(y0));
        }
        for (uint32_t r = 0; r < rows; ++r) {
          const uint8_t* in = block.data() + r * stride;
          uint8_t* dst = out + ((size_t{y0} + r) * static_cast<size_t>(l.width) + x0) * C;
          if (copyRows) {
            std::memcpy(dst, in, size_t{columns} * C);
            continue;
          }
          for (uint32_t x = 0; x < columns; ++x, dst += C) {
            for (int k = 0; k < inBlock; ++k) {
              const int s = plane + k;  // the sample's place in the pixel
              if (s > l.colour || (s == l.colour && !l.alpha)) continue;
              const size_t i = static_cast<size_t>(x) * inBlock + k;
              uint32_t v;
              if (l.bits == 8) {
                v = in[i];
              } else if (l.bits == 16) {
                uint16_t w;  // libtiff gives 16-bit samples in the host's order
                std::memcpy(&w, in + 2 * i, 2);
                v = w;
              } else {
                const size_t bit = i * l.bits;
                v = (in[bit >> 3] >> (8 - l.bits - (bit & 7))) & maxval;
              }
              if (l.minIsWhite && s < l.colour) v = maxval - v;
              dst[s] = l.palette     ? static_cast<uint8_t>(v)
                       : l.bits == 8 ? static_cast<uint8_t>(v)
                                     : scaleSample(v, maxval);
            }
          }
        }
      }
    }
  }
}

void TiffSource::readMetadata(ImageMetadata& metadata) {
  TIFF* tif = tiff_.get();
  uint32_t length = 0;
  void* profile = nullptr;
  if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &length, &profile) && profile) {
    const auto* p = static_cast<const uint8_t*>(profile);
    metadata.iccProfile.assign(p, p + length);
  }
  uint16_t orientation = ORIENTATION_TOPLEFT;
  TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
  metadata.orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;
  float x = 0, y = 0;
  uint16_t unit = RESUNIT_INCH;
  TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
  if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x) && TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y) &&
      (unit == RESUNIT_INCH || unit == RESUNIT_CENTIMETER)) {
    const double perMetre = unit == RESUNIT_INCH ? 1 / 0.0254 : 100;
    const double px = std::round(x * perMetre), py = std::round(y * perMetre);
    // pHYs holds 31-bit values.
    if (px >= 1 && py >= 1 && px < 2147483648.0 && py < 2147483648.0) {
      metadata.pixelsPerUnitX = static_cast<uint32_t>(px);
      metadata.pixelsPerUnitY = static_cast<uint32_t>(py);
      metadata.perMetre = true;
    }
  }
}

void TiffSource::readPage(Image& frame) {
  const Layout l = layoutOf();
  frame.width = l.width;
  frame.height = l.height;
  frame.channels = l.channels;
  if (l.palette) {
    uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (!TIFFGetField(tiff_.get(), TIFFTAG_COLORMAP, &red, &green, &blue)) {
      throw corrupt("a palette page without a colormap");
    }
    const size_t n = size_t{1} << l.bits;
    bool wide = false;
    for (size_t i = 0; i < n; ++i) wide = wide || red[i] > 255 || green[i] > 255 || blue[i] > 255;
    const int shift = wide ? 8 : 0;
    for (size_t i = 0; i < n; ++i) {
      frame.palette.push_back({static_cast<uint8_t>(red[i] >> shift),
                               static_cast<uint8_t>(green[i] >> shift),
                               static_cast<uint8_t>(blue[i] >> shift)});
    }
  }
  frame.samples.resize(frame.pixelCount() * static_cast<size_t>(l.channels));
  readBlocks(l, frame);
  if (l.associated) {
    const int colours = l.colour;
    for (uint8_t* p = frame.samples.data(); p != frame.samples.data() + frame.samples.size();
         p += l.channels) {
      const unsigned a = p[colours];
      for (int c = 0; c < colours; ++c) {
        p[c] = a == 0 ? 0 : static_cast<uint8_t>(std::min(255u, (p[c] * 255u + a / 2) / a));
      }
    }
  }
  readMetadata(frame.metadata);
  orientUpright(frame);
}

}  // namespace

uint64_t framePixelBudget(uint64_t fileBytes, uint64_t perByte) {
  const auto limit = static_cast<uint64_t>(kx_maxPixels());
  return perByte > 0 && fileBytes > UINT64_MAX / perByte ? UINT64_MAX
                                                         : std::max(limit, perByte * fileBytes);
}

uint64_t maxContainerBytes() {
  constexpr uint64_t kBase = uint64_t{64} << 20, kPerPixel = 16;
  const uint64_t limit = static_cast<uint64_t>(kx_maxPixels());
  return limit > (UINT64_MAX - kBase) / kPerPixel ? UINT64_MAX : kBase + kPerPixel * limit;
}

std::unique_ptr<FrameSource> openTiff(const std::string& name, std::vector<uint8_t> bytes) {
  return std::make_unique<TiffSource>(name, std::move(bytes));
}

std::unique_ptr<FrameSource> openTiff(InputFile& file) {
  std::vector<uint8_t> bytes;
  file.readUpTo(bytes, kHeaderBytes);
  checkSignature(file.path(), bytes);
  if (file.readUpTo(bytes, maxContainerBytes())) {
    throw ConvError(file.path() + ": the TIFF file is larger than " +
                    std::to_string(maxContainerBytes()) + " bytes, the most read of one file");
  }
  return openTiff(file.path(), std::move(bytes));
}

Image readTiffFile(const std::string& path) {
  InputFile file(path);
  Image image;
  if (!openTiff(file)->next(image)) throw ConvError(path + ": the TIFF file holds no page");
  return image;
}

}  // namespace kx
