// kxreduce's command line and frame driver: the option scan with its checks,
// messages and usage text, and operation(), which walks the frames of a run
// through reading, reduction, writing and display.
//
// Stands on: everything below it (common, picture, output, reduce, pict,
// display). Nothing outside cli/ includes this header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/settings.h"

namespace kx {

// Stores the defaults; returns 1.
int initialisation(RunSettings& opt);

[[noreturn]] void print_usage(const char* programName);
// The program name as invoked (for the usage text), once main has seen it.
const char* kx_programName();

// Walks the frames of the run. colormapName is empty when no colormap is
// imposed.
void operation(const std::string& inputName, const std::string& outputName,
               const std::string& colormapName, RunSettings opt);

// A share of a sequence run as its own process (long options; none of them
// changes what a run without them does). The frames of the share keep the
// names, repeat numbers and copies they have in the whole run, so that the
// shares of a sequence together write exactly what one run writes.
struct SequenceShare {
  bool limited = false;  // --frames A-B: only the frames numbered A to B
  int64_t firstFrame = 0;
  int64_t lastFrame = 0;
  // With -u, the three stages of the one-palette mode: --palettes-to FILE
  // records the palettes of the share's frames (the first pass); --gather
  // FILE... builds the sequence's palette from all of them and writes its
  // colormap file (and, with --palettes-to, the palette itself); --palette
  // FILE reduces the share's frames with that palette (the second pass).
  std::string palettesTo;
  std::vector<std::string> gather;
  std::string palette;

  bool staged() const { return !palettesTo.empty() || !gather.empty() || !palette.empty(); }
};

// operation() for a share of the sequence.
void operationShare(const std::string& inputName, const std::string& outputName,
                    const std::string& colormapName, RunSettings opt, const SequenceShare& share);

// The whole program: parses argv, runs, returns the process status.
int kxreduceMain(int argc, char** argv);

}  // namespace kx
