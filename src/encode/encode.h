// Indexed pictures to the bytes of today's files: the palette PNG and the
// animated GIF, written to memory or through an OutFile, the same bytes for
// any thread count.
//
// These writers need no image-file library (the PNG's rows are compressed
// by zlib and libdeflate, the GIF is written whole here), so the C library
// carries them as the tools do. Refusals come back as Errors whose message
// names the file; nothing is thrown.
//
// Stands on common.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/image.h"

namespace kx {

class ThreadPool;

// ---- Palette PNG ---------------------------------------------------------------

// How hard the palette PNG writer works for its last bytes.
enum class PngEffort {
  Normal,  // optipng -o2 finds next to nothing more
  Best,    // up to 10 % smaller again, for many times the time
};
// A palette image (1 to 256 colours, with alpha per entry or one transparent
// index) as a PNG of 1, 2, 4 or 8 bits per index: the same colour and alpha
// at every pixel, the palette entries reordered so that the translucent ones
// come first. writePngFile comes here for them, with PngEffort::Normal.
Status writePalettePng(const std::string& path, const Image& image,
                       PngEffort effort = PngEffort::Normal);
// The same file's bytes, in memory (to be measured, or sent down a pipe);
// `name` is for messages.
Result<std::vector<uint8_t>> encodePalettePng(const std::string& name, const Image& image,
                                              PngEffort effort = PngEffort::Normal);

// A frame rate as an exact ratio: `frames` frames every `seconds` seconds
// (30000/1001 for NTSC video; --delay MS is 1000 frames every MS seconds).
struct FrameRate {
  int64_t frames = 10;  // 1 to kMaxFrameRateTerm
  int64_t seconds = 1;  // 0 to kMaxFrameRateTerm
};
constexpr int64_t kMaxFrameRateTerm = 1000000;

// ---- Animated GIF -------------------------------------------------------------

// When frame i starts, in hundredths of a second: round(100 · i / rate),
// halves up. A frame's delay is the next frame's start minus its own, so the
// delays alternate where the rate is not a whole number of hundredths (3, 3,
// 4, … at 30 fps) and every frame starts where the clip's clock says.
int64_t gifFrameStart(int64_t frame, const FrameRate& rate);

// A rectangle of the GIF's screen.
struct GifRect {
  int left = 0, top = 0, width = 0, height = 0;
  bool empty() const { return width <= 0 || height <= 0; }
  bool operator==(const GifRect&) const = default;
};

// An animated GIF, written into an OutFile or into memory. Each frame comes
// as the whole picture on the screen; the writer stores only what differs
// from what the screen already shows (see the top of gif_write.cpp), and
// LZW-codes frames side by side on the pool's threads, the bytes the same
// for any number of threads. Memory is bounded by a few screens whatever the
// number of frames (and the file's bytes, when it is made in memory).
class GifWriter {
 public:
  struct Settings {
    int screenWidth = 0, screenHeight = 0;        // 1 to 65535
    std::vector<std::array<uint8_t, 3>> palette;  // 1 to 256 colours
    // The palette's transparent entry, -1 for none; with none, the writer
    // adds one after the palette's colours when there is room for it.
    int transparentIndex = -1;
    int loopCount = 0;  // the NETSCAPE2.0 loop field: 0 repeats for ever
    // Lossy coding: where it makes LZW strings longer, a pixel may show a
    // palette colour within this weightedDistance2 of its own (never the
    // transparent index, nor in its place). 0: every pixel exact.
    int standInDistance2 = 0;
    ThreadPool* pool = nullptr;  // where frames are compared and coded; none: here
  };
  // loopCount that plays the frames once: no loop extension at all.
  static constexpr int kPlayOnce = -1;

  // Creates the file and writes the screen and its palette; an Error when
  // it cannot (nothing is left behind).
  static Result<std::unique_ptr<GifWriter>> create(const std::string& path,
                                                   const Settings& settings);
  // The same bytes into `memory`, whole once commit() returns; `name` is for
  // messages.
  static Result<std::unique_ptr<GifWriter>> create(std::vector<uint8_t>& memory,
                                                   const std::string& name,
                                                   const Settings& settings);
  ~GifWriter();
  GifWriter(const GifWriter&) = delete;
  GifWriter& operator=(const GifWriter&) = delete;

  // The next frame, shown for delayCentiseconds (0 to 65535): `screen` holds
  // screenWidth × screenHeight palette indices, rows top to bottom. The
  // picture covers `picture` of the screen (all of it when empty); outside
  // it, and wherever a pixel is the transparent index, the screen shows its
  // background (transparent). A frame equal to the one before only lengthens
  // it. An Error when the frame does not fit or the file cannot be written.
  Status addFrame(std::vector<uint8_t> screen, int delayCentiseconds, GifRect picture = {});
  // Writes the frames still held and ends the file; an Error when it could
  // not be written completely (the file is then removed).
  Status commit();

 private:
  GifWriter(const std::string& path, std::vector<uint8_t>* memory, const Settings& settings);
  void addHeldFrame(std::vector<uint8_t> screen, int delayCentiseconds, GifRect picture);
  void finish();
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kx
