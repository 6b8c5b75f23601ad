// Animated GIFs of frames: one palette counted from every frame, every
// frame remapped to it and stored as what changed. kxquant and libkxquant
// both make their GIFs through here, so that the library writes the
// command's bytes for the same frames and options.
//
// Frames come one at a time (add), each counted into the histogram of all
// frames and kept (in memory up to a budget, then in a temporary file);
// write() then chooses the palette and writes every frame, to a file or to
// memory. Bytes are the same for any number of threads. Every failure is
// returned, its message naming the GIF (or the temporary file); nothing is
// thrown.
//
// Stands on: common, reduce, indexed, encode. Opens no picture file: the
// front ends read the frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/error.h"
#include "indexed/indexed.h"
#include "reduce/reduce.h"

namespace kx {

// How frames become a GIF (kxquant's options for a .gif output).
struct GifOptions {
  int colors = 256;        // palette entries, 2 to 256 (the transparent one among them)
  IndexedOptions indexed;  // refinement and dithering
  // Soft alpha: transparent by an ordered dither of it (ditherTransparency),
  // else where it is below 128.
  bool ditherAlpha = true;
  // 0 to 100: below 100, bytes are spent for looks by lossy differencing and
  // lossy LZW, each pixel kept within gifTolerance(quality) of its colour.
  int quality = 100;
};

// The difference a GIF of `quality` lets a pixel show, as a grey step (see
// weightedDistance2): 0 at 100, 30 at 0.
constexpr double gifTolerance(int quality) {
  return 0.3 * (100 - quality);
}

// How the GIF plays.
struct GifPlayback {
  std::vector<int64_t> delays;  // per frame added: hundredths of a second, 0 to 65535
  int loop = 0;                 // times the animation repeats: 0 for ever; -1 plays once
};

// What write() calls as it goes; each may be empty.
struct GifEvents {
  std::function<void()> writing;  // the palette is chosen and the output made
  std::function<void(size_t done, size_t total)> written;  // frames written so far
};

// What was written.
struct GifSummary {
  size_t frames = 0;
  int width = 0, height = 0;  // the screen: the largest frame's
  size_t paletteEntries = 0;  // the transparent entry included
};

// The memory for frames that the tools give a sequence: KX_FRAME_MEMORY
// (bytes) when set, else 8 MiB: the rest waits in a temporary file, which
// the page cache holds as well as memory would.
size_t defaultFrameMemory();

class GifSequence {
 public:
  // `name` names the GIF in messages. Frames are kept in memory up to
  // `memoryBudget` bytes, the rest in a temporary file made beside
  // `spillBeside` (a file name); with spillBeside empty, all in memory.
  GifSequence(const GifOptions& options, std::string name, std::string spillBeside,
              size_t memoryBudget);
  ~GifSequence();
  GifSequence(const GifSequence&) = delete;
  GifSequence& operator=(const GifSequence&) = delete;

  // The next frame (RGB, transparent where frame.transparent says, or, with
  // soft alpha and options.ditherAlpha, where its dithered alpha says; the
  // alpha is not kept beyond that). Frames smaller than the largest are
  // centred on the screen.
  Status add(SourcePicture frame, const Context& context);
  size_t frames() const;

  // Pass 2, once: every frame added written as a GIF, to the file `path`
  // (complete or absent) or into `memory`. The context's events are the
  // palette's (with kxquant -v); the frames' remapping says nothing.
  Result<GifSummary> write(const std::string& path, const GifPlayback& playback,
                           const GifEvents& events, const Context& context);
  Result<GifSummary> write(std::vector<uint8_t>& memory, const GifPlayback& playback,
                           const GifEvents& events, const Context& context);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kx
