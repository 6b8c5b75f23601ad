// Reading any input picture into RGB samples and a transparency mask.
//
// The format is told by the file's first bytes where it has a signature
// (PNG, JPEG, netpbm), so a photograph named "photo" or "photo.JPG" is read
// all the same. The system's own files are told by their names, as the tools
// write them: ".pic" (the picture library reads "<name>.pic"), and ".pict"
// (PICT files have no signature: their first 512 bytes are free), which also
// finds them inside AppleSingle and AppleDouble containers.
#include <algorithm>
#include <filesystem>

#include "imageio/imageio.h"
#include "quant/quant_pvt.h"

namespace kx {

namespace {

enum class SourceFormat { Unknown, Png, Jpeg, Pnm, Pic, Pict };

SourceFormat sniff(const std::string& path) {
  uint8_t head[8] = {};
  size_t got = 0;
  {
    InputFile file(path);
    got = file.read(head, sizeof head);
  }
  static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (got >= 8 && std::equal(head, head + 8, kPng)) return SourceFormat::Png;
  if (got >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return SourceFormat::Jpeg;
  if (got >= 2 && head[0] == 'P' && head[1] >= '1' && head[1] <= '7') return SourceFormat::Pnm;
  const std::string ext = std::filesystem::path(path).extension().string();
  if (ext == ".pic") return SourceFormat::Pic;
  if (ext == ".pict") return SourceFormat::Pict;
  return SourceFormat::Unknown;
}

Image readAnyImage(const std::string& path) {
  switch (sniff(path)) {
    case SourceFormat::Png:
      return readPngFile(path);
    case SourceFormat::Jpeg:
      return readJpegFile(path);
    case SourceFormat::Pnm:
      return readPnmFile(path);
    case SourceFormat::Pic:
      return readPicFile(path);
    case SourceFormat::Pict:
      return readPictFile(path);
    case SourceFormat::Unknown:
      break;
  }
  throw ConvError(path +
                  ": not a picture kxquant reads (PNG, JPEG, PPM/PGM/PBM/PAM, .pic or .pict)");
}

}  // namespace

SourcePicture readSourcePicture(const std::string& path) {
  Image image = readAnyImage(path);
  SourcePicture source;
  source.width = image.width;
  source.height = image.height;
  if (image.channels == 3 && !image.indexed()) {
    source.rgb = std::move(image.samples);
    return source;
  }
  const Image rgb = expandToRgb(image, true);
  image = Image{};
  const size_t n = rgb.pixelCount();
  if (rgb.channels == 3) {
    source.rgb = rgb.samples;
    return source;
  }
  source.rgb.resize(n * 3);
  source.transparent.resize(n);
  const uint8_t* in = rgb.samples.data();
  uint8_t* out = source.rgb.data();
  for (size_t i = 0; i < n; ++i, in += 4, out += 3) {
    out[0] = in[0];
    out[1] = in[1];
    out[2] = in[2];
    const bool clear = in[3] < 128;
    source.transparent[i] = clear;
    source.transparentCount += clear;
  }
  // Opaque pictures (most RGBA files) are reduced like RGB ones.
  if (source.transparentCount == 0) source.transparent.clear();
  return source;
}

}  // namespace kx
