// Private pieces of kxreduce: how a run ends in its design's words, the
// frame driver's steps, and the palette files that carry the one-palette
// mode of a sequence between the processes that share it.
//
// Palette file, all integers big-endian:
//
//   offset  size       field
//        0     4       "KXPL"            magic
//        4     2       1                 version
//        6     2       C                 colours of each palette (1 to 256)
//        8     4       start             the sequence (-s start end step), signed
//       12     4       end
//       16     4       step
//       20     4       N                 palettes that follow
//       24  N·(4+3C)   palettes          each: the frame's place in the sequence
//                                        (signed, from 0; -1 for the sequence's
//                                        own palette), then C × red, green, blue
//
// A file of any other length, version or magic is refused.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/messages.h"
#include "common/outfile.h"
#include "display/display.h"
#include "picture/picture.h"
#include "reduce/reduce.h"
#include "run/run.h"

namespace kx {

// ---- How a run ends early ----------------------------------------------------------

// A failure as kxreduce reports it. The design has three ways to say it:
// "Error: " and the message (the design's kx_error, status 255); the message
// as it stands (the colormap files' failures to open, the PICT layer's
// error line, and, with status 1, a picture that keeps too many colours);
// and the message followed by the usage text (a command line that cannot
// be run, status 255).
struct Failure {
  enum class Words { error, asItStands, usage };
  Error error;
  Words words = Words::error;
  int status = 255;

  Failure(Error e);  // the design's words for its code
  static Failure asItStands(Error e);
};

// Prints the failure (program: the name the usage text shows); returns the
// status the run ends with.
int endWith(const Failure& failure, const std::string& program);

// A step of the driver that gives a value, or one that gives nothing.
template <class T>
using Step = Result<T, Failure>;
using Done = StatusOf<Failure>;

// ---- The frame driver ---------------------------------------------------------------

// Walks the frames of the run (operation, for a share of the sequence when
// the command line names one). preview: null without -d.
Done operation(const CommandLine& cl, Preview* preview);

// ---- Pictures of a frame ---------------------------------------------------------------

// The picture's red, green and blue as pixel planes (a picture without green
// or blue shows its red in all three; no red reads as 0).
Step<PixelPlanes> kx_pic2pixels(const Picture& picture);
// The planes into the picture's red, green and blue channels, samples
// rescaled from 0..maxval (1 to 255) to 0..255.
Done kx_pixels2pic(Picture& picture, const PixelPlanes& planes, int maxval);
// The quantization filter over the picture's red, green and blue.
Done quantFloyd(Picture& picture, int bits, ThreadPool* pool);

// ---- Palette files -----------------------------------------------------------------------

struct PaletteRecord {
  int64_t ordinal = 0;
  std::vector<uint8_t> rgb;  // colours × 3
};

struct PaletteFile {
  int32_t colors = 0;
  int32_t start = 0, end = 0, step = 0;
  std::vector<PaletteRecord> records;
};

// Errors name the file.
Status writePaletteFile(const std::string& path, const PaletteFile& file);
Result<PaletteFile> readPaletteFile(const std::string& path);

}  // namespace kx
