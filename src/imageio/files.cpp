// The folder's public functions: the readers and writers of imageio_pvt.h,
// which throw, with what they throw returned as an Error (guarded).
#include <filesystem>

#include "imageio/imageio_pvt.h"

namespace kx {

Result<Image> readImageFile(ImageFormat format, const std::string& path,
                            const ColormapSource& colormap) {
  return guarded(path, [&]() -> Image {
    switch (format) {
      case ImageFormat::Png:
        return readPngFile(path);
      case ImageFormat::Jpeg:
        return readJpegFile(path);
      case ImageFormat::Webp:
        return readWebpFile(path);
      case ImageFormat::Tiff:
        return readTiffFile(path);
      case ImageFormat::Y4m:
        return readY4mFile(path);
      case ImageFormat::Pnm:
      case ImageFormat::Ppm:
        return readPnmFile(path);
      case ImageFormat::Pic:
        return readPicFile(path);
      case ImageFormat::Icn:
        return readIconFile(path, colormap);
      case ImageFormat::Pict:
        return readPictFile(path);
    }
    throw Error(ErrorCode::unsupported, path + ": not a format that is read");
  });
}

Status writeImageFile(ImageFormat format, const std::string& path, const Image& image) {
  return guarded(path, [&] {
    switch (format) {
      case ImageFormat::Png:
        return writePngFile(path, image);
      case ImageFormat::Pic:
        return writePicFile(path, image);
      case ImageFormat::Ppm:
        return writePpmFile(path, image);
      default:
        throw Error(ErrorCode::unsupported, path + ": not a format that is written");
    }
  });
}

Status convertPngToPic(const std::string& png, const std::string& pic) {
  return guarded(png, [&] {
    PicturePtr picture = readPngPicture(png);
    writePicFile(pic, *picture);
  });
}

InputFrames::InputFrames(std::unique_ptr<InputFile> file, std::unique_ptr<FrameSource> source)
    : file_(std::move(file)), source_(std::move(source)) {}
InputFrames::~InputFrames() = default;

Result<std::unique_ptr<InputFrames>> InputFrames::open(const std::string& path) {
  return guarded(path, [&] {
    auto file = std::make_unique<InputFile>(path);
    std::unique_ptr<FrameSource> source = openFrames(*file);
    const std::string ext = std::filesystem::path(path).extension().string();
    if (!source && ext == ".pic") source = singleFrame(*file, readPicFile);
    if (!source && ext == ".pict") {
      if (file->size() < 0)
        throw ConvError(path + ": a PICT picture is read from a file, not a pipe");
      source = singleFrame(*file, [](InputFile& f) { return readPictFile(f.path()); });
    }
    if (!source) throw Error(ErrorCode::unsupported, path);
    return std::unique_ptr<InputFrames>(new InputFrames(std::move(file), std::move(source)));
  });
}

Result<bool> InputFrames::next(Image& frame) {
  return guarded(file_->path(), [&] { return source_->next(frame); });
}

int InputFrames::durationMs() const {
  return source_->durationMs();
}
std::optional<FrameRate> InputFrames::frameRate() const {
  return source_->frameRate();
}
int64_t InputFrames::inputBytes() const {
  return file_->size() >= 0 ? file_->size() : file_->consumed();
}

}  // namespace kx
