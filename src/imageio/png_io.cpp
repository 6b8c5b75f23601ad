// PNG files through libpng.
//
// Reading accepts every PNG that libpng decodes: grey, grey + alpha, RGB,
// RGBA and palette images, bit depths 1 to 16, interlaced or not, with or
// without a tRNS chunk. Everything is brought to 8-bit samples:
//   - grey of 1, 2 or 4 bits is spread to 0..255 (v * 255 / (2^bits - 1),
//     exact for these depths);
//   - 16-bit samples are rounded to 8 bits with png_set_scale_16,
//     (v * 255 + 32895) >> 16, the same values as netpbm's
//     (v * 255 + 32767) / 65535 (scaleSample);
//   - a palette image becomes RGB, and a tRNS chunk becomes an alpha channel
//     (so a palette image with tRNS reads as RGBA, grey with tRNS as grey +
//     alpha).
// Samples are taken as they are stored: the colour metadata (iCCP, sRGB,
// gAMA, cHRM) and pHYs are kept beside them, not applied (png_meta.cpp);
// the orientation of an eXIf chunk turns the picture upright; text chunks
// are skipped unread. Refused: anything libpng refuses (bad signature,
// bad CRC in a critical chunk, corrupt compressed data, a file that ends
// before IEND), pictures larger than 32767 pixels on a side or over the pixel
// limit, and a file too small to hold the rows it declares.
//
// The file is read as libpng asks for it, never as a whole; a picture made
// for a .pic file goes row by row straight into the picture's planes.
//
// Writing stores 8-bit grey, grey + alpha, RGB or RGBA images as they are;
// palette images go to writePalettePng (encode/png_palette_write.cpp).
//
// libpng reports errors by longjmp. The functions that call setjmp keep all
// their state in a context record that outlives them, so nothing with a
// destructor is skipped and nothing changed after setjmp lives in a register.
#include <png.h>

#include <csetjmp>
#include <cstring>

#include "common/machine.h"
#include "common/outfile.h"
#include "imageio/imageio_pvt.h"

