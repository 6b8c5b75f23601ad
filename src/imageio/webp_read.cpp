// WebP files through libwebp's demuxer and animation decoder.
//
//   offset 0  "RIFF", then the size of what follows (32-bit little-endian)
//          8  "WEBP", then chunks: VP8 (lossy), VP8L (lossless), or VP8X
//             (canvas size and flags) with ALPH, ANIM/ANMF frames, ICCP, EXIF
// A still picture is decoded straight into the image. An animation goes
// through libwebp's animation decoder, which gives every frame as the whole
// canvas, composited (blending and disposal applied, the background
// transparent, as browsers and Pillow show it). Samples are RGBA when the
// file has alpha, else RGB. The ICC profile is kept and the EXIF orientation
// applied to every frame.
//
// Bounds: the file is read no further than its RIFF size, which must be
// there whole and within maxContainerBytes(); the canvas is checked against
// the pixel limit before the decoder allocates it. WebP has no bound of
// pixels by bytes (a flat picture costs a few bytes for millions of pixels),
// but an animation's frames, each given as the whole canvas, are: their
// pixels together are within framePixelBudget, at 65536 a byte of the file
// (checkWork), and they are kMaxFrames at most.
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
    checkGeometry(name_, features.width, features.height, "WebP");
    width_ = features.width;
    height_ = features.height;
    alpha_ = features.has_alpha;
    demux_.reset(WebPDemux(&data));
    if (!demux_) throw corrupt(name_, "libwebp cannot parse its chunks");
    const WebPDemuxer* demux = demux_.get();
    frameCount_ = static_cast<int>(WebPDemuxGetI(demux, WEBP_FF_FRAME_COUNT));
    const uint32_t flags = WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS);
    checkWork();
    if (flags & ANIMATION_FLAG) {
      WebPAnimDecoderOptions options;
      if (!WebPAnimDecoderOptionsInit(&options)) throw std::bad_alloc();
      options.color_mode = MODE_RGBA;
      options.use_threads = 0;
      animation_.reset(WebPAnimDecoderNew(&data, &options));
      WebPAnimInfo info;
      if (!animation_ || !WebPAnimDecoderGetInfo(animation_.get(), &info)) {
        throw corrupt(name_, "libwebp cannot parse its animation");
      }
      if (static_cast<int>(info.canvas_width) != width_ ||
          static_cast<int>(info.canvas_height) != height_) {
        // Frames are copied at the header's size: the two must agree.
        throw corrupt(name_, "the canvas changes size");
      }
      loopCount_ = static_cast<int>(info.loop_count);
    }
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
    if (animation_ ? !WebPAnimDecoderHasMoreFrames(animation_.get()) : frames_ == 1) return false;
    if (frames_ == kMaxFrames) {
      throw ConvError(name_ + ": more than " + std::to_string(kMaxFrames) + " frames");
    }
    frame = Image{};
    frame.width = width_;
    frame.height = height_;
    frame.channels = alpha_ ? 4 : 3;
    if (animation_) {
      nextFrame(frame);
    } else {
      decodeStill(frame);
    }
    ++frames_;
    frame.metadata = metadata_;
    orientUpright(frame);
    return true;
  }
  int frameCountHint() const override { return frameCount_; }
  int durationMs() const override { return duration_; }
  int loopCount() const override { return loopCount_; }

 private:
  // Every frame is given as the whole canvas: the canvas's pixels over all
  // frames are checked against the file's budget before anything is decoded.
  void checkWork() const {
    const uint64_t frames = static_cast<uint64_t>(std::min(frameCount_, kMaxFrames));
    const uint64_t pixels = frames * static_cast<uint64_t>(width_) * static_cast<uint64_t>(height_);
    // A tiny change on a still canvas (a cursor that blinks) costs tens of
    // bytes a frame.
    constexpr uint64_t kPixelsPerByte = 65536;
    const uint64_t budget = framePixelBudget(bytes_.size(), kPixelsPerByte);
    if (pixels > budget) {
      throw ConvError(name_ + ": " + std::to_string(frameCount_) + " frames of a " +
                      std::to_string(width_) + " x " + std::to_string(height_) + " canvas are " +
                      std::to_string(pixels) + " pixels, more than the " + std::to_string(budget) +
                      " read of a WebP file of " + std::to_string(bytes_.size()) + " bytes");
    }
  }

  void decodeStill(Image& frame) {
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) throw std::bad_alloc();
    frame.samples.resize(frame.pixelCount() * static_cast<size_t>(frame.channels));
    config.output.colorspace = alpha_ ? MODE_RGBA : MODE_RGB;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = frame.samples.data();
    config.output.u.RGBA.stride = width_ * frame.channels;
    config.output.u.RGBA.size = frame.samples.size();
    const VP8StatusCode status = WebPDecode(bytes_.data(), bytes_.size(), &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK) {
      throw corrupt(name_, "libwebp cannot decode it (status " + std::to_string(status) + ")");
    }
  }

  void nextFrame(Image& frame) {
    uint8_t* canvas = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetNext(animation_.get(), &canvas, &timestamp)) {
      throw corrupt(name_, "frame " + std::to_string(frames_ + 1) + " cannot be decoded");
    }
    duration_ = std::max(0, timestamp - lastTimestamp_);
    lastTimestamp_ = timestamp;
    const size_t n = frame.pixelCount();
    if (alpha_) {
      frame.samples.assign(canvas, canvas + 4 * n);
    } else {
      frame.samples.resize(3 * n);
      for (size_t i = 0; i < n; ++i) std::memcpy(&frame.samples[3 * i], canvas + 4 * i, 3);
    }
  }

  std::string name_;
  std::vector<uint8_t> bytes_;  // the decoder reads them in place
  std::unique_ptr<WebPDemuxer, decltype(&WebPDemuxDelete)> demux_{nullptr, WebPDemuxDelete};
  // Animations only; it holds the canvas and the frame before it.
  std::unique_ptr<WebPAnimDecoder, decltype(&WebPAnimDecoderDelete)> animation_{
      nullptr, WebPAnimDecoderDelete};
  int width_ = 0, height_ = 0;
  bool alpha_ = false;
  int frameCount_ = 0;
  int loopCount_ = 0;
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
