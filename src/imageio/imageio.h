// Image files in memory: today's formats (PNG, JPEG, WebP, GIF, TIFF, netpbm
// PPM/PGM/PBM/PAM, YUV4MPEG2) and the system's own (.pic pictures, .icn
// colour-mapped images with their colormaps, PICT pictures), for the front
// ends (kxconv, kxquant).
//
// Every reader produces an Image in memory and every writer takes one, so a
// conversion is always "read everything, check it, then write": an output
// file is created only once the input is known to be good, and the OutFile
// under every writer removes it again when writing fails.
//
// Nothing here throws: a refusal comes back as an Error whose message names
// the file ("<file>: <what is wrong>"), or, for a colormap, is in kxreduce's
// own words (Error::kxreduceWords); memory that cannot be had is an Error of
// code outOfMemory naming the file. Inside the folder the readers throw
// (libpng and libjpeg unwind from deep inside their decoders, and the
// readers stay in that style: imageio_pvt.h), and these functions turn what
// they throw into the Error returned.
//
// Stands on common, encode, picture, output and pict.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/image.h"
#include "common/pixel_limit.h"
#include "encode/encode.h"
#include "picture/picture.h"

namespace kx {

// A sample of 0..maxval brought to 0..255, rounded to nearest:
// (v * 255 + maxval / 2) / maxval, netpbm's rule. For maxval 65535 it gives
// the same values as libpng's png_set_scale_16, (v * 255 + 32895) >> 16.
inline uint8_t scaleSample(uint32_t v, uint32_t maxval) {
  return static_cast<uint8_t>((uint64_t{v} * 255 + maxval / 2) / maxval);
}

// The image as RGB (3 channels) or, when it has alpha and keepAlpha is set,
// RGBA (4 channels); grey is spread to the three colours, indices are looked
// up in the palette.
Image expandToRgb(const Image& image, bool keepAlpha);

// Where the colormap of a colour-mapped image comes from.
struct ColormapSource {
  enum class Kind { Beside, Binary, Ascii } kind = Kind::Beside;
  std::string name;  // -c / -C argument, with or without its extension
};

// The formats read and written, each told by its file's name by the front ends.
enum class ImageFormat { Png, Jpeg, Webp, Tiff, Y4m, Pnm, Pic, Icn, Pict, Ppm };

// The picture of a file (the first frame or page of one that holds several).
// A .icn file is read with its colormap, found as `colormap` says.
Result<Image> readImageFile(ImageFormat format, const std::string& path,
                            const ColormapSource& colormap = {});
// Writes a PNG, a .pic picture or a raw PPM (P6, maxval 255; alpha is not
// stored) in place of `path`.
Status writeImageFile(ImageFormat format, const std::string& path, const Image& image);
// A PNG into a .pic picture row by row, straight into the picture's planes
// (no image in between).
Status convertPngToPic(const std::string& png, const std::string& pic);

// The path "-" is the standard input, read as it is (never reopened, never
// closed) and named "-" in messages.
constexpr const char* kStandardInput = "-";

class InputFile;
class FrameSource;

// The frames of any input a front end reads, opened once and read once from
// the front, so that a pipe, a FIFO or /dev/stdin reads as a file does: told
// by their first bytes (PNG and JPEG one frame; WebP, GIF and TIFF every frame or
// page; netpbm every image; YUV4MPEG2 every frame), else by the name as the
// tools write them (".pic"; ".pict", which must be a file, since its
// container may be two). A frame at a time, so that a long animation is
// never held whole.
class InputFrames {
 public:
  // ErrorCode::unsupported when the input is none of these.
  static Result<std::unique_ptr<InputFrames>> open(const std::string& path);
  ~InputFrames();
  InputFrames(const InputFrames&) = delete;
  InputFrames& operator=(const InputFrames&) = delete;

  // The next frame, replacing everything in `frame` (its metadata too);
  // false after the last one. A stream's refusals name the frame too
  // ("<file>: frame 37: ...").
  Result<bool> next(Image& frame);
  // The display time of the frame last returned, in milliseconds; 0 when
  // the file gives none. Rounded for a video's frame rate, which
  // frameRate() gives exactly (none when the input has no rate).
  int durationMs() const;
  std::optional<FrameRate> frameRate() const;
  // The size of a regular file; for a pipe, the bytes read so far.
  int64_t inputBytes() const;

 private:
  InputFrames(std::unique_ptr<InputFile> file, std::unique_ptr<FrameSource> source);
  std::unique_ptr<InputFile> file_;
  std::unique_ptr<FrameSource> source_;
};

}  // namespace kx