namespace kx {

namespace {

struct PngContext {
  png_structp png = nullptr;
  png_infop info = nullptr;
  std::string error;  // libpng's message of the failure
  // Reading: the file being read, or the bytes of one held in memory and
  // the read position in them.
  InputFile* file = nullptr;
  const std::vector<uint8_t>* bytes = nullptr;
  size_t position = 0;
  std::string readError;  // a failed read of the file (not libpng's words)
  // Writing.
  OutFile* out = nullptr;
  std::vector<png_bytep> rows;
  // Bytes of the rows as they are compressed in the file (filter byte
  // included), from the header.
  uint64_t compressedRows = 0;
  int passes = 1;  // 7 for an interlaced file
  // Reading into a picture: one row of samples, and the picture.
  std::vector<uint8_t> row;
  Picture* picture = nullptr;
  int channels = 0;
  ImageMetadata metadata;
};

void onError(png_structp png, png_const_charp message) {
  auto* ctx = static_cast<PngContext*>(png_get_error_ptr(png));
  ctx->error = message ? message : "unknown error";
  png_longjmp(png, 1);
}

// Warnings (unknown profiles, bad CRCs of ancillary chunks, which libpng then
// skips) do not change the samples: they are not worth a message.
void onWarning(png_structp, png_const_charp) {}

// libpng asks for a few bytes at a time (chunk headers, then pieces of the
// chunk data); the file is read as it asks, so that only what it decodes is
// ever read.
void readInput(png_structp png, png_bytep data, size_t length) {
  auto* ctx = static_cast<PngContext*>(png_get_io_ptr(png));
  if (ctx->file) {
    size_t got = 0;
    try {
      got = ctx->file->read(data, length);
    } catch (const ConvError& e) {
      // No exception may cross libpng's C frames.
      ctx->readError = e.what();
      png_error(png, "read error");
    }
    if (got < length) png_error(png, "the file ends too early");
    return;
  }
  if (ctx->bytes->size() - ctx->position < length) png_error(png, "the file ends too early");
  std::memcpy(data, ctx->bytes->data() + ctx->position, length);
  ctx->position += length;
}

void writeToFile(png_structp png, png_bytep data, size_t length) {
  auto* ctx = static_cast<PngContext*>(png_get_io_ptr(png));
  ctx->out->write(data, length);
}

void flushNothing(png_structp) {}

// The header: geometry and the transformations to 8-bit samples. False after
// a libpng error (ctx.error says which).
bool readHeader(PngContext& ctx, Image& image) {
  if (setjmp(png_jmpbuf(ctx.png))) return false;
  // Our own limit is checked below with a clearer message; libpng's default
  // (1,000,000) would otherwise answer first for the largest files.
  png_set_user_limits(ctx.png, 0x7FFFFFFF, 0x7FFFFFFF);
  png_set_read_fn(ctx.png, &ctx, readInput);
  png_set_sig_bytes(ctx.png, 8);  // checked by the caller
  preparePngMetadata(ctx.png);
  png_read_info(ctx.png, ctx.info);
  readPngMetadata(ctx.png, ctx.info, ctx.metadata);
  image.width = static_cast<int>(png_get_image_width(ctx.png, ctx.info));
  image.height = static_cast<int>(png_get_image_height(ctx.png, ctx.info));
  if (image.width < 1 || image.height < 1 || image.width > kMaxPictureSide ||
      image.height > kMaxPictureSide) {
    return true;  // the caller refuses the geometry before any allocation
  }
  const int colorType = png_get_color_type(ctx.png, ctx.info);
  const int depth = png_get_bit_depth(ctx.png, ctx.info);
  const uint64_t rowBytes = (uint64_t{png_get_image_width(ctx.png, ctx.info)} *
                                 png_get_channels(ctx.png, ctx.info) * depth +
                             7) /
                            8;
  ctx.compressedRows = (rowBytes + 1) * static_cast<uint64_t>(image.height);
  if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(ctx.png);
  if (colorType == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(ctx.png);
  if (png_get_valid(ctx.png, ctx.info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(ctx.png);
  if (depth == 16) png_set_scale_16(ctx.png);
  ctx.passes = png_set_interlace_handling(ctx.png);
  png_read_update_info(ctx.png, ctx.info);
  image.channels = png_get_channels(ctx.png, ctx.info);
  return true;
}

// The samples, then the chunks up to IEND (whose CRCs are checked too).
bool readRows(PngContext& ctx) {
  if (setjmp(png_jmpbuf(ctx.png))) return false;
  png_read_image(ctx.png, ctx.rows.data());
  png_read_end(ctx.png, ctx.info);
  readPngMetadata(ctx.png, ctx.info, ctx.metadata);
  return true;
}

// The samples of one row (as libpng delivers it: `channels` interleaved
// samples a pixel) into the picture's planes, for the columns x0, x0 + step,
// ... (the pixels of one interlace pass, or every pixel).
void rowToPlanes(const uint8_t* row, int channels, Picture& picture, int y, int x0, int step) {
  const size_t offset = static_cast<size_t>(y) * static_cast<size_t>(picture.width);
  uint8_t* r = picture.channel[0].get() + offset;
  uint8_t* g = picture.channel[1].get() + offset;
  uint8_t* b = picture.channel[2].get() + offset;
  uint8_t* a = picture.channel[3] ? picture.channel[3].get() + offset : nullptr;
  for (int x = x0; x < picture.width; x += step) {
    const uint8_t* p = row + static_cast<size_t>(x) * channels;
    if (channels <= 2) {
      r[x] = g[x] = b[x] = p[0];  // grey spread to the three colours
      if (a) a[x] = p[1];
    } else {
      r[x] = p[0];
      g[x] = p[1];
      b[x] = p[2];
      if (a) a[x] = p[3];
    }
  }
}

// Every row of every pass into the picture, then the chunks up to IEND.
// libpng expects each pass to be asked for every row; of an interlaced row
// it fills only the pixels of the current pass.
bool readRowsToPicture(PngContext& ctx) {
  if (setjmp(png_jmpbuf(ctx.png))) return false;
  Picture& picture = *ctx.picture;
  for (int pass = 0; pass < ctx.passes; ++pass) {
    for (int y = 0; y < picture.height; ++y) {
      png_read_row(ctx.png, ctx.row.data(), nullptr);
      if (ctx.passes == 1) {
        rowToPlanes(ctx.row.data(), ctx.channels, picture, y, 0, 1);
      } else if (PNG_ROW_IN_INTERLACE_PASS(y, pass)) {
        rowToPlanes(ctx.row.data(), ctx.channels, picture, y, PNG_PASS_START_COL(pass),
                    PNG_PASS_COL_OFFSET(pass));
      }
    }
  }
  png_read_end(ctx.png, ctx.info);
  readPngMetadata(ctx.png, ctx.info, ctx.metadata);
  return true;
}

struct ReadStructs {
  PngContext& ctx;
  ~ReadStructs() { png_destroy_read_struct(&ctx.png, &ctx.info, nullptr); }
};

ConvError readFailure(const PngContext& ctx, const std::string& path) {
  if (!ctx.readError.empty()) return ConvError(ctx.readError);
  return ConvError(path + ": corrupt PNG file (" + ctx.error + ")");
}

struct WriteStructs {
  PngContext& ctx;
  ~WriteStructs() { png_destroy_write_struct(&ctx.png, &ctx.info); }
};

// Every row of the image (8-bit samples), then IEND.
bool writeImage(PngContext& ctx, const Image& image, int colorType) {
  if (setjmp(png_jmpbuf(ctx.png))) return false;
  png_set_write_fn(ctx.png, &ctx, writeToFile, flushNothing);
  png_set_IHDR(ctx.png, ctx.info, static_cast<png_uint_32>(image.width),
               static_cast<png_uint_32>(image.height), 8, colorType, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(ctx.png, ctx.info);
  png_write_image(ctx.png, ctx.rows.data());
  png_write_end(ctx.png, nullptr);
  return true;
}

}  // namespace

namespace {

// Creates the read structures, reads the header and checks the geometry
// before anything the size of the picture is allocated. The caller's guard
// destroys the structures.
Image startReading(PngContext& ctx, const std::string& path, int64_t fileSize) {
  ctx.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &ctx, onError, onWarning);
  if (ctx.png) ctx.info = png_create_info_struct(ctx.png);
  if (!ctx.png || !ctx.info) throw std::bad_alloc();
  Image image;
  if (!readHeader(ctx, image)) throw readFailure(ctx, path);
  checkGeometry(path, image.width, image.height, "PNG");
  // Deflate expands at most 1032 times, so the rows cannot be larger than
  // 1032 times the file: a small file that declares a huge picture is
  // refused before its buffer is allocated. (The size of a pipe is unknown:
  // the pixel limit bounds it.)
  if (fileSize >= 0 && ctx.compressedRows > uint64_t{1032} * static_cast<uint64_t>(fileSize)) {
    throw ConvError(path + ": corrupt PNG file (" + std::to_string(image.width) + " x " +
                    std::to_string(image.height) + " pixels cannot be held in " +
                    std::to_string(fileSize) + " bytes)");
  }
  const size_t rowBytes = png_get_rowbytes(ctx.png, ctx.info);
  if (image.channels < 1 || image.channels > 4 ||
      rowBytes != static_cast<size_t>(image.width) * image.channels) {
    throw ConvError(path + ": unsupported PNG layout");  // not reached with the transforms above
  }
  return image;
}

void checkSignature(const std::string& path, const uint8_t* bytes, size_t size) {
  if (size < 8 || png_sig_cmp(bytes, 0, 8) != 0) {
    throw ConvError(path + ": not a PNG file (no PNG signature)");
  }
}

Image decodeRows(PngContext& ctx, const std::string& path, int64_t fileSize) {
  ReadStructs guard{ctx};
  Image image = startReading(ctx, path, fileSize);
  const size_t rowBytes = static_cast<size_t>(image.width) * image.channels;
  kx_resizeLarge(image.samples, rowBytes * image.height);
  ctx.rows.resize(image.height);
  for (int y = 0; y < image.height; ++y) ctx.rows[y] = image.samples.data() + y * rowBytes;
  if (!readRows(ctx)) throw readFailure(ctx, path);
  image.metadata = ctx.metadata;
  orientUpright(image);
  return image;
}

}  // namespace

Image readPngFile(InputFile& file) {
  uint8_t signature[8];
  checkSignature(file.path(), signature, file.read(signature, sizeof signature));
  PngContext ctx;
  ctx.file = &file;
  return decodeRows(ctx, file.path(), file.size());
}

Image readPngFile(const std::string& path) {
  InputFile file(path);
  return readPngFile(file);
}

PicturePtr readPngPicture(const std::string& path) {
  InputFile file(path);
  uint8_t signature[8];
  checkSignature(path, signature, file.read(signature, sizeof signature));
  PngContext ctx;
  ctx.file = &file;
  ReadStructs guard{ctx};
  const Image header = startReading(ctx, path, file.size());
  PicturePtr picture = QZ_pictureAllocate();
  if (!picture) throw std::bad_alloc();
  picture->width = static_cast<int16_t>(header.width);
  picture->height = static_cast<int16_t>(header.height);
  const size_t n = static_cast<size_t>(header.width) * static_cast<size_t>(header.height);
  const int planes = header.hasAlpha() ? 4 : 3;
  for (int c = 0; c < planes; ++c)
    picture->channel[c] = std::make_unique_for_overwrite<uint8_t[]>(n);
  ctx.row.resize(static_cast<size_t>(header.width) * header.channels);
  ctx.picture = picture.get();
  ctx.channels = header.channels;
  if (!readRowsToPicture(ctx)) throw readFailure(ctx, path);
  if (const int orientation = ctx.metadata.orientation; orientation > 1) {
    for (int c = 0; c < planes; ++c) {
      auto upright = std::make_unique_for_overwrite<uint8_t[]>(n);
      orientSamples(picture->channel[c].get(), upright.get(), header.width, header.height, 1,
                    orientation);
      picture->channel[c] = std::move(upright);
    }
    if (swapsSides(orientation)) std::swap(picture->width, picture->height);
  }
  return picture;
}

Image decodePng(const std::string& path, const std::vector<uint8_t>& bytes) {
  checkSignature(path, bytes.data(), bytes.size());
  PngContext ctx;
  ctx.bytes = &bytes;
  ctx.position = 8;
  return decodeRows(ctx, path, static_cast<int64_t>(bytes.size()));
}

void writePngFile(const std::string& path, const Image& image) {
  // Indices go through the palette writer, at the least bit depth they allow.
  if (image.indexed()) {
    if (const Status written = writePalettePng(path, image); !written) throw written.error();
    return;
  }
  static constexpr int kTypes[] = {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA,
                                   PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA};
  const int colorType = kTypes[image.channels - 1];

  std::unique_ptr<OutFile> out = OutFile::create(path);
  if (!out) throw ConvError(path + ": cannot create: " + std::strerror(errno));
  PngContext ctx;
  ctx.out = out.get();
  ctx.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &ctx, onError, onWarning);
  if (ctx.png) ctx.info = png_create_info_struct(ctx.png);
  WriteStructs guard{ctx};
  if (!ctx.png || !ctx.info) throw std::bad_alloc();
  const size_t rowBytes = static_cast<size_t>(image.width) * image.channels;
  ctx.rows.resize(image.height);
  for (int y = 0; y < image.height; ++y) {
    // libpng only reads the rows it is given; the cast follows its signature.
    ctx.rows[y] = const_cast<png_bytep>(image.samples.data() + y * rowBytes);
  }
  if (!writeImage(ctx, image, colorType)) {
    throw ConvError(path + ": cannot write the PNG file (" + ctx.error + ")");
  }
  if (!out->commit()) throw ConvError(path + ": cannot write: " + std::strerror(errno));
}

}  // namespace kx
