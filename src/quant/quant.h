// kxquant: any picture (PNG, JPEG, netpbm, .pic, PICT) to an indexed picture
// (PNG, animated GIF, or the colour-mapped image with its colormap) with
// kxreduce's engine, in process, in one command.
//
// The palette and the indices are the ones kxreduce --refine chooses for the
// same pixels and options (kxreduce's without --refine with --no-refine):
// the same counting, the same automatic compression to 128 when a picture
// keeps too many colours, the same median cut, refinement and remapping.
// Where kxreduce would stop (still too many colours after that compression),
// kxquant compresses further, to the finest level that fits, and says so. Pixels with alpha below
// 128 become one transparent palette entry; the rest are reduced as opaque.
//
// A front end: stands on common, reduce, output and imageio. Nothing
// includes it but quant/ itself (and its tests).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/color.h"
#include "common/planes.h"

namespace kx {

// ---- Command line ---------------------------------------------------------------

struct QuantOptions {
  int colors = 256;  // 2 to 256
  bool adjust = false;
  float adjustFactor = 0.7f;
  bool unique = false;  // one palette for all inputs (implied by a .gif output)
  bool quiet = false;
  bool verbose = false;
  bool force = false;
  bool refine = true;  // --no-refine: the design's median-cut palette
  // GIF frame times: --fps (a ratio, kept as given for messages) or --delay.
  std::string fps;                        // empty when not given
  int64_t fpsFrames = 0, fpsSeconds = 0;  // --fps as fpsFrames frames every fpsSeconds s
  int delayMs = 100;
  bool delayGiven = false;
  int loop = 0;        // the GIF loop count; -1 with --no-loop (play once)
  std::string output;  // -o; empty for <input stem>-kx.png beside each input
  std::vector<std::string> inputs;
};

// The whole program: returns the process status (0 when every input was
// done, 1 when some input failed, 2 for a usage error).
int kxquantMain(int argc, char** argv);

enum class ParseOutcome { Run, Help, Version, Error };

// Fills the options from argv; on Error, *error says what is wrong.
ParseOutcome parseQuantOptions(int argc, char** argv, QuantOptions& options, std::string* error);
std::string quantUsage();
std::string quantVersion();

// ---- Colour counting with compression ----------------------------------------

// The set of colours of a picture as one bit per colour of the 24-bit cube
// (2 MiB), to count what each compression level would leave without
// touching the pixels again.
class ColourCube {
 public:
  ColourCube();
  void add(const uint8_t* rgb, size_t pixels);
  int64_t count() const;
  // The number of distinct colours left after the colour compression with
  // this target (1 to 255); counting stops as soon as it passes limit.
  int64_t countCompressed(int target, int64_t limit) const;

 private:
  std::vector<uint64_t> bits_;
};

// The largest target from `highest` down to 1 whose compression leaves at
// most `limit` colours (1 always does, for limit >= 8).
int finestFittingTarget(const ColourCube& cube, int highest, int64_t limit);

// The colours of a picture counted for the median cut.
struct CountedColors {
  Histogram histogram;
  int colorCount = 0;
  int target = 255;            // the compression applied; 255 for none
  int64_t distinctColors = 0;  // before compression; only known when compressed
};

// Counts the colours of the planes as kxreduce does (at most `limit`, else
// compressed with target 128 and counted again); when that still passes the
// limit, compresses the original samples to the finest target that fits.
// The planes are left compressed with the target returned.
CountedColors countColorsCompressing(PixelPlanes& planes, int columns, int rows, int limit);

}  // namespace kx
