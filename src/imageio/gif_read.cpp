// GIF files (87a and 89a) through giflib, every frame given as the whole
// logical screen, composited as browsers show it:
//
//   offset 0  "GIF87a" or "GIF89a"
//          6  the logical screen: width, height (16-bit little-endian),
//             flags (bit 7: a global colour table of 2^(1 + bits 0-2)
//             entries follows), background index, aspect
//          13 blocks: 0x21 extensions (0xF9 graphic control: disposal,
//             delay in hundredths, transparent index), 0x2C images (left,
//             top, width, height, flags; a local colour table; LZW data in
//             sub-blocks), 0x3B the end
//
// The screen starts transparent. A frame's pixels (but its transparent
// index) are drawn over it at the frame's place, clipped to the screen;
// then its disposal applies before the next frame: 2 clears its rectangle
// to transparent, 3 puts back what was under it. Samples are RGBA when
// anything can show through (a transparent index, a disposal that clears,
// a first frame smaller than the screen), else RGB.
//
// Bounds: the file is held whole (at most maxContainerBytes()) and its
// blocks are walked once before any pixel is decoded, so that a frame
// count, the alpha and the work are known first. LZW codes many pixels in
// a few bytes: the screen's pixels over all frames, and every frame's own
// pixels, are within framePixelBudget at 65536 a byte of the file, and the
// frames are kMaxFrames at most.
#include <gif_lib.h>

#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "imageio/imageio_pvt.h"

namespace kx {

namespace {

constexpr size_t kHeaderBytes = 13;
constexpr uint64_t kPixelsPerByte = 65536;

uint16_t le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

bool isGif(std::span<const uint8_t> head) {
  return head.size() >= 6 &&
         (std::memcmp(head.data(), "GIF87a", 6) == 0 || std::memcmp(head.data(), "GIF89a", 6) == 0);
}

ConvError corrupt(const std::string& name, const std::string& what) {
  return ConvError(name + ": corrupt GIF file (" + what + ")");
}

// What the walk over the blocks finds.
struct Layout {
  int width = 0, height = 0;
  int frames = 0;
  bool alpha = false;
  uint64_t framePixels = 0;  // the frames' own rectangles, all together
};

class GifSource final : public FrameSource {
 public:
  GifSource(const std::string& name, std::vector<uint8_t> bytes)
      : name_(name), bytes_(std::move(bytes)) {
    if (!isGif(bytes_)) throw ConvError(name_ + ": not a GIF file (no GIF87a or GIF89a header)");
    layout_ = walk();
    checkGeometry(name_, layout_.width, layout_.height, "GIF");
    checkWork();
    int error = 0;
    gif_ = DGifOpen(this, &GifSource::input, &error);
    if (!gif_) throw corrupt(name_, GifErrorString(error));
    canvas_.assign(static_cast<size_t>(layout_.width) * layout_.height * 4, 0);
  }
  ~GifSource() override {
    int error = 0;
    if (gif_) DGifCloseFile(gif_, &error);
  }
  GifSource(const GifSource&) = delete;
  GifSource& operator=(const GifSource&) = delete;

