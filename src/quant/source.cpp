// Reading any input picture into RGB samples and a transparency mask.
//
// The format is told by the file's first bytes where it has a signature
// (PNG, JPEG, WebP, TIFF, netpbm), so a photograph named "photo" or "photo.JPG" is read
// all the same. The system's own files are told by their names, as the tools
// write them: ".pic" (the picture library reads "<name>.pic"), and ".pict"
// (PICT files have no signature: their first 512 bytes are free), which also
// finds them inside AppleSingle and AppleDouble containers.
#include <algorithm>
#include <cstring>
#include <filesystem>

#include "imageio/imageio.h"
#include "quant/quant_pvt.h"

namespace kx {

namespace {

enum class SourceFormat { Unknown, Png, Jpeg, Webp, Tiff, Pnm, Pic, Pict };

SourceFormat sniff(const std::string& path) {
  uint8_t head[12] = {};
  size_t got = 0;
  {
    InputFile file(path);
    got = file.read(head, sizeof head);
  }
  static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (got >= 8 && std::equal(head, head + 8, kPng)) return SourceFormat::Png;
  if (got >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return SourceFormat::Jpeg;
  if (got >= 12 && !std::memcmp(head, "RIFF", 4) && !std::memcmp(head + 8, "WEBP", 4)) {
    return SourceFormat::Webp;
  }
  // TIFF and BigTIFF (42 and 43), in either byte order.
  if (got >= 4 && ((!std::memcmp(head, "II", 2) && (head[2] == 42 || head[2] == 43) && !head[3]) ||
                   (!std::memcmp(head, "MM", 2) && !head[2] && (head[3] == 42 || head[3] == 43)))) {
    return SourceFormat::Tiff;
  }
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
    // Animations and multi-page files give their first frame for now.
    case SourceFormat::Webp:
      return readWebpFile(path);
    case SourceFormat::Tiff:
      return readTiffFile(path);
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
                  ": not a picture kxquant reads (PNG, JPEG, WebP, TIFF, PPM/PGM/PBM/PAM, "
                  ".pic or .pict)");
}

}  // namespace

SourcePicture readSourcePicture(const std::string& path) {
  Image image = readAnyImage(path);
  if (image.indexed() || image.channels < 3) image = expandToRgb(image, true);
  SourcePicture source;
  source.width = image.width;
  source.height = image.height;
  const size_t n = image.pixelCount();
  if (image.channels == 4) {
    // RGBA to RGB in place (each pixel moves down, never past one not yet
    // read); the mask is made only when a pixel is transparent, since most
    // RGBA files are opaque everywhere.
    uint8_t* samples = image.samples.data();
    for (size_t i = 0; i < n; ++i) {
      const uint8_t* in = samples + 4 * i;
      if (in[3] < 128) {
        if (source.transparent.empty()) source.transparent.assign(n, 0);
        source.transparent[i] = 1;
        ++source.transparentCount;
      }
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
