// JPEG files through libjpeg-turbo.
//
// Every JPEG that libjpeg decodes is read: baseline, extended and
// progressive, 8-bit samples, any chroma subsampling. The samples come out as
// libjpeg's default decoding gives them (accurate integer DCT, smooth
// upsampling), the same pixels as other tools built on libjpeg-turbo show:
//   - grey stays one channel, YCbCr and RGB become RGB;
//   - CMYK and YCCK (Adobe, as photo editors write them) are brought to RGB
//     by R = C × K / 255 on the stored, inverted samples: no colour profile.
// The picture is turned upright by its EXIF orientation; the ICC profile and
// the JFIF density are kept (jpeg_meta.cpp); comments are not.
// Refused: anything libjpeg refuses (no JPEG markers, an unsupported sample
// depth or colour space), pictures larger than 32767 pixels on a side, and
// files that end early (libjpeg only warns about them and leaves the missing
// rows grey). The file is read a block at a time as libjpeg asks for it,
// never further than it decodes.
//
// libjpeg reports errors through error_exit, which must not return: it
// longjmps back to the function that called setjmp. That function keeps its
// state in a context record, so nothing with a destructor is skipped.

// jpeglib.h uses size_t and FILE without including their headers, and
// jerror.h (the warning codes) needs jpeglib.h first.
#include <csetjmp>
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include <jerror.h>

#include "imageio/imageio_pvt.h"

namespace kx {

namespace {

struct JpegContext {
  jpeg_decompress_struct info{};
  jpeg_error_mgr errors{};
  std::jmp_buf jump;
  std::string error;  // libjpeg's message of the failure
  bool truncated = false;
  bool created = false;
  std::vector<JSAMPROW> rows;
  // Reading from a file: its source manager, a block of the file, and a
  // failed read (in our words, not libjpeg's).
  jpeg_source_mgr source{};
  InputFile* file = nullptr;
  std::vector<uint8_t> block;
  size_t signatureBytes = 0;  // already read by the caller, at the start of block
  std::string readError;

