// What a run of kxreduce is: its command line read into settings, and the
// name of every file its frames read and write. kxreduce (cli/) runs it;
// kxslurm (slurm/) splits it into shares and checks which files are there,
// with these very rules.
//
// Stands on: common, picture (the picture file's name) and macfile (the
// PICT header file's name).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"

namespace kx {

// ---- Run settings ---------------------------------------------------------------

// The option values of a run, as the command line leaves them (the design's
// record). Nothing changes them afterwards: what a frame sees differently
// (the filter's level count, the compression only the first frame gets,
// the second pass of -u) is derived from them per frame.
struct RunSettings {
  int32_t start = 0;
  int32_t end = 0;
  int32_t step = 1;
  int32_t sequence = 0;
  int32_t repeat = 1;
  int32_t colors = 256;
  int32_t colorsGiven = 0;
  int32_t adjust = 0;
  float adjustFactor = 0.7f;
  int32_t verbose = 0;
  int32_t display = 0;
  int32_t compress = 255;
  int32_t compressGiven = 0;
  int32_t bits = 8;
  int32_t quant = 0;
  int32_t paletteQuant = 0;
  int32_t bitsGiven = 0;
  int32_t colormapMode = 0;  // 0 chosen per frame, 1 imposed .clm, 2 imposed .cla
  int32_t inPict = 0;
  int32_t outPic = 0;
  int32_t outPict = 0;  // 1 true colour, 2 colour-indexed
  int32_t transform = 0;
  int32_t asciiColormap = 0;
  int32_t unique = 0;
  int32_t refine = 0;  // --refine
};

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

// A whole command line: the settings and the three names (stems: every file
// gets its extension from its reader or writer).
struct CommandLine {
  RunSettings opt;
  std::string input, output, colormap;
  SequenceShare share;
};

// ---- Reading the command line ----------------------------------------------------

struct ParsedCommandLine {
  CommandLine line;
  // What the scan says before its first error ("Too many colors, 256 colors
  // used.\n"), to be printed as it stands.
  std::string notes;
  // The first error: an ErrorCode::usage whose message goes before the
  // usage text (possibly empty). The scan reads on past it, so `line` has
  // every setting the arguments give, as far as they can be read.
  std::optional<Error> error;
};

// Reads the arguments (without the program name), the way the design scans
// them, with kxreduce's long options --refine, --frames, --palettes-to,
// --palette and --gather. (--help and --version are the caller's.)
ParsedCommandLine parseCommandLine(const std::vector<std::string>& args);

// How many of the arguments after args[i] are the values of the option at
// i, as the scan takes them (0 for a positional argument). kxslurm splits
// its command line with it.
int optionValues(const std::vector<std::string>& args, size_t i);

// The usage text, with the program name as invoked.
std::string usageText(const std::string& programName);

// ---- Frames and their files --------------------------------------------------------

// One palette for the sequence: -u, unless -c, -C or -r 0 make it a plain
// run.
bool onePalette(const RunSettings& opt);
// The frames of the run (0 for a sequence that ends before it starts, or
// whose step is below 1).
int64_t frameCount(const RunSettings& opt);
// The number of the frame at this place in the sequence (from 0).
int64_t frameNumber(const RunSettings& opt, int64_t ordinal);
// The input stem of a frame, and the file it is read from.
std::string frameInputName(const CommandLine& cl, int64_t ordinal);
std::string frameInputFile(const CommandLine& cl, int64_t ordinal);
// The output stem of repetition rep of the frame at this place.
std::string frameOutputName(const CommandLine& cl, int64_t ordinal, int64_t rep);
// The stem of the sequence's one colormap file (-u): "<output>-<start>-<end>".
std::string sharedColormapName(const CommandLine& cl);

enum class FrameFiles {
  written,  // the files the frame writes
  touched,  // and every name it could write to (both colormap forms, the
            // PICT files beside a picture file): none may be its input
};
// The files of the frame at this place, by their full names.
std::vector<std::string> frameFiles(const CommandLine& cl, int64_t ordinal, FrameFiles which);

}  // namespace kx
