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
// A front end: stands on common, reduce, indexed, sequence, output and imageio. Nothing
// includes it but quant/ itself (and its tests).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/error.h"

namespace kx {

// ---- Command line ---------------------------------------------------------------

struct QuantOptions {
  int colors = 256;  // 2 to 256
  // The remapping: the adaptive error diffusion by default (at
  // ditherLevel, --dither), kxreduce's colour adjustment with -a (adjust),
  // none with --no-dither (noDither); the last of them given counts.
  bool adjust = false;
  float adjustFactor = 0.7f;
  bool noDither = false;
  int ditherLevel = 1;
  bool cutByError = false;  // --cut-by-error: the palette's boxes cut where the error is
  bool fitWorst = false;    // --fit-worst: the palette chosen again for its worst places
  bool unique = false;      // one palette for all inputs (implied by a .gif output)
  bool quiet = false;
  bool verbose = false;
  bool force = false;
  bool refine = true;  // --no-refine: the design's median-cut palette
  bool best = false;   // --best: the smallest PNG, for more time
  // GIF frame times: --fps (a ratio, kept as given for messages) or --delay.
  std::string fps;                        // empty when not given
  int64_t fpsFrames = 0, fpsSeconds = 0;  // --fps as fpsFrames frames every fpsSeconds s
  int delayMs = 100;
  bool delayGiven = false;
  int loop = 0;             // the GIF loop count; -1 with --no-loop (play once)
  bool alphaDither = true;  // GIF: soft alpha dithered; --no-alpha-dither cuts it at 128
  std::string output;  // -o; empty for <input stem><ext> beside each input; "-" standard output
  std::string ext = "-kx.png";  // --ext
  bool extGiven = false;
  // --quality MIN-MAX: the fewest colours reaching max, nothing written
  // below min; -1 for no target.
  int qualityMin = -1, qualityMax = -1;
  bool skipIfLarger = false;
  bool strip = false;  // --strip: no colour metadata nor physical size in a PNG
  std::vector<std::string> inputs;
};

// The whole program: returns the process status (0 when every input was
// done, 1 when some input failed, 2 for a usage error, kQualityNotReached
// or kSkippedAsLarger when an input was left without an output for them).
int kxquantMain(int argc, char** argv);
// pngquant's values, which build scripts already test for.
constexpr int kQualityNotReached = 99;
constexpr int kSkippedAsLarger = 98;

enum class ParseOutcome { Run, Help, Version };

// Fills the options from argv; a usage Error says what is wrong.
Result<ParseOutcome> parseQuantOptions(int argc, char** argv, QuantOptions& options);
std::string quantUsage();
std::string quantVersion();

}  // namespace kx
