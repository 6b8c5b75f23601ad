// Reading any input picture into RGB samples, a transparency mask and,
// when some pixel is partly transparent, its alpha.
//
// Every input is opened once and read once, from the front: the format is
// told from its first bytes, which the input keeps for the reader (so a
// FIFO, a pipe or /dev/stdin reads as a file does). Formats with a
// signature (PNG, JPEG, WebP, GIF, TIFF, netpbm, YUV4MPEG2) are told by it
// (imageio's InputFrames), so a photograph named "photo" or "photo.JPG" is
// read all the same; of a file of several frames, the first is read. The
// system's own files are told by their names, as the tools write them:
// ".pic", and ".pict" (PICT files have no signature: their first 512 bytes
// are free). A PICT picture is read by its name, since its container may be
// two files (AppleDouble); it must be a file.
#include <filesystem>

#include "common/bytes.h"
#include "imageio/imageio.h"
#include "quant/quant_pvt.h"

namespace kx {

namespace {

// Whether an ICC profile describes RGB samples (its data colour space,
// bytes 16 to 19, is "RGB "). A grey or CMYK one (the JPEG reader turns
// CMYK into RGB) would misdescribe the palette's colours, and PNG forbids
// it on a palette picture.
bool rgbProfile(const std::vector<uint8_t>& icc) {
  ByteReader r(icc);
  uint32_t space = 0;
  return r.seek(16) && r.u32(space) && space == 0x52474220;
}

}  // namespace

Result<std::unique_ptr<InputFrames>> openSourceFrames(const std::string& path) {
  Result<std::unique_ptr<InputFrames>> frames = InputFrames::open(path);
  if (!frames && frames.error().code == ErrorCode::unsupported) {
    return Error(ErrorCode::unsupported,
                 path +
                     ": not a picture kxquant reads (PNG, JPEG, WebP, GIF, TIFF, PPM/PGM/PBM/PAM, "
                     "YUV4MPEG2, .pic or .pict)");
  }
  return frames;
}

Result<QuantSource> readSourcePicture(const std::string& path) {
  Result<std::unique_ptr<InputFrames>> frames = openSourceFrames(path);
  if (!frames) return frames.error();
  // The first frame of a file that may hold several (an animated WebP, a
  // multi-page TIFF, a video).
  Image image;
  const Result<bool> read = (*frames)->next(image);
  if (!read) return read.error();
  if (!*read) return Error(ErrorCode::badFile, path + ": holds no picture");
  QuantSource source = sourceFromImage(std::move(image));
  source.inputBytes = (*frames)->inputBytes();
  return source;
}

QuantSource sourceFromImage(Image image) {
  ImageMetadata metadata = std::move(image.metadata);
  if (!rgbProfile(metadata.iccProfile)) metadata.iccProfile.clear();
  if (image.indexed() || image.channels < 3) image = expandToRgb(image, true);
  QuantSource source;
  source.width = image.width;
  source.height = image.height;
  source.metadata = std::move(metadata);
  const size_t n = image.pixelCount();
  if (image.channels == 4) {
    // RGBA to RGB in place (each pixel moves down, never past one not yet
    // read); the mask is made only when a pixel is transparent, and the
    // alpha plane only when one is partly so, since most RGBA files are
    // opaque everywhere.
    uint8_t* samples = image.samples.data();
    bool soft = false;
    for (size_t i = 0; i < n && !soft; ++i)
      soft = samples[4 * i + 3] != 0 && samples[4 * i + 3] != 255;
    if (soft) source.alpha.resize(n);
    for (size_t i = 0; i < n; ++i) {
      const uint8_t* in = samples + 4 * i;
      if (in[3] < 128) {
        if (source.transparent.empty()) source.transparent.assign(n, 0);
        source.transparent[i] = 1;
        ++source.transparentCount;
      }
      if (soft) source.alpha[i] = in[3];
      uint8_t* out = samples + 3 * i;
      const uint8_t r = in[0], g = in[1], b = in[2];
      out[0] = r;
      out[1] = g;
      out[2] = b;
    }
    image.samples.resize(3 * n);
  }
  source.rgb = std::move(image.samples);
  return source;
}

}  // namespace kx
