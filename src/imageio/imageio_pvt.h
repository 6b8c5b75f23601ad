// Pieces that the readers and writers of imageio share: the Exif
// orientation, turning samples upright, the JPEG and PNG metadata.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "imageio/imageio.h"

struct jpeg_decompress_struct;
struct png_struct_def;
struct png_info_def;

namespace kx {
// The orientation (1 to 8) in an Exif block: a TIFF header and its first
// IFD, with or without the "Exif\0\0" that JPEG APP1 puts before it. 1 when
// the block has none or is damaged (exif.cpp).
int exifOrientation(std::span<const uint8_t> exif);

// Samples of a width × height picture (`channels` bytes a pixel, rows top to
// bottom) as the EXIF/TIFF orientation 1 to 8 says they are stored, written
// upright into `upright`: the same number of bytes, width and height swapped
// for orientations 5 to 8 (orient.cpp).
void orientSamples(const uint8_t* stored, uint8_t* upright, int width, int height, int channels,
                   int orientation);
// The image turned upright by image.metadata.orientation, which becomes 1.
void orientUpright(Image& image);
inline bool swapsSides(int orientation) {
  return orientation >= 5 && orientation <= 8;
}

// Asks libjpeg to keep the APP1 (Exif) and APP2 (ICC) markers; called
// before jpeg_read_header (jpeg_meta.cpp).
void saveJpegMarkers(jpeg_decompress_struct& info);
// The ICC profile, the Exif orientation and the JFIF density of a JPEG
// whose header has been read. Called where libjpeg's errors can longjmp.
void readJpegMetadata(jpeg_decompress_struct& info, ImageMetadata& metadata);

// Before png_read_info: how libpng is to read the chunks we keep
// (png_meta.cpp).
void preparePngMetadata(png_struct_def* png);
// What libpng has read of the chunks: after png_read_info, and again after
// png_read_end for an eXIf chunk after the image data.
void readPngMetadata(png_struct_def* png, png_info_def* info, ImageMetadata& metadata);

// ---- Reading and writing inside the folder: refusals thrown as ConvError ----

// Throws ConvError unless 1 <= width, height <= kMaxPictureSide and the
// picture is within the pixel limit (common/pixel_limit.h). Every reader
// calls it before it allocates anything the size of the picture, with the
// name of its format ("PNG") for the message; without one the limit is
// named as the .pic format's, whose geometry sets it.
void checkGeometry(const std::string& name, long width, long height, const char* format = nullptr);

// An input read once, from the front, no further than its reader needs: a
// header is read and checked before the rest, and never more than the
// header says can be used (a link to /dev/zero costs a header's worth).
// Nothing is read twice and nothing is reopened, so a pipe, a FIFO or
// /dev/stdin is read as a file is. The first bytes can be looked at to tell
// the format (peek) and stay for the reader; a reader that took more than
// its picture gives the rest back (putBack), so that what follows it in a
// stream is there for the next reader. Throws ConvError naming the file
// when it cannot be opened or read.
//
// The path "-" (kStandardInput) is the standard input.
class InputFile {
 public:
  explicit InputFile(const std::string& path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  const std::string& path() const { return path_; }
  // The size of a regular file; -1 for a pipe or a device.
  int64_t size() const;
  // The bytes the readers have taken so far (those peeked at or put back
  // not counted): a pipe's length once its picture is read.
  int64_t consumed() const;
  // The next n bytes (fewer only at the end of the file), read but kept for
  // the next reads.
  std::span<const uint8_t> peek(size_t n);
  // Bytes read past the end of a picture: the next reads return them first.
  void putBack(std::span<const uint8_t> bytes);
  // Up to n bytes; fewer only at the end of the file.
  size_t read(uint8_t* out, size_t n);
  // Appends bytes until `bytes` holds `limit` of them or the file ends; true
  // when the file goes on beyond them.
  bool readUpTo(std::vector<uint8_t>& bytes, size_t limit);

 private:
  std::string path_;
  int fd_ = -1;
  bool closes_ = true;          // false for the standard input
  std::vector<uint8_t> ahead_;  // bytes read and not yet consumed, from aheadAt_
  size_t aheadAt_ = 0;
  int64_t fromFile_ = 0;  // bytes read from fd_
};

// A file or stream of one or more frames (an animated WebP, a multi-page
// TIFF, netpbm images one after another, a YUV4MPEG2 video), read a frame at
// a time so that a long animation is never held whole: only the frame at
// hand (and, for WebP and TIFF, the file's bytes) is in memory. Frames may
// differ in size (netpbm images); each comes as it is stored.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // The next frame, replacing everything in `frame` (its metadata too; a
  // source may reuse the samples' storage); false after the last one. ConvError naming
  // the file when the frame is damaged, cut short or beyond the source's
  // bound; a stream's refusals name the frame too ("<file>: frame 37: ..."),
  // netpbm's from its second image on (a single image reads as it always has).
  virtual bool next(Image& frame) = 0;
  // The number of frames the file declares; 0 when it does not tell.
  virtual int frameCountHint() const { return 0; }
  // The display time of the frame last returned, in milliseconds; 0 when
  // the file gives none (TIFF pages). Rounded for a video's frame rate,
  // which frameRate() gives exactly.
  virtual int durationMs() const { return 0; }
  // How often an animation is to be played: 0 for ever (WebP's loop count).
  virtual int loopCount() const { return 0; }
  // The frame rate a video declares (YUV4MPEG2's F), in lowest terms; none
  // when the input has no rate or declares it unknown (F0:0).
  virtual std::optional<FrameRate> frameRate() const { return std::nullopt; }
};

// The most frames a FrameSource gives: a few bytes of WebP or TIFF can
// declare thousands of frames that each cost a whole picture's time, and a
// stream (netpbm images, YUV4MPEG2) from a pipe need never end, while
// whoever keeps its frames (an animated GIF's pass 1) grows with every one.
constexpr int kMaxFrames = 10000;

// The largest WebP or TIFF file read (these are held whole in memory, as
// their libraries read them): 64 MiB plus 16 bytes per pixel of the pixel
// limit, room for a page of 16-bit RGBA at the limit, uncompressed.
uint64_t maxContainerBytes();

// The pixels a file may ask for over all its frames where its format has no
// bound of pixels by bytes (a WebP animation, whose every frame is the whole
// canvas; JPEG pages of a TIFF): one picture at the pixel limit, or
// `perByte` a byte of the file when that is more.
uint64_t framePixelBudget(uint64_t fileBytes, uint64_t perByte);

// ---- Formats ----------------------------------------------------------------

// PNG, with its colour metadata (iCCP, sRGB, gAMA, cHRM), pHYs, and turned
// upright by the orientation of its eXIf chunk.
Image readPngFile(const std::string& path);
Image readPngFile(InputFile& file);
// A PNG straight into a picture's planes, row by row (no image in between).
PicturePtr readPngPicture(const std::string& path);
Image decodePng(const std::string& name, const std::vector<uint8_t>& bytes);
void writePngFile(const std::string& path, const Image& image);
// JPEG (baseline and progressive; grey, YCbCr, RGB, CMYK and YCCK) through
// libjpeg-turbo, as RGB or grey, turned upright by its EXIF orientation; the
// ICC profile (APP2) and the JFIF density are kept.
Image readJpegFile(const std::string& path);
Image readJpegFile(InputFile& file);
Image decodeJpeg(const std::string& name, const std::vector<uint8_t>& bytes);

// WebP through libwebp: lossy, lossless, with alpha (RGBA, else RGB) and
// animated (every frame the whole canvas, composited as libwebp's animation
// decoder shows it). The ICC profile (ICCP) is kept; EXIF orientation is
// applied. The InputFile versions read the file through it, up to the size
// its RIFF header declares.
std::unique_ptr<FrameSource> openWebp(InputFile& file);
std::unique_ptr<FrameSource> openWebp(const std::string& name, std::vector<uint8_t> bytes);
Image readWebpFile(const std::string& path);  // the first frame

// GIF through giflib: every frame the whole logical screen, composited as
// browsers show it (transparent index, disposal), RGBA when anything shows
// through, else RGB; its delay as the frame's duration.
bool looksLikeGif(std::span<const uint8_t> head);
std::unique_ptr<FrameSource> openGif(InputFile& file);
std::unique_ptr<FrameSource> openGif(const std::string& name, std::vector<uint8_t> bytes);

// TIFF through libtiff: 1 to 16-bit grey, 8 and 16-bit RGB, palette, with
// alpha (associated alpha is un-premultiplied), stripped or tiled, contiguous
// or planar, uncompressed, LZW, Deflate, PackBits or JPEG; every page a
// frame. The ICC profile and the resolution are kept; the orientation is
// applied. Grey stays 1 or 2 channels, a palette page is an indexed Image.
std::unique_ptr<FrameSource> openTiff(InputFile& file);
std::unique_ptr<FrameSource> openTiff(const std::string& name, std::vector<uint8_t> bytes);
Image readTiffFile(const std::string& path);  // the first page

// PBM, PGM, PPM (raw and plain) and PAM: one image, read no further than
// its end.
Image readPnmFile(const std::string& path);
Image readPnmFile(InputFile& file);
// Every image of a multi-image netpbm file or stream (images back to back,
// as `cat` joins them and `ffmpeg -f image2pipe -c:v ppm` writes them; white
// space between them is skipped, as netpbm's own readers do), one a frame.
// The source reads `file`, which must outlive it.
std::unique_ptr<FrameSource> openPnmFrames(InputFile& file);
Image decodePnm(const std::string& name, const std::vector<uint8_t>& bytes);
// Writes a raw PPM (P6, maxval 255); alpha is not stored.
void writePpmFile(const std::string& path, const Image& image);

// .pic pictures through the picture-file library. Unlike kxreduce, which
// reads a file cut short with its missing bytes as 255, these readers
// refuse a file too short for the picture its header declares.
Image readPicFile(const std::string& path);
Image readPicFile(InputFile& file);
void writePicFile(const std::string& path, const Image& image);
void writePicFile(const std::string& path, Picture& picture);
Image imageFromPicture(const std::string& name, const Picture& picture);
PicturePtr pictureFromImage(const Image& image);

// The .icn file with its colormap as palette; every index is checked.
Image readIconFile(const std::string& path, const ColormapSource& source);

// PICT pictures (any container).
Image readPictFile(const std::string& path);

// YUV4MPEG2 (.y4m files, `ffmpeg -f yuv4mpegpipe`): 8-bit 4:2:0 (any
// chroma siting), 4:2:2, 4:4:4 and mono, progressive; every frame brought to
// RGB (mono to grey) as ffmpeg's default conversion does (see y4m_read.cpp).
// The source reads `file`, which must outlive it. High-depth samples, 4:1:1,
// alpha planes and interlaced field orders are refused by name.
std::unique_ptr<FrameSource> openY4m(InputFile& file);
Image readY4mFile(const std::string& path);  // the first frame

// The frames of an input told by its first bytes, which stay in the input:
// PNG and JPEG (one frame), WebP, GIF and TIFF (every frame or page), netpbm
// (every image) and YUV4MPEG2 (every frame). Null when the bytes are none of
// these (the caller may know the input by its name); the source reads
// `file`, which must outlive it.
std::unique_ptr<FrameSource> openFrames(InputFile& file);
// A source of the one picture `read` makes of the file, read when asked for.
std::unique_ptr<FrameSource> singleFrame(InputFile& file, Image (*read)(InputFile&));

}  // namespace kx
