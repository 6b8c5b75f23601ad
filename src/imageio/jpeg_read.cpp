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
//
// Refused, each before its cost grows with the picture:
//   - what libjpeg refuses (no JPEG markers, a damaged header); other sample
//     depths and the lossless and hierarchical processes are named as
//     unsupported;
//   - pictures larger than 32767 pixels on a side or over the pixel limit;
//   - a Huffman-coded file smaller than its picture can be: every scan spends
//     at least one bit on each 8 × 8 block it covers, so a file of n bytes
//     holds at most 8n blocks of the full-size component (64 pixels each).
//     Arithmetic coding has no such floor and is bounded by the pixel limit;
//   - more than kMaxScans scans: each scan is a pass over every block of its
//     components, and a few bytes make one;
//   - corrupt data that libjpeg only warns about (a file that ends early, a
//     bad Huffman code, a segment cut short, bytes between segments, an
//     inconsistent progression), which it would otherwise fill with grey;
//   - a stream that goes on past the most a JPEG of its picture can take
//     (kMostBytesPerBlock for every block, kMostBytesPerScan of markers for
//     every scan), such as a pipe that sends zeros after the last scan.
// The file is read a block at a time as libjpeg asks for it, never further
// than it decodes; what it read past the end of the picture is handed back
// to the input.
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

// libjpeg's encoders write at most 100 scans (the most a scan script holds),
// the usual progressions about ten. Each scan is a pass over every block of
// its components that a few bytes can make (one run of empty blocks), so
// the count bounds the time; TurboJPEG's own limit, 500, allows five times
// as much.
constexpr int kMaxScans = 100;
// Far above what any coder spends on an 8 × 8 block in all its scans
// together (64 coefficients of at most 26 bits in Huffman codes, a bit of
// refinement for each, every byte 0xFF stuffed), and on the markers (tables,
// restarts) around one scan.
constexpr uint64_t kMostBytesPerBlock = 2048;
constexpr uint64_t kMostBytesPerScan = 65536;
// Until the frame header is known: APPn segments (EXIF, ICC profiles in many
// pieces) come before it.
constexpr uint64_t kMostHeaderBytes = uint64_t{64} << 20;

struct JpegContext {
  jpeg_decompress_struct info{};
  jpeg_error_mgr errors{};
  jpeg_progress_mgr progress{};
  std::jmp_buf jump;
  std::string error;  // why the file is refused, in the reader's words
  bool created = false;
  std::vector<JSAMPROW> rows;
  // Reading from a file: its source manager, a block of the file, the bytes
  // read so far and the most the picture can take, and a failed read (in
  // our words, not libjpeg's).
  jpeg_source_mgr source{};
  InputFile* file = nullptr;
  std::vector<uint8_t> block;
  uint64_t bytesRead = 0;
  uint64_t mostBytes = kMostHeaderBytes;
  std::string readError;

  ~JpegContext() {
    if (created) jpeg_destroy_decompress(&info);
  }
};

// The end-of-image marker libjpeg is given when the file ends early, after
// its warning, as its own file source does.
const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};

// Every callback that ends the reading sets ctx.error in a statement of its
// own, then longjmps with nothing alive that has a destructor.
std::string messageOf(j_common_ptr common) {
  char message[JMSG_LENGTH_MAX];
  (*common->err->format_message)(common, message);
  return message;
}

// The JPEG processes that libjpeg-turbo does not decode, by their frame
// marker.
std::string unsupportedProcess(int marker) {
  switch (marker) {
    case 0xC3:
      return "lossless (SOF3)";
    case 0xC5:
      return "hierarchical sequential (SOF5)";
    case 0xC6:
      return "hierarchical progressive (SOF6)";
    case 0xC7:
      return "hierarchical lossless (SOF7)";
    case 0xCB:
      return "lossless arithmetic-coded (SOF11)";
    case 0xCD:
      return "hierarchical sequential arithmetic-coded (SOF13)";
    case 0xCE:
      return "hierarchical progressive arithmetic-coded (SOF14)";
    case 0xCF:
      return "hierarchical lossless arithmetic-coded (SOF15)";
  }
  return "SOF type " + std::to_string(marker);
}