  bool next(Image& frame) override {
    if (frames_ == layout_.frames) return false;
    disposePrevious();
    GraphicsControlBlock control{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
    readUpToImage(control);
    drawImage(control);
    ++frames_;
    duration_ = control.DelayTime * 10;
    frame = Image{};
    frame.width = layout_.width;
    frame.height = layout_.height;
    frame.channels = layout_.alpha ? 4 : 3;
    frame.samples.resize(frame.pixelCount() * static_cast<size_t>(frame.channels));
    if (layout_.alpha) {
      frame.samples = canvas_;
    } else {
      for (size_t i = 0, n = frame.pixelCount(); i < n; ++i) {
        std::memcpy(&frame.samples[3 * i], &canvas_[4 * i], 3);
      }
    }
    return true;
  }
  int frameCountHint() const override { return layout_.frames; }
  int durationMs() const override { return duration_; }

 private:
  static int input(GifFileType* gif, GifByteType* out, int n) {
    auto* self = static_cast<GifSource*>(gif->UserData);
    const size_t take =
        std::min(static_cast<size_t>(std::max(n, 0)), self->bytes_.size() - self->at_);
    std::memcpy(out, self->bytes_.data() + self->at_, take);
    self->at_ += take;
    return static_cast<int>(take);
  }

  // The blocks, walked without decoding: sizes, frames and what shows
  // through. Refuses what giflib would stumble on later.
  Layout walk() const {
    if (bytes_.size() < kHeaderBytes) throw corrupt(name_, "the file ends in its header");
    Layout layout;
    layout.width = le16(&bytes_[6]);
    layout.height = le16(&bytes_[8]);
    ByteReader in(bytes_);
    in.skip(kHeaderBytes);
    const auto table = [&](uint8_t flags) {
      if ((flags & 0x80) && !in.skip(3u << ((flags & 7) + 1))) {
        throw corrupt(name_, "the file ends in a colour table");
      }
    };
    const auto subBlocks = [&]() {
      for (uint8_t size = 1; size;) {
        if (!in.u8(size) || !in.skip(size)) throw corrupt(name_, "the file ends in a block");
      }
    };
    table(bytes_[10]);
    int disposal = 0;
    bool transparent = false;
    for (;;) {
      // Browsers show what is there when the trailer is missing or
      // something else stands in its place: so do we.
      uint8_t kind = 0;
      if (!in.u8(kind) || kind == 0x3B || (kind != 0x21 && kind != 0x2C && layout.frames > 0)) {
        break;
      }
      if (kind == 0x21) {
        uint8_t label = 0, size = 0;
        if (!in.u8(label)) throw corrupt(name_, "the file ends in an extension");
        const size_t at = in.position();
        if (label == 0xF9 && in.u8(size) && size >= 4 && in.remaining() >= 4) {
          const uint8_t flags = bytes_[at + 1];
          disposal = (flags >> 2) & 7;
          transparent = flags & 1;
        }
        in.seek(at);
        subBlocks();
      } else if (kind == 0x2C) {
        uint8_t d[9], minimumCode = 0;
        if (!in.bytes(d, 9)) throw corrupt(name_, "the file ends in an image descriptor");
        table(d[8]);
        if (!in.u8(minimumCode)) throw corrupt(name_, "the file ends before an image's data");
        subBlocks();
        const int left = le16(d), top = le16(d + 2), w = le16(d + 4), h = le16(d + 6);
        if (layout.frames == kMaxFrames) {
          throw ConvError(name_ + ": more than " + std::to_string(kMaxFrames) + " frames");
        }
        const bool covers = left == 0 && top == 0 && w >= layout.width && h >= layout.height;
        layout.alpha = layout.alpha || transparent || disposal == 2 || disposal == 3 ||
                       (layout.frames == 0 && !covers);
        layout.framePixels += uint64_t{static_cast<uint32_t>(w)} * static_cast<uint32_t>(h);
        ++layout.frames;
        disposal = 0;
        transparent = false;
      } else {
        throw corrupt(name_, "a block of unknown kind " + std::to_string(kind));
      }
    }
    if (layout.frames == 0) throw ConvError(name_ + ": the GIF file holds no image");
    return layout;
  }

  void checkWork() const {
    const uint64_t screen = static_cast<uint64_t>(layout_.frames) *
                            static_cast<uint64_t>(layout_.width) *
                            static_cast<uint64_t>(layout_.height);
    const uint64_t pixels = std::max(screen, layout_.framePixels);
    const uint64_t budget = framePixelBudget(bytes_.size(), kPixelsPerByte);
    if (pixels > budget) {
      throw ConvError(name_ + ": " + std::to_string(layout_.frames) + " frames of a " +
                      std::to_string(layout_.width) + " x " + std::to_string(layout_.height) +
                      " screen are " + std::to_string(pixels) + " pixels, more than the " +
                      std::to_string(budget) + " read of a GIF file of " +
                      std::to_string(bytes_.size()) + " bytes");
    }
  }

  ConvError failed() const { return corrupt(name_, GifErrorString(gif_->Error)); }

  // Extensions up to the next image's descriptor, the last graphic control
  // block among them in `control`.
  void readUpToImage(GraphicsControlBlock& control) {
    for (;;) {
      GifRecordType record;
      if (DGifGetRecordType(gif_, &record) != GIF_OK) throw failed();
      if (record == IMAGE_DESC_RECORD_TYPE) {
        if (DGifGetImageDesc(gif_) != GIF_OK) throw failed();
        return;
      }
      if (record != EXTENSION_RECORD_TYPE) throw corrupt(name_, "an image is missing");
      int code = 0;
      GifByteType* block = nullptr;
      if (DGifGetExtension(gif_, &code, &block) != GIF_OK) throw failed();
      if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4) {
        DGifExtensionToGCB(block[0], block + 1, &control);
      }
      while (block) {
        if (DGifGetExtensionNext(gif_, &block) != GIF_OK) throw failed();
      }
    }
  }

