// kxquant's output files: an indexed PNG, or the colour-mapped image with its
// colormap exactly as kxreduce writes them. (Animated GIFs are written frame
// by frame by the driver, through GifWriter.)
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "common/outfile.h"
#include "output/output.h"
#include "quant/quant_pvt.h"

namespace kx {

namespace {

std::string lowered(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string iconBase(const std::string& path) {
  return path.substr(0, path.size() - 4);  // without ".icn"
}

}  // namespace

bool outputKindOf(const std::string& path, OutputKind* kind) {
  const std::string ext = std::filesystem::path(path).extension().string();
  // The colour-mapped image is the system's own file: its name is always in
  // lower case, as kxreduce writes it.
  if (ext == ".icn" && path.size() > 4) {
    *kind = OutputKind::Icn;
  } else if (lowered(ext) == ".png") {
    *kind = OutputKind::Png;
  } else if (lowered(ext) == ".gif") {
    *kind = OutputKind::Gif;
  } else {
    return false;
  }
  return true;
}

std::vector<std::string> outputFiles(const std::string& path, OutputKind kind) {
  if (kind == OutputKind::Icn) return {path, iconBase(path) + ".clm"};
  return {path};
}

std::vector<uint8_t> encodeIndexedPng(const std::string& name, IndexedPicture& picture,
                                      const ImageMetadata& metadata, const QuantOptions& options) {
  Image image;
  image.width = picture.width;
  image.height = picture.height;
  image.channels = 1;
  image.samples = std::move(picture.indices);
  for (const HistogramEntry& e : picture.palette) image.palette.push_back({e.red, e.green, e.blue});
  image.transparentIndex = picture.transparentIndex;
  image.paletteAlpha = picture.alpha;
  if (!options.strip) image.metadata = metadata;
  Result<std::vector<uint8_t>> png =
      encodePalettePng(name, image, options.best ? PngEffort::Best : PngEffort::Normal);
  if (!png) throw png.error();
  return std::move(*png);
}

Status writeIconAndColormap(const std::string& path, const IndexedPicture& picture) {
  // The image and its colormap appear together, or neither does. A file
  // that cannot be written is told (thrown) as every failed write is: by the
  // file and the cause.
  OutputBatch together;
  const std::string base = iconBase(path);
  auto told = [](const std::string& file, const Error& e) -> Status {
    if (e.systemError == 0) return e;
    throw Error(e.code, file + ": cannot write: " + std::strerror(e.systemError));
  };
  Result<IconFile> icon = IconFile::create(base, picture.width, picture.height);
  if (!icon) return told(path, icon.error());
  if (Status finished = icon->finish(picture.indices); !finished) {
    return told(path, finished.error());
  }
  const int colors = static_cast<int>(picture.palette.size());
  if (Status written = kx_writeColorMap(base, picture.palette, ColormapFormat{colors}); !written) {
    return told(base + ".clm", written.error());
  }
  std::string failed;
  if (!together.commit(&failed)) {
    throw ConvError(failed + ": cannot write: " + std::strerror(errno));
  }
  return {};
}

}  // namespace kx