std::string errorText(j_common_ptr common) {
  const jpeg_error_mgr& err = *common->err;
  if (err.msg_code == JERR_BAD_PRECISION) {
    return "unsupported JPEG: " + std::to_string(err.msg_parm.i[0]) +
           "-bit samples (8-bit JPEGs are read)";
  }
  if (err.msg_code == JERR_SOF_UNSUPPORTED) {
    return "unsupported JPEG: the " + unsupportedProcess(err.msg_parm.i[0]) +
           " process (baseline, extended and progressive JPEGs are read)";
  }
  if (err.msg_code == JERR_ARITH_NOTIMPL) return "unsupported JPEG: arithmetic coding";
  return "corrupt JPEG file (" + messageOf(common) + ")";
}

void onError(j_common_ptr common) {
  auto* ctx = static_cast<JpegContext*>(common->client_data);
  ctx->error = errorText(common);
  std::longjmp(ctx->jump, 1);
}

// Warnings about corrupt data end the reading: libjpeg would fill what it
// could not decode with grey. Others (an unknown JFIF version or Adobe
// transform) do not change the pixels and are dropped.
std::string corruptDataText(j_common_ptr common) {
  switch (common->err->msg_code) {
    case JWRN_JPEG_EOF:
      return "corrupt JPEG file (the file ends too early)";
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_MUST_RESYNC:
    case JWRN_EXTRANEOUS_DATA:
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_NOT_SEQUENTIAL: {
      std::string message = messageOf(common);
      const std::string prefix = "Corrupt JPEG data: ";
      if (message.starts_with(prefix)) message.erase(0, prefix.size());
      return "corrupt JPEG file (" + message + ")";
    }
    default:
      return "";
  }
}

void onMessage(j_common_ptr common, int level) {
  if (level >= 0) return;
  auto* ctx = static_cast<JpegContext*>(common->client_data);
  ctx->error = corruptDataText(common);
  if (!ctx->error.empty()) std::longjmp(ctx->jump, 1);
}

// Called as every scan is taken in (and often within one).
void onProgress(j_common_ptr common) {
  auto* ctx = static_cast<JpegContext*>(common->client_data);
  if (ctx->info.input_scan_number <= kMaxScans) return;
  ctx->error = "the JPEG has more than " + std::to_string(kMaxScans) +
               " scans (encoders write a few dozen at most)";
  std::longjmp(ctx->jump, 1);
}

// The file is read a block at a time as libjpeg asks, so that only what it
// decodes is ever read.
void initSource(j_decompress_ptr) {}
void termSource(j_decompress_ptr) {}

