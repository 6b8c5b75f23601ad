// WebP files through libwebp's demuxer and animation decoder.
//
//   offset 0  "RIFF", then the size of what follows (32-bit little-endian)
//          8  "WEBP", then chunks: VP8 (lossy), VP8L (lossless), or VP8X
//             (canvas size and flags) with ALPH, ANIM/ANMF frames, ICCP, EXIF
// A still picture and an animation take the same path: libwebp's animation
// decoder gives every frame as the whole canvas, composited (blending and
// disposal applied, the background transparent, as browsers and Pillow show
// it). Samples are RGBA when the file has alpha, else RGB. The ICC profile
// is kept and the EXIF orientation applied to every frame.
//
// Bounds: the file is read no further than its RIFF size, which must be
// there whole and within maxContainerBytes(); the canvas is checked against
// the pixel limit before the decoder allocates it. WebP has no bound of
// pixels by bytes (a flat picture costs a few bytes for millions of pixels),
// so the pixel limit and kMaxFrames alone bound the work.
#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstring>

#include "imageio/imageio_pvt.h"

namespace kx {

namespace {

constexpr size_t kHeaderBytes = 12;

uint32_t riffSize(const uint8_t* p) {
  return static_cast<uint32_t>(p[4] | p[5] << 8 | p[6] << 16) | static_cast<uint32_t>(p[7]) << 24;
}

void checkSignature(const std::string& name, const std::vector<uint8_t>& bytes) {
  if (bytes.size() < kHeaderBytes || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
      std::memcmp(bytes.data() + 8, "WEBP", 4) != 0) {
    throw ConvError(name + ": not a WebP file (no RIFF WEBP header)");
  }
}

ConvError corrupt(const std::string& name, const std::string& what) {
  return ConvError(name + ": corrupt WebP file (" + what + ")");
}

class WebpSource final : public FrameSource {
 public:
  WebpSource(const std::string& name, std::vector<uint8_t> bytes)
      : name_(name), bytes_(std::move(bytes)) {
    checkSignature(name_, bytes_);
    const uint64_t whole = uint64_t{riffSize(bytes_.data())} + 8;
    if (bytes_.size() < whole) throw corrupt(name_, "the file ends too early");
    bytes_.resize(whole);  // anything after the RIFF chunk is not the picture's
    const WebPData data{bytes_.data(), bytes_.size()};
    // The canvas, from the header, before the decoder allocates two of it.
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(data.bytes, data.size, &features) != VP8_STATUS_OK) {
      throw corrupt(name_, "libwebp cannot read its header");
    }
    checkGeometry(name_, features.width, features.height);
    alpha_ = features.has_alpha;
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options)) throw std::bad_alloc();
    options.color_mode = MODE_RGBA;
    options.use_threads = 0;
    decoder_.reset(WebPAnimDecoderNew(&data, &options));
    if (!decoder_) throw corrupt(name_, "libwebp cannot parse its chunks");
    if (!WebPAnimDecoderGetInfo(decoder_.get(), &info_)) throw corrupt(name_, "no canvas");
    checkGeometry(name_, info_.canvas_width, info_.canvas_height);

    const WebPDemuxer* demux = WebPAnimDecoderGetDemuxer(decoder_.get());
    const uint32_t flags = WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS);
    WebPChunkIterator chunk;
    if ((flags & ICCP_FLAG) && WebPDemuxGetChunk(demux, "ICCP", 1, &chunk)) {
      metadata_.iccProfile.assign(chunk.chunk.bytes, chunk.chunk.bytes + chunk.chunk.size);
      WebPDemuxReleaseChunkIterator(&chunk);
    }
    if ((flags & EXIF_FLAG) && WebPDemuxGetChunk(demux, "EXIF", 1, &chunk)) {
      metadata_.orientation = exifOrientation({chunk.chunk.bytes, chunk.chunk.size});
      WebPDemuxReleaseChunkIterator(&chunk);
    }
  }
  bool next(Image& frame) override {
    if (!WebPAnimDecoderHasMoreFrames(decoder_.get())) return false;
    if (frames_ == kMaxFrames) {
      throw ConvError(name_ + ": more than " + std::to_string(kMaxFrames) + " frames");
    }
    uint8_t* canvas = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetNext(decoder_.get(), &canvas, &timestamp)) {
      throw corrupt(name_, "frame " + std::to_string(frames_ + 1) + " cannot be decoded");
    }
    ++frames_;
    duration_ = std::max(0, timestamp - lastTimestamp_);
    lastTimestamp_ = timestamp;
    frame = Image{};
    frame.width = static_cast<int>(info_.canvas_width);
    frame.height = static_cast<int>(info_.canvas_height);
    frame.channels = alpha_ ? 4 : 3;
    const size_t n = frame.pixelCount();
    if (alpha_) {
      frame.samples.assign(canvas, canvas + 4 * n);
    } else {
      frame.samples.resize(3 * n);
      for (size_t i = 0; i < n; ++i) std::memcpy(&frame.samples[3 * i], canvas + 4 * i, 3);
    }
    frame.metadata = metadata_;
    orientUpright(frame);
    return true;
  }
  int frameCountHint() const override { return static_cast<int>(info_.frame_count); }
  int durationMs() const override { return duration_; }
  int loopCount() const override { return static_cast<int>(info_.loop_count); }

 private:
  std::string name_;
  std::vector<uint8_t> bytes_;  // the decoder reads them in place
  std::unique_ptr<WebPAnimDecoder, decltype(&WebPAnimDecoderDelete)> decoder_{
      nullptr, WebPAnimDecoderDelete};
  WebPAnimInfo info_{};
  bool alpha_ = false;
  ImageMetadata metadata_;
  int frames_ = 0;
  int lastTimestamp_ = 0;
  int duration_ = 0;
};

}  // namespace

std::unique_ptr<FrameSource> openWebp(const std::string& name, std::vector<uint8_t> bytes) {
  return std::make_unique<WebpSource>(name, std::move(bytes));
}

std::unique_ptr<FrameSource> openWebp(InputFile& file) {
  std::vector<uint8_t> bytes;
  file.readUpTo(bytes, kHeaderBytes);
  checkSignature(file.path(), bytes);
  const uint64_t whole = uint64_t{riffSize(bytes.data())} + 8;
  if (whole > maxContainerBytes()) {
    throw ConvError(file.path() + ": the WebP file declares " + std::to_string(whole) +
                    " bytes, more than the " + std::to_string(maxContainerBytes()) +
                    " read of one file");
  }
  file.readUpTo(bytes, static_cast<size_t>(whole));
  return openWebp(file.path(), std::move(bytes));
}

Image readWebpFile(const std::string& path) {
  InputFile file(path);
  Image image;
  if (!openWebp(file)->next(image)) throw ConvError(path + ": the WebP file holds no frame");
  return image;
}

}  // namespace kx