  ~JpegContext() {
    if (created) jpeg_destroy_decompress(&info);
  }
};

// The end-of-image marker libjpeg is given when the file ends early, after
// its warning, as its own file source does.
const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};

void onError(j_common_ptr common) {
  auto* ctx = static_cast<JpegContext*>(common->client_data);
  char message[JMSG_LENGTH_MAX];
  (*common->err->format_message)(common, message);
  ctx->error = message;
  std::longjmp(ctx->jump, 1);
}

// Warnings are dropped, except the one that says the data ended before the
// last row: libjpeg then fills the rest with grey.
void onMessage(j_common_ptr common, int level) {
  if (level >= 0) return;
  auto* ctx = static_cast<JpegContext*>(common->client_data);
  if (common->err->msg_code == JWRN_JPEG_EOF) ctx->truncated = true;
}

// The file is read a block at a time as libjpeg asks, so that only what it
// decodes is ever read.
void initSource(j_decompress_ptr) {}
void termSource(j_decompress_ptr) {}

boolean fillInput(j_decompress_ptr info) {
  auto* ctx = static_cast<JpegContext*>(info->client_data);
  size_t got = ctx->signatureBytes;
  ctx->signatureBytes = 0;
  bool failed = false;
  try {
    got += ctx->file->read(ctx->block.data() + got, ctx->block.size() - got);
  } catch (const ConvError& e) {
    // No exception may cross libjpeg's C frames.
    ctx->readError = e.what();
    failed = true;
  }
  if (failed) std::longjmp(ctx->jump, 1);
  if (got == 0) {
    WARNMS(info, JWRN_JPEG_EOF);
    ctx->source.next_input_byte = kEndOfImage;
    ctx->source.bytes_in_buffer = 2;
    return TRUE;
  }
  ctx->source.next_input_byte = ctx->block.data();
  ctx->source.bytes_in_buffer = got;
  return TRUE;
}

void skipInput(j_decompress_ptr info, long count) {
  auto* ctx = static_cast<JpegContext*>(info->client_data);
  while (count > static_cast<long>(ctx->source.bytes_in_buffer)) {
    count -= static_cast<long>(ctx->source.bytes_in_buffer);
    fillInput(info);
  }
  if (count > 0) {
    ctx->source.next_input_byte += count;
    ctx->source.bytes_in_buffer -= static_cast<size_t>(count);
  }
}

// The header and the output layout; false after a libjpeg error.
bool readHeader(JpegContext& ctx, const std::vector<uint8_t>* bytes, Image& image) {
  if (setjmp(ctx.jump)) return false;
  jpeg_create_decompress(&ctx.info);
  ctx.created = true;
  if (bytes) {
    jpeg_mem_src(&ctx.info, bytes->data(), static_cast<unsigned long>(bytes->size()));
  } else {
    ctx.source.init_source = initSource;
    ctx.source.fill_input_buffer = fillInput;
    ctx.source.skip_input_data = skipInput;
    ctx.source.resync_to_restart = jpeg_resync_to_restart;
    ctx.source.term_source = termSource;
    ctx.info.src = &ctx.source;
  }
  saveJpegMarkers(ctx.info);
  jpeg_read_header(&ctx.info, TRUE);
  readJpegMetadata(ctx.info, image.metadata);
  switch (ctx.info.jpeg_color_space) {
    case JCS_GRAYSCALE:
      ctx.info.out_color_space = JCS_GRAYSCALE;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      ctx.info.out_color_space = JCS_CMYK;
      break;
    default:
      ctx.info.out_color_space = JCS_RGB;
      break;
  }
  image.width = static_cast<int>(ctx.info.image_width);
  image.height = static_cast<int>(ctx.info.image_height);
  return true;
}

bool readRows(JpegContext& ctx) {
  if (setjmp(ctx.jump)) return false;
  jpeg_start_decompress(&ctx.info);
  while (ctx.info.output_scanline < ctx.info.output_height) {
    jpeg_read_scanlines(&ctx.info, ctx.rows.data() + ctx.info.output_scanline,
                        ctx.info.output_height - ctx.info.output_scanline);
  }
  jpeg_finish_decompress(&ctx.info);
  return true;
}

// Both entry points: the header first, the geometry checked before the
// rows are allocated, then the rows.
Image decode(JpegContext& ctx, const std::string& name, const std::vector<uint8_t>* bytes) {
  ctx.info.err = jpeg_std_error(&ctx.errors);
  ctx.errors.error_exit = onError;
  ctx.errors.emit_message = onMessage;
  ctx.info.client_data = &ctx;

  Image image;
  // A file that ends early makes libjpeg warn and read on as if it ended
  // there: that warning, not the error that may follow, says what is wrong.
  auto corrupt = [&] {
    if (!ctx.readError.empty()) return ConvError(ctx.readError);
    return ConvError(name + ": corrupt JPEG file (" +
                     (ctx.truncated ? "the file ends too early" : ctx.error) + ")");
  };
  if (!readHeader(ctx, bytes, image) || ctx.truncated) throw corrupt();
  checkGeometry(name, image.width, image.height);
  const bool cmyk = ctx.info.out_color_space == JCS_CMYK;
  const int decoded = cmyk ? 4 : ctx.info.out_color_space == JCS_GRAYSCALE ? 1 : 3;
  const size_t rowBytes = static_cast<size_t>(image.width) * decoded;
  image.channels = decoded == 1 ? 1 : 3;
  image.samples.resize(rowBytes * image.height);
  ctx.rows.resize(image.height);
  for (int y = 0; y < image.height; ++y) ctx.rows[y] = image.samples.data() + y * rowBytes;
  if (!readRows(ctx) || ctx.truncated) throw corrupt();

  if (cmyk) {
    // Adobe's CMYK JPEGs store every ink inverted (255 is no ink), so the
    // product of a colour's sample and K is already the light left.
    const size_t n = image.pixelCount();
    uint8_t* out = image.samples.data();
    const uint8_t* in = image.samples.data();
    for (size_t i = 0; i < n; ++i, in += 4, out += 3) {
      const unsigned k = in[3];
      const uint8_t r = static_cast<uint8_t>((in[0] * k + 127) / 255);
      const uint8_t g = static_cast<uint8_t>((in[1] * k + 127) / 255);
      const uint8_t b = static_cast<uint8_t>((in[2] * k + 127) / 255);
      out[0] = r;
      out[1] = g;
      out[2] = b;
    }
    image.samples.resize(n * 3);
  }
  orientUpright(image);
  return image;
}

void checkStart(const std::string& name, const uint8_t* bytes, size_t size) {
  if (size < 3 || bytes[0] != 0xFF || bytes[1] != 0xD8 || bytes[2] != 0xFF) {
    throw ConvError(name + ": not a JPEG file (no JPEG start marker)");
  }
}

}  // namespace

Image readJpegFile(const std::string& path) {
  InputFile file(path);
  JpegContext ctx;
  ctx.file = &file;
  ctx.block.resize(65536);
  ctx.signatureBytes = file.read(ctx.block.data(), 3);
  checkStart(path, ctx.block.data(), ctx.signatureBytes);
  return decode(ctx, path, nullptr);
}

Image decodeJpeg(const std::string& name, const std::vector<uint8_t>& bytes) {
  checkStart(name, bytes.data(), bytes.size());
  JpegContext ctx;
  return decode(ctx, name, &bytes);
}

}  // namespace kx
