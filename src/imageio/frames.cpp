// Inputs as frames: telling an input's format by its first bytes, pictures
// of one frame, and netpbm images one after another.
//
// A multi-image netpbm file is its images back to back, each with its own
// header (its own size and kind); netpbm's readers skip white space after
// an image before looking for the next one, so a plain image's trailing
// newline (or any run of white space) is allowed between them. Anything else
// after an image must be the next image. Each image is read no further than
// its end (readPnmFile), so the images of a pipe are read as they come;
// kMaxFrames of them at most.
#include <algorithm>
#include <cstring>

#include "imageio/imageio_pvt.h"

namespace kx {

namespace {

bool isNetpbmSpace(uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// A picture file holds one frame, read when it is asked for.
class OneFrame final : public FrameSource {
 public:
  using Reader = Image (*)(InputFile&);
  OneFrame(InputFile& file, Reader read) : file_(file), read_(read) {}

  bool next(Image& frame) override {
    if (done_) return false;
    done_ = true;
    frame = read_(file_);
    return true;
  }
  int frameCountHint() const override { return 1; }

 private:
  InputFile& file_;
  Reader read_;
  bool done_ = false;
};

class PnmFrames final : public FrameSource {
 public:
  explicit PnmFrames(InputFile& file) : file_(file) {}

  bool next(Image& frame) override {
    if (count_ > 0 && !skipToNextImage()) return false;
    if (count_ == kMaxFrames) {
      throw ConvError(file_.path() + ": more than " + std::to_string(kMaxFrames) + " frames");
    }
    ++count_;
    if (count_ == 1) {
      // The first image reads as the file does when it is the only one.
      frame = readPnmFile(file_);
      return true;
    }
    try {
      frame = readPnmFile(file_);
    } catch (const ConvError& e) {
      const std::string& name = file_.path();
      std::string what = e.what();
      if (what.starts_with(name + ": ")) what.erase(0, name.size() + 2);
      throw ConvError(name + ": frame " + std::to_string(count_) + ": " + what);
    }
    return true;
  }

 private:
  // Skips the white space after an image; false at the end of the input.
  bool skipToNextImage() {
    for (;;) {
      const std::span<const uint8_t> ahead = file_.peek(4096);
      if (ahead.empty()) return false;
      const size_t blanks = static_cast<size_t>(
          std::find_if_not(ahead.begin(), ahead.end(), isNetpbmSpace) - ahead.begin());
      uint8_t skipped[4096];
      file_.read(skipped, blanks);
      if (blanks < ahead.size()) return true;
    }
  }

  InputFile& file_;
  int64_t count_ = 0;
};

bool startsWith(std::span<const uint8_t> head, const char* signature) {
  const size_t n = std::strlen(signature);
  return head.size() >= n && std::memcmp(head.data(), signature, n) == 0;
}

}  // namespace

std::unique_ptr<FrameSource> openPnmFrames(InputFile& file) {
  return std::make_unique<PnmFrames>(file);
}

std::unique_ptr<FrameSource> singleFrame(InputFile& file, Image (*read)(InputFile&)) {
  return std::make_unique<OneFrame>(file, read);
}

std::unique_ptr<FrameSource> openFrames(InputFile& file) {
  const std::span<const uint8_t> head = file.peek(12);
  if (startsWith(head, "\x89PNG\r\n\x1A\n")) {
    return std::make_unique<OneFrame>(file, [](InputFile& f) { return readPngFile(f); });
  }
  if (head.size() >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) {
    return std::make_unique<OneFrame>(file, [](InputFile& f) { return readJpegFile(f); });
  }
  if (startsWith(head, "RIFF") && head.size() >= 12 && !std::memcmp(head.data() + 8, "WEBP", 4)) {
    return openWebp(file);
  }
  if (looksLikeGif(head)) return openGif(file);
  // TIFF and BigTIFF (42 and 43), in either byte order.
  if (head.size() >= 4 &&
      ((startsWith(head, "II") && (head[2] == 42 || head[2] == 43) && !head[3]) ||
       (startsWith(head, "MM") && !head[2] && (head[3] == 42 || head[3] == 43)))) {
    return openTiff(file);
  }
  if (head.size() >= 2 && head[0] == 'P' && head[1] >= '1' && head[1] <= '7') {
    return openPnmFrames(file);
  }
  if (startsWith(head, "YUV4MPEG2 ")) return openY4m(file);
  return nullptr;
}

}  // namespace kx