  void drawImage(const GraphicsControlBlock& control) {
    const GifImageDesc& d = gif_->Image;
    const ColorMapObject* map = d.ColorMap ? d.ColorMap : gif_->SColorMap;
    if (!map) throw corrupt(name_, "an image without a colour table");
    disposal_ = control.DisposalMode;
    left_ = std::min(d.Left, layout_.width);
    top_ = std::min(d.Top, layout_.height);
    right_ = std::min(d.Left + d.Width, layout_.width);
    bottom_ = std::min(d.Top + d.Height, layout_.height);
    if (disposal_ == DISPOSE_PREVIOUS) saved_ = canvas_;
    std::vector<GifPixelType> line(static_cast<size_t>(std::max(d.Width, 1)));
    // Interlaced rows come every 8th from 0, every 8th from 4, every 4th
    // from 2, then every 2nd from 1.
    static constexpr int kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
    for (int pass = d.Interlace ? 0 : 3; pass < 4; ++pass) {
      const int start = d.Interlace ? kStart[pass] : 0, step = d.Interlace ? kStep[pass] : 1;
      for (int y = start; y < d.Height; y += step) {
        if (DGifGetLine(gif_, line.data(), d.Width) != GIF_OK) throw failed();
        if (d.Top + y >= layout_.height) continue;
        uint8_t* out = &canvas_[(static_cast<size_t>(d.Top + y) * layout_.width + left_) * 4];
        for (int x = 0; x < right_ - left_; ++x, out += 4) {
          const int index = line[static_cast<size_t>(x)];
          if (index == control.TransparentColor) continue;
          if (index >= map->ColorCount) {
            throw corrupt(name_, "a pixel of index " + std::to_string(index) + " in a table of " +
                                     std::to_string(map->ColorCount) + " colours");
          }
          const GifColorType& c = map->Colors[index];
          out[0] = c.Red, out[1] = c.Green, out[2] = c.Blue, out[3] = 255;
        }
      }
    }
  }

  void disposePrevious() {
    if (disposal_ == DISPOSE_BACKGROUND) {
      for (int y = top_; y < bottom_; ++y) {
        std::fill_n(&canvas_[(static_cast<size_t>(y) * layout_.width + left_) * 4],
                    static_cast<size_t>(right_ - left_) * 4, uint8_t{0});
      }
    } else if (disposal_ == DISPOSE_PREVIOUS) {
      canvas_.swap(saved_);
    }
    disposal_ = DISPOSAL_UNSPECIFIED;
  }

  std::string name_;
  std::vector<uint8_t> bytes_;
  size_t at_ = 0;
  Layout layout_;
  GifFileType* gif_ = nullptr;
  std::vector<uint8_t> canvas_, saved_;  // RGBA, the screen
  int frames_ = 0, duration_ = 0;
  int disposal_ = DISPOSAL_UNSPECIFIED, left_ = 0, top_ = 0, right_ = 0, bottom_ = 0;
};

}  // namespace

bool looksLikeGif(std::span<const uint8_t> head) {
  return isGif(head);
}

std::unique_ptr<FrameSource> openGif(const std::string& name, std::vector<uint8_t> bytes) {
  return std::make_unique<GifSource>(name, std::move(bytes));
}

std::unique_ptr<FrameSource> openGif(InputFile& file) {
  std::vector<uint8_t> bytes;
  if (file.readUpTo(bytes, maxContainerBytes())) {
    throw ConvError(file.path() + ": the GIF file is larger than " +
                    std::to_string(maxContainerBytes()) + " bytes, the most read of one file");
  }
  return openGif(file.path(), std::move(bytes));
}

}  // namespace kx