boolean fillInput(j_decompress_ptr info) {
  auto* ctx = static_cast<JpegContext*>(info->client_data);
  size_t got = 0;
  bool failed = false;
  try {
    got = ctx->file->read(ctx->block.data(), ctx->block.size());
  } catch (const ConvError& e) {
    // No exception may cross libjpeg's C frames.
    ctx->readError = e.what();
    failed = true;
  }
  if (failed) std::longjmp(ctx->jump, 1);
  ctx->bytesRead += got;
  if (ctx->bytesRead > ctx->mostBytes) {
    ctx->error = "corrupt JPEG file (no end of the picture within " +
                 std::to_string(ctx->mostBytes) + " bytes, the most it can take)";
    std::longjmp(ctx->jump, 1);
  }
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
  ctx.progress.progress_monitor = onProgress;
  ctx.info.progress = &ctx.progress;
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

// Blocks of the picture: 8 × 8 pixels of its full-size component each.
uint64_t pictureBlocks(const jpeg_decompress_struct& info) {
  return ((uint64_t{info.image_width} + 7) / 8) * ((uint64_t{info.image_height} + 7) / 8);
}

// Blocks of all components together, each at its own sampling.
uint64_t componentBlocks(const jpeg_decompress_struct& info) {
  uint64_t blocks = 0;
  for (int c = 0; c < info.num_components; ++c) {
    const jpeg_component_info& comp = info.comp_info[c];
    const uint64_t h = 8 * static_cast<uint64_t>(info.max_h_samp_factor);
    const uint64_t v = 8 * static_cast<uint64_t>(info.max_v_samp_factor);
    const uint64_t across = (uint64_t{info.image_width} * comp.h_samp_factor + h - 1) / h;
    const uint64_t down = (uint64_t{info.image_height} * comp.v_samp_factor + v - 1) / v;
    blocks += across * down;
  }
  return blocks;
}

// Both entry points: the header first, the geometry and the file's size
// checked before the rows are allocated, then the rows. fileSize is -1 when
// it is not known (a pipe).
Image decode(JpegContext& ctx, const std::string& name, const std::vector<uint8_t>* bytes,
             int64_t fileSize) {
  ctx.info.err = jpeg_std_error(&ctx.errors);
  ctx.errors.error_exit = onError;
  ctx.errors.emit_message = onMessage;
  ctx.info.client_data = &ctx;

  Image image;
  auto failure = [&] {
    if (!ctx.readError.empty()) return ConvError(ctx.readError);
    return ConvError(name + ": " + ctx.error);
  };
  if (!readHeader(ctx, bytes, image)) throw failure();
  checkGeometry(name, image.width, image.height, "JPEG");
  if (!ctx.info.arith_code && fileSize >= 0 &&
      pictureBlocks(ctx.info) > 8 * static_cast<uint64_t>(fileSize)) {
    throw ConvError(name + ": corrupt JPEG file (" + std::to_string(image.width) + " x " +
                    std::to_string(image.height) + " pixels cannot be held in " +
                    std::to_string(fileSize) + " bytes)");
  }
  ctx.mostBytes = ctx.bytesRead + kMostBytesPerBlock * componentBlocks(ctx.info) +
                  kMostBytesPerScan * kMaxScans;
  const bool cmyk = ctx.info.out_color_space == JCS_CMYK;
  const int decoded = cmyk ? 4 : ctx.info.out_color_space == JCS_GRAYSCALE ? 1 : 3;
  const size_t rowBytes = static_cast<size_t>(image.width) * decoded;
  image.channels = decoded == 1 ? 1 : 3;
  image.samples.resize(rowBytes * image.height);
  ctx.rows.resize(image.height);
  for (int y = 0; y < image.height; ++y) ctx.rows[y] = image.samples.data() + y * rowBytes;
  if (!readRows(ctx)) throw failure();
  if (ctx.file && ctx.source.bytes_in_buffer > 0) {
    ctx.file->putBack({ctx.source.next_input_byte, ctx.source.bytes_in_buffer});
  }

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

void checkStart(const std::string& name, std::span<const uint8_t> bytes) {
  if (bytes.size() < 3 || bytes[0] != 0xFF || bytes[1] != 0xD8 || bytes[2] != 0xFF) {
    throw ConvError(name + ": not a JPEG file (no JPEG start marker)");
  }
}

}  // namespace

Image readJpegFile(InputFile& file) {
  checkStart(file.path(), file.peek(3));
  JpegContext ctx;
  ctx.file = &file;
  ctx.block.resize(65536);
  return decode(ctx, file.path(), nullptr, file.size());
}

Image readJpegFile(const std::string& path) {
  InputFile file(path);
  return readJpegFile(file);
}

Image decodeJpeg(const std::string& name, const std::vector<uint8_t>& bytes) {
  checkStart(name, bytes);
  JpegContext ctx;
  return decode(ctx, name, &bytes, static_cast<int64_t>(bytes.size()));
}

}  // namespace kx
